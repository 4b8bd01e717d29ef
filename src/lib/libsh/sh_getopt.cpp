// The re-entrant option parser of the shell commands.
#include "libsh/sh_getopt.h"

#include <algorithm>
#include <cstring>

#include "libsh/libsh.h"

namespace {

enum : int { ORDER_UNSET = 0, ORDER_PERMUTE, ORDER_REQUIRE, ORDER_RETURN };

bool is_nonopt(const char *arg) { return arg[0] != '-' || arg[1] == '\0'; }

// Moves the options scanned after the skipped non-options in front of them,
// keeping both groups in order.
void exchange(sh_getopt_state *st, char **argv)
{
    std::rotate(argv + st->first_nonopt, argv + st->last_nonopt, argv + st->optind);
    st->first_nonopt += st->optind - st->last_nonopt;
    st->last_nonopt = st->optind;
}

void report(sh_ctx *ctx, const sh_getopt_state *st, const char *argv0, const char *what, int c)
{
    if (st->opterr != 0 && ctx != nullptr && ctx->printf != nullptr)
        ctx->printf(ctx->out, "%s: %s -- '%c'\n", argv0, what, c);
}

// Steps to the next argument that starts an option group; -1 when the options end.
int next_group(sh_getopt_state *st, int argc, char **argv)
{
    if (st->last_nonopt > st->optind)
        st->last_nonopt = st->optind;
    if (st->first_nonopt > st->optind)
        st->first_nonopt = st->optind;
    if (st->ordering == ORDER_PERMUTE) {
        if (st->first_nonopt != st->last_nonopt && st->last_nonopt != st->optind)
            exchange(st, argv);
        else if (st->last_nonopt != st->optind)
            st->first_nonopt = st->optind;
        while (st->optind < argc && is_nonopt(argv[st->optind]))
            st->optind++;
        st->last_nonopt = st->optind;
    }
    if (st->optind != argc && std::strcmp(argv[st->optind], "--") == 0) {
        st->optind++;
        if (st->first_nonopt != st->last_nonopt && st->last_nonopt != st->optind)
            exchange(st, argv);
        else if (st->first_nonopt == st->last_nonopt)
            st->first_nonopt = st->optind;
        st->last_nonopt = argc;
        st->optind = argc;
    }
    if (st->optind == argc) {
        if (st->first_nonopt != st->last_nonopt)
            st->optind = st->first_nonopt;
        return -1;
    }
    if (is_nonopt(argv[st->optind])) {
        if (st->ordering == ORDER_REQUIRE)
            return -1;
        st->optarg = argv[st->optind++];
        return 1;
    }
    st->nextchar = argv[st->optind] + 1;
    return 0;
}

}  // namespace

void sh_getopt_reset(sh_getopt_state *st)
{
    *st = sh_getopt_state{};
    st->optind = 1;
    st->opterr = 1;
    st->optopt = '?';
}

int sh_getopt(sh_ctx *ctx, int argc, char **argv, const char *optstring)
{
    if (ctx == nullptr || argv == nullptr || optstring == nullptr)
        return -1;
    sh_getopt_state *st = &ctx->opt;
    st->optarg = nullptr;
    if (st->optind < 1)
        sh_getopt_reset(st);
    if (st->ordering == ORDER_UNSET) {
        st->first_nonopt = st->last_nonopt = st->optind;
        st->nextchar = nullptr;
        if (optstring[0] == '-')
            st->ordering = ORDER_RETURN;
        else if (optstring[0] == '+' || sh_getenv("POSIXLY_CORRECT") != nullptr)
            st->ordering = ORDER_REQUIRE;
        else
            st->ordering = ORDER_PERMUTE;
    }
    if (optstring[0] == '-' || optstring[0] == '+')
        optstring++;
    bool colon = optstring[0] == ':';

    if (st->optind > argc)
        return -1;
    if (st->nextchar == nullptr || *st->nextchar == '\0') {
        int rc = next_group(st, argc, argv);
        if (rc != 0)
            return rc;
    }
    int c = static_cast<unsigned char>(*st->nextchar++);
    const char *spec = c != ':' ? std::strchr(optstring, c) : nullptr;
    if (*st->nextchar == '\0')
        st->optind++;
    if (spec == nullptr) {
        st->optopt = c;
        if (!colon)
            report(ctx, st, argv[0], "invalid option", c);
        return '?';
    }
    if (spec[1] != ':')
        return c;
    if (*st->nextchar != '\0') {
        st->optarg = const_cast<char *>(st->nextchar);
        st->optind++;
    } else if (spec[2] == ':') {
        st->optarg = nullptr;
    } else if (st->optind >= argc) {
        st->optopt = c;
        if (!colon)
            report(ctx, st, argv[0], "option requires an argument", c);
        st->nextchar = nullptr;
        return colon ? ':' : '?';
    } else {
        st->optarg = argv[st->optind++];
    }
    st->nextchar = nullptr;
    return c;
}
