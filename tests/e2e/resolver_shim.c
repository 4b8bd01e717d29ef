/* Preloaded into the daemon by the detaching cases: a name ending in
 * ".slow.test" resolves, after ZORV_SLOW_RESOLVE_S seconds (7 when unset),
 * to 127.0.0.1, the way a name behind a slow DNS server does. A lookup that
 * asks for numbers only (AI_NUMERICHOST) asks no server, so it is answered
 * at once, as the real resolver answers it. Every other name goes to the
 * real resolver at once. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netdb.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int getaddrinfo(const char *node, const char *service, const struct addrinfo *hints, struct addrinfo **res)
{
    static int (*real)(const char *, const char *, const struct addrinfo *, struct addrinfo **);
    if (real == NULL)
        real = (int (*)(const char *, const char *, const struct addrinfo *, struct addrinfo **))dlsym(
            RTLD_NEXT, "getaddrinfo");
    static const char slow[] = ".slow.test";
    const size_t n = node != NULL ? strlen(node) : 0;
    const int numeric = hints != NULL && (hints->ai_flags & AI_NUMERICHOST) != 0;
    if (!numeric && n >= sizeof(slow) - 1 && strcmp(node + n - (sizeof(slow) - 1), slow) == 0) {
        const char *wait = getenv("ZORV_SLOW_RESOLVE_S");
        sleep(wait != NULL ? (unsigned)atoi(wait) : 7u);
        node = "127.0.0.1";
    }
    return real(node, service, hints, res);
}
