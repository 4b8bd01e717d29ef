// Reading and parsing requests: the request line, headers, credentials, the
// path cleaner and the bounds on what a client may send.
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "httpd_fixture.h"
#include "libpal/string/str_base64.h"

using namespace std::string_literals;

namespace {

struct parse_case {
    const char *name;
    std::string bytes;
    int method;
    int version;
    const char *path;
    const char *query;
    const char *host;
    const char *user;
    const char *password;
    int gzip;
};

const std::vector<parse_case> k_parse_cases = {
    {"LowerCaseGet", "get /a HTTP/1.0\r\n\r\n", 1, 1, "/a", "", "", "", "", 0},
    {"PostAnd11", "POST /x?y=1 HTTP/1.1\r\nHost: box:6780\r\n\r\n", 2, 2, "/x", "y=1", "box:6780", "", "", 0},
    {"CleanedPath", "GET //a/./b/../c//d HTTP/1.1\r\n\r\n", 1, 2, "/a/c/d", "", "", "", "", 0},
    {"EscapedSlashStays", "GET /a%2Fb HTTP/1.1\r\n\r\n", 1, 2, "/a%2Fb", "", "", "", "", 0},
    {"DotsNeverAboveRoot", "GET /../../etc/passwd HTTP/1.1\r\n\r\n", 1, 2, "/etc/passwd", "", "", "", "", 0},
    {"QueryNotCleaned", "GET /cmd?command=a//b/../c HTTP/1.1\r\n\r\n", 1, 2, "/cmd", "command=a//b/../c", "", "", "", 0},
    {"BasicCredentials", "GET / HTTP/1.1\r\nAuthorization: Basic dXNlcjpwYTpzcw==\r\n\r\n", 1, 2, "/", "", "", "user",
     "pa:ss", 0},
    {"CredentialsWithoutColon", "GET / HTTP/1.1\r\nauthorization: Basic dXNlcg==\r\n\r\n", 1, 2, "/", "", "", "user",
     "", 0},
    {"OtherSchemeIgnored", "GET / HTTP/1.1\r\nAuthorization: Digest dXNlcjpw\r\n\r\n", 1, 2, "/", "", "", "", "", 0},
    {"HostWithoutValue", "GET / HTTP/1.1\r\nHost:\r\n\r\n", 1, 2, "/", "", "", "", "", 0},
    {"HostWithoutBlank", "GET / HTTP/1.1\r\nHOST:localhost\r\n\r\n", 1, 2, "/", "", "localhost", "", "", 0},
    {"Gzip", "GET / HTTP/1.1\r\nAccept-Encoding: GZIP, deflate\r\n\r\n", 1, 2, "/", "", "", "", "", 1},
    {"LineFeedsOnly", "GET /b HTTP/1.0\nHost: h\n\n", 1, 1, "/b", "", "h", "", "", 0},
    {"NoVersion", "GET /c\r\n\r\n", 1, 2, "/c", "", "", "", "", 0},
};

void PrintTo(const parse_case &r, std::ostream *os)
{
    *os << r.name;
}

class RequestParse : public HttpdPair, public ::testing::WithParamInterface<parse_case> {};

}  // namespace

TEST_P(RequestParse, Fields)
{
    const parse_case &k = GetParam();
    httpd_request *r = accept_with(k.bytes);
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(httpdReadRequest(server, r), 0);
    EXPECT_EQ(r->method, k.method);
    EXPECT_EQ(r->version, k.version);
    EXPECT_STREQ(r->path, k.path);
    EXPECT_STREQ(r->query, k.query);
    EXPECT_STREQ(r->host, k.host);
    EXPECT_STREQ(r->user, k.user);
    EXPECT_STREQ(r->password, k.password);
    EXPECT_EQ(r->gzip, k.gzip);
    httpdRequestFree(r);
}

INSTANTIATE_TEST_SUITE_P(Httpd, RequestParse, ::testing::ValuesIn(k_parse_cases),
                         [](const auto &row) { return std::string(row.param.name); });

TEST_F(HttpdPair, QueryBecomesVariables)
{
    httpd_request *r = accept_with("GET /cmd?command=show+info%3b&x=1&x=2&flag&last HTTP/1.1\r\n\r\n");
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(httpdReadRequest(server, r), 0);
    EXPECT_STREQ(r->query, "command=show+info%3b&x=1&x=2&flag&last");
    ASSERT_NE(httpdVarFind(r, "command"), nullptr);
    EXPECT_STREQ(httpdVarFind(r, "command")->value, "show info;");
    httpd_var *x = httpdVarFind(r, "x");
    ASSERT_NE(x, nullptr);
    EXPECT_STREQ(x->value, "1");
    ASSERT_NE(x->next_value, nullptr);
    EXPECT_STREQ(x->next_value->value, "2");
    ASSERT_NE(httpdVarFind(r, "flag"), nullptr);
    EXPECT_STREQ(httpdVarFind(r, "flag")->value, "");
    EXPECT_EQ(httpdVarFind(r, "last"), nullptr);
    httpdRequestFree(r);
}

// The decoded credentials are cut to their buffer, never past it.
TEST_F(HttpdPair, LongCredentialsAreCut)
{
    const std::string creds = "u:" + std::string(2000, 'p');
    char b64[4096];
    ASSERT_GT(str_base64_encode(creds.data(), creds.size(), b64, sizeof(b64)), 0);
    httpd_request *r = accept_with("GET / HTTP/1.1\r\nAuthorization: Basic "s + b64 + "\r\n\r\n");
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(httpdReadRequest(server, r), 0);
    EXPECT_STREQ(r->user, "u");
    EXPECT_EQ(std::strlen(r->password), sizeof(r->password) - 1);
    EXPECT_LE(r->cred_len, 2 * HTTPD_CRED_SIZE + 1);
    httpdRequestFree(r);
}

// Credentials that a C string would read shorter than sent are marked, so
// that no check compares what is left of them.
TEST_F(HttpdPair, CredentialsNotReadWholeAreMarked)
{
    struct row {
        std::string creds;
        int cred_len;
    };
    const row rows[] = {
        {"admin:s3cretPW", 14},
        {"admin:s3cretPW\0junk"s, -1},
        {"admin\0x:s3cretPW"s, -1},
        {"\0:"s, -1},
        {"u:" + std::string(HTTPD_CRED_SIZE - 1, 'p'), HTTPD_CRED_SIZE + 1},
        {"u:" + std::string(HTTPD_CRED_SIZE, 'p'), -1},
        {std::string(HTTPD_CRED_SIZE, 'u') + ":p", -1},
    };
    for (const row &k : rows) {
        char b64[4096];
        ASSERT_GT(str_base64_encode(k.creds.data(), k.creds.size(), b64, sizeof(b64)), 0);
        httpd_request *r = accept_with("GET / HTTP/1.1\r\nAuthorization: Basic "s + b64 + "\r\n\r\n");
        ASSERT_NE(r, nullptr);
        ASSERT_EQ(httpdReadRequest(server, r), 0);
        EXPECT_EQ(r->cred_len, k.cred_len) << b64;
        httpdRequestFree(r);
    }
}

TEST(HttpdBase64, Decode)
{
    struct row {
        const char *in;
        int size;
        const char *out;
    };
    const row rows[] = {
        {"dXNlcjpwYXNz", 100, "user:pass"}, {"  \tdXNlcg==", 100, "user"}, {"dXNl*cjpw", 100, "use"},
        {"dXNlcjpwYXNz", 5, "user"},        {"", 100, ""},               {"dXNlcg=trailing", 100, "user"},
    };
    for (const auto &k : rows) {
        char out[128];
        std::memset(out, 'x', sizeof(out));
        const int n = httpdBase64Decode(k.in, out, k.size);
        EXPECT_STREQ(out, k.out) << k.in;
        EXPECT_EQ(n, static_cast<int>(std::strlen(k.out))) << k.in;
    }
}

TEST(HttpdPath, Sanitize)
{
    struct row {
        const char *in;
        const char *out;
    };
    const row rows[] = {
        {"/", "/"},           {"//", "/"},          {"/a//b", "/a/b"},          {"/a/./b", "/a/b"},
        {"/a/b/../c", "/a/c"}, {"/a/b/../../c", "/c"}, {"/../x", "/x"},         {"/a/..", "/"},
        {"/a/b/..", "/a/"},   {"/a/.", "/a/"},      {"/a/b/", "/a/b/"},        {"/..%2f", "/..%2f"},
        {"/a/...", "/a/..."}, {"", ""},             {"rel/../x", "x"},         {"/.../../y", "/y"},
    };
    for (const auto &k : rows) {
        char path[HTTPD_TEXT_SIZE];
        std::strcpy(path, k.in);
        httpdPathSanitize(path);
        EXPECT_STREQ(path, k.out) << k.in;
    }
}

TEST_F(HttpdPair, UnsupportedMethodGetsTheShortErrorText)
{
    int rc = 0;
    EXPECT_EQ(serve("HEAD / HTTP/1.1\r\n\r\n", &rc), "\n<B>ERROR : Method Not Implemented</B>\n\nHEAD");
    EXPECT_EQ(rc, -1);
    // A method of 1000 letters is refused at its first 16 characters.
    EXPECT_EQ(serve(std::string(1000, 'M') + " / HTTP/1.1\r\n\r\n", &rc),
              "\n<B>ERROR : Method Not Implemented</B>\n\n" + std::string(16, 'M'));
    EXPECT_EQ(rc, -1);
    // GET spelled with more letters is no GET.
    EXPECT_EQ(serve("GETX / HTTP/1.1\r\n\r\n", &rc), "\n<B>ERROR : Method Not Implemented</B>\n\nGETX");
}

// A request whose header part never ended is not run as if it were whole;
// one that sent nothing is read as empty and gets no reply.
TEST_F(HttpdPair, CutOrEmptyRequestsGetNoReply)
{
    int rc = 0;
    EXPECT_EQ(serve("GET /cmd?command=exit HTTP/1.1\r\nHost: localhost\r\n", &rc), "");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(serve("GET /cmd?command=exit HTTP/1.1", &rc), "");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(serve("", &rc), "");
    EXPECT_EQ(rc, 0);
}

// A URL too long for its buffers is refused whole, never run cut short; a
// query of a whole shell line URL-encoded still fits.
TEST_F(HttpdPair, OverlongUrlIsRefused)
{
    int rc = 0;
    EXPECT_EQ(serve("GET /cmd?command=" + std::string(HTTPD_QUERY_SIZE, 'a') + " HTTP/1.1\r\n\r\n", &rc), "");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(serve("GET /" + std::string(HTTPD_TEXT_SIZE, 'p') + " HTTP/1.1\r\n\r\n", &rc), "");
    EXPECT_EQ(rc, -1);
    httpd_request *r = accept_with("GET /cmd?command=" + std::string(3 * 4095, '%').replace(0, 3, "%41") + " HTTP/1.1\r\n\r\n");
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(httpdReadRequest(server, r), 0);
    EXPECT_EQ(std::strlen(r->query), 8u + 3 * 4095);
    httpdRequestFree(r);
}

// A 100 KB header line is read as lines of 65535 characters and the request is
// still answered.
TEST_F(HttpdPair, HugeHeaderLineStillAnswered)
{
    ASSERT_EQ(httpdContentAddCallback(server, "/", "x", 0, nullptr, [](httpd_server *, httpd_request *r) {
                  httpdSendText(r, r->host);
              }), 0);
    const std::string req = "GET /x HTTP/1.1\r\nX-Big: " + std::string(100 * 1024, 'a') + "\r\nHost: h\r\n\r\n";
    // The pair's buffer cannot take 100 KB ahead of the reader: send it from a thread.
    std::string got;
    {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        std::thread writer([&] {
            size_t off = 0;
            while (off < req.size()) {
                const ssize_t n = send(sv[0], req.data() + off, req.size() - off, MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                off += static_cast<size_t>(n);
            }
            shutdown(sv[0], SHUT_WR);
        });
        fcntl(sv[1], F_SETFL, fcntl(sv[1], F_GETFL) | O_NONBLOCK);
        httpd_request *big = httpdAccpetConnection(static_cast<os_socket>(sv[1]) + 1, server);
        ASSERT_NE(big, nullptr);
        ASSERT_EQ(httpdReadRequest(server, big), 0);
        EXPECT_STREQ(big->host, "h");
        httpdProcessRequest(server, big);
        httpdRequestFree(big);
        writer.join();
        char buf[4096];
        ssize_t n;
        while ((n = recv(sv[0], buf, sizeof(buf), 0)) > 0)
            got.append(buf, static_cast<size_t>(n));
        close(sv[0]);
    }
    EXPECT_EQ(mask_dates(got), header_block("200 Output Follows") + "\r\nh");
}

// A byte of 0x80 or above ends a line as a line feed does.
TEST_F(HttpdPair, HighByteEndsTheLine)
{
    httpd_request *r = accept_with("GET /a\xc3\xa9 HTTP/1.1\r\n\r\n");
    ASSERT_NE(r, nullptr);
    char line[64];
    EXPECT_EQ(httpdReadLine(r, line, sizeof(line)), 6);
    EXPECT_STREQ(line, "GET /a");
    httpdRequestFree(r);
}
