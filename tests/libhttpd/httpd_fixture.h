// Test helpers: one request served over a connected socket pair, the client
// end holding the request bytes, and the reply bytes read back whole.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "libhttpd/httpd.h"
#include "libhttpd/httpd_content.h"

// The Date and Last-Modified values replaced by "<date>".
inline std::string mask_dates(const std::string &reply)
{
    static const std::regex date("[A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} GMT");
    return std::regex_replace(reply, date, "<date>");
}

// What every reply says to a browser: never sniff its type, never frame it.
const std::string k_safety_headers = "X-Content-Type-Options: nosniff\r\nX-Frame-Options: DENY\r\n";

// The header block every reply of the library carries, for a status line.
inline std::string header_block(const std::string &status, const std::string &extra = "")
{
    return "HTTP/1.1 " + status + "\r\nServer: QALDO Http Server\r\n" + k_safety_headers + extra +
           "Date: <date>\r\nConnection: close\r\nContent-Type: text/html\r\n"
           "Cache-Control: no-store, must-revalidate\r\nExpires: 0\r\nPragma: no-cache\r\n";
}

class HttpdPair : public ::testing::Test {
protected:
    void SetUp() override
    {
        server = httpdServerNew();
        ASSERT_NE(server, nullptr);
    }
    void TearDown() override
    {
        if (client >= 0)
            close(client);
        httpdServerFree(server);
    }

    // A request bound to the server end of a new pair; the client end keeps
    // bytes (and closes its sending side when eof).
    httpd_request *accept_with(const std::string &bytes, bool eof = true)
    {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
            return nullptr;
        fcntl(sv[1], F_SETFL, fcntl(sv[1], F_GETFL) | O_NONBLOCK);
        if (client >= 0)
            close(client);
        client = sv[0];
        size_t off = 0;
        while (off < bytes.size()) {
            const ssize_t n = send(client, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            off += static_cast<size_t>(n);
        }
        if (eof)
            shutdown(client, SHUT_WR);
        return httpdAccpetConnection(static_cast<os_socket>(sv[1]) + 1, server);
    }

    // Everything the server end sent until it closed.
    std::string reply()
    {
        std::string got;
        char buf[4096];
        for (;;) {
            pollfd p{client, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0)
                break;
            const ssize_t n = recv(client, buf, sizeof(buf), 0);
            if (n <= 0)
                break;
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }

    // Reads, dispatches and frees one request: the read result and the reply.
    std::string serve(const std::string &bytes, int *read_result = nullptr)
    {
        httpd_request *r = accept_with(bytes);
        if (r == nullptr)
            return "<no request>";
        const int rc = httpdReadRequest(server, r);
        if (read_result != nullptr)
            *read_result = rc;
        if (rc == 0)
            httpdProcessRequest(server, r);
        httpdRequestFree(r);
        return mask_dates(reply());
    }

    httpd_server *server = nullptr;
    int client = -1;
};
