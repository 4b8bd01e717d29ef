// Proxy choice and the proxy file "qd_proxy.ini" (named by QD_PROXY_FILE):
// one section per proxy with "proto", "ip", "port", "user" and "pwd", the
// password kept as hexadecimal text of its bytes. A connection's proxy is its
// proxy URL, else its named section, else the environment's "http_proxy".
#pragma once

#include "libnet/sock_cli.h"

struct str_vector;

// 0 chosen, 1 no proxy (info's type 0), -1 error (err set).
int conf_proxy_get(const char *proxy_url, const char *proxy_name, proxy_info *info, verr *err);
// "http" 1, "socks4" 2, "socks5" 3, else -1.
int conf_proxy_2_id(const char *proto, verr *err);
// url (8192 bytes) receives the proxy's URL text. 0 or -1.
int conf_proxy_load(const char *file, const char *name, proxy_info *info, char *url, verr *err);
int conf_proxy_save(const char *file, const char *name, const proxy_info *info);
// Renames old_name to new_name (when both differ) in the proxy file, then saves info under new_name.
int conf_proxy_update(const char *old_name, const char *new_name, const proxy_info *info);
// The proxy file's section names, freed with str_vector_free; nullptr without a file.
str_vector *conf_proxy_list();
// n counts from 1; an empty name for 0 or past the end. name: 256 bytes.
int conf_proxy_name_by_index(int n, char *name);
int conf_proxy_get_by_index(int n, char *name, proxy_info *info);
// url: 8192 bytes.
int conf_proxy_get_url(const char *name, char *url);
