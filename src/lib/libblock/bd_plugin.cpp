// Block-driver plug-ins: the loader that turns a shared object into a driver
// table, the list loaders of the block layer, and the common driver
// operations through which a device reaches a plug-in.
#define ZLOG_TAG "mblock2"

#include "libblock/bd_plugin.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "libblock/bd_held.h"
#include "libconf/conf.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/basic/verr.h"
#include "libpal/env/pl_assert.h"
#include "libpal/os/os_init.h"
#include "libpal/string/path.h"
#include "libpal/string/str_array.h"
#include "libpal/string/str_safe.h"
#include "liblog/zlog.h"

namespace {

constexpr int kCodeNotSupported = -37;
constexpr int kCodeParam = -2;
constexpr uint32_t kKindLoaded = 0;
constexpr uint32_t kKindInProcess = 1;

// The entry points, in the order they are resolved; the first kRequired
// must be there, the others are optional.
constexpr std::array<const char *, 16> kEntryPoints = {
    "qd_disk_plug_name", "qd_disk_plug_version", "qd_disk_plug_support_exts", "qd_disk_plug_support_open",
    "qd_disk_plug_init", "qd_disk_plug_probe", "qd_disk_plug_open", "qd_disk_plug_close",
    "qd_disk_plug_last_errno", "qd_disk_plug_fsize", "qd_disk_plug_sector_size", "qd_disk_plug_is_fixed_size",
    "qd_disk_plug_pread", "qd_disk_plug_pwrite", "qd_disk_plug_sync", "qd_disk_plug_support_params",
};
constexpr size_t kRequired = 14;

template <typename Fn>
void take(Fn &slot, void *sym)
{
    static_assert(sizeof(Fn) == sizeof(sym));
    memcpy(&slot, &sym, sizeof(slot));
}

// The loader names what it loads by the name it was given: its messages say
// io (the descriptor's procfs name) where the operator wrote path.
std::string as_named(const char *text, const std::string &io, const char *path)
{
    std::string out = text != nullptr ? text : "unknown";
    for (size_t at = 0; (at = out.find(io, at)) != std::string::npos;) {
        const size_t end = at + io.size();
        if (end < out.size() && isdigit(static_cast<unsigned char>(out[end]))) {
            at = end;
            continue;
        }
        out.replace(at, io.size(), path);
        at += strlen(path);
    }
    return out;
}

struct library_closer {
    void operator()(void *h) const { os_dlclose(h); }
};
using library_ptr = std::unique_ptr<void, library_closer>;

struct plugin_free {
    void operator()(bd_plugin *p) const
    {
        os_free(p->path);
        os_free(p);
    }
};
using plugin_ptr = std::unique_ptr<bd_plugin, plugin_free>;

// Every entry point is found before any is called: a plug-in that would be
// refused for a missing one must not have run its init (its threads or
// handlers would outlive the unloaded code).
bool resolve(void *lib, bd_plugin *p, const char *path, const std::string &io)
{
    std::array<void *, kEntryPoints.size()> sym{};
    for (size_t i = 0; i < kEntryPoints.size(); i++) {
        sym[i] = os_dlsym(lib, kEntryPoints[i]);
        if (sym[i] != nullptr)
            continue;
        if (i >= kRequired) {
            ZLOG_DBG("os_dlsym %s failed\n", kEntryPoints[i]);
            continue;
        }
        const char *why = os_dlerror();
        ZLOG_ERR("os_dlsym [%s] %s failed: %s\n", path, kEntryPoints[i],
                 why != nullptr ? as_named(why, io, path).c_str() : "not found");
        return false;
    }
    take(p->name_fn, sym[0]);
    take(p->version, sym[1]);
    take(p->support_exts, sym[2]);
    take(p->support_open, sym[3]);
    take(p->init, sym[4]);
    take(p->probe, sym[5]);
    take(p->open, sym[6]);
    take(p->close, sym[7]);
    take(p->last_errno, sym[8]);
    take(p->fsize, sym[9]);
    take(p->sector_size, sym[10]);
    take(p->is_fixed_size, sym[11]);
    take(p->pread, sym[12]);
    take(p->pwrite, sym[13]);
    take(p->sync, sym[14]);
    take(p->support_params, sym[15]);
    return true;
}

const char *text_or_empty(const char *text)
{
    return text != nullptr ? text : "";
}

// Entry points 1 to 5: the name is kept, the others logged; init's refusal
// (or a plug-in without a name) refuses the load.
bool introduce(bd_plugin *p, const char *path)
{
    p->name = p->name_fn();
    if (p->name == nullptr || p->name[0] == '\0') {
        ZLOG_ERR("[%s] plugin_name is empty: not loaded\n", path);
        return false;
    }
    ZLOG_DBG("plugin_name=[%s]\n", p->name);
    ZLOG_DBG("plugin_version=[%s]\n", text_or_empty(p->version()));
    ZLOG_DBG("exts=[%s]\n", text_or_empty(p->support_exts()));
    ZLOG_DBG("support_open=[%d]\n", p->support_open());
    const bd_plugin_init_param param{sizeof(bd_plugin_init_param), log2_printf_cb};
    if (int rc = p->init(&param); rc != 0) {
        ZLOG_ERR("[%s] qd_disk_plug_init failed: %d\n", path, rc);
        return false;
    }
    return true;
}

uint32_t kind_of(const void *plugin)
{
    uint32_t kind;
    memcpy(&kind, plugin, sizeof(kind));
    return kind;
}

const bd_plugin *loaded(const bd_plugin_file *f)
{
    return kind_of(f->plugin) == kKindLoaded ? static_cast<const bd_plugin *>(f->plugin) : nullptr;
}

const comm_plugin_ops *in_process(const bd_plugin_file *f)
{
    return kind_of(f->plugin) == kKindInProcess ? static_cast<const comm_plugin_ops *>(f->plugin) : nullptr;
}

void set_error(bd_dev *dev, int code)
{
    verr_set(&dev->err, __FILE__, __LINE__, __func__, code, "%s", verr2str(code));
}

// A failed call of a loaded plug-in: the code of its handle's last errno.
int64_t fail_io(bd_dev *dev, const bd_plugin_file *f)
{
    if (const bd_plugin *p = loaded(f); p != nullptr) {
        int eno = p->last_errno(f->handle);
        set_error(dev, os_verr_get(eno != 0 ? eno : EIO));
    }
    return -1;
}

uint64_t access_position(const bd_dev *dev, const bd_plugin_file *f, uint64_t offset)
{
    return offset == BD_OFFSET_CUR ? f->position : dev->vol_start + offset;
}

// The common end of a read or a write: the plug-in's result checked (a count
// above the one asked for is a failure too), the position moved.
int64_t finish_io(bd_dev *dev, bd_plugin_file *f, uint64_t pos, uint32_t count, int rc)
{
    if (rc < 0)
        return fail_io(dev, f);
    if (static_cast<uint32_t>(rc) > count) {
        set_error(dev, os_verr_get(EIO));
        return -1;
    }
    f->position = pos + static_cast<uint32_t>(rc);
    return rc;
}

std::vector<std::string> split_list(const char *list)
{
    std::vector<std::string> out;
    std::string_view rest(list);
    while (true) {
        size_t bar = rest.find('|');
        std::string_view item = rest.substr(0, bar);
        if (!item.empty())
            out.emplace_back(item);
        if (bar == std::string_view::npos)
            return out;
        rest.remove_prefix(bar + 1);
    }
}

// A step of a plug-in's path held with O_PATH (nothing of the object runs
// or blocks on it), what fstat said of it, and its name as a refusal shows it.
struct held {
    int fd = -1;
    struct stat st{};
    std::string shown;
    held() = default;
    held(held &&o) noexcept : fd(std::exchange(o.fd, -1)), st(o.st), shown(std::move(o.shown)) {}
    held &operator=(held &&o) noexcept
    {
        std::swap(fd, o.fd);
        st = o.st;
        shown = std::move(o.shown);
        return *this;
    }
    held(const held &) = delete;
    held &operator=(const held &) = delete;
    ~held()
    {
        if (fd >= 0)
            close(fd);
    }
};

// As many links as the kernel's own walk follows before ELOOP.
constexpr int kMaxLinks = 40;

std::string errno_text(int eno)
{
    return strerror(eno);
}

std::string owner_text(uid_t uid)
{
    return "owned by uid " + std::to_string(uid) + ", not by root";
}

std::string mode_text(mode_t mode)
{
    std::array<char, 48> text{};
    str_sprintf_s(text.data(), text.size(), "writable by group or others (mode %04o)",
                  static_cast<unsigned>(mode & 07777));
    return text.data();
}

bool writable_by_others(mode_t mode)
{
    return (mode & (S_IWGRP | S_IWOTH)) != 0;
}

// For a root daemon: a directory on the path must be root's and writable by
// nobody else, or sticky, where only the owner of an entry may rename it (its
// entries are then judged one by one). "" when it may be passed through.
std::string dir_refusal(const held &dir)
{
    if (dir.st.st_uid != 0)
        return "directory [" + dir.shown + "] " + owner_text(dir.st.st_uid);
    if (writable_by_others(dir.st.st_mode) && (dir.st.st_mode & S_ISVTX) == 0)
        return "directory [" + dir.shown + "] " + mode_text(dir.st.st_mode);
    return "";
}

std::vector<std::string> path_names(std::string_view path)
{
    std::vector<std::string> out;
    while (!path.empty()) {
        const size_t slash = std::min(path.find('/'), path.size());
        if (slash > 0)
            out.emplace_back(path.substr(0, slash));
        path.remove_prefix(std::min(slash + 1, path.size()));
    }
    return out;
}

std::string joined(const std::string &dir, const std::string &name)
{
    return dir == "/" ? dir + name : dir + "/" + name;
}

// Holds the object path names in out, walking from "/" one name at a time
// and following links by hand, so that every directory the name passes
// through, the links' own included, is seen; for a root daemon each must
// pass dir_refusal. "" or the refusal.
std::string hold_path(const char *path, bool root, held &out)
{
    std::string full = path;
    if (full[0] != '/') {
        std::array<char, PL_MAX_PATH> cwd{};
        if (getcwd(cwd.data(), cwd.size()) == nullptr)
            return "cannot read the working directory: " + errno_text(errno);
        full = joined(cwd.data(), full);
    }
    std::vector<std::string> names = path_names(full);
    std::reverse(names.begin(), names.end());  // the next name last
    std::vector<held> chain(1);
    chain[0].shown = "/";
    chain[0].fd = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (chain[0].fd < 0 || fstat(chain[0].fd, &chain[0].st) != 0)
        return "cannot open [/]: " + errno_text(errno);
    if (std::string why = root ? dir_refusal(chain[0]) : ""; !why.empty())
        return why;
    for (int links = 0; !names.empty();) {
        const std::string name = std::move(names.back());
        names.pop_back();
        if (name == "." || (name == ".." && chain.size() == 1))
            continue;
        if (name == "..") {
            chain.pop_back();
            continue;
        }
        const held &dir = chain.back();
        held next;
        next.shown = joined(dir.shown, name);
        next.fd = openat(dir.fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (next.fd < 0 || fstat(next.fd, &next.st) != 0)
            return "cannot open [" + next.shown + "]: " + errno_text(errno);
        // Others may write dir only as a sticky one: what it hands on is root's.
        if (root && writable_by_others(dir.st.st_mode) && next.st.st_uid != 0)
            return "[" + next.shown + "] in sticky directory [" + dir.shown + "] " + owner_text(next.st.st_uid);
        if (S_ISLNK(next.st.st_mode)) {
            std::array<char, PL_MAX_PATH> target{};
            const ssize_t n = ++links > kMaxLinks ? (errno = ELOOP, -1)
                                                  : readlinkat(next.fd, "", target.data(), target.size() - 1);
            if (n < 0)
                return "cannot open [" + next.shown + "]: " + errno_text(errno);
            std::vector<std::string> more = path_names(std::string_view(target.data(), static_cast<size_t>(n)));
            names.insert(names.end(), more.rbegin(), more.rend());
            if (target[0] == '/')
                chain.resize(1);
            continue;
        }
        if (names.empty()) {
            out = std::move(next);
            return "";
        }
        if (!S_ISDIR(next.st.st_mode))
            return "cannot open [" + next.shown + "]: " + errno_text(ENOTDIR);
        if (std::string why = root ? dir_refusal(next) : ""; !why.empty())
            return why;
        chain.push_back(std::move(next));
    }
    out = std::move(chain.back());  // the path names a directory
    return "";
}

// Why the file at path must not be loaded, or "". Its constructors run in
// the daemon as it loads, so a root daemon takes only what root alone could
// have written or put in place. The file is judged on the descriptor held in
// file, which is what gets loaded.
std::string file_refusal(const char *path, held &file)
{
    const bool root = geteuid() == 0;
    if (std::string why = hold_path(path, root, file); !why.empty())
        return why;
    if (!S_ISREG(file.st.st_mode))
        return "not a regular file";
    if (root && file.st.st_uid != 0)
        return owner_text(file.st.st_uid);
    if (root && writable_by_others(file.st.st_mode))
        return mode_text(file.st.st_mode);
    return "";
}

// The library at path, loaded through the descriptor that was judged; io
// receives the name the loader knows it by. nullptr (logged) when refused.
library_ptr load_judged(const char *path, std::string &io)
{
    io = path;
    held file;
    // A name without "/" is the dynamic linker's to find on its own path,
    // not a file of the working directory.
    if (strchr(path, '/') != nullptr) {
        if (std::string why = file_refusal(path, file); !why.empty()) {
            ZLOG_ERR("plug-in [%s] refused: %s\n", path, why.c_str());
            return nullptr;
        }
        std::array<char, 32> reopen{};
        if (bd_held_reopen_path(file.fd, reopen.data(), reopen.size()) != 0) {
            ZLOG_ERR("plug-in [%s] refused: %s\n", path, BD_HELD_NEEDS_PROC);
            return nullptr;
        }
        io = reopen.data();
    }
    library_ptr lib(os_dlopen(io.c_str()));
    if (!lib) {
        // The loader's own reason: a file that is no shared object, a
        // missing dependency. errno says none of them.
        ZLOG_ERR("os_dlopen2 [%s] error: %s\n", path, as_named(os_dlerror(), io, path).c_str());
        return nullptr;
    }
    // The loader keeps the name of what it mapped, and a later load under
    // the same descriptor number would be handed this object: the number
    // stays taken for the life of the process, as the code it names.
    file.fd = -1;
    return lib;
}

}  // namespace

bd_drv *libplugin_init(const char *path)
{
    PL_ASSERT_RET(path != nullptr, nullptr);
    plugin_ptr p(static_cast<bd_plugin *>(os_zalloc(sizeof(bd_plugin))));
    if (!p)
        return nullptr;
    ZLOG_DBG("[%s] ==>\n", path);
    std::string io;
    library_ptr lib;
    try {
        lib = load_judged(path, io);
        if (!lib || !resolve(lib.get(), p.get(), path, io))
            return nullptr;
    } catch (const std::bad_alloc &) {
        ZLOG_ERR("plug-in [%s] refused: %s\n", path, verr2str(-8));
        return nullptr;
    }
    if (!introduce(p.get(), path))
        return nullptr;
    p->kind = kKindLoaded;
    p->path = os_strdup(path);
    auto *drv = static_cast<bd_drv *>(os_zalloc(sizeof(bd_drv)));
    if (p->path == nullptr || drv == nullptr) {
        os_free(drv);
        return nullptr;
    }
    drv->type = BD_DRV_TYPE_PLUGIN;
    drv->name = p->name;
    drv->exts = text_or_empty(p->support_exts());
    drv->support_open = static_cast<uint32_t>(p->support_open());
    drv->probe = bdrv_plugin_probe;
    drv->open = comm_plugin_open;
    drv->close = comm_plugin_close;
    drv->read = comm_plugin_read;
    drv->write = comm_plugin_write;
    drv->size = comm_plugin_size;
    drv->ioctl = comm_plugin_ioctl;
    drv->params = p->support_params != nullptr ? p->support_params() : nullptr;
    ZLOG_DBG("params=[%s]\n", text_or_empty(drv->params));
    drv->priv = p.release();
    // Loaded for good: its code is what the table now calls.
    (void)lib.release();
    return drv;
}

void libplugin_free(const bd_drv *drv)
{
    if (drv == nullptr || drv->priv == nullptr || kind_of(drv->priv) != kKindLoaded)
        return;
    plugin_ptr p(static_cast<bd_plugin *>(drv->priv));
    os_free(const_cast<bd_drv *>(drv));
}

int bd_load_plugins(const char *list)
{
    if (list == nullptr)
        return 0;
    try {
        for (const std::string &path : split_list(list)) {
            bd_drv *drv = libplugin_init(path.c_str());
            if (drv != nullptr && bd_plugin_add(drv) != 0)
                libplugin_free(drv);
        }
    } catch (const std::bad_alloc &) {
        ZLOG_ERR("bd_load_plugins: %s\n", verr2str(-8));
    }
    return 0;
}

int bd_load_conf_plugins(const char *path)
{
    conf_handle *conf = conf_load(path);
    if (conf == nullptr) {
        ZLOG_DBG("load [%s] failed\n", path != nullptr ? path : "");
        return -1;
    }
    const int rc = bd_load_conf_plugins_from(conf);
    conf_close(conf);
    return rc;
}

int bd_load_conf_plugins_from(conf_handle *conf)
{
    str_vector *items = conf_get_array(conf, "bd_plugins_load");
    std::string list;
    try {
        for (uint32_t i = 0; items != nullptr && i < items->count; i++) {
            if (!list.empty())
                list.push_back('|');
            list.append(items->items[i]);
        }
    } catch (const std::bad_alloc &) {
        list.clear();
    }
    str_vector_free(items);
    ZLOG_DBG("bd_plug_list=[%s]\n", list.c_str());
    if (!list.empty())
        bd_load_plugins(list.c_str());
    return 0;
}

int bdrv_plugin_probe(const char *path, uint64_t flags, void *priv)
{
    auto *p = static_cast<bd_plugin *>(priv);
    PL_ASSERT_RET(p != nullptr, -1);
    int rc = p->probe(path, static_cast<uint32_t>(flags), p);
    if (rc == 0 && std::atomic_ref<uint32_t>(p->used).exchange(1) == 0)
        log2_printf(nullptr, LOG2_DBG | LOG2_F_NET, ZLOG_TAG, __FILE__, __LINE__, __func__, "use plugin [%s] [%s]\n",
                    p->path, p->name);
    return rc;
}

void *comm_plugin_open(const char *path, bd_open_param *param)
{
    PL_ASSERT_RET(param != nullptr && param->dev != nullptr && param->priv != nullptr, nullptr);
    bd_dev *dev = param->dev;
    const void *plugin = param->priv;
    const auto *p = kind_of(plugin) == kKindLoaded ? static_cast<const bd_plugin *>(plugin) : nullptr;
    const auto *ops = p == nullptr ? static_cast<const comm_plugin_ops *>(plugin) : nullptr;
    void *handle = nullptr;
    if (p != nullptr) {
        std::vector<char> err(VERR_MSG_SIZE);
        handle = p->open(path, param->flags, err.data());
        if (handle == nullptr) {
            err.back() = '\0';
            verr_set(&dev->err, __FILE__, __LINE__, __func__, -1, "%s", err[0] != '\0' ? err.data() : "open failed");
            return nullptr;
        }
    } else {
        handle = ops->open(path, param->flags, param->opaque, &dev->err, param->name);
        if (handle == nullptr)
            return nullptr;
    }
    auto *f = static_cast<bd_plugin_file *>(os_zalloc(sizeof(bd_plugin_file)));
    if (f == nullptr) {
        if (p != nullptr)
            p->close(handle);
        else
            ops->close(handle);
        set_error(dev, -8);
        return nullptr;
    }
    f->handle = handle;
    f->plugin = plugin;
    f->position = dev->vol_start;
    if (p != nullptr) {
        f->size_mode = p->is_fixed_size(handle) != 0 ? BD_PLUGIN_FIXED : BD_PLUGIN_GROWABLE;
        dev->fsize = p->fsize(handle);
        dev->sector_size = p->sector_size(handle);
    } else {
        f->size_mode = ops->size_mode != nullptr ? ops->size_mode(handle) : BD_PLUGIN_FIXED;
        dev->fsize = ops->size(handle);
        dev->sector_size = ops->sector_size(handle);
    }
    return f;
}

int comm_plugin_close(void *file)
{
    auto *f = static_cast<bd_plugin_file *>(file);
    if (f == nullptr)
        return 0;
    if (const bd_plugin *p = loaded(f); p != nullptr)
        p->close(f->handle);
    else
        in_process(f)->close(f->handle);
    os_free(f);
    return 0;
}

int64_t comm_plugin_read(bd_dev *dev, void *file, uint64_t offset, void *buf, uint32_t len)
{
    auto *f = static_cast<bd_plugin_file *>(file);
    PL_ASSERT_RET(dev != nullptr && f != nullptr, -1);
    uint64_t pos = access_position(dev, f, offset);
    if (pos >= dev->fsize)
        return 0;
    auto count = static_cast<uint32_t>(std::min<uint64_t>(len, dev->fsize - pos));
    if (count == 0)
        return 0;
    const bd_plugin *p = loaded(f);
    int rc = p != nullptr ? p->pread(f->handle, buf, count, pos) : in_process(f)->read(f->handle, buf, count, pos);
    return finish_io(dev, f, pos, count, rc);
}

int64_t comm_plugin_write(bd_dev *dev, void *file, uint64_t offset, const void *buf, uint32_t len)
{
    auto *f = static_cast<bd_plugin_file *>(file);
    PL_ASSERT_RET(dev != nullptr && f != nullptr, -1);
    uint64_t pos = access_position(dev, f, offset);
    uint32_t count = len;
    if (f->size_mode == BD_PLUGIN_FIXED) {
        if (pos > dev->fsize) {
            ZLOG_ERR("roffset=%ld > fsize=%ld\n", static_cast<long>(pos), static_cast<long>(dev->fsize));
            return 0;
        }
        count = static_cast<uint32_t>(std::min<uint64_t>(len, dev->fsize - pos));
        if (count == 0)
            return 0;
    }
    const bd_plugin *p = loaded(f);
    int rc = p != nullptr ? p->pwrite(f->handle, buf, count, pos) : in_process(f)->write(f->handle, buf, count, pos);
    return finish_io(dev, f, pos, count, rc);
}

int64_t comm_plugin_size(bd_dev *dev, void *)
{
    PL_ASSERT_RET(dev != nullptr, -1);
    return static_cast<int64_t>(dev->vol_size != 0 ? dev->vol_size : dev->fsize);
}

int comm_plugin_ioctl(bd_dev *dev, void *file, uint32_t code, void *arg, uint32_t arg_size)
{
    auto *f = static_cast<bd_plugin_file *>(file);
    PL_ASSERT_RET(dev != nullptr && f != nullptr, -1);
    const bd_plugin *p = loaded(f);
    const comm_plugin_ops *ops = in_process(f);
    auto out = [&](const auto &value) {
        if (arg == nullptr || arg_size < sizeof(value)) {
            set_error(dev, kCodeParam);
            return -1;
        }
        memcpy(arg, &value, sizeof(value));
        return 0;
    };
    switch (code) {
    case BD_IOCTL_SYNC: {
        if ((p != nullptr && p->sync == nullptr) || (ops != nullptr && ops->sync == nullptr))
            break;
        int rc = p != nullptr ? p->sync(f->handle) : ops->sync(f->handle);
        return rc < 0 ? static_cast<int>(fail_io(dev, f)) : 0;
    }
    case BD_IOCTL_SEEK: {
        uint64_t at = 0;
        if (arg == nullptr || arg_size < sizeof(at)) {
            set_error(dev, kCodeParam);
            return -1;
        }
        memcpy(&at, arg, sizeof(at));
        f->position = dev->vol_start + at;
        return 0;
    }
    case BD_IOCTL_ZERO_ID:
        return out(uint32_t{0});
    case BD_IOCTL_VOLUME:
        return out(bd_volume{dev->vol_start, dev->vol_size});
    case BD_IOCTL_DRV_INFO: {
        bd_drv_info info{};
        info.type = f->size_mode;
        info.size = static_cast<uint64_t>(comm_plugin_size(dev, file));
        info.offset = f->position > dev->vol_start ? f->position - dev->vol_start : 0;
        info.sector_size = dev->sector_size;
        const char *name = p != nullptr ? p->name : ops->drv != nullptr ? ops->drv->name : "";
        str_sprintf_s(info.name, sizeof(info.name), "bd_type=%s", name);
        return out(info);
    }
    default:
        break;
    }
    set_error(dev, kCodeNotSupported);
    return -1;
}
