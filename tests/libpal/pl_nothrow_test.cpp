// The C-shaped boundary of the URL, address, key/value and stream-volume
// modules: a failed allocation inside a call is the call's error value, never
// an exception. Each row runs its calls with every operator new allocation
// failing in turn, then with the platform allocator refusing every block.
#include "libpal/basic/pl_nothrow.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "libpal/basic/os_malloc.h"
#include "libpal/network/os_ipaddr.h"
#include "libpal/string/str_array.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/url.h"
#include "libpal/vfile/vfile.h"
#include "new_fail.h"

namespace {

// ok: the call did its work; error: it gave its documented error value and
// left its inputs as they were; wrong: anything else.
enum class outcome { ok, error, wrong };

outcome url_set_query_row()
{
    char url[URL_BUF_SIZE] = "http://h/p?a=1&b=2";
    if (url_set_query_str(url, "c", "x y") == 0)
        return strcmp(url, "http://h/p?a=1&b=2&c=x%20y") == 0 ? outcome::ok : outcome::wrong;
    return strcmp(url, "http://h/p?a=1&b=2") == 0 ? outcome::error : outcome::wrong;
}

outcome url_query_map_row()
{
    str_map *map = url_get_query_map("http://h/p?a=1&b=%41");
    if (map == nullptr)
        return outcome::error;
    const char *b = str_map_get(map, "b");
    const bool good = b != nullptr && strcmp(b, "A") == 0;
    str_map_free(map);
    return good ? outcome::ok : outcome::wrong;
}

// A mapped IPv4 tail longer than a short-string buffer: its parse once went
// through a std::string copy.
outcome ipaddr_row()
{
    os_ipaddr a = {};
    if (!os_ipaddr_set(&a, "::ffff:0001.0002.0003.0004", 80, 0))
        return outcome::error;
    char text[OS_IPADDR_CSTR_MAXN];
    return strcmp(os_ipaddr_cstr(&a, text, sizeof(text)), "[0000:0000:0000:0000:0000:ffff:0102:0304]:80") == 0
               ? outcome::ok
               : outcome::wrong;
}

outcome kv_set_row()
{
    char text[64] = "a=1&b=2";
    if (str_kv_set(text, sizeof(text), "&", set_always, "b", "3") == 0)
        return strcmp(text, "a=1&b=3") == 0 ? outcome::ok : outcome::wrong;
    return strcmp(text, "a=1&b=2") == 0 ? outcome::error : outcome::wrong;
}

outcome kv_tok_row()
{
    char *tok = str_tok_n_dup("x  y z", " ", 2);
    if (tok == nullptr)
        return outcome::error;
    const bool good = strcmp(tok, "z") == 0;
    os_free(tok);
    return good ? outcome::ok : outcome::wrong;
}

// A volume driver whose volumes are counted, not allocated, so that only the
// stream layer's own allocations fail.
int g_live_volumes;
char g_volume;
void *count_mount(const char *, verr *)
{
    g_live_volumes++;
    return &g_volume;
}
int count_umount(void *)
{
    g_live_volumes--;
    return 0;
}
void *text_open(void *, const char *name, uint64_t)
{
    return qdfile_drv_get(QDFILE_DRV_STR)->open(nullptr, name, 0);
}

// Enough mounts that the volume list grows on the way; a mount that fails
// leaves nothing mounted behind it.
outcome vfs_mount_row()
{
    int failed = 0;
    for (int i = 0; i < 20; i++) {
        char name[4096];
        if (qdfile_vfs_mount("/data/a.zip", name) != 0)
            failed++;
    }
    qdfile_vfs_umount_all();
    if (g_live_volumes != 0)
        return outcome::wrong;
    return failed == 0 ? outcome::ok : outcome::error;
}

// An archive path: its volume is mounted for the stream and goes with it.
outcome vfs_open_row()
{
    VFILE *f = qdfile_fopen("/data/b.zip/inner", "r");
    if (f == nullptr)
        return g_live_volumes == 0 ? outcome::error : outcome::wrong;
    char line[16] = {};
    const bool good = qdfile_fgets(line, sizeof(line), f) != nullptr && strcmp(line, "inner") == 0;
    qdfile_fclose(f);
    return good && g_live_volumes == 0 ? outcome::ok : outcome::wrong;
}

struct row {
    const char *name;
    outcome (*run)();
    bool reaches_new;     // allocates through operator new at all
    bool needs_malloc;    // cannot succeed without the platform allocator
};

constexpr row kRows[] = {
    {"url_set_query", url_set_query_row, false, true},
    {"url_get_query_map", url_query_map_row, false, true},
    {"os_ipaddr_set", ipaddr_row, false, false},
    {"str_kv_set", kv_set_row, false, true},
    {"str_tok_n_dup", kv_tok_row, false, true},
    {"qdfile_vfs_mount", vfs_mount_row, true, true},
    {"qdfile_fopen on an archive", vfs_open_row, false, true},
};

void *refuse_malloc(size_t)
{
    return nullptr;
}
void *refuse_realloc(void *, size_t)
{
    return nullptr;
}

class NoThrowBoundary : public ::testing::Test {
protected:
    void SetUp() override
    {
        const qdfile_drv *str = qdfile_drv_get(QDFILE_DRV_STR);
        drv_ = {count_mount, count_umount, text_open, str->close, str->read, nullptr, str->seek, nullptr, nullptr};
        qdfile_vfs_set_drv(&drv_);
        g_live_volumes = 0;
    }
    void TearDown() override { qdfile_vfs_set_drv(nullptr); }

private:
    qdfile_drv drv_{};
};

const char *outcome_name(outcome o)
{
    return o == outcome::ok ? "ok" : o == outcome::error ? "error" : "wrong";
}

// Every row; what did not hold, one line each (empty when all held).
std::string run_rows()
{
    std::string report;
    auto fail = [&](const row &r, const std::string &what) { report += std::string(r.name) + ": " + what + "\n"; };
    for (const row &r : kRows) {
        // Once first, so that what the process sets up on first use (the
        // log context, the standard streams) is not counted.
        if (r.run() != outcome::ok)
            fail(r, "fails with memory to spare");
        std::vector<outcome> runs;
        runs.reserve(10000);
        const long n = new_fail::sweep([&] {
            const outcome o = r.run();
            if (runs.size() < runs.capacity())
                runs.push_back(o);
        });
        if (n < 1 || runs.empty()) {
            fail(r, "the sweep did not end");
            continue;
        }
        if ((n > 1) != r.reaches_new)
            fail(r, "operator new reached in " + std::to_string(n - 1) + " runs");
        for (size_t i = 0; i < runs.size(); i++) {
            if (runs[i] == outcome::wrong)
                fail(r, "run " + std::to_string(i + 1) + " with a failed allocation is wrong");
        }
        if (runs.back() != outcome::ok)
            fail(r, "the run without a failure gives " + std::string(outcome_name(runs.back())));
        if (r.reaches_new && std::count(runs.begin(), runs.end(), outcome::error) == 0)
            fail(r, "no failed allocation gives the error value");

        const pl_malloc_proc m = g_malloc_proc;
        const pl_realloc_proc re = g_realloc_proc;
        const pl_free_proc f = g_free_proc;
        pl_malloc_init(refuse_malloc, refuse_realloc, f);
        const outcome starved = r.run();
        pl_malloc_init(m, re, f);
        if (starved != (r.needs_malloc ? outcome::error : outcome::ok))
            fail(r, "without the platform allocator it gives " + std::string(outcome_name(starved)));
    }
    return report;
}

}  // namespace

// The volume list keeps a place for every mount and the allocator hooks are
// process-wide, so the rows run in a child process that leaves nothing behind.
TEST_F(NoThrowBoundary, FailedAllocationGivesTheErrorValue)
{
    EXPECT_EXIT(
        {
            const std::string report = run_rows();
            fputs(report.c_str(), stderr);
            std::exit(report.empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
