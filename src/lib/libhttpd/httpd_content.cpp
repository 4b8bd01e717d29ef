// The content tree the dispatch searches, and the file and static replies.
#include "libhttpd/httpd_content.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <strings.h>

#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#define ZLOG_TAG "httpd"
#include "liblog/zlog.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/string/str_safe.h"

namespace {

constexpr size_t k_file_chunk = 65536;

struct type_row {
    const char *ext;
    const char *type;
};

constexpr type_row k_types[] = {
    {"gif", "image/gif\r\n"}, {"jpg", "image/jpeg\r\n"}, {"xbm", "image/xbm\r\n"},
    {"png", "image/png\r\n"}, {"css", "text/css\r\n"},
};

httpd_dir *dir_new(const std::string &name)
{
    void *mem = os_zalloc(sizeof(httpd_dir));
    if (mem == nullptr)
        return nullptr;
    auto *d = new (mem) httpd_dir{};
    d->name = os_strdup(name.c_str());
    if (d->name == nullptr) {
        os_free(d);
        return nullptr;
    }
    return d;
}

void dir_free(httpd_dir *d)
{
    while (d != nullptr) {
        dir_free(d->children);
        httpd_content *e = d->entries;
        while (e != nullptr) {
            httpd_content *next = e->next;
            os_free(e->name);
            os_free(e->path);
            os_free(e);
            e = next;
        }
        httpd_dir *next = d->next;
        os_free(d->name);
        os_free(d);
        d = next;
    }
}

// Joins a relative path to the server's file base.
std::string full_path(const httpd_server *server, const char *path)
{
    if (path == nullptr)
        return {};
    if (path[0] == '/')
        return path;
    return std::string(server->file_base) + "/" + path;
}

int add_entry(httpd_server *server, const char *dir, const httpd_content &proto, const char *path)
{
    httpd_dir *d = httpdDirFind(server, dir, 1);
    if (d == nullptr)
        return -1;
    void *mem = os_zalloc(sizeof(httpd_content));
    if (mem == nullptr)
        return -1;
    auto *e = new (mem) httpd_content(proto);
    e->name = os_strdup(proto.name);
    e->path = path != nullptr ? os_strdup(full_path(server, path).c_str()) : nullptr;
    if ((proto.name != nullptr && e->name == nullptr) || (path != nullptr && e->path == nullptr)) {
        os_free(e->name);
        os_free(e->path);
        os_free(e);
        return -1;
    }
    e->next = d->entries;
    d->entries = e;
    return 0;
}

void send_file_data(httpd_request *r, const char *path)
{
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    std::vector<char> buf(k_file_chunk);
    for (;;) {
        const ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n <= 0)
            break;
        const int32_t w = net_write(&r->conn, buf.data(), static_cast<int32_t>(n));
        if (w > 0)
            r->bytes_sent += w;
        if (w != n)
            break;
    }
    ::close(fd);
}

}  // namespace

httpd_dir *httpdDirFind(httpd_server *server, const char *path, int create)
{
    if (server->content == nullptr) {
        if (create != 1)
            return nullptr;
        server->content = dir_new("");
        if (server->content == nullptr)
            return nullptr;
    }
    char bounded[HTTPD_TEXT_SIZE];
    str_safecopy2(bounded, sizeof(bounded), path != nullptr ? path : "");
    httpd_dir *cur = server->content;
    std::string_view rest(bounded);
    while (!rest.empty()) {
        const size_t slash = rest.find('/');
        const std::string component(rest.substr(0, slash));
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (component.empty())
            continue;
        httpd_dir *child = cur->children;
        while (child != nullptr && component != child->name)
            child = child->next;
        if (child == nullptr) {
            if (create != 1 || (child = dir_new(component)) == nullptr)
                return nullptr;
            child->next = cur->children;
            cur->children = child;
        }
        cur = child;
    }
    return cur;
}

int httpdContentAddCallback(httpd_server *server, const char *dir, const char *name, uint32_t index_flag,
                            httpd_preload preload, httpd_callback callback)
{
    return add_entry(server, dir, {const_cast<char *>(name), HTTPD_CALLBACK, index_flag, callback, nullptr, nullptr, preload, nullptr},
                     nullptr);
}

int httpdContentAddStatic(httpd_server *server, const char *dir, const char *name, uint32_t index_flag,
                          httpd_preload preload, const char *text)
{
    return add_entry(server, dir, {const_cast<char *>(name), HTTPD_STATIC, index_flag, nullptr, text, nullptr, preload, nullptr},
                     nullptr);
}

int httpdContentAddFile(httpd_server *server, const char *dir, const char *name, uint32_t index_flag,
                        httpd_preload preload, const char *file_path)
{
    return add_entry(server, dir, {const_cast<char *>(name), HTTPD_FILE, index_flag, nullptr, nullptr, nullptr, preload, nullptr},
                     file_path != nullptr ? file_path : "");
}

int httpdContentAddWildcardDir(httpd_server *server, const char *dir, httpd_preload preload, const char *files_dir)
{
    return add_entry(server, dir, {nullptr, HTTPD_WILDCARD_DIR, 0, nullptr, nullptr, nullptr, preload, nullptr},
                     files_dir != nullptr ? files_dir : "");
}

int httpdContentAddWildcardCallback(httpd_server *server, const char *dir, httpd_preload preload,
                                    httpd_callback callback)
{
    return add_entry(server, dir, {nullptr, HTTPD_WILDCARD_CALLBACK, 0, callback, nullptr, nullptr, preload, nullptr},
                     nullptr);
}

void httpdFileBaseSet(httpd_server *server, const char *path)
{
    str_safecopy2(server->file_base, sizeof(server->file_base), path != nullptr ? path : "");
}

httpd_content *httpdEntryFind(httpd_request *r, httpd_dir *dir, const char *name)
{
    for (httpd_content *e = dir->entries; e != nullptr; e = e->next) {
        const bool wildcard = e->type == HTTPD_WILDCARD_DIR || e->type == HTTPD_WILDCARD_CALLBACK;
        const bool index = e->index_flag != 0 && name[0] == '\0';
        if (wildcard || index || (e->name != nullptr && std::strcmp(e->name, name) == 0)) {
            r->entry = e;
            return e;
        }
    }
    return nullptr;
}

void httpdContentFree(httpd_server *server)
{
    dir_free(server->content);
    server->content = nullptr;
}

void httpdSendFile(httpd_server *server, httpd_request *r, const char *path)
{
    const char *dot = std::strrchr(path, '.');
    if (dot != nullptr) {
        for (const auto &row : k_types) {
            if (strcasecmp(dot + 1, row.ext) == 0)
                httpdContentTypeSet(r, row.type);
        }
    }
    struct stat st{};
    // A directory or device under a wildcard directory is not content.
    if (::stat(path, &st) != 0 || !S_ISREG(st.st_mode)) {
        httpdSend404(server, r);
        return;
    }
    char date[40];
    if (r->if_modified_since[0] != '\0' && std::strcmp(r->if_modified_since, httpdDateText(date, st.st_mtime)) == 0) {
        httpdSend304(server, r);
        return;
    }
    httpdHeadersSend(r, static_cast<int>(st.st_size), st.st_mtime);
    send_file_data(r, path);
}

void httpdSendFilePath(httpd_server *server, httpd_request *r, const char *path) { httpdSendFile(server, r, path); }

int httpdSendWildcardFile(httpd_server *server, httpd_request *r, httpd_content *entry, const char *name)
{
    char path[HTTPD_TEXT_SIZE];
    str_sprintf_s2(path, sizeof(path), "%s/%s", entry->path, name);
    httpdSendFilePath(server, r, path);
    return 0;
}

void httpdSendStatic(httpd_server *server, httpd_request *r, const char *text)
{
    httpdHeadersSend(r, static_cast<int>(std::strlen(text)), server->start_time);
    httpdSendTemplate(r, text);
}
