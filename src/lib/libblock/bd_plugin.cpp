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
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "libconf/conf.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/basic/verr.h"
#include "libpal/env/pl_assert.h"
#include "libpal/os/os_init.h"
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
bool resolve(void *lib, bd_plugin *p, const char *path)
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
        ZLOG_ERR("os_dlsym [%s] %s failed: %s\n", path, kEntryPoints[i], why != nullptr ? why : "not found");
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

// Why the file at path must not be loaded, or nullptr. Its constructors run
// in the daemon as it loads, so a root daemon takes only what root alone
// could have written. Opened without blocking (a FIFO would hold the loader,
// and the daemon's start, for ever) and judged by that descriptor; a path
// that cannot be opened is left to the loader, which says why in its words.
// A name without "/" is the dynamic linker's to find on its own path, not a
// file of the working directory.
const char *file_refusal(const char *path, char *why, size_t size)
{
    if (strchr(path, '/') == nullptr)
        return nullptr;
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    const int rc = fstat(fd, &st);
    close(fd);
    if (rc != 0)
        return nullptr;
    if (!S_ISREG(st.st_mode))
        str_safecopy(why, size, "not a regular file");
    else if (geteuid() == 0 && st.st_uid != 0)
        str_sprintf_s(why, size, "owned by uid %u, not by root", static_cast<unsigned>(st.st_uid));
    else if (geteuid() == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        str_sprintf_s(why, size, "writable by group or others (mode %04o)", static_cast<unsigned>(st.st_mode & 07777));
    else
        return nullptr;
    return why;
}

}  // namespace

bd_drv *libplugin_init(const char *path)
{
    PL_ASSERT_RET(path != nullptr, nullptr);
    plugin_ptr p(static_cast<bd_plugin *>(os_zalloc(sizeof(bd_plugin))));
    if (!p)
        return nullptr;
    ZLOG_DBG("[%s] ==>\n", path);
    char refusal[128];
    if (file_refusal(path, refusal, sizeof(refusal)) != nullptr) {
        ZLOG_ERR("plug-in [%s] refused: %s\n", path, refusal);
        return nullptr;
    }
    library_ptr lib(os_dlopen(path));
    if (!lib) {
        // The loader's own reason: a missing file, a file that is no shared
        // object, a missing dependency. errno says none of them.
        const char *why = os_dlerror();
        ZLOG_ERR("os_dlopen2 [%s] error: %s\n", path, why != nullptr ? why : "unknown");
        return nullptr;
    }
    if (!resolve(lib.get(), p.get(), path) || !introduce(p.get(), path))
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
