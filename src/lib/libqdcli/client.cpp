// Client configuration files and session URLs.
#define ZLOG_TAG "qdcli"

#include "libqdcli/client.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>

#include <strings.h>
#include <unistd.h>

#include "libconf/conf.h"
#include "libpal/basic/pl_own.h"
#include "libpal/basic/verr.h"
#include "libpal/env/pl_assert.h"
#include "libpal/os/os_init.h"
#include "libpal/os/os_path.h"
#include "libpal/string/path.h"
#include "libpal/string/str_array.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/url.h"
#include "liblog/zlog.h"

namespace {

constexpr const char *kClientFile = "qd_client.ini";
constexpr const char *kProxyFile = "qd_proxy.ini";
constexpr const char *kGuiFile = "miraw-gui-user.ini";
constexpr const char *kConf = "conf";
// Default of "prot" that tells a missing session from a present one.
constexpr const char *kMissing = "error_val!!!";

struct timeout_row {
    const char *name;
    int def;
};
constexpr timeout_row kTimeouts[] = {
    {"connect_timeout", 6},
    {"read_timeout", 15},
    {"write_timeout", 8},
};
// The seconds an export name may give a time-out: the block layer refuses a
// name outside them, so a configured value outside them is brought inside
// (with a warning) rather than refusing every export.
constexpr int kTimeoutMinS = 1;
constexpr int kTimeoutMaxS = 600;

using path_buf = std::array<char, PL_MAX_PATH>;

// The two paths are chosen at start-up and read by every client thread.
std::mutex g_path_lock;
path_buf g_client_path{};
path_buf g_proxy_path{};

path_buf client_path()
{
    std::lock_guard<std::mutex> guard(g_path_lock);
    return g_client_path;
}

void set_paths(const char *client, const char *proxy)
{
    std::lock_guard<std::mutex> guard(g_path_lock);
    str_safecopy2(g_client_path.data(), g_client_path.size(), client);
    str_safecopy2(g_proxy_path.data(), g_proxy_path.size(), proxy);
}

struct conf_closer {
    void operator()(conf_handle *h) const { conf_close(h); }
};
using conf_ptr = std::unique_ptr<conf_handle, conf_closer>;

struct vector_deleter {
    void operator()(str_vector *v) const { str_vector_free(v); }
};
using vector_ptr = std::unique_ptr<str_vector, vector_deleter>;

// nullptr when no directory was chosen or the file does not load.
conf_ptr load_client(bool create)
{
    path_buf path = client_path();
    if (path[0] == '\0')
        return nullptr;
    return conf_ptr(create ? conf_create_load(path.data()) : conf_load(path.data()));
}

void section_of(const char *name, char *out, size_t size)
{
    str_sprintf_s2(out, size, "session/%s", name != nullptr ? name : "");
}

void copy_key(conf_handle *h, const char *section, const char *key, const char *def, char *out, size_t size)
{
    str_safecopy2(out, size, conf_get_str(h, section, key, def));
}

// Export locations: the proxy file, and the cache directory when one is set.
void export_env(const char *proxy, bool empty_cache_too)
{
    os_setenv("QD_PROXY_FILE", proxy, 1);
    path_buf cache{};
    qd_conf_get_str("cache_dir", cache.data(), cache.size());
    if (cache[0] != '\0' || empty_cache_too)
        os_setenv("QD_CACHE", cache.data(), 1);
}

bool try_dir(const char *dir)
{
    path_buf file{}, proxy{};
    path_build2(file.data(), file.size(), dir, kClientFile);
    if (file[0] == '\0' || os_file_exist(file.data()) != 1)
        return false;
    path_build2(proxy.data(), proxy.size(), dir, kProxyFile);
    set_paths(file.data(), proxy.data());
    export_env(proxy.data(), false);
    return true;
}

}  // namespace

int qd_conf_init()
{
    if (client_path()[0] != '\0')
        return 0;
    const char *env = os_getenv("QD_ENV_CONF_DIR");
    if (env != nullptr && env[0] != '\0' && try_dir(env))
        return 0;
    path_buf dir{};
    if (getcwd(dir.data(), dir.size()) != nullptr && try_dir(dir.data()))
        return 0;
    if (os_exe_get_dir(dir.data(), dir.size()) == 0 && try_dir(dir.data()))
        return 0;
    set_paths("", "");
    return -1;
}

int qd_conf_set_path(const char *directory)
{
    const char *dir = directory != nullptr ? directory : "";
    const char *env = os_getenv("QD_ENV_CONF_DIR");
    if (env != nullptr && env[0] != '\0') {
        ZLOG_DBG("use env_conf_dir=[%s]\n", env);
        dir = env;
    }
    path_buf gui{}, client{}, proxy{};
    str_sprintf_s2(gui.data(), gui.size(), "%s\\%s", dir, kGuiFile);
    path_normalize(gui.data());
    if (os_file_exist(gui.data()) == 1) {
        client = gui;
    } else {
        str_sprintf_s2(client.data(), client.size(), "%s\\%s", dir, kClientFile);
        path_normalize(client.data());
    }
    str_sprintf_s2(proxy.data(), proxy.size(), "%s\\%s", dir, kProxyFile);
    path_normalize(proxy.data());
    set_paths(client.data(), proxy.data());
    export_env(proxy.data(), true);
    ZLOG_VERB("conf_client=[%s] conf_proxy=[%s]\n", client.data(), proxy.data());
    return 0;
}

int qd_conf_get_int(const char *key)
{
    if (key == nullptr)
        return 0;
    for (const auto &row : kTimeouts) {
        if (strcmp(row.name, key) == 0) {
            conf_ptr h = load_client(false);
            return h ? conf_get_int(h.get(), kConf, key, row.def) : row.def;
        }
    }
    return 0;
}

int qd_conf_get_timeouts(char *url)
{
    if (url == nullptr)
        return 0;
    conf_ptr h = load_client(false);
    for (const auto &row : kTimeouts) {
        const int value = h ? conf_get_int(h.get(), kConf, row.name, row.def) : row.def;
        const int used = std::clamp(value, kTimeoutMinS, kTimeoutMaxS);
        if (used != value)
            ZLOG_WARN("%s [%s] %s=%d is outside %d to %d seconds: %d used\n", kClientFile, kConf, row.name, value,
                      kTimeoutMinS, kTimeoutMaxS, used);
        url_set_query_int(url, row.name, used, set_not_exist);
    }
    return 0;
}

int qd_conf_get_str(const char *key, char *buf, size_t size)
{
    if (buf == nullptr || size == 0)
        return 0;
    buf[0] = '\0';
    if (key == nullptr)
        return 0;
    const char *cache = os_getenv("QD_CACHE");
    if (strcmp(key, "cache_dir") == 0 && cache != nullptr) {
        str_safecopy2(buf, size, cache);
        return 0;
    }
    if (conf_ptr h = load_client(false))
        copy_key(h.get(), kConf, key, "", buf, size);
    path_normalize(buf);
    return 0;
}

namespace {

// Opens (creating) the file, lets write change it and saves it.
template <typename Fn>
int conf_update(Fn write)
{
    conf_ptr h = load_client(true);
    if (!h) {
        ZLOG_ERR("conf_create_load [%s] fail\n", client_path().data());
        return -1;
    }
    write(h.get());
    return conf_save(h.get()) == 0 ? 0 : -1;
}

}  // namespace

int qd_conf_set_int(const char *key, int value)
{
    if (key == nullptr)
        return -1;
    return conf_update([&](conf_handle *h) { conf_set_int(h, kConf, key, value); });
}

int qd_conf_set_str(const char *key, const char *value)
{
    if (key == nullptr)
        return -1;
    const char *v = value != nullptr ? value : "";
    int rc = conf_update([&](conf_handle *h) { conf_set_str(h, kConf, key, v); });
    if (rc == 0 && strcmp(key, "cache_dir") == 0)
        os_setenv("QD_CACHE", v, 1);
    return rc;
}

int conf_client_get_info(const char *name, client_info *info, verr *err)
{
    PL_ASSERT_RET(name != nullptr && info != nullptr, -1);
    *info = client_info{};
    conf_ptr h = load_client(false);
    if (!h) {
        verr_set(err, __FILE__, __LINE__, __func__, -1, "conf_load %s failed", client_path().data());
        return -1;
    }
    str_safecopy2(info->name, sizeof(info->name), name);
    std::array<char, 512> section{};
    section_of(name, section.data(), section.size());
    const char *prot = conf_get_str(h.get(), section.data(), "prot", kMissing);
    if (strcmp(prot, kMissing) == 0) {
        verr_set(err, __FILE__, __LINE__, __func__, -1, "'%s' does not exist", name);
        return -1;
    }
    if (strcmp(prot, "qdp") == 0) {
        info->prot = 4;
        const char *s = section.data();
        if (strcmp(conf_get_str(h.get(), s, "ip", kMissing), kMissing) == 0) {
            verr_set(err, __FILE__, __LINE__, __func__, -1, "Failed to get ip");
            return -1;
        }
        copy_key(h.get(), s, "ip", "", info->ip, sizeof(info->ip));
        info->use_ssl = static_cast<uint32_t>(conf_get_int(h.get(), s, "use_ssl", 0));
        copy_key(h.get(), s, "port", "", info->port, sizeof(info->port));
        copy_key(h.get(), s, "user", "", info->user, sizeof(info->user));
        copy_key(h.get(), s, "pwd", "", info->pwd, sizeof(info->pwd));
        copy_key(h.get(), s, "bs", "2M", info->bs, sizeof(info->bs));
        copy_key(h.get(), s, "fmod", "644", info->fmod, sizeof(info->fmod));
        copy_key(h.get(), s, "dmod", "755", info->dmod, sizeof(info->dmod));
        copy_key(h.get(), s, "proxy", "", info->proxy, sizeof(info->proxy));
        return 0;
    }
    if (strcmp(prot, "net") == 0) {
        info->prot = 3;
        return 0;
    }
    if (strcmp(prot, "loc") == 0) {
        info->prot = 2;
        return 0;
    }
    verr_set(err, __FILE__, __LINE__, __func__, -1, "Unsupported protocol [%s]", prot);
    return -1;
}

int conf_client_set_info(const char *name, const client_info *info)
{
    PL_ASSERT_RET(name != nullptr && info != nullptr, -1);
    conf_ptr h = load_client(true);
    if (!h) {
        ZLOG_ERR("conf_load %s failed\n", client_path().data());
        return -1;
    }
    std::array<char, 512> section{};
    section_of(name, section.data(), section.size());
    const char *s = section.data();
    if (info->prot == 4) {
        conf_set_str(h.get(), s, "prot", "qdp");
        conf_set_int(h.get(), s, "use_ssl", static_cast<int>(info->use_ssl));
        const std::pair<const char *, const char *> keys[] = {
            {"ip", info->ip},     {"port", info->port}, {"user", info->user},
            {"pwd", info->pwd},   {"bs", info->bs},     {"fmod", info->fmod},
            {"dmod", info->dmod}, {"proxy", info->proxy},
        };
        for (const auto &[key, value] : keys)
            conf_set_str(h.get(), s, key, value);
    } else if (info->prot == 3) {
        conf_set_str(h.get(), s, "prot", "net");
    } else {
        ZLOG_ERR("cc->prot=%d error\n", static_cast<int>(info->prot));
    }
    return conf_save(h.get()) == 0 ? 0 : -1;
}

int conf_client_is_exist(const char *name)
{
    conf_ptr h = load_client(true);
    if (!h) {
        ZLOG_ERR("conf_load [%s] failed\n", client_path().data());
        return -1;
    }
    std::array<char, 512> section{};
    section_of(name, section.data(), section.size());
    return conf_has_section(h.get(), section.data()) ? 1 : 0;
}

int conf_client_del(const char *name)
{
    conf_ptr h = load_client(false);
    if (!h)
        return -1;
    std::array<char, 512> section{};
    section_of(name, section.data(), section.size());
    conf_del_section(h.get(), section.data());
    return conf_save(h.get()) == 0 ? 0 : -1;
}

int conf_client_copy_move(const char *old_name, const char *new_name)
{
    conf_ptr h = load_client(true);
    if (!h) {
        ZLOG_ERR("conf_load %s failed\n", client_path().data());
        return -1;
    }
    std::array<char, 512> from{}, to{};
    section_of(old_name, from.data(), from.size());
    section_of(new_name, to.data(), to.size());
    if (conf_rename_section(h.get(), from.data(), to.data()) != 0)
        return -1;
    return conf_save(h.get()) == 0 ? 0 : -1;
}

int conf_walk_item(conf_walk_cb cb, void *arg)
{
    vector_ptr sections;
    {
        conf_ptr h = load_client(true);
        if (!h) {
            ZLOG_ERR("conf_load %s failed\n", client_path().data());
            return -1;
        }
        conf_set_str(h.get(), "session/localhost", "prot", "loc");
        conf_set_str(h.get(), "session/network", "prot", "net");
        conf_save(h.get());
        sections.reset(conf_get_sections_match(h.get(), "session/*"));
    }
    if (!sections)
        return 0;
    constexpr std::string_view kPrefix = "session/";
    for (uint32_t i = 0; i < sections->count; i++) {
        const char *name = sections->items[i] + kPrefix.size();
        if (strcmp(name, "network") == 0 || strcmp(name, "_Quick_Connection") == 0)
            continue;
        client_info info;
        if (conf_client_get_info(name, &info, nullptr) != 0)
            continue;
        if (cb != nullptr)
            cb(arg, name, info.prot);
    }
    return 0;
}

int conf_client_info_url(const client_info *info, char *buf, size_t size)
{
    PL_ASSERT_RET(info != nullptr && buf != nullptr && size > 0, -1);
    if (info->prot == 2) {
        str_safecopy2(buf, size, "loc://");
        return 0;
    }
    std::array<char, URL_BUF_SIZE> url{};
    if (info->prot == 3) {
        str_sprintf_s2(url.data(), url.size(), "net://%s", info->name);
    } else if (info->prot == 4) {
        strcat_printf2(url.data(), url.size(), "%s", info->use_ssl != 0 ? "qdps://" : "qdp://");
        if (info->user[0] != '\0') {
            strcat_printf2(url.data(), url.size(), "%s", info->user);
            if (info->pwd[0] != '\0')
                strcat_printf2(url.data(), url.size(), ":%s", info->pwd);
            str_safecat2(url.data(), url.size(), "@");
        }
        std::array<char, sizeof(info->ip)> host{};
        str_safecopy2(host.data(), host.size(), info->ip);
        for (char &c : host)
            if (c == '_')
                c = ':';
        strcat_printf2(url.data(), url.size(), strchr(host.data(), ':') ? "[%s]" : "%s", host.data());
        if (info->port[0] != '\0')
            strcat_printf2(url.data(), url.size(), ":%s", info->port);
        if (info->proxy[0] != '\0')
            url_set_query_str(url.data(), "proxy", info->proxy);
    } else {
        return 0;
    }
    str_safecopy2(buf, size, url.data());
    return 0;
}

int conf_client_get_url(const char *name, char *buf, verr *err)
{
    PL_ASSERT_RET(buf != nullptr, -1);
    buf[0] = '\0';
    if (name == nullptr || name[0] == '\0')
        return 0;
    client_info info;
    if (conf_client_get_info(name, &info, err) != 0)
        return -1;
    return conf_client_info_url(&info, buf, URL_BUF_SIZE);
}

int conf_client_resolve_url(const char *name, char *buf, verr *err)
{
    PL_ASSERT_RET(name != nullptr && buf != nullptr, -1);
    // Every copy of the name may carry its "key=": wiped however the call ends.
    std::array<char, URL_BUF_SIZE> text{};
    const pl_wipe_guard text_wipe(text.data(), text.size());
    if (str_safecopy(text.data(), text.size(), name) != 0) {
        verr_set(err, __FILE__, __LINE__, __func__, -1, "name too long (%zu bytes)", strlen(name));
        return -1;
    }
    url_normalize(text.data());
    buf[0] = '\0';
    if (strncmp(text.data(), "///", 3) != 0) {
        memcpy(buf, text.data(), strlen(text.data()) + 1);
        return 0;
    }
    std::array<char, URL_BUF_SIZE> session{}, rest{}, url{};
    const pl_wipe_guard session_wipe(session.data(), session.size());
    const pl_wipe_guard rest_wipe(rest.data(), rest.size());
    const pl_wipe_guard url_wipe(url.data(), url.size());
    if (url_name_split(text.data(), session.data(), rest.data(), true) != 0 ||
        conf_client_get_url(session.data(), url.data(), err) != 0)
        return -1;
    if (strncasecmp(url.data(), "loc://", 6) == 0)
        url[0] = '\0';
    if (char *q = strchr(rest.data(), '?')) {
        *q = '\0';
        url_add_query_raw(url.data(), q + 1);
    }
    if (url_add_path(url.data(), rest.data()) != 0) {
        verr_set(err, __FILE__, __LINE__, __func__, -1, "name too long");
        return -1;
    }
    url_normalize(url.data());
    memcpy(buf, url.data(), strlen(url.data()) + 1);
    return 0;
}

int conf_client_resolve_url_inplace(char *name, verr *err)
{
    PL_ASSERT_RET(name != nullptr, -1);
    std::array<char, URL_BUF_SIZE> out{};
    const pl_wipe_guard wipe(out.data(), out.size());
    if (conf_client_resolve_url(name, out.data(), err) != 0)
        return -1;
    memcpy(name, out.data(), strlen(out.data()) + 1);
    return 0;
}
