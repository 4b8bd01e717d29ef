#include "libpal/env/pl_init.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/os_thread_name.h"
#include "libpal/env/pl_sysinfo.h"
#include "libpal/memory/mem_init.h"
#include "libpal/network/os_socket_env.h"
#include "libpal/os/os_init.h"
#include "libpal/string/str_num.h"
#include "libpal/vfile/vfile.h"

#define ZLOG_TAG "pal"
#include "liblog/zlog.h"

const val_tab pl_arch_tab[7] = {
    {1, "x86"}, {2, "x64"}, {10, "arm64"}, {12, "armv4tl"}, {20, "mips"}, {24, "loongarch32"}, {25, "loongarch64"},
};

const val_tab pl_os_tab[5] = {
    {1, "windows"}, {2, "linux"}, {3, "macosx"}, {4, "iphone"}, {5, "freebsd"},
};

const val_tab pl_app_tab[10] = {
    {1, "pelo"}, {2, "zorv"},  {3, "miraw"}, {4, "miraw-gui"}, {5, "miraw-mnt"},
    {6, "miraw-setup"}, {7, "tesk"}, {8, "brun"}, {9, "saph"}, {10, "qdpplug"},
};

namespace {

// Set by pl_init, cleared by pl_exit. Other callers of pl_init (the block
// layer, the stream layer's check) run after start-up and only see it set.
std::atomic<bool> s_started{false};

constexpr size_t k_printf_size = 8192;

const char *id_2_name(const char *text, const val_tab *tab, size_t count)
{
    return val_tab_get_name(str_atoi(text), tab, count);
}

}  // namespace

int pl_init()
{
    ZLOG_VERB("==>");
    if (s_started.exchange(true)) {
        return 0;
    }
    // The early level holds until the application frame sets its own.
    if (const char *level = os_getenv("QD_ENV_LOG_LEVEL"); level != nullptr) {
        log2_ioctl(nullptr, LOG2_CMD_LEVEL_STR, level, static_cast<int>(strlen(level)));
    }
    os_init();
    if (!os_socket_init_env()) {
        ZLOG_ERR("os_socket_init_env failed\n");
    }
    mem_init();
    qdfile_init();
    pl_sys_info_init();
    return 0;
}

int pl_exit()
{
    if (!s_started.exchange(false)) {
        return 0;
    }
    os_exit();
    os_thread_name_exit();
    log2_exit(nullptr);
    qdfile_exit();
    // Closes the default log context again when still open; a closed one is
    // not closed twice.
    os_malloc_exit();
    return 0;
}

int pl_app_name_2_id(const char *name)
{
    if (name == nullptr || name[0] == '\0') {
        return 0;
    }
    const int32_t v = val_tab_get_val(name, pl_app_tab, std::size(pl_app_tab));
    return v > 0 ? v : 0;
}

const char *pl_app_id_2_name(const char *text)
{
    return id_2_name(text, pl_app_tab, std::size(pl_app_tab));
}

const char *pl_os_id_2_name(const char *text)
{
    return id_2_name(text, pl_os_tab, std::size(pl_os_tab));
}

const char *pl_arch_id_2_name(const char *text)
{
    return id_2_name(text, pl_arch_tab, std::size(pl_arch_tab));
}

void pl_printf(const char *fmt, ...)
{
    if (fmt == nullptr) {
        return;
    }
    char buf[k_printf_size];
    va_list ap;
    va_start(ap, fmt);
    const int n = vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    if (n < 0) {
        return;
    }
    fputs(buf, stdout);
    fflush(stdout);
}

int pl_get_u64_zero(uint64_t *value)
{
    if (value != nullptr) {
        *value = 0;
    }
    return 0;
}
