// The IPv4 access list, the access and error log lines, and the "{SHA}"
// password text.
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "libhttpd/httpd_content.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/hash/sha1.h"
#include "libpal/string/str_base64.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_safe.h"

namespace {

constexpr size_t k_sha_dup_size = 256;

// One decimal number at the start of text up to its end mark; -1 when it does
// not start with a digit or exceeds max.
long read_number(const std::string &text, long max)
{
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return -1;
    long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            break;
        v = v * 10 + (c - '0');
        if (v > max)
            return -1;
    }
    return v;
}

uint32_t net_mask(int prefix) { return prefix == 0 ? 0 : ~0u << (32 - prefix); }

tm local_now()
{
    const time_t now = ::time(nullptr);
    tm cal{};
    localtime_r(&now, &cal);
    return cal;
}

}  // namespace

int httpdIpBlockParse(const char *text, uint32_t *addr, int *prefix)
{
    if (text == nullptr)
        return -1;
    std::string s(text);
    const size_t slash = s.find('/');
    long bits = 32;
    if (slash != std::string::npos) {
        bits = read_number(s.substr(slash + 1), 32);
        if (bits < 0)
            return -1;
        s.resize(slash);
    }
    uint32_t value = 0;
    size_t pos = 0;
    for (int i = 0; i < 4; i++) {
        const size_t dot = s.find('.', pos);
        if ((i < 3) != (dot != std::string::npos))
            return -1;
        const long octet = read_number(s.substr(pos, dot == std::string::npos ? std::string::npos : dot - pos), 255);
        if (octet < 0)
            return -1;
        value = value << 8 | static_cast<uint32_t>(octet);
        pos = dot + 1;
    }
    *addr = value;
    *prefix = static_cast<int>(bits);
    return 0;
}

httpd_acl *httpdAclAdd(httpd_server *server, httpd_acl *list, const char *text, int action)
{
    uint32_t addr = 0;
    int prefix = 0;
    if (httpdIpBlockParse(text, &addr, &prefix) != 0) {
        httpdLogError(server, nullptr, "error", "Invalid IP address format");
        return nullptr;
    }
    if (action != HTTPD_ACL_ALLOW && action != HTTPD_ACL_DENY) {
        httpdLogError(server, nullptr, "error", "Invalid acl action");
        return nullptr;
    }
    void *mem = os_zalloc(sizeof(httpd_acl));
    if (mem == nullptr)
        return nullptr;
    auto *block = new (mem) httpd_acl{addr, static_cast<uint8_t>(prefix), static_cast<uint8_t>(action), nullptr};
    if (list == nullptr)
        return block;
    httpd_acl *tail = list;
    while (tail->next != nullptr)
        tail = tail->next;
    tail->next = block;
    return list;
}

void httpdAclSet(httpd_server *server, httpd_acl *list) { server->acl = list; }

void httpdAclFree(httpd_acl *list)
{
    while (list != nullptr) {
        httpd_acl *next = list->next;
        os_free(list);
        list = next;
    }
}

int httpdAclCheck(httpd_server *server, httpd_request *r, httpd_acl *list)
{
    uint32_t client = 0;
    int client_prefix = 0;
    int verdict = HTTPD_ACL_DENY;
    if (httpdIpBlockParse(r->client_addr, &client, &client_prefix) == 0) {
        for (const httpd_acl *b = list; b != nullptr; b = b->next) {
            if (b->prefix > client_prefix) {
                httpdLogError(server, r, "error", "IP Address must be more specific than network block");
                continue;
            }
            const uint32_t mask = net_mask(b->prefix);
            if ((client & mask) == (b->addr & mask)) {
                verdict = b->action;
                break;
            }
        }
    }
    if (verdict != HTTPD_ACL_ALLOW) {
        httpdSend403(server, r);
        httpdLogError(server, r, "error", "Access denied by ACL");
        return HTTPD_ACL_DENY;
    }
    return HTTPD_ACL_ALLOW;
}

void httpdAccessLogSet(httpd_server *server, FILE *stream) { server->access_log = stream; }

void httpdErrorLogSet(httpd_server *server, FILE *stream) { server->error_log = stream; }

void httpdLogAccess(httpd_server *server, httpd_request *r)
{
    if (server->access_log == nullptr)
        return;
    char when[30];
    const tm cal = local_now();
    if (std::strftime(when, sizeof(when), "%d/%b/%Y:%T %Z", &cal) == 0)
        when[0] = '\0';
    std::fprintf(server->access_log, "%s - - [%s] %s \"%s\" %d %d\n", r->client_addr, when, httpdMethodName(r),
                 str_log_text(r->path).c_str(), std::atoi(r->status), r->bytes_sent);
}

void httpdLogError(httpd_server *server, httpd_request *r, const char *level, const char *message)
{
    if (server->error_log == nullptr)
        return;
    char when[64];
    const tm cal = local_now();
    if (std::strftime(when, sizeof(when), "%a %b %d %T %Y", &cal) == 0)
        when[0] = '\0';
    if (r != nullptr && r->client_addr[0] != '\0')
        std::fprintf(server->error_log, "[%s] [%s] [client %s] %s\n", when, level, r->client_addr, message);
    else
        std::fprintf(server->error_log, "[%s] [%s] %s\n", when, level, message);
}

char *httpdPasswordSha(const char *password, char *output, size_t size)
{
    if (output == nullptr || size == 0)
        return output;
    output[0] = '\0';
    if (password == nullptr || password[0] == '\0')
        return output;
    uint8_t digest[PL_SHA1_DIGEST_SIZE];
    pl_sha1_buf(password, std::strlen(password), digest);
    char b64[PL_BASE64_ENCODE_LEN(PL_SHA1_DIGEST_SIZE)];
    str_base64_encode(digest, sizeof(digest), b64, sizeof(b64));
    str_sprintf_s2(output, size, "{SHA}%s", b64);
    return output;
}

char *httpdPasswordShaDup(const char *password)
{
    char text[k_sha_dup_size];
    httpdPasswordSha(password, text, sizeof(text));
    return os_strdup(text);
}
