#include "libpal/network/os_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "libpal/basic/verr.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

namespace {

// A handle too large for a descriptor reads as -1.
int fd_of(os_socket sock)
{
    return sock == 0 || sock - 1 > static_cast<uint64_t>(INT_MAX) ? -1 : static_cast<int>(sock - 1);
}

os_socket handle_of(int fd)
{
    return static_cast<os_socket>(fd) + 1;
}

void report_failed(const char *expr)
{
    errno_keeper keep;
    ZLOG_ERR("expr[%s]: assert failed\n", expr);
    assert_dump_stack();
}

int sock_type_of(uint32_t type)
{
    switch (type >> 8) {
    case 1:
        return SOCK_STREAM;
    case 2:
        return SOCK_DGRAM;
    case 3:
        return SOCK_RAW;
    default:
        return -1;
    }
}

int domain_of(uint32_t family)
{
    switch (family) {
    case OS_IPADDR_FAMILY_IPV4:
        return AF_INET;
    case OS_IPADDR_FAMILY_IPV6:
        return AF_INET6;
    case OS_IPADDR_FAMILY_UNIX:
        return AF_UNIX;
    default:
        return -1;
    }
}

// Would-block and interrupted calls give 0 so that callers wait and loop.
int64_t fold(ssize_t r)
{
    if (r >= 0) {
        return r;
    }
    return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
}

size_t clamp_len(uint64_t len)
{
    return static_cast<size_t>(std::min<uint64_t>(len, INT_MAX));
}

bool set_int_opt(int fd, int level, int name, int value)
{
    return setsockopt(fd, level, name, &value, sizeof(value)) == 0;
}

bool get_int_opt(int fd, int level, int name, int *value)
{
    socklen_t len = sizeof(*value);
    *value        = 0;
    return getsockopt(fd, level, name, value, &len) == 0;
}

bool set_blocking(int fd, bool block)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) {
        return false;
    }
    flags = block ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return fcntl(fd, F_SETFL, flags) == 0;
}

bool ctrl_get_buff_size(int fd, int name, int64_t *pbuff_size)
{
    int  value = 0;
    bool ok    = get_int_opt(fd, SOL_SOCKET, name, &value);
    *pbuff_size = ok ? value : 0;
    return ok;
}

bool ctrl_add_membership(int fd, const char *group)
{
    ip_mreq req = {};
    if (inet_aton(group, &req.imr_multiaddr) == 0) {
        return false;
    }
    req.imr_interface.s_addr = htonl(INADDR_ANY);
    return setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &req, sizeof(req)) == 0;
}

// One address record for every call that hands a name to the system.
struct sys_addr {
    sockaddr_storage storage;
    socklen_t        len;
};

bool load_addr(const os_ipaddr *addr, sys_addr *out)
{
    int len = os_sockaddr_load(&out->storage, addr);
    out->len = static_cast<socklen_t>(len);
    return len > 0;
}

using name_call = int (*)(int, sockaddr *, socklen_t *);

bool query_name(os_socket sock, os_ipaddr *addr, name_call call)
{
    PL_ASSERT_RET(sock, false);
    sockaddr_storage ss = {};
    socklen_t        len = sizeof(ss);
    if (call(fd_of(sock), reinterpret_cast<sockaddr *>(&ss), &len) != 0) {
        return false;
    }
    return addr == nullptr || os_sockaddr_save(addr, reinterpret_cast<sockaddr *>(&ss)) > 0;
}

int64_t msg_io(os_socket sock, os_ipaddr *src, const os_ipaddr *dst, const iovec *list, int size, bool send)
{
    sys_addr name = {};
    msghdr   msg  = {};
    if (dst != nullptr) {
        if (!load_addr(dst, &name)) {
            errno = EINVAL;
            return -1;
        }
        msg.msg_name    = &name.storage;
        msg.msg_namelen = name.len;
    } else if (src != nullptr) {
        msg.msg_name    = &name.storage;
        msg.msg_namelen = sizeof(name.storage);
    }
    msg.msg_iov    = const_cast<iovec *>(list);
    msg.msg_iovlen = static_cast<size_t>(size);
    ssize_t r = send ? sendmsg(fd_of(sock), &msg, MSG_NOSIGNAL) : recvmsg(fd_of(sock), &msg, 0);
    // A stream or an unbound unix sender gives no address: the caller's stays.
    if (r >= 0 && src != nullptr && msg.msg_namelen > 0) {
        os_sockaddr_save(src, reinterpret_cast<sockaddr *>(&name.storage));
    }
    return fold(r);
}

}  // namespace

// ---- creation and set-up ----

os_socket os_socket_init(uint32_t type, uint32_t family)
{
    PL_ASSERT_RET(type, 0);
    int d = domain_of(family);
    PL_ASSERT_RET(d >= 0, 0);
    int t = sock_type_of(type);
    int p = -1;
    switch (type & 0xff) {
    case 0:
        p = 0;
        break;
    case 1:
        p = IPPROTO_TCP;
        break;
    case 2:
        p = IPPROTO_UDP;
        break;
    case 3:
        if (d == AF_INET) {
            p = IPPROTO_ICMP;
        } else if (d == AF_INET6) {
            p = IPPROTO_ICMPV6;
        } else if (d != AF_UNIX) {
            PL_ASSERT_RET(0, 0);
        }
        break;
    default:
        break;
    }
    if (d == AF_UNIX) {
        p = 0;
    }
    PL_ASSERT_RET(t >= 0 && p >= 0, 0);
    int fd = socket(d, t | SOCK_NONBLOCK | SOCK_CLOEXEC, p);
    if (fd < 0) {
        report_failed("fd >= 0");
        return 0;
    }
    return handle_of(fd);
}

bool os_socket_pair(uint32_t type, os_socket pair[2])
{
    PL_ASSERT_RET(type && pair, false);
    int t = sock_type_of(type);
    PL_ASSERT_RET(t >= 0, false);
    int fds[2];
    if (socketpair(AF_UNIX, t | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) {
        return false;
    }
    pair[0] = handle_of(fds[0]);
    pair[1] = handle_of(fds[1]);
    return true;
}

bool os_socket_ctrl(os_socket sock, uint64_t ctrl, ...)
{
    PL_ASSERT_RET(sock, false);
    int fd = fd_of(sock);
    va_list ap;
    va_start(ap, ctrl);
    bool ok = false;
    switch (ctrl) {
    case OS_SOCKET_CTRL_SET_BLOCK:
        ok = set_blocking(fd, va_arg(ap, int) != 0);
        break;
    case OS_SOCKET_CTRL_GET_BLOCK: {
        bool *pis_block = va_arg(ap, bool *);
        if (pis_block == nullptr) {
            report_failed("pis_block");
            break;
        }
        int flags  = fcntl(fd, F_GETFL);
        ok         = flags >= 0;
        *pis_block = ok && (flags & O_NONBLOCK) == 0;
        break;
    }
    case OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE:
        ok = set_int_opt(fd, SOL_SOCKET, SO_RCVBUF, va_arg(ap, int));
        break;
    case OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE:
        ok = set_int_opt(fd, SOL_SOCKET, SO_SNDBUF, va_arg(ap, int));
        break;
    case OS_SOCKET_CTRL_GET_RECV_BUFF_SIZE:
    case OS_SOCKET_CTRL_GET_SEND_BUFF_SIZE: {
        int64_t *pbuff_size = va_arg(ap, int64_t *);
        if (pbuff_size == nullptr) {
            report_failed("pbuff_size");
            break;
        }
        ok = ctrl_get_buff_size(fd, ctrl == OS_SOCKET_CTRL_GET_RECV_BUFF_SIZE ? SO_RCVBUF : SO_SNDBUF, pbuff_size);
        break;
    }
    case OS_SOCKET_CTRL_SET_TCP_NODELAY:
        ok = set_int_opt(fd, IPPROTO_TCP, TCP_NODELAY, va_arg(ap, int));
        break;
    case OS_SOCKET_CTRL_GET_TCP_NODELAY: {
        bool *penable = va_arg(ap, bool *);
        if (penable == nullptr) {
            report_failed("penable");
            break;
        }
        int value = 0;
        ok        = get_int_opt(fd, IPPROTO_TCP, TCP_NODELAY, &value);
        *penable  = ok && value != 0;
        break;
    }
    case OS_SOCKET_CTRL_SET_KEEPINTVL:
        ok = set_int_opt(fd, IPPROTO_TCP, TCP_KEEPINTVL, va_arg(ap, int));
        break;
    case OS_SOCKET_CTRL_SET_KEEPALIVE:
        ok = set_int_opt(fd, SOL_SOCKET, SO_KEEPALIVE, va_arg(ap, int));
        break;
    case OS_SOCKET_CTRL_SET_NOSIGPIPE:
        // Every send passes MSG_NOSIGNAL, which is what the option asks for.
        ok = true;
        break;
    case OS_SOCKET_CTRL_SET_KEEPIDLE:
        ok = set_int_opt(fd, IPPROTO_TCP, TCP_KEEPIDLE, va_arg(ap, int));
        break;
    case OS_SOCKET_CTRL_SET_KEEPCNT:
        ok = set_int_opt(fd, IPPROTO_TCP, TCP_KEEPCNT, va_arg(ap, int));
        break;
    case OS_SOCKET_CTRL_ADD_MEMBERSHIP: {
        const char *group = va_arg(ap, const char *);
        if (group == nullptr) {
            report_failed("group");
            break;
        }
        ok = ctrl_add_membership(fd, group);
        break;
    }
    default:
        ZLOG_ERR("unknown socket ctrl: %lu\n", static_cast<unsigned long>(ctrl));
        break;
    }
    va_end(ap);
    return ok;
}

void os_socket_reuse_addr_port(os_socket sock)
{
    PL_ASSERT_RET_VOID(sock);
    // No SO_REUSEPORT: it would let a second instance bind the same port.
    if (!set_int_opt(fd_of(sock), SOL_SOCKET, SO_REUSEADDR, 1)) {
        errno_keeper keep;
        ZLOG_DBG("reuseaddr: error: %s\n", os_errno_str());
    }
}

// ---- connecting and serving ----

int os_socket_connect(os_socket sock, const os_ipaddr *addr)
{
    PL_ASSERT_RET(sock && addr, -1);
    PL_ASSERT_RET(!os_ipaddr_is_empty(addr), -1);
    sys_addr name = {};
    if (!load_addr(addr, &name)) {
        errno = EINVAL;
        return -1;
    }
    if (connect(fd_of(sock), reinterpret_cast<sockaddr *>(&name.storage), name.len) == 0) {
        return 1;
    }
    switch (errno) {
    case EISCONN:
        return 1;
    case EINPROGRESS:
    case EALREADY:  // still under way from an earlier call
    case EINTR:
    case EAGAIN:
        return 0;
    default:
        return -1;
    }
}

bool os_socket_bind(os_socket sock, const os_ipaddr *addr)
{
    PL_ASSERT_RET(sock && addr, false);
    int fd = fd_of(sock);
    if (os_ipaddr_family(addr) == OS_IPADDR_FAMILY_IPV6 && !set_int_opt(fd, IPPROTO_IPV6, IPV6_V6ONLY, 1)) {
        errno_keeper keep;
        ZLOG_DBG("set only ipv6 error: %s\n", os_errno_str());
    }
    sys_addr name = {};
    if (!load_addr(addr, &name)) {
        errno = EINVAL;
        return false;
    }
    return bind(fd, reinterpret_cast<sockaddr *>(&name.storage), name.len) == 0;
}

bool os_socket_listen(os_socket sock, int backlog)
{
    PL_ASSERT_RET(sock, false);
    return listen(fd_of(sock), backlog) == 0;
}

os_socket os_socket_accept(os_socket sock, os_ipaddr *peer)
{
    PL_ASSERT_RET(sock, 0);
    sockaddr_storage ss  = {};
    socklen_t        len = sizeof(ss);
    int fd = accept4(fd_of(sock), reinterpret_cast<sockaddr *>(&ss), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    {
        errno_keeper keep;
        set_int_opt(fd, IPPROTO_TCP, TCP_NODELAY, 1);  // fails on unix sockets, harmlessly
    }
    if (peer != nullptr) {
        os_sockaddr_save(peer, reinterpret_cast<sockaddr *>(&ss));
    }
    return handle_of(fd);
}

bool os_socket_local(os_socket sock, os_ipaddr *addr)
{
    return query_name(sock, addr, getsockname);
}

bool os_socket_peer(os_socket sock, os_ipaddr *addr)
{
    return query_name(sock, addr, getpeername);
}

bool os_socket_kill(os_socket sock, int how)
{
    PL_ASSERT_RET(sock, false);
    int sys_how = how == 0 ? SHUT_RD : how == 1 ? SHUT_WR : SHUT_RDWR;
    if (shutdown(fd_of(sock), sys_how) == 0) {
        return true;
    }
    errno_keeper keep;
    int eno = errno;
    ZLOG_DBG("kill: %p failed, eno: %d error: %s\n", reinterpret_cast<void *>(sock), eno, os_errno_text(eno));
    return false;
}

bool os_socket_exit(os_socket sock)
{
    PL_ASSERT_RET(sock, false);
    if (close(fd_of(sock)) == 0) {
        return true;
    }
    errno_keeper keep;
    int eno = errno;
    ZLOG_ERR("close: %p failed, errno: %d\n", reinterpret_cast<void *>(sock), eno);
    return false;
}

// ---- transfer ----

int64_t os_socket_recv(os_socket sock, void *data, uint64_t len)
{
    PL_ASSERT_RET(sock && data, -1);
    if (len == 0) {
        return 0;
    }
    return fold(recv(fd_of(sock), data, clamp_len(len), 0));
}

int64_t os_socket_send(os_socket sock, const void *data, uint64_t len)
{
    PL_ASSERT_RET(sock && data, -1);
    if (len == 0) {
        return 0;
    }
    return fold(send(fd_of(sock), data, clamp_len(len), MSG_NOSIGNAL));
}

int64_t os_socket_urecv(os_socket sock, os_ipaddr *src, void *data, uint64_t len)
{
    PL_ASSERT_RET(sock && data, -1);
    if (len == 0) {
        return 0;
    }
    sockaddr_storage ss   = {};
    socklen_t        slen = sizeof(ss);
    ssize_t r = recvfrom(fd_of(sock), data, clamp_len(len), 0, reinterpret_cast<sockaddr *>(&ss), &slen);
    // A stream or an unbound unix sender gives no address: the caller's stays.
    if (r >= 0 && src != nullptr && slen > 0) {
        os_sockaddr_save(src, reinterpret_cast<sockaddr *>(&ss));
    }
    return fold(r);
}

int64_t os_socket_usend(os_socket sock, const os_ipaddr *dst, const void *data, uint64_t len)
{
    const os_ipaddr *addr = dst;
    PL_ASSERT_RET(sock && addr && data, -1);
    PL_ASSERT_RET(!os_ipaddr_is_empty(addr), -1);
    if (len == 0) {
        return 0;
    }
    sys_addr name = {};
    if (!load_addr(addr, &name)) {
        errno = EINVAL;
        return -1;
    }
    return fold(sendto(fd_of(sock), data, clamp_len(len), MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&name.storage),
                       name.len));
}

int64_t os_socket_recvv(os_socket sock, const iovec *list, int size)
{
    PL_ASSERT_RET(sock && list && size, -1);
    return fold(readv(fd_of(sock), list, size));
}

int64_t os_socket_sendv(os_socket sock, const iovec *list, int size)
{
    PL_ASSERT_RET(sock && list && size, -1);
    // sendmsg rather than writev: only it takes MSG_NOSIGNAL.
    return msg_io(sock, nullptr, nullptr, list, size, true);
}

int64_t os_socket_urecvv(os_socket sock, os_ipaddr *src, const iovec *list, int size)
{
    PL_ASSERT_RET(sock && list && size, -1);
    return msg_io(sock, src, nullptr, list, size, false);
}

int64_t os_socket_usendv(os_socket sock, const os_ipaddr *dst, const iovec *list, int size)
{
    const os_ipaddr *addr = dst;
    PL_ASSERT_RET(sock && addr && list && size, -1);
    PL_ASSERT_RET(!os_ipaddr_is_empty(addr), -1);
    return msg_io(sock, nullptr, addr, list, size, true);
}

// ---- waiting ----

int os_socket_wait(os_socket sock, uint32_t bits, int64_t ms)
{
    PL_ASSERT_RET(sock, -1);
    return os_socket_wait_impl(fd_of(sock), bits, ms);
}

// poll, not select: descriptors of 1024 and above exist once the open-file
// limit is raised, and a select set would overflow on them.
int os_socket_wait_impl(int fd, uint32_t bits, int64_t ms)
{
    PL_ASSERT_RET(fd >= 0, -1);
    pollfd pfd = {};
    pfd.fd     = fd;
    if ((bits & OS_SOCKET_WAIT_READ) != 0) {
        pfd.events |= POLLIN;
    }
    if ((bits & OS_SOCKET_WAIT_WRITE) != 0) {
        pfd.events |= POLLOUT;
    }
    int64_t left = ms;
    int     r    = 0;
    for (;;) {
        int slice = ms < 0 ? -1 : static_cast<int>(std::min<int64_t>(left, INT_MAX));
        r         = poll(&pfd, 1, slice);
        if (r == 0 && ms >= 0 && (left -= slice) > 0) {
            continue;
        }
        break;
    }
    if (r == 0) {
        return 0;
    }
    if (r < 0 && errno == EINTR) {
        return 0;
    }
    if (r > 0 && (pfd.revents & POLLNVAL) != 0) {
        errno = EBADF;
        r     = -1;
    }
    if (r < 0) {
        report_failed("r >= 0");
        return -1;
    }
    // A pending error always shows as POLLERR: a ready socket without it
    // needs no second system call.
    int       so_err = 0;
    socklen_t len    = sizeof(so_err);
    if ((pfd.revents & POLLERR) != 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_err, &len) == 0 && so_err != 0) {
        errno = so_err;
        return -1;
    }
    // A hang-up or error makes every asked direction ready, so that the
    // caller's next call reports the outcome instead of waiting again.
    int ready = 0;
    if ((pfd.revents & (POLLIN | POLLHUP | POLLERR)) != 0 && (bits & OS_SOCKET_WAIT_READ) != 0) {
        ready |= OS_SOCKET_WAIT_READ;
    }
    if ((pfd.revents & (POLLOUT | POLLHUP | POLLERR)) != 0 && (bits & OS_SOCKET_WAIT_WRITE) != 0) {
        ready |= OS_SOCKET_WAIT_WRITE;
    }
    return ready;
}

namespace {

using transfer_call = int64_t (*)(os_socket, void *, uint64_t);

int64_t recv_call(os_socket sock, void *data, uint64_t len)
{
    return os_socket_recv(sock, data, len);
}

int64_t send_call(os_socket sock, void *data, uint64_t len)
{
    return os_socket_send(sock, data, len);
}

// Moves exactly len bytes. errno is cleared before each transfer: a 0 with
// errno still 0 is a closed peer, a 0 with EAGAIN or EINTR means wait.
bool transfer_all(os_socket sock, uint8_t *data, uint64_t len, transfer_call call, uint32_t bit)
{
    uint64_t done = 0;
    while (done < len) {
        errno     = 0;
        int64_t r = call(sock, data + done, len - done);
        if (r < 0) {
            return false;
        }
        if (r > 0) {
            done += static_cast<uint64_t>(r);
            continue;
        }
        if (errno == 0) {
            return false;
        }
        if (os_socket_wait(sock, bit, -1) < 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool os_socket_recv_all(os_socket sock, void *data, uint64_t len)
{
    PL_ASSERT_RET(sock && data, false);
    return transfer_all(sock, static_cast<uint8_t *>(data), len, recv_call, OS_SOCKET_WAIT_READ);
}

bool os_socket_send_all(os_socket sock, const void *data, uint64_t len)
{
    PL_ASSERT_RET(sock && data, false);
    return transfer_all(sock, static_cast<uint8_t *>(const_cast<void *>(data)), len, send_call,
                        OS_SOCKET_WAIT_WRITE);
}

// ---- names and system address records ----

bool os_addrinfo_addr(const char *name, os_ipaddr *addr)
{
    PL_ASSERT_RET(name && addr, false);
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    uint8_t family    = os_ipaddr_family(addr);
    hints.ai_family   = family == OS_IPADDR_FAMILY_IPV4 ? AF_INET
                        : family == OS_IPADDR_FAMILY_IPV6 ? AF_INET6
                                                          : AF_UNSPEC;
    char service[8] = "";
    if (addr->port != 0) {
        snprintf(service, sizeof(service), "%u", addr->port);
    }
    addrinfo *answer = nullptr;
    if (getaddrinfo(name, addr->port != 0 ? service : nullptr, &hints, &answer) != 0) {
        return false;
    }
    bool      ok      = false;
    os_ipaddr scratch = *addr;
    if (answer != nullptr && answer->ai_addr != nullptr) {
        ok = os_sockaddr_save(&scratch, answer->ai_addr) > 0;
    } else {
        report_failed("answer && answer->ai_addr");
    }
    freeaddrinfo(answer);
    if (ok) {
        *addr = scratch;
    }
    return ok;
}

char *os_addrinfo_name(const os_ipaddr *addr, char *name, size_t maxn)
{
    PL_ASSERT_RET(addr && name && maxn, nullptr);
    sys_addr sa = {};
    load_addr(addr, &sa);
    socklen_t saddrlen = sa.len;
    PL_ASSERT_RET(saddrlen, nullptr);
    socklen_t hostlen = static_cast<socklen_t>(std::min<size_t>(maxn, NI_MAXHOST));
    if (getnameinfo(reinterpret_cast<sockaddr *>(&sa.storage), saddrlen, name, hostlen, nullptr, 0, NI_NAMEREQD) !=
        0) {
        return nullptr;
    }
    return name;
}

int os_sockaddr_save(os_ipaddr *ipaddr, const sockaddr *saddr)
{
    PL_ASSERT_RET(ipaddr && saddr, 0);
    switch (saddr->sa_family) {
    case AF_INET: {
        const auto *in = reinterpret_cast<const sockaddr_in *>(saddr);
        os_ipaddr_bin_set(ipaddr, &in->sin_addr, 4, OS_IPADDR_FAMILY_IPV4);
        ipaddr->port = ntohs(in->sin_port);
        return sizeof(sockaddr_in);
    }
    case AF_INET6: {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(saddr);
        os_ipv6     v6  = {};
        memcpy(v6.addr, &in6->sin6_addr, 16);
        if (os_ipv6_is_linklocal(&v6) || os_ipv6_is_mc_linklocal(&v6)) {
            v6.scope = in6->sin6_scope_id;
        }
        os_ipaddr_ipv6_set(ipaddr, &v6);
        ipaddr->port = ntohs(in6->sin6_port);
        return sizeof(sockaddr_in6);
    }
    case AF_UNIX: {
        const auto *addru = reinterpret_cast<const sockaddr_un *>(saddr);
        os_unixaddr un    = {};
        if (addru->sun_path[0] == '\0' && addru->sun_path[1] != '\0') {
            size_t n = strnlen(addru->sun_path + 1, sizeof(addru->sun_path) - 1);
            PL_ASSERT_RET(n < sizeof(addru->sun_path) - 1, 0);
            un.abstract = 1;
            memcpy(un.path, addru->sun_path + 1, n);
        } else {
            size_t n = strnlen(addru->sun_path, sizeof(addru->sun_path));
            PL_ASSERT_RET(n < sizeof(addru->sun_path), 0);
            memcpy(un.path, addru->sun_path, n);
        }
        os_ipaddr_unix_set(ipaddr, &un);
        ipaddr->port = 0;
        return sizeof(sockaddr_un);
    }
    default:
        PL_ASSERT_RET(0, 0);
        return 0;
    }
}

int os_sockaddr_load(sockaddr_storage *saddr, const os_ipaddr *ipaddr)
{
    PL_ASSERT_RET(saddr && ipaddr, 0);
    memset(saddr, 0, sizeof(*saddr));
    bool any = os_ipaddr_ip_is_any(ipaddr);
    switch (os_ipaddr_family(ipaddr)) {
    case OS_IPADDR_FAMILY_IPV4: {
        auto *in       = reinterpret_cast<sockaddr_in *>(saddr);
        in->sin_family = AF_INET;
        in->sin_port   = htons(ipaddr->port);
        if (!any) {
            memcpy(&in->sin_addr, ipaddr->value.ipv4.addr, 4);
        }
        return sizeof(sockaddr_in);
    }
    case OS_IPADDR_FAMILY_IPV6: {
        auto *in6        = reinterpret_cast<sockaddr_in6 *>(saddr);
        in6->sin6_family = AF_INET6;
        in6->sin6_port   = htons(ipaddr->port);
        if (!any) {
            const os_ipv6 *v6 = &ipaddr->value.ipv6;
            memcpy(&in6->sin6_addr, v6->addr, 16);
            if (os_ipv6_is_linklocal(v6) || os_ipv6_is_mc_linklocal(v6)) {
                in6->sin6_scope_id = v6->scope;
            }
        }
        return sizeof(sockaddr_in6);
    }
    case OS_IPADDR_FAMILY_UNIX: {
        // A unix address without a path has no "any" form to bind or reach.
        if (os_ipaddr_is_empty(ipaddr)) {
            return 0;
        }
        auto *addru       = reinterpret_cast<sockaddr_un *>(saddr);
        addru->sun_family = AF_UNIX;
        const os_unixaddr *un = &ipaddr->value.un;
        size_t n = strnlen(un->path, sizeof(un->path));
        if (un->abstract != 0) {
            PL_ASSERT_RET(n < sizeof(addru->sun_path) - 1, 0);
            memcpy(addru->sun_path + 1, un->path, n);
            // Linux takes every byte up to the given length as the name, so
            // the name is passed without padding.
            return static_cast<int>(offsetof(sockaddr_un, sun_path) + 1 + n);
        }
        PL_ASSERT_RET(n < sizeof(addru->sun_path), 0);
        memcpy(addru->sun_path, un->path, n);
        return sizeof(sockaddr_un);
    }
    default:
        return 0;
    }
}
