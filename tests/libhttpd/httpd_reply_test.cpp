// Reply bytes, the dispatch over the content tree, templates, files, URL
// coding, the access list, the log lines and the "{SHA}" password text.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <string>

#include "httpd_fixture.h"
#include "libpal/basic/os_malloc.h"

using namespace std::string_literals;

namespace {

void send_hi(httpd_server *, httpd_request *r) { httpdSendText(r, "hi"); }
void send_sized(httpd_server *, httpd_request *r) { httpdSendSizedText(r, "sized"); }
void send_nothing(httpd_server *, httpd_request *) {}
void send_401(httpd_server *, httpd_request *r) { httpdSend401(r, "qaldo"); }
void require_auth(httpd_server *, httpd_request *r)
{
    if (httpdRequireAuth(r, "zone") != 0)
        httpdSendText(r, r->user);
}
void send_304(httpd_server *s, httpd_request *r) { httpdSend304(s, r); }
void send_403(httpd_server *s, httpd_request *r) { httpdSend403(s, r); }
void send_template(httpd_server *, httpd_request *r)
{
    httpdVarSet(r, "title", "T<1>");
    httpdSendTemplate(r, "[$title] [$nosuch] [$] [$$title] [$title_x] $x");
}
void send_name(httpd_server *, httpd_request *r) { httpdSendText(r, r->entry->name != nullptr ? r->entry->name : "*"); }
void send_cookie(httpd_server *, httpd_request *r)
{
    httpdCookieSet(r, "k", "v");
    httpdHeaderAdd(r, "X-One: 1");
    httpdHeaderAdd(r, "X-Two: 2\r\n");
    httpdStatusSet(r, "202 Taken\r\n");
    httpdContentTypeSet(r, "application/json\r\n");
    httpdSendText(r, "{}");
}

const std::string k_404_body =
    "<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD>\n<BODY><H1>The request URL was not found!</H1>\n</BODY></HTML>\n";

}  // namespace

TEST_F(HttpdPair, ReplyBytesOfEachKind)
{
    struct row {
        const char *path;
        httpd_callback cb;
        std::string reply;
    };
    const row rows[] = {
        {"/hi", send_hi, header_block("200 Output Follows") + "\r\nhi"},
        {"/sized", send_sized,
         header_block("200 Output Follows") + "Content-Length: 5\r\nLast-Modified: <date>\r\n\r\nsized"},
        {"/nothing", send_nothing, ""},
        {"/auth401", send_401,
         header_block("401 Please Authenticate", "WWW-Authenticate: Basic realm=\"qaldo\"\r\n") + "\r\n\n"},
        {"/require", require_auth,
         header_block("401 Please Authenticate", "WWW-Authenticate: Basic realm=\"zone\"\r\n") + "\r\n\r\n"},
        {"/not_modified", send_304, header_block("304 Not Modified") + "\r\n"},
        {"/denied", send_403,
         header_block("403 Permission Denied") +
             "\r\n<HTML><HEAD><TITLE>403 Permission Denied</TITLE></HEAD>\n<BODY><H1>Access to the request URL was "
             "denied!</H1>\n"},
        {"/template", send_template, header_block("200 Output Follows") + "\r\n[T<1>] [$nosuch] [$] [$T<1>] [$title_x] $x"},
    };
    for (const auto &k : rows)
        ASSERT_EQ(httpdContentAddCallback(server, "/", k.path + 1, 0, nullptr, k.cb), 0);
    for (const auto &k : rows)
        EXPECT_EQ(serve("GET "s + k.path + " HTTP/1.1\r\n\r\n"), k.reply) << k.path;
    EXPECT_EQ(serve("GET /missing HTTP/1.1\r\n\r\n"), header_block("404 Not Found") + "\r\n" + k_404_body);
    EXPECT_EQ(serve("GET /dir/missing HTTP/1.1\r\n\r\n"), header_block("404 Not Found") + "\r\n" + k_404_body);
    // Credentials given: httpdRequireAuth lets the route answer.
    EXPECT_EQ(serve("GET /require HTTP/1.1\r\nAuthorization: Basic dTpw\r\n\r\n"),
              header_block("200 Output Follows") + "\r\nu");
    // Status, type and extra headers set before the output.
    ASSERT_EQ(httpdContentAddCallback(server, "/", "set", 0, nullptr, send_cookie), 0);
    EXPECT_EQ(serve("GET /set HTTP/1.1\r\n\r\n"),
              "HTTP/1.1 202 Taken\r\nServer: QALDO Http Server\r\n" + k_safety_headers +
                  "Set-Cookie: k=v; path=/;\r\nX-One: 1\r\nX-Two: "
              "2\r\nDate: <date>\r\nConnection: close\r\nContent-Type: application/json\r\nCache-Control: no-store, "
              "must-revalidate\r\nExpires: 0\r\nPragma: no-cache\r\n\r\n{}");
}

TEST(HttpdDate, GreenwichTextOfTheEpochAndAKnownDay)
{
    char buf[40];
    EXPECT_STREQ(httpdDateText(buf, 1), "Thu, 01 Jan 1970 00:00:01 GMT");
    EXPECT_STREQ(httpdDateText(buf, 1739491200), "Fri, 14 Feb 2025 00:00:00 GMT");
    EXPECT_EQ(mask_dates(httpdDateText(buf, 0)), "<date>");
}

TEST_F(HttpdPair, DispatchOrderIndexAndWildcards)
{
    // Same name twice: the one registered last answers.
    ASSERT_EQ(httpdContentAddCallback(server, "/", "dup", 0, nullptr, send_hi), 0);
    ASSERT_EQ(httpdContentAddStatic(server, "/", "dup", 0, nullptr, "second"), 0);
    EXPECT_EQ(serve("GET /dup HTTP/1.1\r\n\r\n"),
              header_block("200 Output Follows") + "Content-Length: 6\r\nLast-Modified: <date>\r\n\r\nsecond");
    // An index entry answers its directory's path ending in "/".
    ASSERT_EQ(httpdContentAddCallback(server, "/sub/dir", "idx", 1, nullptr, send_name), 0);
    EXPECT_EQ(serve("GET /sub/dir/ HTTP/1.1\r\n\r\n"), header_block("200 Output Follows") + "\r\nidx");
    EXPECT_EQ(serve("GET /sub/dir/idx HTTP/1.1\r\n\r\n"), header_block("200 Output Follows") + "\r\nidx");
    // A wildcard answers every name not matched by an entry registered after it.
    ASSERT_EQ(httpdContentAddCallback(server, "/w", "before", 0, nullptr, send_name), 0);
    ASSERT_EQ(httpdContentAddWildcardCallback(server, "/w", nullptr, send_name), 0);
    ASSERT_EQ(httpdContentAddCallback(server, "/w", "after", 0, nullptr, send_name), 0);
    EXPECT_EQ(serve("GET /w/after HTTP/1.1\r\n\r\n"), header_block("200 Output Follows") + "\r\nafter");
    EXPECT_EQ(serve("GET /w/before HTTP/1.1\r\n\r\n"), header_block("200 Output Follows") + "\r\n*");
    EXPECT_EQ(serve("GET /w/anything HTTP/1.1\r\n\r\n"), header_block("200 Output Follows") + "\r\n*");
    // A preload that refuses ends the dispatch without a reply.
    ASSERT_EQ(httpdContentAddCallback(server, "/", "pre", 0, [](httpd_server *) { return -1; }, send_hi), 0);
    EXPECT_EQ(serve("GET /pre HTTP/1.1\r\n\r\n"), "");
    EXPECT_EQ(httpdDirFind(server, "/nosuch", 0), nullptr);
    EXPECT_EQ(httpdDirFind(server, "//", 0), server->content);
}

TEST_F(HttpdPair, FilesFromAWildcardDirectory)
{
    char dir[] = "/tmp/httpd_test_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string png = std::string(dir) + "/pic.PNG";
    std::ofstream(png, std::ios::binary) << "\x89PNG-bytes";
    std::ofstream(std::string(dir) + "/page.txt") << "text";
    mkdir((std::string(dir) + "/sub").c_str(), 0700);
    ASSERT_EQ(httpdContentAddWildcardDir(server, "/files", nullptr, dir), 0);
    httpdFileBaseSet(server, dir);
    ASSERT_EQ(httpdContentAddFile(server, "/", "named", 0, nullptr, "page.txt"), 0);

    const std::string png_reply = serve("GET /files/pic.PNG HTTP/1.1\r\n\r\n");
    EXPECT_NE(png_reply.find("Content-Type: image/png\r\n"), std::string::npos);
    EXPECT_NE(png_reply.find("Content-Length: 10\r\nLast-Modified: <date>\r\n\r\n\x89PNG-bytes"), std::string::npos);
    EXPECT_EQ(serve("GET /named HTTP/1.1\r\n\r\n"),
              header_block("200 Output Follows") + "Content-Length: 4\r\nLast-Modified: <date>\r\n\r\ntext");
    EXPECT_EQ(serve("GET /files/none.css HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);
    // A directory is no content, and ".." never leaves the files' directory.
    EXPECT_EQ(serve("GET /files/sub HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);
    EXPECT_EQ(serve("GET /files/../../etc/passwd HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);
    std::system(("rm -rf "s + dir).c_str());
}

TEST(HttpdUrl, DecodeAndEncode)
{
    struct row {
        const char *in;
        const char *out;
    };
    const row decode[] = {{"a%20b", "a b"}, {"a+b", "a b"}, {"%3b%3B", ";;"}, {"%zz%4", "%zz%4"}, {"", ""}};
    for (const auto &k : decode) {
        std::string text = k.in;
        EXPECT_STREQ(httpdUrlDecode(text.data()), k.out) << k.in;
    }
    EXPECT_STREQ(httpdUrlDecode(nullptr), "");
    const row encode[] = {{"a b&c/d", "a%20b%26c%2Fd"}, {"!\"$'()*+,-.@_", "!\"$'()*+,-.@_"}, {"\xc3\xa9", "%C3%A9"}};
    for (const auto &k : encode) {
        char *out = httpdUrlEncode(k.in);
        EXPECT_STREQ(out, k.out) << k.in;
        os_free(out);
    }
    char *plus = httpdUrlEncodePlus("a b+c");
    EXPECT_STREQ(plus, "a+b+c");
    os_free(plus);
    EXPECT_EQ(httpdHexValue('f'), 15);
    EXPECT_EQ(httpdHexValue('A'), 10);
}

TEST(HttpdAcl, BlockTexts)
{
    struct row {
        const char *text;
        int rc;
        uint32_t addr;
        int prefix;
    };
    const row rows[] = {
        {"10.0.0.0/8", 0, 0x0a000000, 8}, {"192.168.1.1", 0, 0xc0a80101, 32}, {"0.0.0.0/0", 0, 0, 0},
        {"1.2.3.256", -1, 0, 0},          {"1.2.3", -1, 0, 0},                {"1.2.3.4/33", -1, 0, 0},
        {"1.2.3.4.5", -1, 0, 0},          {"a.b.c.d", -1, 0, 0},              {"", -1, 0, 0},
    };
    for (const auto &k : rows) {
        uint32_t addr = 0;
        int prefix = 0;
        EXPECT_EQ(httpdIpBlockParse(k.text, &addr, &prefix), k.rc) << k.text;
        if (k.rc == 0) {
            EXPECT_EQ(addr, k.addr) << k.text;
            EXPECT_EQ(prefix, k.prefix) << k.text;
        }
    }
}

TEST_F(HttpdPair, AclAdmitsItsNetworkAndRefusesOthers)
{
    char *err_text = nullptr;
    size_t err_len = 0;
    FILE *errors = open_memstream(&err_text, &err_len);
    httpdErrorLogSet(server, errors);
    EXPECT_EQ(httpdAclAdd(server, nullptr, "1.2.3.256", HTTPD_ACL_ALLOW), nullptr);
    EXPECT_EQ(httpdAclAdd(server, nullptr, "1.2.3.4", 3), nullptr);
    httpd_acl *acl = httpdAclAdd(server, nullptr, "10.0.0.0/8", HTTPD_ACL_ALLOW);
    ASSERT_NE(acl, nullptr);
    httpd_request *r = accept_with("");
    ASSERT_NE(r, nullptr);
    httpdAclSet(server, acl);

    std::strcpy(r->client_addr, "10.1.2.3");
    EXPECT_EQ(httpdAclCheck(server, r, acl), HTTPD_ACL_ALLOW);
    std::strcpy(r->client_addr, "192.168.1.1");
    EXPECT_EQ(httpdAclCheck(server, r, acl), HTTPD_ACL_DENY);
    httpdRequestFree(r);
    { const std::string got = mask_dates(reply()); EXPECT_EQ(got.rfind(header_block("403 Permission Denied"), 0), 0u) << got; }
    // A connection without an IPv4 peer (this socket pair) is refused on accept.
    EXPECT_EQ(accept_with("GET / HTTP/1.1\r\n\r\n"), nullptr);
    EXPECT_EQ(server->last_error, 2);
    { const std::string got = mask_dates(reply()); EXPECT_EQ(got.rfind(header_block("403 Permission Denied"), 0), 0u) << got; }
    std::fclose(errors);
    const std::string lines = err_text;
    std::free(err_text);
    EXPECT_NE(lines.find("] [error] Invalid IP address format\n"), std::string::npos);
    EXPECT_NE(lines.find("] [error] Invalid acl action\n"), std::string::npos);
    EXPECT_NE(lines.find("] [error] [client 192.168.1.1] Access denied by ACL\n"), std::string::npos);
    EXPECT_TRUE(std::regex_search(lines, std::regex(R"(^\[[A-Z][a-z]{2} [A-Z][a-z]{2} \d{2} \d\d:\d\d:\d\d \d{4}\] )")));
    httpdErrorLogSet(server, nullptr);
}

TEST_F(HttpdPair, AccessAndErrorLines)
{
    char *acc_text = nullptr;
    size_t acc_len = 0;
    char *err_text = nullptr;
    size_t err_len = 0;
    FILE *access = open_memstream(&acc_text, &acc_len);
    FILE *errors = open_memstream(&err_text, &err_len);
    httpdAccessLogSet(server, access);
    httpdErrorLogSet(server, errors);
    ASSERT_EQ(httpdContentAddCallback(server, "/", "hi", 0, nullptr, send_hi), 0);
    serve("GET /hi HTTP/1.1\r\n\r\n");
    serve("POST /nope HTTP/1.1\r\n\r\n");
    EXPECT_EQ(httpdErrorCallbackSet(server, 500, nullptr), -1);
    std::fclose(access);
    std::fclose(errors);
    const std::string acc = acc_text;
    const std::string err = err_text;
    std::free(acc_text);
    std::free(err_text);
    httpdAccessLogSet(server, nullptr);
    httpdErrorLogSet(server, nullptr);
    EXPECT_TRUE(std::regex_match(
        acc, std::regex(R"(\S* - - \[\d\d/[A-Z][a-z]{2}/\d{4}:\d\d:\d\d:\d\d \S+\] GET "/hi" 200 2
\S* - - \[[^\]]+\] POST "/nope" 404 \d+
)")))
        << acc;
    EXPECT_NE(err.find("] [error] File does not exist: /nope\n\n"), std::string::npos) << err;
    EXPECT_NE(err.find("] [error] Invalid error code (500) for custom callback\n"), std::string::npos) << err;
}

TEST_F(HttpdPair, CustomErrorReplies)
{
    ASSERT_EQ(httpdErrorCallbackSet(server, 404, [](httpd_server *, httpd_request *r, int code) {
                  httpdSendPrintf(r, "custom %d", code);
              }), 0);
    EXPECT_EQ(serve("GET /gone HTTP/1.1\r\n\r\n"), header_block("200 Output Follows") + "\r\ncustom 404");
}

TEST(HttpdVars, ListsAndPrefixes)
{
    httpd_request r{};
    EXPECT_EQ(httpdVarAdd(&r, "  a1", "x"), 0);
    EXPECT_EQ(httpdVarAdd(&r, "b", "y"), 0);
    EXPECT_EQ(httpdVarAdd(&r, "a2", "z"), 0);
    EXPECT_EQ(httpdVarAdd(&r, "a1", "x2"), 0);
    EXPECT_EQ(httpdVarSet(&r, "a1", "X"), 0);
    ASSERT_NE(httpdVarFind(&r, "a1"), nullptr);
    EXPECT_STREQ(httpdVarFind(&r, "a1")->value, "X");
    EXPECT_STREQ(httpdVarFind(&r, "a1")->next_value->value, "x2");
    EXPECT_STREQ(httpdVarFindPrefix(&r, "a")->name, "a1");
    EXPECT_STREQ(httpdVarFindPrefix(&r, nullptr)->name, "a1");
    EXPECT_STREQ(httpdVarNextPrefix(httpdVarFindPrefix(&r, "a"), "a")->name, "a2");
    EXPECT_EQ(httpdVarNextPrefix(httpdVarFind(&r, "a2"), "a"), nullptr);
    EXPECT_STREQ(httpdVarFindPrefixSuffix(&r, "a", "2")->value, "z");
    EXPECT_EQ(httpdVarFind(&r, "c"), nullptr);
    httpdVarFreeAll(&r);
    EXPECT_EQ(r.vars, nullptr);
}

TEST(HttpdPassword, ShaText)
{
    char out[64];
    EXPECT_STREQ(httpdPasswordSha("password", out, sizeof(out)), "{SHA}W6ph5Mm5Pz8GgiULbPgzG37mj9g=");
    EXPECT_STREQ(httpdPasswordSha("", out, sizeof(out)), "");
    EXPECT_STREQ(httpdPasswordSha(nullptr, out, sizeof(out)), "");
    EXPECT_STREQ(httpdPasswordSha("password", out, 10), "{SHA}W6ph");
    char *dup = httpdPasswordShaDup("password");
    EXPECT_STREQ(dup, "{SHA}W6ph5Mm5Pz8GgiULbPgzG37mj9g=");
    os_free(dup);
}
