// The debug web tool over real TCP connections: the exact bytes of every
// route with and without credentials, the token and Host guards, the shell
// capture, the log stream, the password checker's lock-out, the page file,
// the icon, concurrency, bad input, and a stop that waits for requests (also
// when "exit" arrives through "/cmd").
#include "libdbg/dbg_http.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "../libpal/str_log_capture.h"
#include "../libsh/sh_fixture.h"
#include "../support/held_port.h"
#include "../support/on_leave.h"
#include "dbg_fixture.h"
#include "liblog/flog.h"
#include "liblog/log2.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/basic/os_sync.h"
#include "libpal/string/str_base64.h"
#include "libpal/value/var_mgr.h"
#include "libpwd/libpwd.h"
#include "libsh/libsh.h"

using namespace std::string_literals;

namespace {

bool send_all(int fd, const std::string &bytes)
{
    size_t off = 0;
    while (off < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

// Everything the server sends until it closes (or ms pass).
std::string read_to_close(int fd, int ms = 15000)
{
    std::string got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    char buf[8192];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        const ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

std::string raw(uint32_t port, const std::string &bytes, int ms = 15000)
{
    const int fd = loopback_connect(port);
    if (fd < 0)
        return "<connect failed>";
    send_all(fd, bytes);
    std::string got = read_to_close(fd, ms);
    close(fd);
    return got;
}

// A connection to the loopback port from another loopback address (the
// server tells clients apart by it), or -1.
int connect_from(const char *source, uint32_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof(from)) != 0 ||
        connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof(to)) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

std::string mask_dates(const std::string &reply)
{
    static const std::regex date("[A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} GMT");
    return std::regex_replace(reply, date, "<date>");
}

std::string head(const std::string &status, const std::string &extra = "", const std::string &type = "text/html")
{
    return "HTTP/1.1 " + status +
           "\r\nServer: QALDO Http Server\r\nX-Content-Type-Options: nosniff\r\nX-Frame-Options: DENY\r\n" + extra +
           "Date: <date>\r\nConnection: close\r\nContent-Type: " + type +
           "\r\nCache-Control: no-store, must-revalidate\r\nExpires: 0\r\nPragma: no-cache\r\n\r\n";
}

// The shell's routes answer data.
std::string json_head() { return head("200 Output Follows", "", "application/json"); }

// Every route but the icon, with the type of its reply.
struct route_type {
    const char *route;
    const char *type;
};
constexpr route_type k_route_types[] = {
    {"/", "text/html"},          {"/cmd", "application/json"},    {"/log", "application/json"},
    {"/config", "application/json"}, {"/update", "application/json"}, {"/metrics", "text/html"},
};

const std::string k_401 = head("401 Please Authenticate", "WWW-Authenticate: Basic realm=\"qaldo\"\r\n") + "\n";
const std::string k_403 = head("403 Permission Denied") +
                          "<HTML><HEAD><TITLE>403 Permission Denied</TITLE></HEAD>\n<BODY><H1>Access to the request "
                          "URL was denied!</H1>\n";

std::string basic(const std::string &user_pass)
{
    char b64[512];
    str_base64_encode(user_pass.data(), user_pass.size(), b64, sizeof(b64));
    return "Authorization: Basic "s + b64 + "\r\n";
}

// A slow show-value, so that a request is still running when the tool stops.
std::atomic<int> g_slow_ms{0};
std::atomic<bool> g_slow_entered{false};
char *slow_text()
{
    g_slow_entered = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(g_slow_ms.load()));
    char *t = static_cast<char *>(os_malloc(5));
    std::memcpy(t, "slow", 5);
    return t;
}
rvar g_slow_var{"slow_test", "A show-value that takes its time", slow_text};

class WebTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        libsh_init();
        register_readonly_flag();
        static bool slow_added = false;
        if (!slow_added) {
            libsh_rvar_add(&g_slow_var);
            slow_added = true;
        }
        char err[4096];
        libsh_dvar_set("log.level", "info", err);
    }
    void TearDown() override
    {
        dbg_http_server_stop();
        libsh_set_exit_proc(nullptr);
    }
    void start(const char *user = "", const char *password = "", uint32_t mode = 0)
    {
        const debug_http_param p{mode, "ZORV Web Debug Tool", user, password, "zorv>"};
        debug_http_set_param(&p);
        // Another process may take the port picked free before the tool
        // binds it: the start is tried again on a new one.
        int started = -1;
        for (int attempt = 0; attempt < 20 && started != 0; attempt++) {
            port = free_port();
            started = debug_http_server_init("127.0.0.1", port);
        }
        ASSERT_EQ(started, 0);
        ASSERT_EQ(debug_http_server_port(), port);
        token = debug_http_token();
        ASSERT_EQ(token.size(), 8u);
    }
    std::string get(const std::string &target, const std::string &headers = "")
    {
        return mask_dates(raw(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                        "\r\n" + headers + "\r\n"));
    }
    // The same request from another loopback address.
    std::string get_from(const char *source, const std::string &target, const std::string &headers = "")
    {
        const int fd = connect_from(source, port);
        if (fd < 0)
            return "<connect failed>";
        send_all(fd, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n" + headers + "\r\n");
        std::string got = read_to_close(fd);
        close(fd);
        return mask_dates(got);
    }
    std::string with_token(const std::string &route, const std::string &query = "")
    {
        return route + "?token=" + token + "&v=0.1" + (query.empty() ? "" : "&" + query);
    }
    uint32_t port = 0;
    std::string token;
};

}  // namespace

// The routes' exact bytes without authentication configured.
TEST_F(WebTool, RouteBytesWithoutCredentials)
{
    start();
    const std::string page = get("/?dp=plog");
    ASSERT_EQ(page.rfind(head("200 Output Follows"), 0), 0u) << page.substr(0, 300);
    EXPECT_NE(page.find("<title>ZORV Web Debug Tool</title>"), std::string::npos);
    EXPECT_NE(page.find(">zorv&gt;</label>"), std::string::npos);
    EXPECT_NE(page.find("var TOKEN=\"" + token + "\";"), std::string::npos);
    EXPECT_EQ(page.find("$title"), std::string::npos);

    EXPECT_EQ(get(with_token("/cmd", "command=echo%20hello")), json_head() + "[{\"resp\":\"hello\\n\"}]");
    EXPECT_EQ(get(with_token("/config")),
              json_head() +
                  "[{\"desc\":\"log.level\",\"name\":\"log.level\",\"value\":\"info\",\"type\":\"enum\",\"range\":\"verb/"
                  "dbg/info/noti/warn/err/crit\"},{\"desc\":\"nbd_readonly_flag\",\"name\":\"nbd_readonly_flag\",\"value\":\"1\","
                  "\"type\":\"enum\",\"range\":\"0/1\"} ]");
    EXPECT_EQ(get(with_token("/update", "name=log.level&value=warn")),
              json_head() + "{ \"success\" : true, \"msg\" : \"ok\" }");
    EXPECT_EQ(get(with_token("/metrics")), head("200 Output Follows") + "#HELP xxxx \r\nTYPE xxx\r\ng_type=0");
    const std::string icon = get("/favicon.ico");
    EXPECT_EQ(icon, head("200 Output Follows") + std::string(reinterpret_cast<const char *>(k_dbg_http_icon),
                                                             k_dbg_http_icon_size));
    EXPECT_EQ(get("/nosuch"), head("404 Not Found") +
                                  "<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD>\n<BODY><H1>The request URL was not "
                                  "found!</H1>\n</BODY></HTML>\n");
    EXPECT_EQ(get("/../../etc/passwd").rfind(head("404 Not Found"), 0), 0u);
}

// With a user and password, every route but the icon asks for them.
TEST_F(WebTool, RouteBytesWithCredentials)
{
    start("admin", "pw");
    const std::string good = basic("admin:pw");
    for (const auto &[route, type] : k_route_types) {
        EXPECT_EQ(get(with_token(route)), k_401) << route;
        EXPECT_EQ(get(with_token(route), basic("admin:bad")), k_401) << route;
        EXPECT_EQ(get(with_token(route), basic("Admin:pw")), k_401) << route;
        EXPECT_EQ(get(with_token(route), good).rfind(head("200 Output Follows", "", type), 0), 0u) << route;
    }
    EXPECT_EQ(get(with_token("/cmd", "command=echo%20ok"), good), json_head() + "[{\"resp\":\"ok\\n\"}]");
    EXPECT_EQ(get("/favicon.ico").rfind(head("200 Output Follows") + "\x89PNG\r\n", 0), 0u);
}

// Only one of user and password set: the tool would run open, so it does
// not start, an err line says that both are needed, and -2 tells the caller
// that the reason is said (no second line with another one).
TEST_F(WebTool, HalfConfiguredCredentialsKeepTheToolStopped)
{
    struct row {
        const char *user;
        const char *password;
    };
    const row rows[] = {{"admin", ""}, {"admin", nullptr}, {"", "pw"}, {nullptr, "pw"}};
    for (const row &k : rows) {
        log_capture log;
        const debug_http_param p{0, "ZORV Web Debug Tool", k.user, k.password, "zorv>"};
        debug_http_set_param(&p);
        const held_port held;
        EXPECT_EQ(debug_http_server_init("127.0.0.1", held.port), -2);
        EXPECT_EQ(debug_http_server_port(), 0u);
        bool said = false;
        for (const auto &line : log.all())
            said |= line.level == LOG2_ERR && line.text.find("needs both a user and a password") != std::string::npos;
        EXPECT_TRUE(said) << (k.user != nullptr ? k.user : "(null)");
    }
}

TEST_F(WebTool, TokenAndHostGuards)
{
    start();
    for (const std::string route : {"/cmd?command=echo%20x", "/log?v=1", "/config?v=1", "/update?name=log.level&value=err"}) {
        EXPECT_EQ(get(route), k_403) << route;
        EXPECT_EQ(get(route + "&token=12345678"), k_403) << route;
    }
    const auto with_host = [&](const std::string &host) {
        return mask_dates(raw(port, "GET " + with_token("/metrics") + " HTTP/1.1\r\n" + (host.empty() ? "" : host + "\r\n") + "\r\n"));
    };
    const std::string ok = head("200 Output Follows") + "#HELP xxxx \r\nTYPE xxx\r\ng_type=0";
    EXPECT_EQ(with_host("Host: evil.example:" + std::to_string(port)), k_403);
    EXPECT_EQ(with_host("Host: evil.example"), k_403);
    EXPECT_EQ(with_host("Host: localhost.evil.example"), k_403);
    EXPECT_EQ(with_host("Host: localhost:" + std::to_string(port)), ok);
    EXPECT_EQ(with_host("Host: LOCALHOST"), ok);
    EXPECT_EQ(with_host("Host: [::1]:" + std::to_string(port)), ok);
    EXPECT_EQ(with_host("Host: 127.0.0.1"), ok);
    EXPECT_EQ(with_host("Host:"), ok);
    EXPECT_EQ(with_host(""), ok);
    // The page (which holds the token) is refused to a foreign name too.
    EXPECT_EQ(mask_dates(raw(port, "GET / HTTP/1.1\r\nHost: rebind.example\r\n\r\n")), k_403);
    // A foreign Host never reaches the shell.
    EXPECT_EQ(mask_dates(raw(port, "GET " + with_token("/update", "name=log.level&value=err") +
                                       " HTTP/1.1\r\nHost: evil.example\r\n\r\n")),
              k_403);
    char level[64];
    ASSERT_EQ(log_level_var_get(level, sizeof(level)), 0);
    EXPECT_STREQ(level, "info");
}

TEST_F(WebTool, CmdCapturesTheFirstCommand)
{
    start();
    struct row {
        const char *query;
        const char *body;
    };
    const row rows[] = {
        {"command=echo%20one%3B%20echo%20two", "[{\"resp\":\"one\\n\"}]"},
        {"command=%23%20only%20a%20comment", "[{\"resp\":\"\"}]"},
        {"command=echo%20%3Cb%3E%09x", "[{\"resp\":\"<b> x\\n\"}]"},
        // An empty line runs the shell's remembered line again.
        {"command=", "[{\"resp\":\"<b> x\\n\"}]"},
        {"command=nosuch", "[{\"resp\":\"command not found: [nosuch]\\nType `help` to learn how to use prompt\\n\"}]"},
        {"command=show%20dvar", "[{\"resp\":\"log.level=info\\nnbd_readonly_flag=1\\n\"}]"},
    };
    for (const auto &k : rows)
        EXPECT_EQ(get(with_token("/cmd", k.query)), json_head() + k.body) << k.query;
    // Output larger than any fixed buffer arrives whole.
    const std::string big = get(with_token("/cmd", "command=help"));
    EXPECT_NE(big.find("e.g. help pwd"), std::string::npos);
}

TEST_F(WebTool, UpdateReplies)
{
    start();
    struct row {
        const char *query;
        const char *body;
    };
    const row rows[] = {
        {"name=nosuch&value=1", "{ \"success\" : false, \"msg\" : \"The set variable 'nosuch' does not exist\" }"},
        {"name=nbd_readonly_flag&value=yes", "{ \"success\" : false, \"msg\" : \"invalid param [yes]\\n\" }"},
        {"name=log.level&value=%22%3Cb%3E", "{ \"success\" : false, \"msg\" : \"invalid param [\\\"<b>]\\n\" }"},
        {"name=log.level&value=dbg", "{ \"success\" : true, \"msg\" : \"ok\" }"},
        {"name=log.level&value=info", "{ \"success\" : true, \"msg\" : \"ok\" }"},
    };
    for (const auto &k : rows)
        EXPECT_EQ(get(with_token("/update", k.query)), json_head() + k.body) << k.query;
    EXPECT_EQ(g_readonly, 1);
}

// "/log" hands out each pending line once, with its level's web name.
TEST_F(WebTool, LogLinesOnce)
{
    start();
    get(with_token("/log"));  // drain what start-up logged
    log2_printf(nullptr, LOG2_WARN, "webtest", __FILE__, __LINE__, __func__, "disk \"%s\" is slow\n", "sda");
    log2_printf(nullptr, LOG2_ERR, "webtest", __FILE__, __LINE__, __func__, "second line\n");
    const std::string body = get(with_token("/log")).substr(json_head().size());
    const std::regex line(
        R"(\[\{"log":"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} WARN  \d+ --- \[[^\]]*\] webtest TestBody\(\): disk \\"sda\\" is slow\\n","level":"warning"\},)"
        R"(\{"log":"[^"]* ERROR \d+ --- \[[^\]]*\] webtest TestBody\(\): second line\\n","level":"error"\}\])");
    EXPECT_TRUE(std::regex_match(body, line)) << body;
    EXPECT_EQ(get(with_token("/log")), json_head() + "[]");
}

// A file "debug.html" in the working directory replaces the page; only the
// server's own values are substituted, never the request's variables.
TEST_F(WebTool, PageFileReplacesTheEmbeddedPage)
{
    std::string made = ::testing::TempDir() + "dbg_http_page_XXXXXX";
    ASSERT_NE(mkdtemp(made.data()), nullptr);
    const char *dir = made.c_str();
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof(old)), nullptr);
    ASSERT_EQ(chdir(dir), 0);
    std::ofstream("debug.html") << "[$title|$sh_psa|$token_value|$nosuch|$v]";
    start();
    EXPECT_EQ(get("/?title=%3Cscript%3E&nosuch=x&v=1"),
              head("200 Output Follows") + "[ZORV Web Debug Tool|zorv&gt;|" + token + "|$nosuch|$v]");
    ASSERT_EQ(chdir(old), 0);
    std::system(("rm -rf "s + dir).c_str());
}

TEST(WebToolIcon, IsA256SquarePng)
{
    ASSERT_GT(k_dbg_http_icon_size, 33u);
    const std::string png(reinterpret_cast<const char *>(k_dbg_http_icon), k_dbg_http_icon_size);
    EXPECT_EQ(png.substr(0, 16), "\x89PNG\r\n\x1a\n\0\0\0\rIHDR"s);
    const auto be32 = [&](size_t at) {
        return static_cast<uint32_t>(static_cast<uint8_t>(png[at])) << 24 |
               static_cast<uint32_t>(static_cast<uint8_t>(png[at + 1])) << 16 |
               static_cast<uint32_t>(static_cast<uint8_t>(png[at + 2])) << 8 | static_cast<uint8_t>(png[at + 3]);
    };
    EXPECT_EQ(be32(16), 256u);
    EXPECT_EQ(be32(20), 256u);
    EXPECT_EQ(png.substr(png.size() - 12), "\0\0\0\0IEND\xae\x42\x60\x82"s);
}

// 50 "/cmd" requests at once: each gets its own answer.
TEST_F(WebTool, ConcurrentCommandsEachGetTheirOwnAnswer)
{
    start();
    constexpr int n = 50;
    std::vector<std::string> replies(n);
    std::vector<std::thread> clients;
    for (int i = 0; i < n; i++) {
        clients.emplace_back([&, i] {
            replies[i] = get(with_token("/cmd", "command=echo%20request-" + std::to_string(i)));
        });
    }
    for (auto &t : clients)
        t.join();
    for (int i = 0; i < n; i++)
        EXPECT_EQ(replies[i], json_head() + "[{\"resp\":\"request-" + std::to_string(i) + "\\n\"}]");
}

// Wrong credentials from one address until the password checker locks it:
// then even the right ones get the 401 reply.
TEST_F(WebTool, CheckerLocksOutAfterFailures)
{
    const libpwd_param pp{"admin", "pw", nullptr, 0, 3, 1, 0};
    ASSERT_EQ(libpwd_init(&pp), 0);
    start(nullptr, nullptr, 1);
    const std::string good = basic("admin:pw");
    EXPECT_EQ(get(with_token("/metrics"), good).rfind(head("200 Output Follows"), 0), 0u);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(get(with_token("/metrics"), basic("admin:wrong")), k_401);
    EXPECT_EQ(get(with_token("/metrics"), good).rfind(k_401 + "Login failed 3 times", 0), 0u);
    EXPECT_EQ(get("/favicon.ico").rfind(head("200 Output Follows"), 0), 0u);
    libpwd_exit();
}

// Each bad request gets its answer or is closed within the time-out, and
// the tool keeps serving.
TEST_F(WebTool, BadInputIsAnsweredOrClosed)
{
    start();
    const std::string ok = head("200 Output Follows") + "#HELP xxxx \r\nTYPE xxx\r\ng_type=0";
    const std::string metrics = "GET " + with_token("/metrics") + " HTTP/1.1\r\n";
    // A 100 KB header line.
    EXPECT_EQ(mask_dates(raw(port, metrics + "X-Big: " + std::string(100 * 1024, 'a') + "\r\n\r\n")), ok);
    // A method of 1000 characters.
    EXPECT_EQ(raw(port, std::string(1000, 'M') + " / HTTP/1.1\r\n\r\n"),
              "\n<B>ERROR : Method Not Implemented</B>\n\n" + std::string(16, 'M'));
    // "Host:" with nothing after it.
    EXPECT_EQ(mask_dates(raw(port, metrics + "Host:\r\n\r\n")), ok);
    // A 10 MB body: never read, and the reply still arrives.
    EXPECT_EQ(mask_dates(raw(port, metrics + "Content-Length: 10485760\r\n\r\n" + std::string(10 << 20, 'b'))), ok);
    // A request cut off mid-header: closed without a reply within the time-out.
    {
        const int fd = loopback_connect(port);
        ASSERT_GE(fd, 0);
        send_all(fd, "GET " + with_token("/cmd", "command=echo%20cut") + " HTTP/1.1\r\nHost: loc");
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(read_to_close(fd, 8000), "");
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
        close(fd);
    }
    // 200 connections that send nothing, while others are served.
    std::vector<int> idle;
    for (int i = 0; i < 200; i++)
        idle.push_back(loopback_connect(port));
    EXPECT_EQ(get(with_token("/metrics")), ok);
    const auto t0 = std::chrono::steady_clock::now();
    for (int fd : idle) {
        ASSERT_GE(fd, 0);
        EXPECT_EQ(read_to_close(fd, 8000), "");
        close(fd);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(8));
    EXPECT_EQ(get(with_token("/metrics")), ok);
}

// A stop waits for a running request, which finishes its reply.
TEST_F(WebTool, StopWaitsForRunningRequests)
{
    start();
    g_slow_ms = 800;
    std::string reply;
    g_slow_entered = false;
    std::thread client([&] { reply = get(with_token("/cmd", "command=show%20slow_test")); });
    for (int i = 0; i < 1000 && !g_slow_entered; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(g_slow_entered);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(dbg_http_server_stop(), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));
    client.join();
    g_slow_ms = 0;
    EXPECT_EQ(reply, json_head() + "[{\"resp\":\"slow\"}]");
    EXPECT_EQ(debug_http_server_port(), 0u);
}

// Connections still waiting for their request (a browser opens some ahead)
// do not hold a stop up: they are closed at once, without a reply.
TEST_F(WebTool, StopClosesIdleConnectionsAtOnce)
{
    start();
    std::vector<int> idle;
    for (int i = 0; i < 20; i++)
        idle.push_back(loopback_connect(port));
    EXPECT_EQ(get(with_token("/metrics")).rfind(head("200 Output Follows"), 0), 0u);  // all accepted by now
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(dbg_http_server_stop(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));
    for (int fd : idle) {
        ASSERT_GE(fd, 0);
        EXPECT_EQ(read_to_close(fd, 3000), "");
        close(fd);
    }
}

// "exit" through "/cmd" stops the tool from inside that request: the
// request still sends its reply, and the server goes with it.
TEST_F(WebTool, ExitThroughCmdStopsTheTool)
{
    start();
    libsh_set_exit_proc([] { return dbg_http_server_stop(); });
    EXPECT_EQ(get(with_token("/cmd", "command=exit")), json_head() + "[{\"resp\":\"\"}]");
    EXPECT_EQ(debug_http_server_port(), 0u);
    libsh_set_exit_proc(nullptr);
    // Started again, it serves.
    start();
    EXPECT_EQ(get(with_token("/cmd", "command=echo%20again")), json_head() + "[{\"resp\":\"again\\n\"}]");
}

namespace {

std::atomic<uint64_t> g_now_ms{1000000};
uint64_t fake_clock() { return g_now_ms.load(); }

// The warn lines of failed logins in log: each names the address and the
// user, and none holds secret.
int failed_login_lines(const log_capture &log, const std::string &addr, const std::string &user, const std::string &secret)
{
    int count = 0;
    for (const auto &line : log.all()) {
        EXPECT_EQ(line.text.find(secret), std::string::npos) << line.text;
        if (line.level == LOG2_WARN && line.text.find("ip=[" + addr + "] user=[" + user + "]") != std::string::npos)
            count++;
    }
    return count;
}

}  // namespace

// Wrong passwords from one address until the checker locks it out: that
// address then gets the 401 reply with the checker's text even with the
// right password, and its request does nothing else; another address is
// served, and so is the first once the lock time has passed. Once with the
// checker the tool starts itself (5 failures, 15 minutes), once with short
// limits given to the checker directly.
TEST_F(WebTool, LoginLockOutPerAddress)
{
    struct row {
        uint32_t mode;
        uint32_t limit;
        uint32_t minutes;
    };
    const row rows[] = {{0, DBG_HTTP_LOGIN_FAIL_LIMIT, DBG_HTTP_LOGIN_LOCK_MINUTES}, {1, 2, 1}};
    ipcheck_set_clock(fake_clock);
    const on_leave restore{[] { ipcheck_set_clock(nullptr); }};
    for (const row &k : rows) {
        SCOPED_TRACE(k.mode);
        if (k.mode != 0) {
            const libpwd_param pp{"admin", "s3cretPW", nullptr, 0, k.limit, k.minutes, 0};
            ASSERT_EQ(libpwd_init(&pp), 0);
        }
        start("admin", "s3cretPW", k.mode);
        log_capture log;
        const std::string good = basic("admin:s3cretPW");
        const std::string ok = head("200 Output Follows") + "#HELP xxxx \r\nTYPE xxx\r\ng_type=0";
        for (uint32_t i = 0; i < k.limit; i++)
            EXPECT_EQ(get(with_token("/metrics"), basic("admin:wrong-" + std::to_string(i))), k_401) << i;
        EXPECT_EQ(failed_login_lines(log, "127.0.0.1", "admin", "wrong-"), static_cast<int>(k.limit));
        char locked[128];
        std::snprintf(locked, sizeof(locked), "Login failed %u times, Please try again in %u.00 minutes", k.limit,
                      k.minutes);
        EXPECT_EQ(get(with_token("/metrics"), good), k_401 + locked);
        // A locked address changes nothing through the shell.
        EXPECT_EQ(get(with_token("/update", "name=log.level&value=err"), good), k_401 + locked);
        char level[64];
        ASSERT_EQ(log_level_var_get(level, sizeof(level)), 0);
        EXPECT_STREQ(level, "info");
        EXPECT_EQ(get_from("127.0.0.2", with_token("/metrics"), good), ok);
        g_now_ms += static_cast<uint64_t>(k.minutes) * 60000 - 1;
        EXPECT_EQ(get(with_token("/metrics"), good).rfind(k_401 + "Login failed", 0), 0u);
        g_now_ms += 1;
        EXPECT_EQ(get(with_token("/metrics"), good), ok);
        dbg_http_server_stop();
        if (k.mode != 0)
            libpwd_exit();
    }
}

// Credentials that a C string reads shorter than sent never log in: each is
// a failed login (a warn line, counted), and the right ones still work.
TEST_F(WebTool, CredentialsHoldingNulAreRefused)
{
    start("admin", "s3cretPW");
    log_capture log;
    const std::string rows[] = {"admin:s3cretPW\0junk"s, "admin\0x:s3cretPW"s, "admin:s3cretPW\0"s};
    for (const std::string &creds : rows)
        EXPECT_EQ(get(with_token("/metrics"), basic(creds)), k_401) << creds.size();
    EXPECT_EQ(failed_login_lines(log, "127.0.0.1", "admin", "s3cretPW"), 3);
    EXPECT_EQ(get(with_token("/metrics"), basic("admin:s3cretPW")).rfind(head("200 Output Follows"), 0), 0u);
}

// Every reply says what it is and that it may be neither sniffed nor
// framed: a peer's text inside a reply never runs as a page.
TEST_F(WebTool, RepliesAreTypedAndNeverFramed)
{
    start();
    struct row {
        std::string target;
        std::string status;
        std::string type;
    };
    std::vector<row> rows;
    for (const auto &[route, type] : k_route_types)
        rows.push_back({with_token(route), "200 Output Follows", type});
    rows.push_back({"/favicon.ico", "200 Output Follows", "text/html"});
    rows.push_back({"/cmd?command=echo", "403 Permission Denied", "text/html"});
    rows.push_back({"/nosuch", "404 Not Found", "text/html"});
    for (const row &k : rows) {
        const std::string reply = get(k.target);
        EXPECT_EQ(reply.rfind(head(k.status, "", k.type), 0), 0u) << k.target << "\n" << reply.substr(0, 400);
    }
    dbg_http_server_stop();
    start("admin", "pw");
    EXPECT_EQ(get(with_token("/log")), k_401);
}

// Text a client sent reaches log lines escaped: a Host header, a command, a
// user name and a path holding line breaks, escapes and invalid UTF-8.
TEST_F(WebTool, PeerTextIsEscapedInLogLines)
{
    start("admin", "pw");
    char err[4096];
    libsh_dvar_set("log.level", "verb", err);
    log_capture log;
    const std::string good = basic("admin:pw");
    // (The reader ends a header line at a line feed or a byte above 0x7f.)
    raw(port, "GET " + with_token("/metrics") + " HTTP/1.1\r\nHost: evil\x1b]0;PWNED\x07\x1b[2J\x7f.example\r\n\r\n");
    get(with_token("/cmd", "command=echo%20a%0Ab%0D%1B%5B2J%7F%FF"), good);
    get(with_token("/metrics"), basic("ad\x1bmin\n:pw"));
    libsh_dvar_set("log.level", "info", err);
    int escaped = 0;
    for (const auto &line : log.all()) {
        const std::string text = line.text.substr(0, line.text.size() - (line.text.back() == '\n' ? 1 : 0));
        for (unsigned char c : text)
            EXPECT_TRUE(c >= 0x20 && c != 0x7f && c < 0x80) << line.text;
        escaped += text.find("\\x1b[2J") != std::string::npos ? 1 : 0;
    }
    EXPECT_GE(escaped, 4);
    EXPECT_TRUE(log.has("refused Host [evil\\x1b]0;PWNED\\x07\\x1b[2J\\x7f.example]"));
    EXPECT_TRUE(log.has("user=[ad\\x1bmin\\x0a] wrong user"));
}

namespace {

// Every byte outside [A-Za-z0-9/._-] as %XX.
std::string query_escape(const std::string &text)
{
    std::string out;
    for (const unsigned char ch : text) {
        if (std::isalnum(ch) != 0 || std::strchr("/._-", ch) != nullptr) {
            out += static_cast<char>(ch);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof(hex), "%%%02X", ch);
            out += hex;
        }
    }
    return out;
}

std::atomic<int> g_cmd_stops{0};

}  // namespace

// "help NAME" and "? NAME" through "/cmd" only print the usage: the tool
// keeps serving, the exit hook never runs, the variables keep their values.
TEST_F(WebTool, HelpOfEveryCommandOnlyPrints)
{
    start();
    libsh_set_exit_proc([] { return ++g_cmd_stops; });
    const std::string dvars = get(with_token("/cmd", "command=show%20dvar"));
    sh_capture local;
    const auto rows = help_rows_of(local.run("help"));
    ASSERT_GE(rows.size(), 14u);
    for (const auto &[name, help] : rows) {
        for (const char *asker : {"help ", "? "}) {
            const std::string line = asker + name;
            const std::string reply = get(with_token("/cmd", "command=" + query_escape(line)));
            EXPECT_EQ(reply.rfind(json_head(), 0), 0u) << line;
            EXPECT_NE(reply.find(help + "\\n"), std::string::npos) << line << ":\n" << reply;
            EXPECT_EQ(get(with_token("/cmd", "command=show%20dvar")), dvars) << line;
        }
    }
    EXPECT_EQ(g_cmd_stops.load(), 0);
    EXPECT_EQ(debug_http_server_port(), port);
}

// Nested "source" through "/cmd", on the request's thread, of files that
// only source: the reply holds the first command's output, the refusal line
// when there is one, and the tool serves on.
TEST_F(WebTool, NestedSourceThroughCmd)
{
    start();
    const scratch_dir dir;
    for (const auto &k : k_nesting_cases) {
        const auto [first, refused] = nesting_files(dir, k, false);
        const std::string resp = k.refused ? "source: [" + refused + "] nested deeper than 16, not run\\n" : "";
        EXPECT_EQ(get(with_token("/cmd", "command=source%20" + query_escape(first))),
                  json_head() + "[{\"resp\":\"" + resp + "\"}]")
            << k.name;
        EXPECT_EQ(get(with_token("/cmd", "command=echo%20after")), json_head() + "[{\"resp\":\"after\\n\"}]");
    }
}

namespace {

// The "resp" text of a "/cmd" reply with its JSON escapes of line ends and
// quotes undone.
std::string resp_of(const std::string &reply)
{
    const std::string open = "[{\"resp\":\"";
    const size_t at = reply.find(open);
    if (at == std::string::npos)
        return "<no resp in " + reply.substr(0, 200) + ">";
    std::string text = reply.substr(at + open.size());
    if (text.size() >= 3 && text.compare(text.size() - 3, 3, "\"}]") == 0)
        text.resize(text.size() - 3);
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            const char c = text[++i];
            out += c == 'n' ? '\n' : c == 't' ? '\t' : c;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace

// A chain of files that echo their level: the reply holds every level once
// and in order, then the refusal, whatever the depth (the first reply of a
// nested command used to end the capture after "level 1").
TEST_F(WebTool, NestedSourceOutputReachesTheReplyWhole)
{
    start();
    const scratch_dir dir;
    for (const auto &k : k_nesting_cases) {
        const auto [first, refused] = nesting_files(dir, k);
        const std::string reply = get(with_token("/cmd", "command=source%20" + query_escape(first)));
        EXPECT_EQ(reply.rfind(json_head(), 0), 0u) << k.name;
        expect_nesting_output(resp_of(reply), k, refused);
    }
}

// A fan-out through "/cmd" (a file that sources itself four times): the
// captured output stops at its bound, the reply says it was cut, the
// "source" stops, and the tool serves on.
TEST_F(WebTool, CmdOutputIsCutAtItsBound)
{
    start();
    const scratch_dir dir;
    const std::string fan = dir.path + "/fan.sh";
    {
        std::ofstream f(fan);
        f << "echo " << std::string(2000, 'x') << "\n";
        for (int i = 0; i < 4; i++)
            f << "source " << fan << "\n";
    }
    // Slow under sanitizers beside other work: the wait is not the point.
    const std::string reply = raw(port, "GET " + with_token("/cmd", "command=source%20" + query_escape(fan)) +
                                            " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
                                  120000);
    const std::string resp = resp_of(reply);
    const std::string cut = "\nerror: output cut at 1048576 bytes\n";
    ASSERT_GT(resp.size(), cut.size()) << reply.substr(0, 300);
    EXPECT_EQ(resp.substr(resp.size() - cut.size()), cut);
    EXPECT_EQ(resp.size(), DBG_HTTP_CMD_OUT_SIZE + cut.size());
    EXPECT_EQ(get(with_token("/cmd", "command=echo%20after")), json_head() + "[{\"resp\":\"after\\n\"}]");
}

// A stop while a request runs a long "source": the source stops at its next
// line, the request answers with what it printed and why it stopped, and the
// stop does not wait out its bound (3 s).
TEST_F(WebTool, StopEndsASourceRunningInARequest)
{
    start();
    const scratch_dir dir;
    const std::string fan = dir.path + "/slow_fan.sh";
    std::ofstream(fan) << "show slow_test\nsource " << fan << "\nsource " << fan << "\n";
    g_slow_ms = 20;
    g_slow_entered = false;
    std::string reply;
    std::thread client([&] { reply = get(with_token("/cmd", "command=source%20" + query_escape(fan))); });
    for (int i = 0; i < 1000 && !g_slow_entered; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(dbg_http_server_stop(), 0);
    const auto took = std::chrono::steady_clock::now() - t0;
    client.join();
    g_slow_ms = 0;
    EXPECT_LT(took, std::chrono::milliseconds(1500));
    EXPECT_NE(resp_of(reply).find("slow"), std::string::npos) << reply;
    EXPECT_NE(resp_of(reply).find("source: [" + fan + "] stopped: the web tool is stopping\n"), std::string::npos)
        << reply;
}

// A request that has come whole is answered at once: twenty "/cmd"
// requests, each sent in one piece, on a connection kept open for the reply.
// A reader that waited for a full buffer took 200 ms for each.
TEST_F(WebTool, WholeRequestsAreAnsweredAtOnce)
{
    start();
    std::chrono::steady_clock::duration total{};
    for (int i = 0; i < 20; i++) {
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(get(with_token("/cmd", "command=echo%20" + std::to_string(i))),
                  json_head() + "[{\"resp\":\"" + std::to_string(i) + "\\n\"}]");
        total += std::chrono::steady_clock::now() - t0;
    }
    const auto mean = std::chrono::duration_cast<std::chrono::microseconds>(total / 20);
    std::printf("/cmd round trip: %.1f ms mean of 20\n", static_cast<double>(mean.count()) / 1000.0);
    RecordProperty("cmd_mean_us", static_cast<int>(mean.count()));
    EXPECT_LT(mean, std::chrono::milliseconds(100));
}
