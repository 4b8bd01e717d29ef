// Aliases: short names for command texts, shared by every session. The
// first word of each command is replaced by its alias value once before the
// command runs. 39 buckets of singly linked chains; listing follows bucket
// order (the hash), not the order of definition. Every access takes the
// shell lock.
#pragma once

#include <cstddef>
#include <cstdint>

struct sh_ctx;

struct alias_entry {
    alias_entry *next;
    char *name;
    char *value;
};

constexpr uint32_t ALIAS_BUCKETS = 39;

// Allocates the buckets and defines the ten defaults.
int alias_init();
// Deletes every entry and frees the buckets.
int alias_exit();
// Replaces the value of an existing name (the entry keeps its place) or
// appends a new entry at the end of its chain.
void alias_set(const char *name, const char *value);
// A copy of the value into out (size bytes); false when the name is not
// defined or the value does not fit.
bool alias_get(const char *name, char *out, size_t size);
// The link that holds the name's entry, or the end of its chain. Requires the shell lock.
alias_entry **alias_find(const char *name);
uint32_t alias_hash(const char *name);
// "name=value\n" with the value quoted for a POSIX shell.
void alias_print(sh_ctx *ctx, const alias_entry *entry);
void alias_clear();

int cmd_alias(sh_ctx *ctx, int argc, char **argv);
int cmd_unalias(sh_ctx *ctx, int argc, char **argv);
