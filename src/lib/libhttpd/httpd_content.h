// The HTTP library's content and request data: the tree of registered
// content the dispatch searches, request variables (from the query, or set
// by the application for templates), URL coding, file replies, the IPv4
// access list, the access and error log lines and the "{SHA}" password text.
// The content tree and the access list are built before the first request is
// accepted and only read afterwards. Texts returned new are freed with os_free.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libhttpd/httpd.h"

enum : uint32_t {
    HTTPD_FILE = 1,
    HTTPD_CALLBACK = 2,
    HTTPD_STATIC = 4,
    HTTPD_WILDCARD_DIR = 5,
    HTTPD_WILDCARD_CALLBACK = 6,
};

constexpr uint8_t HTTPD_ACL_ALLOW = 1;
constexpr uint8_t HTTPD_ACL_DENY = 2;

struct httpd_dir {
    char *name;
    httpd_dir *children;
    httpd_dir *next;
    httpd_content *entries;
};

struct httpd_content {
    char *name;  // nullptr for the wildcard types
    uint32_t type;
    uint32_t index_flag;  // also answers the empty name
    httpd_callback callback;
    const char *static_text;  // the caller's
    char *path;               // file, or directory of files
    httpd_preload preload;
    httpd_content *next;
};

struct httpd_var {
    char *name;
    char *value;
    httpd_var *next_value;  // further values of the same name
    httpd_var *next;        // the next name
};

struct httpd_acl {
    uint32_t addr;  // first octet in the high byte
    uint8_t prefix;
    uint8_t action;
    httpd_acl *next;
};

// Content. The add calls create the directory path as needed and put the
// entry first in its directory: 0, or -1 when memory runs out.
httpd_dir *httpdDirFind(httpd_server *server, const char *path, int create);
int httpdContentAddCallback(httpd_server *server, const char *dir, const char *name, uint32_t index_flag,
                            httpd_preload preload, httpd_callback callback);
int httpdContentAddStatic(httpd_server *server, const char *dir, const char *name, uint32_t index_flag,
                          httpd_preload preload, const char *text);
int httpdContentAddFile(httpd_server *server, const char *dir, const char *name, uint32_t index_flag,
                        httpd_preload preload, const char *file_path);
int httpdContentAddWildcardDir(httpd_server *server, const char *dir, httpd_preload preload, const char *files_dir);
int httpdContentAddWildcardCallback(httpd_server *server, const char *dir, httpd_preload preload,
                                    httpd_callback callback);
void httpdFileBaseSet(httpd_server *server, const char *path);
// The first entry of dir that is a wildcard, has the index flag while name is
// empty, or has exactly name; recorded in the request.
httpd_content *httpdEntryFind(httpd_request *request, httpd_dir *dir, const char *name);
void httpdContentFree(httpd_server *server);

// Variables.
int httpdVarAdd(httpd_request *request, const char *name, const char *value);
int httpdVarSet(httpd_request *request, const char *name, const char *value);
httpd_var *httpdVarFind(httpd_request *request, const char *name);
httpd_var *httpdVarFindPrefix(httpd_request *request, const char *prefix);
httpd_var *httpdVarFindPrefixSuffix(httpd_request *request, const char *prefix, const char *suffix);
httpd_var *httpdVarNextPrefix(httpd_var *var, const char *prefix);
void httpdVarFreeAll(httpd_request *request);
void httpdVarFreeList(httpd_var *list);
void httpdVarDump(httpd_request *request);
// Splits query (changed in place) at "&" into name=value pairs, values
// URL-decoded. An item without "=" adds nothing.
void httpdQueryParse(httpd_request *request, char *query);

// URL coding. Decode works in place ("%hh" and "+"); nullptr gives "".
char *httpdUrlDecode(char *text);
int httpdHexValue(char c);
char *httpdUrlEncode(const char *text);
char *httpdUrlEncodePlus(const char *text);

// Files.
void httpdSendFile(httpd_server *server, httpd_request *request, const char *path);
void httpdSendFilePath(httpd_server *server, httpd_request *request, const char *path);
int httpdSendWildcardFile(httpd_server *server, httpd_request *request, httpd_content *entry, const char *name);
void httpdSendStatic(httpd_server *server, httpd_request *request, const char *text);

// Access control.
int httpdIpBlockParse(const char *text, uint32_t *addr, int *prefix);
httpd_acl *httpdAclAdd(httpd_server *server, httpd_acl *list, const char *text, int action);
void httpdAclSet(httpd_server *server, httpd_acl *list);
// HTTPD_ACL_ALLOW or HTTPD_ACL_DENY (the 403 reply then sent).
int httpdAclCheck(httpd_server *server, httpd_request *request, httpd_acl *list);
void httpdAclFree(httpd_acl *list);

// Logs, to the caller's streams (none: no line).
void httpdAccessLogSet(httpd_server *server, FILE *stream);
void httpdErrorLogSet(httpd_server *server, FILE *stream);
void httpdLogAccess(httpd_server *server, httpd_request *request);
void httpdLogError(httpd_server *server, httpd_request *request, const char *level, const char *message);

// "{SHA}" and the Base64 SHA-1 digest of password (empty for none or ""),
// cut to size.
char *httpdPasswordSha(const char *password, char *output, size_t size);
char *httpdPasswordShaDup(const char *password);
