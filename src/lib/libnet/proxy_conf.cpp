// Proxy choice (URL, named section, "http_proxy") and the proxy file's
// sections. Passwords are read and written as hexadecimal text and never
// logged: URLs go to the log through url_safe_fmt.
#include "libnet/proxy_conf.h"

#include <array>
#include <cstring>
#include <memory>

#include "libconf/conf.h"
#include "libnet/net_verr.h"
#include "libpal/os/os_init.h"
#include "libpal/string/str_array.h"
#include "libpal/string/str_enc.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/url.h"

#define ZLOG_TAG "net"
#include "libpal/env/pl_assert.h"

namespace {

constexpr size_t k_pwd_hex_size = 256;  // 255 hexadecimal characters

struct proto_row {
    const char *name;
    uint32_t type;
};

constexpr std::array<proto_row, 3> k_protos = {{
    {"http", PROXY_TYPE_HTTP},
    {"socks4", PROXY_TYPE_SOCKS4},
    {"socks5", PROXY_TYPE_SOCKS5},
}};

struct conf_closer {
    void operator()(conf_handle *h) const { conf_close(h); }
};
using conf_ptr = std::unique_ptr<conf_handle, conf_closer>;

const char *proxy_file()
{
    return os_getenv("QD_PROXY_FILE");
}

// Type, host and port must all be there for a proxy to be used.
int check_proxy(const proxy_info *info, verr *err)
{
    if (info->host[0] == '\0') {
        NET_VERR(err, -2, "proxy ip is empty");
        return -1;
    }
    if (info->port == 0) {
        NET_VERR(err, -2, "proxy port is empty");
        return -1;
    }
    return 0;
}

// from_env: the text came from "http_proxy", and the error says so.
int from_url(const char *text, proxy_info *info, verr *err, bool from_env)
{
    url_info u = {};
    char store[URL_BUF_SIZE];
    if (url_parser(&u, store, text) != 0) {
        if (from_env)
            NET_VERR(err, -2, "env url [%s] invalid", text);
        else
            NET_VERR(err, -2, "proxy url [%s] invalid", text);
        return -1;
    }
    const int type = conf_proxy_2_id(u.protocol, err);
    if (type < 0)
        return -1;
    info->type = static_cast<uint32_t>(type);
    str_safecopy2(info->proto, sizeof(info->proto), u.protocol);
    str_safecopy2(info->host, sizeof(info->host), u.host);
    info->port = u.port;
    str_safecopy2(info->user, sizeof(info->user), u.user);
    str_safecopy2(info->pwd, sizeof(info->pwd), u.passwd);
    return check_proxy(info, err);
}

}  // namespace

int conf_proxy_2_id(const char *proto, verr *err)
{
    for (const proto_row &row : k_protos) {
        if (proto != nullptr && strcmp(proto, row.name) == 0)
            return static_cast<int>(row.type);
    }
    NET_VERR(err, -2, "proxy protocol [%s] Unsupported\n", proto != nullptr ? proto : "");
    return -1;
}

int conf_proxy_get(const char *proxy_url, const char *proxy_name, proxy_info *info, verr *err)
{
    PL_ASSERT_RET(info!=NULL, -1);
    memset(info, 0, sizeof(*info));
    char safe[URL_BUF_SIZE];
    if (proxy_url != nullptr && proxy_url[0] != '\0')
        return from_url(proxy_url, info, err, false);
    if (proxy_name != nullptr && proxy_name[0] != '\0') {
        const char *file = proxy_file();
        if (file == nullptr) {
            NET_VERR(err, -2, "%%QD_ENV_PROXY_FILE%% Is NULL");
            return -1;
        }
        char url[URL_BUF_SIZE];
        if (conf_proxy_load(file, proxy_name, info, url, err) != 0)
            return -1;
        ZLOG_DBG("use proxy=%s [%s]\n", proxy_name, url_safe_fmt(url, safe));
        return check_proxy(info, err);
    }
    const char *env = os_getenv("http_proxy");
    if (env == nullptr)
        return 1;
    ZLOG_DBG("use http_proxy=%s\n", url_safe_fmt(env, safe));
    return from_url(env, info, err, true);
}

int conf_proxy_load(const char *file, const char *name, proxy_info *info, char *url, verr *err)
{
    PL_ASSERT_RET(file && name && info, -1);
    conf_ptr h(conf_load(file));
    if (h == nullptr) {
        NET_VERR(err, -2, "conf_load [%s] failed", file);
        return -1;
    }
    if (!conf_has_section(h.get(), name)) {
        NET_VERR(err, -2, "proxy name [%s] does not exist", name);
        return -1;
    }
    memset(info, 0, sizeof(*info));
    str_safecopy2(info->proto, sizeof(info->proto), conf_get_str(h.get(), name, "proto", ""));
    const int type = conf_proxy_2_id(info->proto, err);
    if (type < 0)
        return -1;
    info->type = static_cast<uint32_t>(type);
    str_safecopy2(info->host, sizeof(info->host), conf_get_str(h.get(), name, "ip", ""));
    info->port = static_cast<uint32_t>(conf_get_int(h.get(), name, "port", 0));
    str_safecopy2(info->user, sizeof(info->user), conf_get_str(h.get(), name, "user", ""));
    char hex[k_pwd_hex_size];
    str_safecopy2(hex, sizeof(hex), conf_get_str(h.get(), name, "pwd", ""));
    if (hex[0] != '\0' && str_hex_decode_bin(hex, true, info->pwd, sizeof(info->pwd)) < 0) {
        // A text that is no hexadecimal is most likely the password in clear.
        NET_VERR(err, -2, "proxy pwd [%s] invalid", "_");
        memset(info->pwd, 0, sizeof(info->pwd));
        return -1;
    }
    if (url != nullptr) {
        const int port = static_cast<int>(info->port);
        if (info->user[0] != '\0' && info->pwd[0] != '\0')
            str_sprintf_s(url, URL_BUF_SIZE, "%s://%s:%s@%s:%d", info->proto, info->user, info->pwd, info->host,
                          port);
        else
            str_sprintf_s(url, URL_BUF_SIZE, "%s://%s:%d", info->proto, info->host, port);
    }
    return 0;
}

int conf_proxy_save(const char *file, const char *name, const proxy_info *info)
{
    PL_ASSERT_RET(file && name && info, -1);
    conf_ptr h(conf_create_load(file));
    if (h == nullptr) {
        ZLOG_ERR("conf_create_load %s failed\n", file);
        return -1;
    }
    char hex[k_pwd_hex_size];
    if (!str_bin_to_hex(info->pwd, strlen(info->pwd), hex, sizeof(hex))) {
        ZLOG_ERR("encode data failed\n");
        return -1;
    }
    const char *proto = "unkown";
    for (const proto_row &row : k_protos) {
        if (row.type == info->type)
            proto = row.name;
    }
    conf_set_str(h.get(), name, "proto", proto);
    conf_set_str(h.get(), name, "ip", info->host);
    conf_set_int(h.get(), name, "port", static_cast<int>(info->port));
    conf_set_str(h.get(), name, "user", info->user);
    conf_set_str(h.get(), name, "pwd", hex);
    return conf_save(h.get());
}

int conf_proxy_update(const char *old_name, const char *new_name, const proxy_info *info)
{
    PL_ASSERT_RET(new_name && info, -1);
    const char *file = proxy_file();
    if (file == nullptr)
        return -1;
    if (old_name != nullptr && old_name[0] != '\0' && strcmp(old_name, new_name) != 0) {
        conf_ptr h(conf_create_load(file));
        if (h == nullptr)
            return -1;
        if (conf_rename_section(h.get(), old_name, new_name) != 0 || conf_save(h.get()) != 0)
            return -1;
    }
    return conf_proxy_save(file, new_name, info);
}

str_vector *conf_proxy_list()
{
    const char *file = proxy_file();
    if (file == nullptr)
        return nullptr;
    conf_ptr h(conf_load(file));
    return h != nullptr ? conf_get_sections(h.get()) : nullptr;
}

int conf_proxy_name_by_index(int n, char *name)
{
    PL_ASSERT_RET(name!=NULL, -1);
    name[0] = '\0';
    str_vector *list = conf_proxy_list();
    if (list == nullptr)
        return -1;
    if (n >= 1 && static_cast<uint32_t>(n) <= list->count)
        str_safecopy2(name, 256, list->items[n - 1]);
    str_vector_free(list);
    return name[0] != '\0' ? 0 : -1;
}

int conf_proxy_get_by_index(int n, char *name, proxy_info *info)
{
    PL_ASSERT_RET(name && info, -1);
    const char *file = proxy_file();
    if (file == nullptr || conf_proxy_name_by_index(n, name) != 0)
        return -1;
    return conf_proxy_load(file, name, info, nullptr, nullptr);
}

int conf_proxy_get_url(const char *name, char *url)
{
    PL_ASSERT_RET(name && url, -1);
    url[0] = '\0';
    const char *file = proxy_file();
    if (file == nullptr)
        return -1;
    proxy_info info = {};
    const int r = conf_proxy_load(file, name, &info, url, nullptr);
    memset(info.pwd, 0, sizeof(info.pwd));
    return r;
}
