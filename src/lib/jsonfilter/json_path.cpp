// JSONPath: the lexer (a token table tried in order), the parser that builds
// the nodes and reports the acceptable tokens where it stops, and the matcher.
#define ZLOG_TAG "jsonpath"

#include "jsonfilter/json_path.h"

#include <json.h>
#include <regex.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "libpal/basic/os_malloc.h"
#include "libpal/os/os_init.h"
#include "libpal/string/str_hex.h"

namespace {

constexpr uint32_t bit(uint32_t type)
{
    return 1u << type;
}

constexpr uint32_t kEnd = bit(JP_T_SKIP);
constexpr uint32_t kPathStart = bit(JP_T_ROOT) | bit(JP_T_THIS);
constexpr uint32_t kSegmentStart = bit(JP_T_DOT) | bit(JP_T_BROPEN);
constexpr uint32_t kLeaf = bit(JP_T_BOOL) | bit(JP_T_NUMBER) | bit(JP_T_STRING) | bit(JP_T_REGEXP) | bit(JP_T_WILDCARD);
constexpr uint32_t kCompare = bit(JP_T_EQ) | bit(JP_T_NE) | bit(JP_T_GT) | bit(JP_T_GE) | bit(JP_T_LT) |
                              bit(JP_T_LE) | bit(JP_T_MATCH);
constexpr int kDefaultRegexOptions = REG_NOSUB | REG_NEWLINE;

// A node and its text in one allocation, hung on the state's chain. Running
// out of memory while building a parse ends the process, as the parser has
// no way back from a half-built tree.
jp_opcode *jp_alloc_op(jp_state *s, uint32_t type, int32_t num, std::string_view str)
{
    size_t extra = str.data() != nullptr ? str.size() + 1 : 0;
    auto *op = static_cast<jp_opcode *>(os_zalloc(sizeof(jp_opcode) + extra));
    if (op == nullptr) {
        fputs("Out of memory\n", stderr);
        os_process_exit(127);
    }
    op->type = type;
    op->num = num;
    if (extra != 0) {
        op->str = reinterpret_cast<char *>(op + 1);
        memcpy(op->str, str.data(), str.size());
    }
    op->next_alloc = s->pool;
    s->pool = op;
    return op;
}

struct token {
    uint32_t type = JP_T_SKIP;  // JP_T_SKIP at the end of the text
    int len = 0;
    int32_t num = 0;
    std::string text;
};

bool is_label_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// The code point as UTF-8 into out; false when it does not fit in room.
bool put_utf8(std::string &out, uint32_t cp, size_t room)
{
    char b[3];
    size_t n;
    if (cp < 0x80) {
        b[0] = static_cast<char>(cp);
        n = 1;
    } else if (cp < 0x800) {
        b[0] = static_cast<char>(0xC0 | (cp >> 6));
        b[1] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 2;
    } else {
        b[0] = static_cast<char>(0xE0 | (cp >> 12));
        b[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        b[2] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 3;
    }
    if (out.size() + n > room)
        return false;
    out.append(b, n);
    return true;
}

// One escape after a backslash at in[0]; consumed receives its length. 0, or
// a lexer error. A regexp keeps unknown escapes whole for the regex compiler.
int read_escape(std::string_view in, std::string &out, bool regexp, size_t &consumed)
{
    constexpr std::string_view kNamed = "abefnrtv";
    constexpr std::string_view kValues = "\a\b\x1b\f\n\r\t\v";
    if (in.size() < 2)
        return JP_ERR_UNTERMINATED;
    char c = in[1];
    if (c == 'u' || c == 'x') {
        size_t digits = c == 'u' ? 4 : 2;
        uint32_t cp = 0;
        for (size_t i = 0; i < digits; i++) {
            int v = 2 + i < in.size() ? hex_chr_val_tab(static_cast<unsigned char>(in[2 + i])) : -1;
            if (v < 0)
                return JP_ERR_MALFORMED;
            cp = cp * 16 + static_cast<uint32_t>(v);
        }
        consumed = 2 + digits;
        if (cp != 0 && !put_utf8(out, cp, JP_MAX_TEXT))
            return JP_ERR_TOO_LONG;
        return 0;
    }
    if (c >= '0' && c <= '7') {
        uint32_t v = 0;
        size_t i = 1;
        for (; i < 4 && i < in.size() && in[i] >= '0' && in[i] <= '7'; i++)
            v = v * 8 + static_cast<uint32_t>(in[i] - '0');
        if (v > 255)
            return JP_ERR_MALFORMED;
        consumed = i;
        if (v != 0)
            out.push_back(static_cast<char>(v));
        return 0;
    }
    consumed = 2;
    if (size_t k = kNamed.find(c); k != std::string_view::npos)
        out.push_back(kValues[k]);
    else if (regexp)
        out.append(in.substr(0, 2));
    else
        out.push_back(c);
    return 0;
}

// A quoted text starting at in[0] (the quote); its length, or a lexer error.
int lex_quoted(std::string_view in, token &t, bool regexp)
{
    const char quote = in[0];
    size_t i = 1;
    while (true) {
        if (i >= in.size())
            return JP_ERR_UNTERMINATED;
        if (in[i] == quote)
            break;
        if (in[i] == '\\') {
            size_t used = 0;
            if (int rc = read_escape(in.substr(i), t.text, regexp, used); rc != 0)
                return rc;
            i += used;
        } else {
            t.text.push_back(in[i]);
            i++;
        }
        if (t.text.size() > JP_MAX_TEXT)
            return JP_ERR_TOO_LONG;
    }
    i++;
    if (!regexp)
        return static_cast<int>(i);
    t.num = kDefaultRegexOptions;
    for (; i < in.size(); i++) {
        if (in[i] == 'i')
            t.num |= REG_ICASE;
        else if (in[i] == 's')
            t.num &= ~REG_NEWLINE;
        else if (in[i] == 'e')
            t.num |= REG_EXTENDED;
        else
            break;
    }
    return static_cast<int>(i);
}

int lex_number(std::string_view in, token &t)
{
    size_t n = in[0] == '-' ? 1 : 0;
    while (n < in.size() && in[n] >= '0' && in[n] <= '9')
        n++;
    std::string digits(in.substr(0, n));
    char *end = nullptr;
    errno = 0;
    long v = strtol(digits.c_str(), &end, 10);
    if (end == digits.c_str())
        return JP_ERR_MALFORMED;
    // An index cut to 32 bits would name another element than the one written.
    if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX)
        return JP_ERR_MALFORMED;
    t.num = static_cast<int32_t>(v);
    return static_cast<int>(end - digits.c_str());
}

int lex_label(std::string_view in, token &t)
{
    size_t n = 0;
    while (n < in.size() && is_label_char(in[n]))
        if (++n > JP_MAX_TEXT)
            return JP_ERR_TOO_LONG;
    t.text.assign(in.substr(0, n));
    if (t.text == "true" || t.text == "false") {
        t.type = JP_T_BOOL;
        t.num = t.text == "true" ? 1 : 0;
    }
    return static_cast<int>(n);
}

struct fixed_token {
    std::string_view text;
    uint32_t type;
};

// The fixed rows of the token table, in the order they are tried.
constexpr fixed_token kFixed[] = {
    {"<=", JP_T_LE}, {">=", JP_T_GE}, {"!=", JP_T_NE}, {"&&", JP_T_AND}, {"||", JP_T_OR},
    {".", JP_T_DOT}, {"[", JP_T_BROPEN}, {"]", JP_T_BRCLOSE}, {"(", JP_T_POPEN}, {")", JP_T_PCLOSE},
    {",", JP_T_UNION}, {"$", JP_T_ROOT}, {"@", JP_T_THIS}, {"<", JP_T_LT}, {">", JP_T_GT},
    {"=", JP_T_EQ}, {"~", JP_T_MATCH}, {"!", JP_T_NOT}, {"*", JP_T_WILDCARD},
};

// The token at in[0] (blanks already skipped); its length, or a lexer error.
int jp_get_token(std::string_view in, token &t)
{
    t = token{};
    if (in.empty())
        return 0;
    for (const auto &row : kFixed) {
        if (in.starts_with(row.text)) {
            t.type = row.type;
            return static_cast<int>(row.text.size());
        }
    }
    char c = in[0];
    if (c == '/') {
        t.type = JP_T_REGEXP;
        return lex_quoted(in, t, true);
    }
    if (c == '\'' || c == '"') {
        t.type = JP_T_STRING;
        return lex_quoted(in, t, false);
    }
    if (c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
        t.type = JP_T_LABEL;
        return lex_label(in, t);
    }
    if (c == '-' || (c >= '0' && c <= '9')) {
        t.type = JP_T_NUMBER;
        return lex_number(in, t);
    }
    return JP_ERR_UNEXPECTED;
}

// Recursive descent over the grammar. expect_ gathers every token type that
// would have been taken at the current place; the first token that none
// takes stops the parse with that mask as the error code.
class parser {
public:
    parser(jp_state *s, std::string_view in) : s_(s), in_(in) { advance(); }

    void run()
    {
        jp_opcode *root = nullptr;
        if (peek(bit(JP_T_LABEL))) {
            jp_opcode *label = take_node(JP_T_LABEL);
            if (!need(bit(JP_T_EQ)))
                return;
            consume();
            if (!need(kPathStart))
                return;
            label->down = path();
            root = label;
        } else if (need(kPathStart)) {
            root = path();
        }
        if (failed_ || !need(kEnd))
            return;
        s_->path = root;
    }

private:
    jp_state *s_;
    std::string_view in_;
    token tok_;
    int tok_len_ = 0;
    uint32_t expect_ = 0;
    int depth_ = 0;
    bool failed_ = false;

    void fail(int32_t code)
    {
        if (failed_)
            return;
        failed_ = true;
        s_->error_code = code;
        s_->error_pos = s_->off;
    }

    void advance()
    {
        auto at = static_cast<size_t>(s_->off);
        while (at < in_.size() && (in_[at] == ' ' || in_[at] == '\t' || in_[at] == '\n'))
            at++;
        s_->off = static_cast<int32_t>(at);
        tok_len_ = jp_get_token(in_.substr(at), tok_);
        if (tok_len_ < 0) {
            fail(tok_len_);
            tok_ = token{};
            tok_.type = JP_T_SKIP;
            tok_len_ = 0;
        }
    }

    void consume()
    {
        expect_ = 0;
        s_->off += tok_len_;
        advance();
    }

    bool at_end() const { return tok_len_ == 0; }

    bool peek(uint32_t mask)
    {
        if (failed_)
            return false;
        expect_ |= mask;
        uint32_t have = at_end() ? kEnd : bit(tok_.type);
        return (have & mask) != 0;
    }

    bool need(uint32_t mask)
    {
        if (peek(mask))
            return true;
        fail(static_cast<int32_t>(expect_));
        return false;
    }

    jp_opcode *take_node(uint32_t type)
    {
        jp_opcode *op = jp_alloc_op(s_, type, tok_.num,
                                    tok_.text.empty() && type != JP_T_STRING && type != JP_T_REGEXP
                                        ? std::string_view()
                                        : std::string_view(tok_.text.data(), tok_.text.size()));
        consume();
        return op;
    }

    bool enter()
    {
        if (++depth_ <= JP_MAX_DEPTH)
            return true;
        fail(JP_ERR_TOO_DEEP);
        return false;
    }

    static void append(jp_opcode *&head, jp_opcode *&tail, jp_opcode *op)
    {
        if (tail == nullptr)
            head = op;
        else
            tail->sibling = op;
        tail = op;
    }

    // "$" or "@" and its segments; the token is known to be one of them.
    jp_opcode *path()
    {
        jp_opcode *node = take_node(tok_.type);
        jp_opcode *tail = nullptr;
        while (peek(kSegmentStart)) {
            jp_opcode *seg = segment();
            if (seg == nullptr)
                return nullptr;
            append(node->down, tail, seg);
        }
        return node;
    }

    jp_opcode *segment()
    {
        if (peek(bit(JP_T_DOT))) {
            consume();
            if (!need(bit(JP_T_LABEL) | bit(JP_T_WILDCARD)))
                return nullptr;
            return take_node(tok_.type);
        }
        return enclosed(JP_T_UNION, JP_T_BRCLOSE);
    }

    // A list between an opening token (the current one) and its closing one.
    jp_opcode *enclosed(uint32_t op, uint32_t close)
    {
        if (!enter())
            return nullptr;
        consume();
        jp_opcode *inner = list(op);
        if (inner == nullptr || !need(bit(close)))
            return nullptr;
        consume();
        depth_--;
        return inner;
    }

    // A list of operands joined by op: union of or-lists, or-list of
    // and-lists, and-list of comparisons. One operand stands for itself.
    jp_opcode *list(uint32_t op)
    {
        jp_opcode *head = nullptr;
        jp_opcode *tail = nullptr;
        int count = 0;
        do {
            if (count > 0)
                consume();
            jp_opcode *item = op == JP_T_UNION ? list(JP_T_OR) : op == JP_T_OR ? list(JP_T_AND) : comparison();
            if (item == nullptr)
                return nullptr;
            append(head, tail, item);
            count++;
        } while (peek(bit(op)));
        if (count == 1)
            return head;
        jp_opcode *node = jp_alloc_op(s_, op, 0, {});
        node->down = head;
        return node;
    }

    jp_opcode *comparison()
    {
        jp_opcode *left = unary();
        if (left == nullptr || !peek(kCompare))
            return left;
        jp_opcode *node = jp_alloc_op(s_, tok_.type, 0, {});
        consume();
        jp_opcode *right = unary();
        if (right == nullptr)
            return nullptr;
        node->down = left;
        left->sibling = right;
        return node;
    }

    jp_opcode *unary()
    {
        if (peek(kLeaf))
            return take_node(tok_.type);
        if (peek(kPathStart))
            return path();
        if (peek(bit(JP_T_POPEN)))
            return enclosed(JP_T_OR, JP_T_PCLOSE);
        if (!need(bit(JP_T_NOT)) || !enter())
            return nullptr;
        jp_opcode *node = take_node(JP_T_NOT);
        node->down = unary();
        depth_--;
        return node->down != nullptr ? node : nullptr;
    }
};

// A comparison operand: a literal, or the first match of a path when it is a
// boolean, an integer or a string.
struct operand {
    uint32_t type = 0;  // JP_T_BOOL, JP_T_NUMBER, JP_T_STRING, JP_T_REGEXP; 0 none
    int32_t num = 0;
    const char *str = nullptr;
};

json_object *match_next(jp_opcode *seg, json_object *root, json_object *cur, jp_match_cb cb, void *priv);

operand jp_resolve(jp_opcode *op, json_object *root, json_object *cur)
{
    operand r;
    if (op->type == JP_T_BOOL || op->type == JP_T_NUMBER || op->type == JP_T_STRING || op->type == JP_T_REGEXP) {
        r.type = op->type;
        r.num = op->num;
        r.str = op->str;
        return r;
    }
    if (op->type != JP_T_ROOT && op->type != JP_T_THIS)
        return r;
    json_object *found = jp_match(op, op->type == JP_T_ROOT ? root : cur, nullptr, nullptr);
    switch (json_object_get_type(found)) {
    case json_type_boolean:
        r.type = JP_T_BOOL;
        r.num = json_object_get_boolean(found) ? 1 : 0;
        break;
    case json_type_int:
        r.type = JP_T_NUMBER;
        r.num = json_object_get_int(found);
        break;
    case json_type_string:
        r.type = JP_T_STRING;
        r.str = json_object_get_string(found);
        break;
    default:
        break;
    }
    return r;
}

std::string operand_text(const operand &o)
{
    if (o.type == JP_T_STRING || o.type == JP_T_REGEXP)
        return o.str != nullptr ? o.str : "";
    if (o.type == JP_T_BOOL)
        return o.num ? "true" : "false";
    return std::to_string(o.num);
}

constexpr size_t kRegexMaxGroupDepth = 16;

// The size of what the regular-expression compiler builds for a pattern,
// roughly, in atoms: a repetition copies what it repeats (two copies for
// "+", m for "{m,n}"), so stacked or nested repetitions ("a+++++",
// "((a{99}){99}){99}") grow it exponentially and compiling them takes
// minutes; a repetition of a repetition ("a****") says nothing more than one
// and costs as much, so it counts as the limit. Saturates at limit.
size_t regex_expansion(std::string_view p, bool extended, size_t limit)
{
    struct level {
        size_t size = 0;  // the sequence so far
        size_t last = 0;  // its last atom or group
    };
    std::vector<level> stack(1);
    const auto grow = [&](size_t factor) {
        level &l = stack.back();
        const size_t more = l.last > limit / std::max<size_t>(factor, 1) ? limit : l.last * factor;
        l.size = std::min(limit, l.size + (more - std::min(more, l.last)));
        l.last = more;
    };
    const auto atom = [&] {
        stack.back().last = 1;
        stack.back().size = std::min(limit, stack.back().size + 1);
    };
    bool repeated = false;  // the last token was a repetition
    for (size_t i = 0; i < p.size(); i++) {
        const char c = p[i];
        const bool was_repeated = std::exchange(repeated, false);
        const bool esc = c == '\\' && i + 1 < p.size();
        const char op = esc ? p[i + 1] : c;
        if (esc)
            i++;
        const bool special = extended ? !esc : esc;
        if (!esc && c == '[') {
            // A bracket expression is one atom; "]" first in it is literal.
            size_t j = i + 1;
            if (j < p.size() && p[j] == '^')
                j++;
            if (j < p.size() && p[j] == ']')
                j++;
            while (j < p.size() && p[j] != ']')
                j++;
            i = j;
            atom();
        } else if (special && op == '(') {
            // Groups nested this deep are no filter anyone writes.
            if (stack.size() > kRegexMaxGroupDepth)
                return limit;
            stack.emplace_back();
        } else if (special && op == ')' && stack.size() > 1) {
            const size_t inner = stack.back().size;
            stack.pop_back();
            stack.back().last = inner;
            stack.back().size = std::min(limit, stack.back().size + inner);
        } else if ((special && (op == '+' || op == '?')) || (!esc && c == '*')) {
            if (was_repeated)
                return limit;
            grow(op == '+' ? 2 : 1);
            repeated = true;
        } else if (special && op == '{') {
            if (was_repeated)
                return limit;
            repeated = true;
            size_t lo = 0;
            size_t hi = 0;
            size_t j = i + 1;
            for (; j < p.size() && p[j] >= '0' && p[j] <= '9'; j++)
                lo = std::min<size_t>(lo * 10 + static_cast<size_t>(p[j] - '0'), limit);
            hi = lo;
            if (j < p.size() && p[j] == ',') {
                hi = 0;
                for (j++; j < p.size() && p[j] >= '0' && p[j] <= '9'; j++)
                    hi = std::min<size_t>(hi * 10 + static_cast<size_t>(p[j] - '0'), limit);
                if (hi == 0)
                    hi = lo + 1;
            }
            i = j;  // the closing brace (or its backslash) is skipped with it
            if (!extended && i < p.size() && p[i] == '\\')
                i++;
            grow(std::max<size_t>({lo, hi, 1}));
        } else {
            atom();
        }
        if (stack.back().size >= limit)
            return limit;
    }
    return stack.front().size;
}

// Patterns that would compile to more atoms than this are taken as patterns
// that do not compile: the comparison is false.
constexpr size_t kRegexMaxExpansion = 4096;

bool regex_match(const operand &subject, const operand &pattern)
{
    int options = pattern.type == JP_T_REGEXP ? pattern.num : kDefaultRegexOptions;
    const std::string text = operand_text(pattern);
    if (regex_expansion(text, (options & REG_EXTENDED) != 0, kRegexMaxExpansion) >= kRegexMaxExpansion)
        return false;
    regex_t re;
    if (regcomp(&re, text.c_str(), options) != 0)
        return false;
    bool hit = regexec(&re, operand_text(subject).c_str(), 0, nullptr, 0) == 0;
    regfree(&re);
    return hit;
}

bool jp_cmp(jp_opcode *op, json_object *root, json_object *cur)
{
    operand a = jp_resolve(op->down, root, cur);
    operand b = jp_resolve(op->down->sibling, root, cur);
    if (a.type == 0 || b.type == 0)
        return false;
    if (op->type == JP_T_MATCH) {
        if (a.type == JP_T_REGEXP)
            return b.type != JP_T_REGEXP && regex_match(b, a);
        return a.type != JP_T_REGEXP && regex_match(a, b);
    }
    if (a.type != b.type || a.type == JP_T_REGEXP)
        return false;
    int c = a.type == JP_T_STRING ? strcmp(a.str, b.str) : (a.num > b.num) - (a.num < b.num);
    switch (op->type) {
    case JP_T_EQ: return c == 0;
    case JP_T_NE: return c != 0;
    case JP_T_GT: return c > 0;
    case JP_T_GE: return c >= 0;
    case JP_T_LT: return c < 0;
    case JP_T_LE: return c <= 0;
    default: return false;
    }
}

// Whether a bracket expression holds for one member (key, index -1) or one
// element (no key, its index).
bool jp_expr(jp_opcode *op, json_object *root, json_object *cur, const char *key, int idx)
{
    switch (op->type) {
    case JP_T_WILDCARD:
        return true;
    case JP_T_NUMBER:
        return idx == op->num;
    case JP_T_STRING:
        return key != nullptr && strcmp(key, op->str) == 0;
    case JP_T_ROOT:
        return jp_match(op, root, nullptr, nullptr) != nullptr;
    case JP_T_THIS:
        return jp_match(op, cur, nullptr, nullptr) != nullptr;
    case JP_T_NOT:
        return !jp_expr(op->down, root, cur, key, idx);
    case JP_T_AND:
        for (jp_opcode *o = op->down; o != nullptr; o = o->sibling)
            if (!jp_expr(o, root, cur, key, idx))
                return false;
        return true;
    case JP_T_OR:
    case JP_T_UNION:
        for (jp_opcode *o = op->down; o != nullptr; o = o->sibling)
            if (jp_expr(o, root, cur, key, idx))
                return true;
        return false;
    case JP_T_EQ:
    case JP_T_NE:
    case JP_T_GT:
    case JP_T_GE:
    case JP_T_LT:
    case JP_T_LE:
    case JP_T_MATCH:
        return jp_cmp(op, root, cur);
    default:
        return false;
    }
}

// Every member or element for which the segment's expression holds continues
// the walk; the first match is returned.
json_object *match_expr(jp_opcode *seg, json_object *root, json_object *cur, jp_match_cb cb, void *priv)
{
    json_object *first = nullptr;
    auto visit = [&](json_object *val, const char *key, int idx) {
        if (!jp_expr(seg, root, val, key, idx))
            return;
        json_object *m = match_next(seg->sibling, root, val, cb, priv);
        if (first == nullptr)
            first = m;
    };
    if (json_object_get_type(cur) == json_type_object) {
        json_object_object_foreach(cur, key, val) visit(val, key, -1);
    } else if (json_object_get_type(cur) == json_type_array) {
        auto n = static_cast<int>(json_object_array_length(cur));
        for (int i = 0; i < n; i++)
            visit(json_object_array_get_idx(cur, static_cast<size_t>(i)), nullptr, i);
    }
    return first;
}

json_object *match_next(jp_opcode *seg, json_object *root, json_object *cur, jp_match_cb cb, void *priv)
{
    if (seg == nullptr) {
        if (cb != nullptr)
            cb(cur, priv);
        return cur;
    }
    if (seg->type == JP_T_NUMBER) {
        if (json_object_get_type(cur) != json_type_array)
            return nullptr;
        auto n = static_cast<int64_t>(json_object_array_length(cur));
        int64_t idx = seg->num < 0 ? n + seg->num : seg->num;
        if (idx < 0 || idx >= n)
            return nullptr;
        return match_next(seg->sibling, root, json_object_array_get_idx(cur, static_cast<size_t>(idx)), cb, priv);
    }
    if (seg->type == JP_T_LABEL || seg->type == JP_T_STRING) {
        json_object *member = nullptr;
        if (json_object_get_type(cur) != json_type_object || !json_object_object_get_ex(cur, seg->str, &member))
            return nullptr;
        return match_next(seg->sibling, root, member, cb, priv);
    }
    return match_expr(seg, root, cur, cb, priv);
}

}  // namespace

jp_state *jp_parse(const char *expr)
{
    auto *s = static_cast<jp_state *>(os_zalloc(sizeof(jp_state)));
    if (s == nullptr)
        return nullptr;
    if (expr == nullptr) {
        s->error_code = static_cast<int32_t>(bit(JP_T_LABEL) | kPathStart);
        return s;
    }
    std::string_view in(expr);
    if (in.size() > INT32_MAX / 2) {
        s->error_code = JP_ERR_TOO_LONG;
        return s;
    }
    parser(s, in).run();
    if (s->error_code != 0)
        s->path = nullptr;
    return s;
}

void jp_free(jp_state *state)
{
    if (state == nullptr)
        return;
    for (jp_opcode *op = state->pool; op != nullptr;) {
        jp_opcode *next = op->next_alloc;
        os_free(op);
        op = next;
    }
    os_free(state);
}

json_object *jp_match(jp_opcode *path, json_object *doc, jp_match_cb cb, void *priv)
{
    if (path == nullptr)
        return nullptr;
    if (path->type == JP_T_LABEL)
        path = path->down;
    if (path == nullptr)
        return nullptr;
    return match_next(path->down, doc, doc, cb, priv);
}
