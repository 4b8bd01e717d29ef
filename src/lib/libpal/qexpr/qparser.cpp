// The rule text's state machine. States keep the numbers the
// "Incomplete expression" error reports (1 after "!" or "@", 3 in a "'"
// block, 4 after "~", 5 in the name, 6 before the operator, 7 in the
// operator, 8 before the value); quoted values in progress report 10 and 11.
#define ZLOG_TAG "pal"

#include "libpal/qexpr/qparser.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdarg>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/pl_own.h"
#include "libpal/os/os_path.h"
#include "libpal/qexpr/qexpr.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_escape.h"
#include "liblog/zlog.h"

namespace {

enum state : int {
    st_between = 0, st_prefix = 1, st_comment = 2, st_block = 3, st_disabled = 4, st_name = 5,
    st_before_op = 6, st_op = 7, st_before_value = 8, st_value = 9, st_dquote = 10, st_squote = 11,
    st_done = 12,
};

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_alpha(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }
bool is_alnum(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }
bool is_name_start(char c) { return is_alpha(c) || c == '_'; }
bool is_name_char(char c) { return is_alnum(c) || c == '.' || c == '@' || c == '_' || c == '-'; }
bool is_op_char(char c) { return c == '=' || c == '!' || c == '<' || c == '>'; }

void char_err(char *err, int line, int col, char c, const char *what)
{
    qparser_set_err(err, "%d:%d [%c-0x%2x] %s", line, col, c, static_cast<unsigned char>(c), what);
}

struct parser {
    parser(qparser_rule_fn f, void *c, char *e) : fn(f), ctx(c), err(e) {}
    qparser_rule_fn fn;
    void *ctx;
    char *err;
    int line = 1;
    int col = 0;
    state st = st_between;
    uint8_t enabled = 1;
    uint32_t kind = 0;
    char quote = 0;
    std::string var, op, value;

    void start()
    {
        enabled = 1;
        kind = 0;
        quote = 0;
        var.clear();
        op.clear();
        value.clear();
    }
    int finish()
    {
        // A double-quoted value's limit holds for the value it reads as; its
        // text may be longer by its escapes (the normal form's, at most 4 to 1).
        if (quote == '"') {
            int len = 0;
            pl_owned<char, os_free> read_as(str_unescape_cstr_dyn(value.c_str(), &len));
            if (strlen(read_as ? read_as.get() : value.c_str()) > QPARSER_MAX_VALUE)
                return fail(quote, "syntax error=7");
        }
        return expr_check(enabled, kind, var.c_str(), op.c_str(), value.c_str(), quote, line, fn, ctx, err);
    }
    int fail(char c, const char *what)
    {
        char_err(err, line, col, c, what);
        return -1;
    }
    // Appends c to a part of the statement unless that passes its limit.
    int add(std::string &part, size_t limit, char c, const char *what)
    {
        if (part.size() >= limit)
            return fail(c, what);
        part.push_back(c);
        return 0;
    }
    int step(char c);
};

constexpr const char *k_var_start = "error: Var must start with letter or underscore";
constexpr const char *k_value_long = "syntax error=7";
constexpr size_t QPARSER_MAX_ESCAPED = 4 * QPARSER_MAX_VALUE;

int parser::step(char c)
{
    switch (st) {
    case st_between:
        if (is_blank(c) || c == '\r' || c == '\n')
            return 0;
        start();
        if (c == '#') st = st_comment;
        else if (c == '\'') st = st_block;
        else if (c == '~') { enabled = 0; st = st_disabled; }
        else if (c == '!' || c == '@') { kind = c == '!' ? 1 : 2; st = st_prefix; }
        else if (is_name_start(c)) { var.push_back(c); st = st_name; }
        else return fail(c, k_var_start);
        return 0;
    case st_comment:
        if (c == '\n' || c == ';')
            st = st_between;
        return 0;
    case st_block:
        if (c == '\'')
            st = st_between;
        return 0;
    case st_disabled:
        if (is_blank(c))
            return 0;
        if (c == '!' || c == '@') { kind = c == '!' ? 1 : 2; st = st_prefix; }
        else if (is_name_start(c)) { var.push_back(c); st = st_name; }
        else return fail(c, "error:  ban_cmd character cannot appear");
        return 0;
    case st_prefix:
        if (is_blank(c))
            return 0;
        if (!is_name_start(c))
            return fail(c, k_var_start);
        var.push_back(c);
        st = st_name;
        return 0;
    case st_name:
        if (c == '\r')
            return 0;
        if (is_name_char(c))
            return add(var, QPARSER_MAX_VAR, c, "syntax error=2");
        if (c == ' ') { st = kind == 2 ? st_before_value : st_before_op; return 0; }
        if (kind != 2 && is_op_char(c)) { op.push_back(c); st = st_op; return 0; }
        return fail(c, "syntax error=2");
    case st_before_op:
        if (is_blank(c))
            return 0;
        if (!is_op_char(c) && !is_alpha(c))
            return fail(c, "syntax error=3");
        op.push_back(c);
        st = st_op;
        return 0;
    case st_op:
        if (is_blank(c)) { st = st_before_value; return 0; }
        if (c == '\r' || c == '\n')
            return fail(c, "syntax error=5");
        if (is_alnum(c) && (op[0] == '=' || op[0] == '<' || op[0] == '>')) {
            value.push_back(c);
            st = st_value;
            return 0;
        }
        if (is_op_char(c) || is_alnum(c))
            return add(op, QPARSER_MAX_OP, c, "syntax error=4");
        return fail(c, "syntax error=4");
    case st_before_value:
        if (is_blank(c))
            return 0;
        if (c == '\r' || c == '\n' || c == ';' || c == '#')
            return fail(c, "syntax error=5");
        if (c == '"') { quote = c; st = st_dquote; }
        else if (c == '\'') { quote = c; st = st_squote; }
        else { value.push_back(c); st = st_value; }
        return 0;
    case st_value:
        if (is_blank(c) || c == '\r') { st = st_done; return finish(); }
        if (c == ';' || c == '\n') { st = st_between; return finish(); }
        if (c == '#') { st = st_comment; return finish(); }
        return add(value, QPARSER_MAX_VALUE, c, k_value_long);
    case st_dquote:
        if (c == quote) { st = st_done; return finish(); }
        return add(value, QPARSER_MAX_ESCAPED, c, k_value_long);
    case st_squote:
        if (c == quote) { st = st_done; return finish(); }
        // Blanks right after an opening single quote are not part of the value.
        if (value.empty() && is_blank(c))
            return 0;
        return add(value, QPARSER_MAX_VALUE, c, k_value_long);
    case st_done:
        if (is_blank(c) || c == '\r')
            return 0;
        if (c == ';' || c == '\n') { st = st_between; return 0; }
        if (c == '#') { st = st_comment; return 0; }
        return fail(c, "syntax error=6");
    }
    return -1;
}

// Without a function the statement is only checked.
int check_only(void *, const qparser_stmt *) { return 0; }

int dump_into(void *ctx, const qparser_stmt *stmt)
{
    return qparser_dump_line(static_cast<str_buf *>(ctx), stmt) == 0 ? 0 : -1;
}

}  // namespace

bool qparser_needs_quotes(const char *value)
{
    if (!*value || *value == '"' || *value == '\'')
        return true;
    for (const char *p = value; *p; ++p)
        if (is_blank(*p) || *p == ';' || *p == '#' || *p == '\\' || std::iscntrl(static_cast<unsigned char>(*p)))
            return true;
    return false;
}

namespace {

// A double-quoted value is unescaped on reading and ends at the first double
// quote; three-digit octal escapes, as a hex escape would swallow following
// hex digits.
int append_dquoted(str_buf *sb, const char *value)
{
    if (str_buf_putc(sb, '"') != 0)
        return -1;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(value); *p; ++p) {
        int rc;
        if (*p == '\\') rc = str_buf_append_str(sb, "\\\\");
        else if (*p == '"' || std::iscntrl(*p)) rc = str_buf_appendf(sb, "\\%03o", *p) < 0 ? -1 : 0;
        else rc = str_buf_putc(sb, static_cast<char>(*p));
        if (rc != 0)
            return -1;
    }
    return str_buf_putc(sb, '"');
}

}  // namespace

int expr_check(uint8_t enabled, uint32_t kind, const char *var, const char *op, const char *value,
               char quote, int line, qparser_rule_fn fn, void *ctx, char *err)
{
    qparser_stmt stmt{enabled, kind, var, 0, value, false};
    if (kind != 2) {
        const int opcode = qexpr_opcode_get(op);
        if (opcode < 0) {
            qparser_set_err(err, "%d:0 opcode=[%s] Unsupported", line, op);
            return -1;
        }
        stmt.opcode = static_cast<uint32_t>(opcode);
        stmt.expand = quote != '\'';
    }
    pl_owned<char, os_free> unescaped;
    if (quote == '"') {
        int len = 0;
        unescaped.reset(str_unescape_cstr_dyn(value, &len));
        if (unescaped)
            stmt.value = unescaped.get();
        else
            ZLOG_DBG("avg2=%s escape fail\n", value);
    }
    const int rc = fn ? fn(ctx, &stmt) : 0;
    if (rc == -2)
        qparser_set_err(err, "var [%s] does not exist", var);
    else if (rc == QPARSER_TOO_MANY)
        qparser_set_err(err, "%d:0 too many rules, at most %zu", line, QPARSER_MAX_RULES);
    else if (rc < 0)
        qparser_set_err(err, "expr malloc failed");
    return rc < 0 ? rc : 0;
}

int qparser_parse(const char *text, qparser_rule_fn fn, void *ctx, char *err)
{
    if (err)
        err[0] = '\0';
    // An empty text is refused: loading it would silently drop every live rule.
    if (!text || text[strspn(text, " \t\r\n")] == '\0') {
        qparser_set_err(err, "empty rule text");
        return -1;
    }
    parser p{fn ? fn : check_only, ctx, err};
    for (const char *c = text; *c; ++c) {
        ++p.col;
        if (int rc = p.step(*c); rc < 0)
            return rc;
        if (*c == '\n') {
            ++p.line;
            p.col = 0;
        }
    }
    switch (p.st) {
    case st_between:
    case st_comment:
    case st_done:
        return 0;
    case st_value:
        return p.finish();
    default:
        qparser_set_err(err, "%d:0 mode=%d Incomplete expression error", p.line, static_cast<int>(p.st));
        return -1;
    }
}

void qparser_set_err(char *err, const char *fmt, ...)
{
    if (!err)
        return;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(err, QPARSER_ERR_SIZE, fmt, ap);
    va_end(ap);
}

int qparser_check(const char *text, char *err)
{
    return qparser_parse(text, nullptr, nullptr, err);
}

char *qparser_read_file(const char *path)
{
    struct stat st;
    if (!path || stat(path, &st) != 0)
        return nullptr;
    // Only regular files: a device or FIFO could block or never end.
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return nullptr;
    }
    return os_file_read_text(path);
}

int qparser_check_file(const char *path, char *err)
{
    pl_owned<char, os_free> text(qparser_read_file(path));
    if (!text) {
        qparser_set_err(err, "file open failed");
        return -1;
    }
    return qparser_check(text.get(), err);
}

char *qparser_format(const char *text, char *err)
{
    pl_owned<str_buf, str_buf_free> sb(str_buf_new());
    if (!sb) {
        qparser_set_err(err, "expr malloc failed");
        return nullptr;
    }
    if (qparser_parse(text, dump_into, sb.get(), err) != 0)
        return nullptr;
    return str_buf_detach_nonnull(sb.release());
}

char *qparser_format_file(const char *path, char *err)
{
    pl_owned<char, os_free> text(qparser_read_file(path));
    if (!text) {
        qparser_set_err(err, "file open failed");
        return nullptr;
    }
    return qparser_format(text.get(), err);
}

int qparser_dump_line(str_buf *sb, const qparser_stmt *stmt)
{
    const char *prefix = stmt->enabled ? "" : "~ ";
    int rc;
    if (stmt->kind == 2)
        rc = str_buf_appendf(sb, "%s@ %s ", prefix, stmt->var);
    else
        rc = str_buf_appendf(sb, "%s%s %s %s ", prefix, stmt->kind == 1 ? "!" : "", stmt->var,
                             qexpr_opcode_name(stmt->opcode));
    if (rc < 0)
        return -1;
    // A value that must not be expanded keeps its single quotes where they can carry it.
    const char *v = stmt->value;
    if (stmt->kind != 2 && !stmt->expand && strchr(v, '$') && !strchr(v, '\'') && !is_blank(v[0]))
        rc = str_buf_appendf(sb, "'%s'", v) < 0 ? -1 : 0;
    else if (stmt->kind == 2 || qparser_needs_quotes(stmt->value))
        rc = append_dquoted(sb, stmt->value);
    else
        rc = str_buf_append_str(sb, stmt->value);
    return rc == 0 && str_buf_putc(sb, '\n') == 0 ? 0 : -1;
}
