// INI loader and writer over the dictionary.
#include "libconf/ini/iniparser.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/pl_nothrow.h"
#include "libpal/basic/pl_own.h"
#include "libpal/os/os_path.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_glob.h"
#include "libpal/vfile/vfile.h"

#define ZLOG_TAG "conf"
#include "liblog/zlog.h"

ini_decode_proc ini_decode_hook = nullptr;

namespace {

// The line buffer of one physical read.
constexpr size_t kLineMax = 1024;
// What a refused line of a text (not a file) is said to come from.
constexpr const char *kTextOrigin = "(text)";

int default_error_proc(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int default_error_proc(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int r = vfprintf(stderr, fmt, ap);
    va_end(ap);
    return r;
}

iniparser_error_proc g_error_proc = default_error_proc;

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    return s;
}

std::string_view skip_blanks(std::string_view s)
{
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    return s;
}

enum class line_kind { blank, comment, section, key, error };

struct line_form {
    line_kind kind = line_kind::error;
    std::string_view name;   // section or key name
    std::string_view value;  // key value
};

// The text between a quote at the start of rest and the next one (or the end
// of the line when it never closes); at least one character, else no match.
bool quoted_value(std::string_view rest, char quote, std::string_view *value)
{
    if (rest.size() < 2 || rest[0] != quote || rest[1] == quote) return false;
    size_t close = rest.find(quote, 1);
    *value       = close == std::string_view::npos ? rest.substr(1) : rest.substr(1, close - 1);
    return true;
}

// Classifies a line already trimmed at both ends.
line_form classify(std::string_view line)
{
    line_form f;
    if (line.empty()) {
        f.kind = line_kind::blank;
        return f;
    }
    if (line[0] == '#' || line[0] == ';') {
        f.kind = line_kind::comment;
        return f;
    }
    if (line[0] == '[' && line.back() == ']') {
        std::string_view inner = line.substr(1);
        f.name                 = trim(inner.substr(0, inner.find(']')));
        // A TAB would make the name read as a section and a key.
        f.kind = f.name.find('\t') == std::string_view::npos ? line_kind::section : line_kind::error;
        return f;
    }
    // The key: at least one character before the first "=".
    size_t eq = line.find('=');
    if (eq == 0 || eq == std::string_view::npos) return f;
    f.kind                = line_kind::key;
    f.name                = trim(line.substr(0, eq));
    std::string_view rest = skip_blanks(line.substr(eq + 1));
    if (quoted_value(rest, '"', &f.value) || quoted_value(rest, '\'', &f.value)) return f;
    if (!rest.empty() && rest[0] != ';' && rest[0] != '#') {
        f.value = trim(rest.substr(0, rest.find_first_of(";#")));
        if (f.value == "\"\"" || f.value == "''") f.value = {};
        return f;
    }
    f.value = {};  // nothing after "=", or only a comment
    return f;
}

// A name cut to its bound reads back only without trailing blanks.
std::string cut_name(std::string_view s, size_t max)
{
    std::string_view c = s.substr(0, max);
    while (!c.empty() && is_blank(c.back())) c.remove_suffix(1);
    return std::string(c);
}

std::string entry_key(std::string_view section, std::string_view key)
{
    std::string k(section);
    k += '\t';
    k += key;
    return cut_name(k, INI_KEY_MAX);
}

// Appends one physical line (up to and including its LF) to out. False when
// the stream had nothing more. *nul is set when the line holds a NUL byte.
bool read_line(VFILE *f, std::string &out, bool *nul)
{
    char chunk[kLineMax + 1];
    bool any = false;
    for (;;) {
        // The bytes after the terminating NUL keep this filler, so the
        // terminator is the last NUL of the chunk even when the data hold one.
        memset(chunk, 0x01, sizeof(chunk));
        if (qdfile_fgets(chunk, sizeof(chunk), f) == nullptr) return any;
        any = true;
        const char *end = static_cast<const char *>(memrchr(chunk, 0, sizeof(chunk)));
        size_t n        = static_cast<size_t>(end - chunk);
        if (memchr(chunk, 0, n) != nullptr) *nul = true;
        // The stream drops a CR only when it reads it byte by byte, which
        // depends on where its buffer ends: the line drops every CR itself.
        for (size_t i = 0; i < n; i++) {
            if (chunk[i] != '\r') out += chunk[i];
        }
        if ((n > 0 && chunk[n - 1] == '\n') || qdfile_feof(f)) return true;
    }
}

// Why a line that fits no form is skipped, and what becomes of the lines
// after it.
const char *refusal(std::string_view line, const std::string &section, std::string *why)
{
    if (line[0] == '[' && line.find(']') == std::string_view::npos) {
        *why = "section not closed with \"]\"; the keys after it stay ";
        *why += section.empty() ? "before the first section" : "in [" + section + "]";
        return why->c_str();
    }
    if (line[0] == '[' && line.back() == ']') return "a TAB in a section name; line skipped";
    if (line[0] == '=') return "no key before \"=\"; line skipped";
    return "no \"=\" after the key (not a section, key=value or comment); line skipped";
}

struct loader {
    dictionary *d;
    const char *origin;    // the file's path, or "(text)"
    std::string section;   // current section, empty before the first one
    std::string comments;  // comment and blank lines waiting for the next entry
    int lineno = 0;

    // Every line the loader skips is said once, at warn level, with its
    // number and its text as written: a setting that is silently dropped
    // leaves the daemon running with values other than the file meant.
    void refuse(std::string_view line, const char *why) const
    {
        char text[STR_ESCAPE_LOG_SIZE];
        str_escape_log_imp(line.data(), line.size(), text, sizeof(text));
        ZLOG_WARN("config %s line %d: %s refused: %s\n", origin, lineno, text, why);
    }

    // false when memory ran out (the dictionary so far is kept).
    bool take(std::string_view raw, bool nul)
    {
        std::string_view line = trim(raw);
        if (nul) {
            refuse(line, "a NUL byte in the line; line skipped");
            return true;
        }
        line_form form = classify(line);
        switch (form.kind) {
        case line_kind::blank:
            comments += '\n';
            return true;
        case line_kind::comment: {
            if (line.size() >= kLineMax) {
                ZLOG_DBG("comment too long in (%d), skipped\n", lineno);
                return true;
            }
            // As read: leading blanks kept, trailing ones removed.
            std::string_view as_read = raw;
            while (!as_read.empty() && is_blank(as_read.back())) as_read.remove_suffix(1);
            comments.append(as_read);
            comments += '\n';
            return true;
        }
        case line_kind::section: {
            section = cut_name(form.name, INI_SECTION_MAX);
            int r   = dictionary_set(d, section.c_str(), nullptr, comments.empty() ? nullptr : comments.c_str());
            comments.clear();
            return r == 0;
        }
        case line_kind::key: {
            std::string key   = entry_key(section, form.name);
            std::string value(form.value);
            int         r     = dictionary_set(d, key.c_str(), value.c_str(), comments.empty() ? nullptr : comments.c_str());
            comments.clear();
            return r == 0;
        }
        case line_kind::error: {
            std::string why;
            refuse(line, refusal(line, section, &why));
            return true;
        }
        }
        return true;
    }
};

// A key line that reads back as name and value: bare when that is enough,
// else in double or single quotes. ok is cleared when no form reads back.
std::string key_line(std::string_view name, std::string_view value, bool *ok)
{
    auto reads_back = [&](const std::string &line) {
        if (line.find_first_of("\r\n") != std::string::npos || line.back() == '\\') return false;
        line_form f = classify(trim(line));
        return f.kind == line_kind::key && f.name == name && f.value == value;
    };
    std::string bare = std::string(name) + "=" + std::string(value);
    if (reads_back(bare)) return bare;
    for (char q : {'"', '\''}) {
        std::string quoted = std::string(name) + "=" + q + std::string(value) + q;
        if (reads_back(quoted)) return quoted;
    }
    *ok = false;
    return bare;
}

bool section_reads_back(std::string_view name)
{
    std::string line = "[" + std::string(name) + "]";
    if (line.find_first_of("\r\n") != std::string::npos || name.size() > INI_SECTION_MAX) return false;
    line_form f = classify(trim(line));
    return f.kind == line_kind::section && f.name == name;
}

// The slots of each section's keys, in slot order.
using key_index = std::unordered_map<std::string_view, std::vector<int>>;

key_index index_keys(const dictionary *d)
{
    key_index idx;
    for (int i = 0; i < d->size; i++) {
        const char *k   = d->key[i];
        const char *tab = k != nullptr ? strchr(k, '\t') : nullptr;
        if (tab != nullptr) idx[std::string_view(k, static_cast<size_t>(tab - k))].push_back(i);
    }
    return idx;
}

bool write_keys(const dictionary *d, const std::vector<int> &slots, FILE *f)
{
    bool ok = true;
    for (int i : slots) {
        if (d->comment[i] != nullptr) fputs(d->comment[i], f);
        const char *name = strchr(d->key[i], '\t') + 1;
        std::string line = key_line(name, d->val[i] != nullptr ? d->val[i] : "", &ok);
        fprintf(f, "%s\n", line.c_str());
    }
    return ok;
}

bool write_section(const dictionary *d, int slot, int index, const key_index &idx, FILE *f)
{
    const char *name = d->key[slot];
    if (d->comment[slot] != nullptr)
        fputs(d->comment[slot], f);
    else if (index != 0)
        fputs("\n", f);
    fprintf(f, "[%s]\n", name);
    bool ok = section_reads_back(name);
    auto it = idx.find(name);
    if (it != idx.end()) ok = write_keys(d, it->second, f) && ok;
    return ok;
}

}  // namespace

char *iniparser_entry_key(const char *section, const char *key, char *out)
{
    size_t slen = strnlen(section, INI_SECTION_MAX);
    memcpy(out, section, slen);
    out[slen]  = '\t';
    size_t klen = strnlen(key, INI_KEY_MAX - slen - 1);
    memcpy(out + slen + 1, key, klen);
    out[slen + 1 + klen] = '\0';
    return out;
}

void iniparser_set_error_callback(iniparser_error_proc proc)
{
    g_error_proc = proc != nullptr ? proc : default_error_proc;
}

namespace {

dictionary *load_all(VFILE *f, const char *origin) noexcept
{
    return pl_nothrow<dictionary *>(nullptr, [&]() -> dictionary * {
        pl_owned<dictionary, dictionary_del> owned(dictionary_new(DICT_MIN_SIZE));
        if (!owned) return nullptr;
        dictionary *d = owned.get();
        loader ld{d, origin, {}, {}, 0};
        qdfile_skip_bom(f);
        std::string line;
        bool        nul = false;
        for (;;) {
            if (!read_line(f, line, &nul)) {
                // A continuation at the very end still counts as a line, as if
                // empty lines followed it.
                while (!line.empty() && (is_blank(line.back()) || line.back() == '\\')) line.pop_back();
                if (!line.empty() && !ld.take(line, nul)) ZLOG_ERR("memory allocation failure\n");
                break;
            }
            ld.lineno++;
            if (line.size() <= 1) {
                ld.comments += '\n';
                line.clear();
                nul = false;
                continue;
            }
            while (!line.empty() && is_blank(line.back())) line.pop_back();
            if (!line.empty() && line.back() == '\\') {
                ZLOG_DBG("null_line_3\n");
                line.pop_back();
                continue;
            }
            bool ok = ld.take(line, nul);
            line.clear();
            nul = false;
            if (!ok) {
                ZLOG_ERR("memory allocation failure\n");
                break;
            }
        }
        if (qdfile_ferror(f)) {
            ZLOG_ERR("read error in (%d)\n", ld.lineno + 1);
            return nullptr;
        }
        if (!ld.comments.empty() && dictionary_set_tail_comment(d, ld.comments.c_str()) != 0)
            ZLOG_ERR("memory allocation failure\n");
        return owned.release();
    });
}

}  // namespace

dictionary *iniparser_load_all(VFILE *f) noexcept
{
    return load_all(f, kTextOrigin);
}

dictionary *iniparser_load(const char *path) noexcept
{
    if (path == nullptr) return nullptr;
    if (pl_glob_match_list_i(path, "*.dat")) {
        size_t len  = 0;
        auto  *data = static_cast<uint8_t *>(os_file_load(path, &len));
        // Only a decode hook can turn such a file into text, and none is set.
        if (data == nullptr || len <= 1 || ini_decode_hook == nullptr || ini_decode_hook(data, len) != 0) {
            os_free(data);
            return nullptr;
        }
        data[len - 1] = '\0';
        dictionary *d = iniparser_load_str(reinterpret_cast<const char *>(data));
        os_free(data);
        return d;
    }
    VFILE *f = qdfile_fopen(path, "r");
    if (f == nullptr) {
        g_error_proc("iniparser: cannot open %s\n", path);
        return nullptr;
    }
    dictionary *d = load_all(f, path);
    qdfile_fclose(f);
    return d;
}

dictionary *iniparser_load_str(const char *text) noexcept
{
    VFILE *f = text != nullptr ? qdfile_open_str(text) : nullptr;
    if (f == nullptr) {
        g_error_proc("iniparser: cannot open [str]\n");
        return nullptr;
    }
    dictionary *d = iniparser_load_all(f);
    qdfile_fclose(f);
    return d;
}

int iniparser_dumpsection_ini(const dictionary *d, const char *s, int index, FILE *f) noexcept
{
    return pl_nothrow<int>(-1, [&]() -> int {
        if (d == nullptr || s == nullptr || f == nullptr) return -1;
        int slot = dictionary_find(d, s);
        if (slot < 0 || d->val[slot] != nullptr) return -1;
        return write_section(d, slot, index, index_keys(d), f) ? 0 : -1;
    });
}

int iniparser_dump_ini(const dictionary *d, FILE *f) noexcept
{
    return pl_nothrow<int>(-1, [&]() -> int {
        if (d == nullptr || f == nullptr) return -1;
        key_index idx = index_keys(d);
        bool      ok  = true;
        // Keys before the first section belong to the section with the empty
        // name; unless that section has a header of its own they come first.
        bool empty_header = dictionary_find(d, "") >= 0;
        auto pre          = idx.find("");
        if (!empty_header && pre != idx.end()) ok = write_keys(d, pre->second, f) && ok;
        int nsec = 0;
        for (int i = 0; i < d->size; i++) {
            if (d->key[i] == nullptr || strchr(d->key[i], '\t') != nullptr) continue;
            ok = write_section(d, i, nsec++, idx, f) && ok;
        }
        // Keys of a section without its entry have no place in the file.
        for (const auto &[name, slots] : idx) {
            if (!name.empty() && dictionary_find(d, std::string(name).c_str()) < 0) ok = false;
        }
        if (d->tail_comment != nullptr)
            fputs(d->tail_comment, f);
        else if (nsec > 0)
            fputs("\n", f);
        return ok ? 0 : -1;
    });
}

int iniparser_getnsec(const dictionary *d)
{
    if (d == nullptr) return -1;
    int n = 0;
    for (int i = 0; i < d->size; i++) {
        if (d->key[i] != nullptr && strchr(d->key[i], '\t') == nullptr) n++;
    }
    return n;
}

const char *iniparser_getsecname(const dictionary *d, int n)
{
    if (d == nullptr || n < 0) return nullptr;
    for (int i = 0; i < d->size; i++) {
        if (d->key[i] != nullptr && strchr(d->key[i], '\t') == nullptr && n-- == 0) return d->key[i];
    }
    return nullptr;
}

int iniparser_getseckeys(const dictionary *d, const char *s, const char **keys, int max)
{
    if (d == nullptr || s == nullptr) return 0;
    size_t len   = strlen(s);
    int    count = 0;
    for (int i = 0; i < d->size; i++) {
        const char *k = d->key[i];
        if (k == nullptr || strncmp(k, s, len) != 0 || k[len] != '\t') continue;
        if (keys != nullptr && count < max) keys[count] = k + len + 1;
        count++;
    }
    return count;
}

int iniparser_getsecnkeys(const dictionary *d, const char *s)
{
    return iniparser_getseckeys(d, s, nullptr, 0);
}

const char *iniparser_getstring(const dictionary *d, const char *key, const char *def)
{
    if (d == nullptr || key == nullptr) return def;
    char         k[INI_KEY_MAX + 1];
    const size_t n = strnlen(key, INI_KEY_MAX);
    memcpy(k, key, n);
    k[n] = '\0';
    return dictionary_get(d, k, def);
}

long iniparser_getlongint(const dictionary *d, const char *key, long notfound)
{
    const char *v = iniparser_getstring(d, key, nullptr);
    return v == nullptr ? notfound : strtol(v, nullptr, 0);
}

int iniparser_getint(const dictionary *d, const char *key, int notfound)
{
    return static_cast<int>(iniparser_getlongint(d, key, notfound));
}

double iniparser_getdouble(const dictionary *d, const char *key, double notfound)
{
    const char *v = iniparser_getstring(d, key, nullptr);
    return v == nullptr ? notfound : atof(v);
}

int iniparser_getboolean(const dictionary *d, const char *key, int notfound)
{
    const char *v = iniparser_getstring(d, key, nullptr);
    if (v == nullptr) return notfound;
    if (strchr("yYtT1", v[0]) != nullptr && v[0] != '\0') return 1;
    if (strchr("nNfF0", v[0]) != nullptr && v[0] != '\0') return 0;
    return notfound;
}

bool iniparser_find_entry(const dictionary *d, const char *entry)
{
    return dictionary_find(d, entry) >= 0;
}

void iniparser_dump(const dictionary *d, FILE *f)
{
    if (d == nullptr || f == nullptr) return;
    for (int i = 0; i < d->size; i++) {
        if (d->key[i] == nullptr) continue;
        if (d->val[i] != nullptr)
            fprintf(f, "[%s]=[%s]\n", d->key[i], d->val[i]);
        else
            fprintf(f, "[%s]=UNDEF\n", d->key[i]);
    }
}
