// Test helpers: a shell context whose output collects in a string, each flush
// written as one NUL byte (as a TCP session sends it); a scratch directory;
// the nested "source" cases every session transport is checked with.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "libsh/libsh.h"
#include "libsh/sh_alias.h"

struct sh_capture {
    sh_ctx ctx{};
    std::string out;

    sh_capture()
    {
        ctx.out = this;
        ctx.printf = out_printf;
        ctx.write = out_write;
        ctx.flush = out_flush;
    }
    sh_capture(const sh_capture &) = delete;
    sh_capture &operator=(const sh_capture &) = delete;

    // Runs one line and returns what it wrote, clearing the capture first.
    std::string run(const std::string &line, int *rc = nullptr)
    {
        out.clear();
        int r = exec_commands(&ctx, line.c_str());
        if (rc != nullptr)
            *rc = r;
        return out;
    }

    [[gnu::format(printf, 2, 3)]] static int out_printf(void *o, const char *fmt, ...)
    {
        char buf[8192];
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(buf, sizeof(buf), fmt, ap);
        va_end(ap);
        static_cast<sh_capture *>(o)->out += buf;
        return n;
    }
    static int out_write(void *o, const void *bytes, int len)
    {
        static_cast<sh_capture *>(o)->out.append(static_cast<const char *>(bytes), static_cast<size_t>(len));
        return len;
    }
    static int out_flush(void *o)
    {
        static_cast<sh_capture *>(o)->out += '\0';
        return 1;
    }
};

class Shell : public ::testing::Test {
protected:
    static void SetUpTestSuite() { libsh_init(); }
    sh_capture sh;
};

// Puts the default aliases back after a test changed the table.
struct alias_reset {
    alias_reset() = default;
    alias_reset(const alias_reset &) = delete;
    alias_reset &operator=(const alias_reset &) = delete;
    ~alias_reset()
    {
        alias_exit();
        alias_init();
    }
};

// A private directory under TEST_TMPDIR (else /tmp), removed with its files.
struct scratch_dir {
    std::string path;

    scratch_dir()
    {
        const char *base = std::getenv("TEST_TMPDIR");
        std::string tmpl = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/zorv_sh_XXXXXX";
        if (mkdtemp(tmpl.data()) != nullptr)
            path = tmpl;
    }
    ~scratch_dir()
    {
        std::error_code ec;
        if (!path.empty())
            std::filesystem::remove_all(path, ec);
    }
    scratch_dir(const scratch_dir &) = delete;
    scratch_dir &operator=(const scratch_dir &) = delete;

    std::string write(const std::string &name, const std::string &text) const
    {
        const std::string p = path + "/" + name;
        std::ofstream(p) << text;
        return p;
    }
};

// Nested "source": a chain of files, each echoing its level and sourcing the
// next, or one file that sources itself. 16 levels run; the 17th is refused
// with one line naming its file, and the session goes on.
struct nesting_case {
    const char *name;
    int files;  // 0: the file sources itself
    int levels;
    bool refused;
};

inline const nesting_case k_nesting_cases[] = {
    {"chain of 3", 3, 3, false},
    {"chain of 15", 15, 15, false},
    {"chain of 16", 16, 16, false},
    {"chain of 17", 17, 16, true},
    {"sources itself", 0, 16, true},
};

// Writes the case's files into dir: the first file to source, and the one
// whose sourcing is refused (empty when none is). Without echo the files
// only source, so the first output of the line is the refusal.
inline std::pair<std::string, std::string> nesting_files(const scratch_dir &dir, const nesting_case &c,
                                                         bool echo = true)
{
    const std::string prefix = dir.path + "/" + std::to_string(c.files) + (echo ? "_" : "_quiet_");
    if (c.files == 0) {
        const std::string self = prefix + "self.sh";
        std::ofstream(self) << (echo ? "echo level\n" : "") << "source " << self << "\n";
        return {self, self};
    }
    for (int k = 1; k <= c.files; k++) {
        std::ofstream f(prefix + std::to_string(k) + ".sh");
        if (echo)
            f << "echo level " << k << "\n";
        if (k < c.files)
            f << "source " << prefix << k + 1 << ".sh\n";
    }
    return {prefix + "1.sh", c.refused ? prefix + std::to_string(c.files) + ".sh" : ""};
}

// The end marks a session sends for "source first": one, after everything
// every level printed.
inline int nesting_nuls(const nesting_case &) { return 1; }

inline size_t count_of(const std::string &text, const std::string &piece)
{
    size_t n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        n++;
    return n;
}

// What a session printed for "source first" (line ends "\n" or "\r\n"): each
// level once and in order, then the refusal, all in one reply (no end mark
// before the refusal).
inline void expect_nesting_output(const std::string &out, const nesting_case &c, const std::string &refused)
{
    EXPECT_EQ(count_of(out, "level"), static_cast<size_t>(c.levels)) << c.name << ":\n" << out;
    EXPECT_EQ(count_of(out, "nested deeper than 16"), c.refused ? 1u : 0u) << c.name << ":\n" << out;
    size_t at = 0;
    for (int k = 1; c.files > 0 && k <= c.levels; k++) {
        // "level 1" is not the start of "level 12".
        const std::string word = "level " + std::to_string(k);
        size_t found = out.find(word, at);
        while (found != std::string::npos && std::isdigit(static_cast<unsigned char>(out[found + word.size()])))
            found = out.find(word, found + 1);
        ASSERT_NE(found, std::string::npos) << c.name << ": level " << k << " in order:\n" << out;
        at = found;
    }
    const size_t refusal = out.find("source: [" + refused + "] nested deeper than 16, not run");
    if (c.refused) {
        ASSERT_NE(refusal, std::string::npos) << c.name << ":\n" << out;
        EXPECT_GT(refusal, at) << c.name << ": the refusal after the last level:\n" << out;
    }
    // The reply's one end mark comes after all of it.
    const size_t last_text = c.refused ? refusal : out.rfind("level");
    const size_t first_mark = out.find('\0');
    EXPECT_TRUE(first_mark == std::string::npos || last_text == std::string::npos || first_mark > last_text)
        << c.name << ": an end mark inside the reply:\n" << out;
}

// The rows of a "help" listing ("%-10s\t%s" each, up to the first empty
// line; "\r\n" or "\n" line ends): every command name with its help text.
inline std::vector<std::pair<std::string, std::string>> help_rows_of(const std::string &listing)
{
    std::vector<std::pair<std::string, std::string>> rows;
    size_t at = 0;
    for (size_t end; (end = listing.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string line = listing.substr(at, end - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const size_t tab = line.find('\t');
        if (line.empty() || tab == std::string::npos)
            break;
        std::string name = line.substr(0, tab);
        name.erase(name.find_last_not_of(' ') + 1);
        rows.emplace_back(name, line.substr(tab + 1));
    }
    return rows;
}

// Over a session of the stream protocol (a client with send_all and
// read_nuls): "help NAME" and "? NAME" for every row the listing names print
// the row's help text and leave "show dvar" as it was. each(line) may check
// more after every line.
template <class Client, class Each>
void expect_help_only_prints(Client &c, Each each)
{
    ASSERT_TRUE(c.send_all("show dvar\n"));
    const std::string dvars = c.read_nuls(1);
    ASSERT_TRUE(c.send_all("help\n"));
    const auto rows = help_rows_of(c.read_nuls(1));
    ASSERT_GE(rows.size(), 14u);
    for (const auto &[name, help] : rows) {
        for (const char *asker : {"help ", "? "}) {
            const std::string line = asker + name;
            ASSERT_TRUE(c.send_all(line + "\n"));
            const std::string usage = c.read_nuls(1);
            EXPECT_NE(usage.find(help + "\r\n"), std::string::npos) << line << ":\n" << usage;
            ASSERT_TRUE(c.send_all("show dvar\n")) << line;
            EXPECT_EQ(c.read_nuls(1), dvars) << line;
            each(line, help);
        }
    }
}

// Over a session of the stream protocol: every nesting case, then "echo
// after" served on the same session. each(dir, case) may check more.
template <class Client, class Each>
void expect_nesting_over(Client &c, Each each)
{
    using namespace std::string_literals;
    const scratch_dir dir;
    for (const auto &k : k_nesting_cases) {
        const auto [first, refused] = nesting_files(dir, k);
        ASSERT_TRUE(c.send_all("source " + first + "\necho after\n"));
        const std::string out = c.read_nuls(nesting_nuls(k) + 1, 60000);
        expect_nesting_output(out, k, refused);
        EXPECT_TRUE(out.size() > 8 && out.substr(out.size() - 8) == "after\r\n\0"s) << k.name << ":\n" << out;
        each(dir, k);
    }
}
