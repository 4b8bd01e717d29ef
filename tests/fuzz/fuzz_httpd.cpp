// The HTTP request reader: any bytes a client sends are read, parsed and
// answered (or refused) without a fault. Every text field ends within its
// buffer; a path that reaches the dispatch holds no "." or ".." segment and
// no run of "/", and cleaning it again changes nothing; a request either
// ended its header part or is refused.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "fuzz_quiet.h"
#include "libhttpd/httpd.h"
#include "libhttpd/httpd_content.h"

namespace {

void route_echo(httpd_server *, httpd_request *r)
{
    httpdVarSet(r, "title", r->path);
    httpdSendTemplate(r, "<title>$title</title>$command $nosuch $");
}

httpd_server *server()
{
    static httpd_server *s = [] {
        httpd_server *created = httpdServerNew();
        httpdContentAddCallback(created, "/", "", 0, nullptr, route_echo);
        httpdContentAddCallback(created, "/", "cmd", 0, nullptr, route_echo);
        httpdContentAddWildcardCallback(created, "/any", nullptr, route_echo);
        return created;
    }();
    return s;
}

// A "." or ".." segment, or an empty one inside the path.
bool has_bad_segment(const char *path)
{
    const std::string p = std::string(path) + "/";
    return p.find("/./") != std::string::npos || p.find("/../") != std::string::npos ||
           std::strstr(path, "//") != nullptr;
}

void drain(int fd)
{
    char buf[4096];
    while (recv(fd, buf, sizeof(buf), MSG_DONTWAIT) > 0) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        return 0;
    fcntl(sv[1], F_SETFL, fcntl(sv[1], F_GETFL) | O_NONBLOCK);
    // The input fits the pair's buffer (max_len 8192): written whole, then the end.
    FUZZ_CHECK(send(sv[0], data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size));
    shutdown(sv[0], SHUT_WR);
    httpd_request *r = httpdAccpetConnection(static_cast<os_socket>(sv[1]) + 1, server());
    FUZZ_CHECK(r != nullptr);
    const int rc = httpdReadRequest(server(), r);
    FUZZ_CHECK(rc == 0 || rc == -1);
    FUZZ_CHECK(strnlen(r->path, sizeof(r->path)) < sizeof(r->path));
    FUZZ_CHECK(strnlen(r->query, sizeof(r->query)) < sizeof(r->query));
    FUZZ_CHECK(strnlen(r->host, sizeof(r->host)) < sizeof(r->host));
    FUZZ_CHECK(strnlen(r->user, sizeof(r->user)) < sizeof(r->user));
    FUZZ_CHECK(strnlen(r->password, sizeof(r->password)) < sizeof(r->password));
    FUZZ_CHECK(r->method >= HTTPD_METHOD_NONE && r->method <= HTTPD_METHOD_POST);
    if (rc == 0) {
        FUZZ_CHECK(r->path[0] == '\0' || r->method != HTTPD_METHOD_NONE);
        if (r->path[0] == '/') {
            FUZZ_CHECK(!has_bad_segment(r->path));
            std::string again(r->path);
            httpdPathSanitize(again.data());
            FUZZ_CHECK(again == r->path);
        }
        httpdProcessRequest(server(), r);
    }
    drain(sv[0]);
    httpdRequestFree(r);
    drain(sv[0]);
    close(sv[0]);
    return 0;
}
