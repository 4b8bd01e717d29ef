// Device lister.
#define ZLOG_TAG "lsblk"

#include "liblsblk/lsblk.h"

#include <sys/stat.h>

#include <array>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "libpal/env/pl_assert.h"
#include "libpal/os/os_dir.h"
#include "libpal/os/os_file.h"
#include "libpal/os/os_path.h"
#include "libpal/os/posix/os_dev_info.h"
#include "libpal/os/posix/os_info.h"
#include "libpal/string/path.h"
#include "libpal/string/str_array.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_glob.h"
#include "libpal/string/str_safe.h"
#include "libpal/basic/verr.h"
#include "libvdev/vdev.h"
#include "liblog/zlog.h"

namespace {

constexpr const char *kSkipList = "/dev/bpsm0|/dev/audit*|/dev/dumpdev|/dev/stdin|/dev/stderr|/dev/urandom|/dev/fd/*";
constexpr const char *kSkipMem = "/dev/mem";

std::mutex g_filt_lock;
str_vector *g_filt = nullptr;

bool dropped(const char *path)
{
    std::lock_guard<std::mutex> guard(g_filt_lock);
    if (g_filt == nullptr)
        return false;
    for (uint32_t i = 0; i < g_filt->count; i++)
        if (pl_glob_match_list_i(path, g_filt->items[i]))
            return true;
    return false;
}

bool listed(const lsblk_state *state, const char *path)
{
    const char *text = str_buf_cstr(state->sb);
    try {
        std::string key = std::string("].name=[") + path + "]\n";
        return text != nullptr && strstr(text, key.c_str()) != nullptr;
    } catch (const std::bad_alloc &) {
        return true;  // not listed twice, whatever else happens
    }
}

// Opening a character device can act on it (a watchdog, a port): only
// block-special nodes reached without a link are ever opened.
bool is_block_node(const char *path)
{
    os_file_stat_info st{};
    return os_lstat(path, &st) == 0 && S_ISBLK(st.mode);
}

void append_mount_lines(lsblk_state *state, const char *path)
{
    uint32_t i = state->index;
    std::array<char, PL_MAX_PATH> mnt_dir{}, mnt_type{};
    os_dev_get_attr(path, "mnt_dir", mnt_dir.data(), mnt_dir.size());
    os_dev_get_attr(path, "mnt_type", mnt_type.data(), mnt_type.size());
    if (mnt_dir[0] != '\0') {
        os_vol_info vol{};
        if (os_get_vol_info(mnt_dir.data(), &vol) == 0)
            str_buf_appendf(state->sb, "dev[%d].free_bytes=[%lld]\n", static_cast<int>(i),
                            static_cast<long long>(vol.free));
        str_buf_appendf(state->sb, "dev[%d].mnt_dir=[%s]\n", static_cast<int>(i), mnt_dir.data());
    }
    if (mnt_type[0] != '\0')
        str_buf_appendf(state->sb, "dev[%d].mnt_type=[%s]\n", static_cast<int>(i), mnt_type.data());
}

}  // namespace

int check_and_add(lsblk_state *state, const char *path)
{
    PL_ASSERT_RET(state != nullptr && state->sb != nullptr && path != nullptr, 0);
    ZLOG_VERB("open [%s]\n", path);
    if (dropped(path)) {
        ZLOG_VERB("lsblk_filt_drop return!!\n");
        return 0;
    }
    if (listed(state, path))
        return 0;
    // A virtual device has no node; its table serves it as a block device.
    if (!is_block_node(path) && vdev_find(path) == nullptr) {
        ZLOG_VERB("not a block device [%s]\n", path);
        return 0;
    }
    os_file_ctx *file = os_file_open(path, OS_PF_RDONLY);
    if (file == nullptr) {
        ZLOG_VERB("open %s error: %s\n", path, os_errno_str());
        return 0;
    }
    os_file_info info{};
    bool ok = os_file_ioctl(file, OS_FILE_GET_INFO, &info, sizeof(info));
    os_file_close(file);
    if (!ok) {
        ZLOG_VERB("dev get_info failed\n");
        return 0;
    }
    ZLOG_VERB("type=0x%x len=%lld ssize=%d\n", info.type, static_cast<long long>(info.size),
              static_cast<int>(info.block_size));
    if (info.size == 0) {
        ZLOG_VERB("dev len=0 return\n");
        return 0;
    }
    if (info.type == OS_FILE_TYPE_DIR) {
        ZLOG_VERB("dev is dir return\n");
        return 0;
    }
    int i = static_cast<int>(state->index);
    str_buf_appendf(state->sb, "dev[%d].name=[%s]\n", i, path);
    str_buf_appendf(state->sb, "dev[%d].len=[%lld]\n", i, static_cast<long long>(info.size));
    str_buf_appendf(state->sb, "dev[%d].ssize=[%d]\n", i, static_cast<int>(info.block_size));
    append_mount_lines(state, path);
    if (info.name[0] != '\0')
        str_buf_appendf(state->sb, "dev[%d].model=[%s]\n", i, info.name);
    state->index++;
    ZLOG_VERB("<==\n");
    return 1;
}

int lsblk_dir(lsblk_state *state, const char *directory)
{
    PL_ASSERT_RET(state != nullptr && directory != nullptr, -1);
    os_dir *dir = os_dir_open(directory, nullptr, 0);
    if (dir == nullptr)
        return -1;
    std::array<char, PL_MAX_PATH> path{};
    while (os_dir_entry *e = os_dir_read(dir)) {
        if (strcmp(e->name, ".") == 0 || strcmp(e->name, "..") == 0)
            continue;
        if (str_sprintf_s(path.data(), path.size(), "%s/%s", directory, e->name) < 0 || path[0] == '\0')
            continue;
        if (pl_glob_match_list(path.data(), kSkipList) || strcmp(path.data(), kSkipMem) == 0)
            continue;
        // Entries carry their lstat fields: a link to a directory is not walked.
        if (S_ISDIR(e->mode))
            lsblk_dir(state, path.data());
        else if (S_ISBLK(e->mode))
            check_and_add(state, path.data());
    }
    os_dir_close(dir);
    return 0;
}

char *lsblk_list()
{
    lsblk_state state{0, str_buf_new()};
    if (state.sb == nullptr)
        return nullptr;
    lsblk_dir(&state, "/dev");
    check_and_add(&state, "/dev/ram");
    check_and_add(&state, "/dev/pmem");
    ZLOG_DBG("==>\n");
    for (int i = 0; const char *name = vdev_name_at(i); i++)
        check_and_add(&state, name);
    return str_buf_detach_nonnull(state.sb);
}

int lsblk_filt_add(const char *patterns)
{
    std::lock_guard<std::mutex> guard(g_filt_lock);
    if (g_filt == nullptr)
        g_filt = str_vector_new(STR_F_OWN | STR_F_NO_EMPTY);
    if (g_filt == nullptr || patterns == nullptr)
        return 0;
    str_vector parts;
    str_vector_init(&parts, 0);
    str_vector_split(patterns, "|", &parts);
    for (uint32_t i = 0; i < parts.count; i++)
        str_vector_push_back(g_filt, parts.items[i]);
    str_vector_exit(&parts);
    return 0;
}

int lsblk_filt_free()
{
    std::lock_guard<std::mutex> guard(g_filt_lock);
    str_vector_free(g_filt);
    g_filt = nullptr;
    return 0;
}
