#include "libpal/env/pl_sysinfo.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string_view>

#include "libpal/basic/os_sync.h"
#include "libpal/env/pl_init.h"
#include "libpal/os/os_hostid.h"
#include "libpal/string/str_safe.h"
#include "libpal/tframe/app_desc.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

namespace {

// The architecture row this program is built for.
constexpr const char *k_built_arch =
#if defined(__x86_64__)
    "x64";
#elif defined(__i386__)
    "x86";
#elif defined(__aarch64__)
    "arm64";
#elif defined(__arm__)
    "armv4tl";
#elif defined(__mips__)
    "mips";
#elif defined(__loongarch64)
    "loongarch64";
#elif defined(__loongarch32)
    "loongarch32";
#else
    "";
#endif

constexpr const char *k_os_name = "linux";

// The machine name of uname, which g_app.arch points to.
char s_arch[sizeof(utsname::machine)];

uint8_t row_value(const char *name, const val_tab *tab, size_t count)
{
    const int32_t v = val_tab_get_val(name, tab, count);
    return v > 0 ? static_cast<uint8_t>(v) : 0;
}

const char *machine_name()
{
    utsname u;
    if (uname(&u) != 0 || u.machine[0] == '\0') {
        str_safecopy2(s_arch, sizeof(s_arch), "unknown");
    } else {
        str_safecopy2(s_arch, sizeof(s_arch), u.machine);
    }
    return s_arch;
}

}  // namespace

void pl_sys_info_init()
{
    g_app.os = k_os_name;
    g_app.arch = machine_name();
    g_app.os_id = row_value(k_os_name, pl_os_tab, std::size(pl_os_tab));
    g_app.arch_id = row_value(k_built_arch, pl_arch_tab, std::size(pl_arch_tab));
    g_app.sid = os_host_id();
    os_get_hostname(g_app.hostname, sizeof(g_app.hostname));
    g_app.bid = os_boot_id();
    os_time now;
    os_time_now(&now);
    g_app.stime = now.sec;
    g_app.start_tick = os_tick_ms();
    g_app.exit_on_stop = 1;
}

uint64_t os_boot_time_ms()
{
    FILE *f = fopen("/proc/stat", "re");
    if (f == nullptr) {
        return 0;
    }
    char line[256];
    uint64_t secs = 0;
    while (fgets(line, sizeof(line), f) != nullptr) {
        uint64_t v = 0;
        if (sscanf(line, "btime %" SCNu64, &v) == 1) {
            secs = v;
            break;
        }
    }
    fclose(f);
    return secs * 1000;
}

uint64_t os_boot_id()
{
    return 0;
}

char *os_get_hostname(char *buf, size_t size)
{
    PL_ASSERT_TEXT_RET(buf != nullptr && size > 0, "buf != NULL && size > 0", buf);
    char name[HOST_NAME_MAX + 1];
    // A name that does not fit is a failed query: buf keeps what it held.
    if (gethostname(name, sizeof(name)) == 0) {
        name[sizeof(name) - 1] = '\0';
        if (strlen(name) < size) {
            str_safecopy(buf, size, name);
        }
    }
    return os_hostname_normalize(buf, size);
}

char *os_hostname_normalize(char *buf, size_t size)
{
    PL_ASSERT_TEXT_RET(buf != nullptr && size > 0, "buf != NULL && size > 0", buf);
    const std::string_view name(buf, strnlen(buf, size));
    if (name.empty() || name == "(none)") {
        str_safecopy2(buf, size, "none");
    }
    return buf;
}
