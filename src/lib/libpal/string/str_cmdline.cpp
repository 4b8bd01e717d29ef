#define ZLOG_TAG "pal"
#include "libpal/string/str_cmdline.h"

#include <cstring>
#include <string>

#include "libpal/env/pl_assert.h"
#include "libpal/string/str_safe.h"

namespace {

// Walks a command line once; in measuring mode (argv or args nullptr) it only
// counts, so both passes see exactly the same arguments.
struct cmdline_writer {
    char **argv;
    char  *args;
    int    count = 0;
    size_t bytes = 0;

    bool measuring() const { return argv == nullptr || args == nullptr; }

    void begin()
    {
        if (!measuring()) {
            argv[count] = args + bytes;
        }
        count++;
    }
    void put(char c)
    {
        if (!measuring()) {
            args[bytes] = c;
        }
        bytes++;
    }
    void put_n(char c, size_t n)
    {
        for (size_t i = 0; i < n; i++) {
            put(c);
        }
    }
    void end() { put('\0'); }
};

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

// The program name: double quotes toggle and are dropped, backslashes are plain.
const char *parse_first(const char *p, cmdline_writer &w)
{
    bool quoted = false;
    w.begin();
    for (; *p != '\0' && (quoted || !is_blank(*p)); p++) {
        if (*p == '"') {
            quoted = !quoted;
        } else {
            w.put(*p);
        }
    }
    w.end();
    return p;
}

// A later argument with the backslash rule.
const char *parse_arg(const char *p, cmdline_writer &w)
{
    bool quoted = false;
    w.begin();
    while (*p != '\0' && (quoted || !is_blank(*p))) {
        if (*p == '\\') {
            size_t n = strspn(p, "\\");
            if (p[n] != '"') {
                w.put_n('\\', n);
                p += n;
                continue;
            }
            w.put_n('\\', n / 2);
            p += n;
            if (n % 2 == 1) {
                w.put('"');
                p++;
                continue;
            }
            // An even run: the quote below acts as a quote.
        }
        if (*p == '"') {
            if (quoted && p[1] == '"') {
                w.put('"');
                p += 2;
            } else {
                quoted = !quoted;
                p++;
            }
            continue;
        }
        w.put(*p++);
    }
    w.end();
    return p;
}

void parse(const char *line, cmdline_writer &w)
{
    const char *p = parse_first(line, w);
    for (;;) {
        while (is_blank(*p)) {
            p++;
        }
        if (*p == '\0') {
            break;
        }
        p = parse_arg(p, w);
    }
    if (!w.measuring()) {
        w.argv[w.count] = nullptr;
    }
    w.count++;
}

}  // namespace

int str_parse_cmdline(const char *line, char **argv, char *args, int *argc, size_t *nbytes)
{
    PL_ASSERT_TEXT_RET(line != nullptr && argc != nullptr && nbytes != nullptr,
                       "line!=NULL && argc!=NULL && nbytes!=NULL", -1);
    cmdline_writer measure{nullptr, nullptr};
    parse(line, measure);
    if (argv == nullptr || args == nullptr) {
        *argc   = measure.count;
        *nbytes = measure.bytes;
        return 0;
    }
    // The buffers the caller measured for must hold this line.
    PL_ASSERT_RET(measure.count<=*argc && measure.bytes<=*nbytes, -1);
    cmdline_writer fill{argv, args};
    parse(line, fill);
    *argc   = fill.count;
    *nbytes = fill.bytes;
    return 0;
}

int str_join_args(int argc, char **argv, char *out, size_t size)
{
    PL_ASSERT_TEXT_RET(out != nullptr && size>0, "out!=NULL && size>0", -1);
    out[0] = '\0';
    for (int i = 0; i < argc && argv != nullptr && argv[i] != nullptr; i++) {
        char quoted[4096];
        const char *arg = argv[i];
        if (strchr(arg, ' ') != nullptr) {
            int n = str_sprintf_s(quoted, sizeof(quoted), "\"%s\"", arg);
            if (n < 0 || n >= static_cast<int>(sizeof(quoted))) {
                out[0] = '\0';
                return -1;
            }
            arg = quoted;
        }
        // A strict append that fails has emptied out: stop rather than go on
        // with a line that lost its head.
        if (str_safecat(out, size, arg) != 0 || str_safecat(out, size, " ") != 0) {
            return -1;
        }
    }
    return 0;
}

char *str_get_first_word(const char *text, char *out, size_t size)
{
    PL_ASSERT_TEXT_RET(text != nullptr && out != nullptr && size>0, "text!=NULL && out!=NULL && size>0", out);
    const char *blank = strchr(text, ' ');
    if (blank == nullptr) {
        str_safecopy(out, size, text);
        return out;
    }
    size_t len = static_cast<size_t>(blank - text);
    if (len > size - 1) {
        len = size - 1;
    }
    memmove(out, text, len);
    out[len] = '\0';
    return out;
}

char *str_replace_first_word(const char *text, const char *word, char *out, size_t size)
{
    PL_ASSERT_TEXT_RET(text != nullptr && word != nullptr && out != nullptr && size > 0,
                       "text!=NULL && word!=NULL && out!=NULL && size>0", out);
    const char *blank = strchr(text, ' ');
    // text may be out itself: keep its tail before overwriting.
    std::string rest(blank != nullptr ? blank : "");
    if (str_safecopy(out, size, word) == 0) {
        str_safecat(out, size, rest.c_str());
    }
    return out;
}
