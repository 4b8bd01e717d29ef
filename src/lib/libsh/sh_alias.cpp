// The alias table and the "alias" and "unalias" commands.
#include "libsh/sh_alias.h"

#include <cstring>
#include <string>

#define ZLOG_TAG "mish"
#include "liblog/zlog.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_tools.h"
#include "libsh/libsh.h"
#include "libsh/sh_imp.h"

namespace {

using guard = std::lock_guard<std::mutex>;

alias_entry **g_buckets = nullptr;

struct alias_default {
    const char *name;
    const char *value;
};

constexpr alias_default DEFAULT_ALIASES[] = {
    {"a", "alias"},        {"c", "call"},          {"e", "exit"},       {"s", "show"},       {"q", "quit"},
    {"sc", "show config"}, {"sd", "show dvar"},    {"si", "show info"}, {"sl", "show llog"}, {"sm", "show memory"},
};

void entry_free(alias_entry *e)
{
    os_free(e->name);
    os_free(e->value);
    os_free(e);
}

// Requires the lock. false when the name is not defined.
bool alias_del(const char *name)
{
    alias_entry **link = alias_find(name);
    if (link == nullptr || *link == nullptr)
        return false;
    alias_entry *e = *link;
    *link = e->next;
    entry_free(e);
    return true;
}

void alias_clear_locked()
{
    for (uint32_t b = 0; g_buckets != nullptr && b < ALIAS_BUCKETS; b++) {
        while (g_buckets[b] != nullptr) {
            alias_entry *e = g_buckets[b];
            g_buckets[b] = e->next;
            entry_free(e);
        }
    }
}

// The printed form of one entry; built under the lock, printed after it so a
// slow session never holds the other sessions up.
std::string entry_line(const alias_entry *e)
{
    char quoted[4096];
    const char *value = str_shell_escape(e->value, quoted, sizeof(quoted));
    std::string line = e->name;
    line += '=';
    line += value != nullptr ? value : "''";
    line += '\n';
    return line;
}

// "-h" asks for the usage and ends the command; letters in opts are reported to *seen; others are ignored.
bool scan_options(sh_ctx *ctx, int argc, char **argv, const char *optstring, int *seen)
{
    int c;
    while ((c = sh_getopt(ctx, argc, argv, optstring)) != -1) {
        if (c == 'h')
            return true;
        if (c != '?')
            *seen = c;
    }
    return false;
}

}  // namespace

uint32_t alias_hash(const char *name)
{
    auto *p = reinterpret_cast<const unsigned char *>(name);
    if (p == nullptr || *p == 0)
        return 0;
    uint32_t h = static_cast<uint32_t>(p[0]) << 4;
    for (; *p != 0; p++)
        h += *p;
    return h % ALIAS_BUCKETS;
}

int alias_init()
{
    {
        guard g(sh_imp::lock());
        if (g_buckets == nullptr) {
            g_buckets = static_cast<alias_entry **>(os_calloc(ALIAS_BUCKETS, sizeof(alias_entry *)));
            if (g_buckets == nullptr)
                ZLOG_CRIT("malloc failed");
        }
    }
    for (const auto &d : DEFAULT_ALIASES)
        alias_set(d.name, d.value);
    return 0;
}

int alias_exit()
{
    guard g(sh_imp::lock());
    alias_clear_locked();
    os_free(g_buckets);
    g_buckets = nullptr;
    return 0;
}

alias_entry **alias_find(const char *name)
{
    if (g_buckets == nullptr || name == nullptr)
        return nullptr;
    alias_entry **link = &g_buckets[alias_hash(name)];
    while (*link != nullptr && std::strcmp((*link)->name, name) != 0)
        link = &(*link)->next;
    return link;
}

void alias_set(const char *name, const char *value)
{
    if (name == nullptr || value == nullptr)
        return;
    char *copy = safe_strdup(value);
    guard g(sh_imp::lock());
    alias_entry **link = alias_find(name);
    if (link == nullptr) {
        os_free(copy);
        return;
    }
    if (*link != nullptr) {
        os_free((*link)->value);
        (*link)->value = copy;
        return;
    }
    auto *e = static_cast<alias_entry *>(safe_malloc(sizeof(alias_entry)));
    *e = alias_entry{nullptr, safe_strdup(name), copy};
    *link = e;
}

bool alias_get(const char *name, char *out, size_t size)
{
    guard g(sh_imp::lock());
    alias_entry **link = alias_find(name);
    if (link == nullptr || *link == nullptr)
        return false;
    return str_safecopy2(out, size, (*link)->value) == 0 && std::strlen((*link)->value) < size;
}

void alias_print(sh_ctx *ctx, const alias_entry *entry)
{
    std::string line = entry_line(entry);
    ctx->write(ctx->out, line.c_str(), static_cast<int>(line.size()));
}

void alias_clear()
{
    guard g(sh_imp::lock());
    alias_clear_locked();
}

int cmd_alias(sh_ctx *ctx, int argc, char **argv)
{
    int seen = 0;
    if (scan_options(ctx, argc, argv, "h", &seen))
        return sh_imp::plain_usage(ctx, "alias [name[=value] ...]", "alias");
    int first = ctx->opt.optind;
    if (first >= argc) {
        std::string text;
        {
            guard g(sh_imp::lock());
            for (uint32_t b = 0; g_buckets != nullptr && b < ALIAS_BUCKETS; b++) {
                for (const alias_entry *e = g_buckets[b]; e != nullptr; e = e->next)
                    text += entry_line(e);
            }
        }
        if (!text.empty())
            ctx->write(ctx->out, text.c_str(), static_cast<int>(text.size()));
        return 0;
    }
    int rc = 0;
    for (int i = first; i < argc; i++) {
        const char *arg = argv[i];
        const char *eq = arg[0] != '\0' ? std::strchr(arg + 1, '=') : nullptr;
        if (eq != nullptr) {
            std::string name(arg, static_cast<size_t>(eq - arg));
            alias_set(name.c_str(), eq + 1);
            continue;
        }
        std::string line;
        {
            guard g(sh_imp::lock());
            alias_entry **link = alias_find(arg);
            if (link != nullptr && *link != nullptr)
                line = entry_line(*link);
        }
        if (line.empty()) {
            ctx->printf(ctx->out, "%s not found\n", arg);
            rc = 1;
        } else {
            ctx->write(ctx->out, line.c_str(), static_cast<int>(line.size()));
        }
    }
    return rc;
}

int cmd_unalias(sh_ctx *ctx, int argc, char **argv)
{
    int seen = 0;
    if (scan_options(ctx, argc, argv, "ha", &seen))
        return sh_imp::plain_usage(ctx, "unalias [-a] [name ...]", "unalias");
    if (seen == 'a') {
        alias_clear();
        return 0;
    }
    int rc = 0;
    for (int i = ctx->opt.optind; i < argc; i++) {
        bool deleted;
        {
            guard g(sh_imp::lock());
            deleted = alias_del(argv[i]);
        }
        if (!deleted) {
            ctx->printf(ctx->out, "%s not found\n", argv[i]);
            rc = 1;
        }
    }
    return rc;
}
