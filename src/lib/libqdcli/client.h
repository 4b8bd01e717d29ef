// Client configuration: "qd_client.ini" (connection time-outs and cache
// directory in section "conf", named sessions in sections "session/NAME") and
// "qd_proxy.ini" beside it. Used by the block layer, which chooses the
// directory once at start-up, adds the time-outs to every name it opens and
// resolves "///session/path" names through the sessions. Every call loads the
// file itself, so another program's changes are seen at the next call.
// Calls return 0, or -1 with the reason logged or in the caller's verr.
#pragma once

#include <cstddef>
#include <cstdint>

struct verr;

// One session of "qd_client.ini".
struct client_info {
    uint32_t prot;     // 4 "qdp", 3 "net", 2 "loc"
    char name[256];
    uint32_t use_ssl;  // non-zero: "qdps"
    char ip[256];      // an IPv6 address with "_" in place of ":"
    char port[32];
    char user[256];
    char pwd[256];
    char bs[8];        // block size, default "2M"
    char fmod[4];      // default "644"
    char dmod[4];      // default "755"
    char proxy[256];   // a section of "qd_proxy.ini"
};

// Choosing the directory. qd_conf_init tries QD_ENV_CONF_DIR, the working
// directory and the executable's directory; 0 when one holds "qd_client.ini"
// (or a directory was chosen before), else -1 and the defaults apply.
// QD_PROXY_FILE and QD_CACHE are set when a directory is chosen.
int qd_conf_init();
// directory, or QD_ENV_CONF_DIR when that is set. Returns 0.
int qd_conf_set_path(const char *directory);

// Section "conf". The time-outs are connect_timeout 6, read_timeout 15 and
// write_timeout 8 seconds unless the file says otherwise.
// Adds the three time-outs to url (URL_BUF_SIZE bytes) where it names none.
int qd_conf_get_timeouts(char *url);
// A time-out's value; 0 for any other key.
int qd_conf_get_int(const char *key);
// "cache_dir" from QD_CACHE when set; else the key's value as a normalised
// path, empty when missing.
int qd_conf_get_str(const char *key, char *buf, size_t size);
int qd_conf_set_int(const char *key, int value);
int qd_conf_set_str(const char *key, const char *value);

// Sessions. err may be nullptr; its code is -1 on failure.
int conf_client_get_info(const char *name, client_info *info, verr *err);
int conf_client_set_info(const char *name, const client_info *info);
// 1 present, 0 absent, -1 when the file cannot be loaded.
int conf_client_is_exist(const char *name);
int conf_client_del(const char *name);
int conf_client_copy_move(const char *old_name, const char *new_name);
// Calls back for each usable session but "network" and "_Quick_Connection".
using conf_walk_cb = int (*)(void *arg, const char *name, uint32_t prot);
int conf_walk_item(conf_walk_cb cb, void *arg);

// Session URLs. buf of conf_client_get_url holds URL_BUF_SIZE bytes; an empty
// name gives an empty URL.
int conf_client_info_url(const client_info *info, char *buf, size_t size);
int conf_client_get_url(const char *name, char *buf, verr *err);
// "///session/rest?query" into the session's URL with rest as its path and
// query appended; any other name normalised only. buf: URL_BUF_SIZE bytes.
int conf_client_resolve_url(const char *name, char *buf, verr *err);
// In place; the buffer is unchanged on failure.
int conf_client_resolve_url_inplace(char *name, verr *err);
