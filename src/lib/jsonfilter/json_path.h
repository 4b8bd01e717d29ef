// JSONPath expressions over json-c documents: jp_parse turns a text such as
// "$.dev[0].name" or "$.dev[@.size>10].name" into a tree of jp_opcode nodes,
// jp_match walks a document with it. Used by the filter API (json_filter.h).
// A parse never fails silently: the state's error_code is 0, a lexer code
// (JP_ERR_*) or the positive mask of the token types that were acceptable
// where the parse stopped (bit n for type n, bit 0 the end of the text).
#pragma once

#include <cstdint>

struct json_object;

// Token types; the numbering is what an error mask's bits stand for.
enum : uint32_t {
    JP_T_SKIP = 0,  // blanks; bit 0 of a mask stands for the end of the text
    JP_T_AND = 1,
    JP_T_OR = 2,
    JP_T_UNION = 3,
    JP_T_EQ = 4,
    JP_T_NE = 5,
    JP_T_GT = 6,
    JP_T_GE = 7,
    JP_T_LT = 8,
    JP_T_LE = 9,
    JP_T_MATCH = 10,
    JP_T_NOT = 11,
    JP_T_LABEL = 12,
    JP_T_ROOT = 13,
    JP_T_THIS = 14,
    JP_T_DOT = 15,
    JP_T_WILDCARD = 16,
    JP_T_BROPEN = 17,
    JP_T_BRCLOSE = 18,
    JP_T_BOOL = 19,
    JP_T_NUMBER = 20,
    JP_T_STRING = 21,
    JP_T_REGEXP = 22,
    JP_T_POPEN = 23,
    JP_T_PCLOSE = 24,
};

// Lexer errors (negative); parser errors are positive masks.
enum : int32_t {
    JP_ERR_UNTERMINATED = -1,  // a string or regexp without its closing quote
    JP_ERR_MALFORMED = -2,     // a number or escape that cannot be read, an index beyond 32 bits
    JP_ERR_TOO_LONG = -3,      // a label or string above 127 bytes
    JP_ERR_UNEXPECTED = -4,    // a character no token starts with
    JP_ERR_TOO_DEEP = -5,      // brackets, parentheses or "!" nested deeper than JP_MAX_DEPTH
};

// The nesting a parse accepts; deeper expressions fail with JP_ERR_TOO_DEEP.
constexpr int JP_MAX_DEPTH = 32;
constexpr int JP_MAX_TEXT = 127;  // bytes of a label or a string

// One node. Every node of a parse hangs on the state's chain (next_alloc),
// which jp_free releases at once; down is the first child, sibling the next.
struct jp_opcode {
    uint32_t type;
    jp_opcode *next_alloc;
    jp_opcode *down;
    jp_opcode *sibling;
    char *str;    // in the node's own allocation; labels, strings, regexps
    int32_t num;  // numbers, bools, a regexp's compile options
};

struct jp_state {
    jp_opcode *pool;
    jp_opcode *path;  // the parsed expression's root node
    int32_t error_pos;
    int32_t error_code;
    int32_t off;
};

// nullptr only when memory runs out. Requires: jp_free on the result.
jp_state *jp_parse(const char *expr);
void jp_free(jp_state *state);

// Called once per match, in document order.
using jp_match_cb = void (*)(json_object *match, void *priv);
// The first match of path in doc (borrowed from doc), or nullptr; every match
// goes to cb when it is given.
json_object *jp_match(jp_opcode *path, json_object *doc, jp_match_cb cb, void *priv);
