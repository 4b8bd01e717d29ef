// Exports where /proc is not procfs: the file driver opens an export only
// through the descriptor it judged, and only procfs can open that again.
#include "libblock/block.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "../libpal/os_file_fixture.h"
#include "proc_namespace.h"

namespace {

enum class decoy_kind { none, fifo, device, file };

struct proc_row {
    const char *name;
    decoy_kind decoy;  // what /proc/self/fd/N links to; none: /proc unmounted
};

void PrintTo(const proc_row &r, std::ostream *os)
{
    *os << r.name;
}

class ExportWithoutProc : public temp_dir_test, public ::testing::WithParamInterface<proc_row> {
protected:
    // The decoy for a row, made in the test's directory; "" for none.
    std::string make_decoy(decoy_kind kind)
    {
        const std::string p = path("decoy");
        switch (kind) {
        case decoy_kind::none:
            return "";
        case decoy_kind::fifo:
            return mkfifo(p.c_str(), 0600) == 0 ? p : "";
        case decoy_kind::device:
            // /dev/zero's device: served, it would read as zeros.
            return mknod(p.c_str(), S_IFCHR | 0600, makedev(1, 5)) == 0 ? p : "";
        case decoy_kind::file:
            return make_file("decoy", std::string(4096, 'D'));
        }
        return "";
    }

    // In the death test's child: the verdict on standard error, then the end.
    [[noreturn]] void open_in_namespace(decoy_kind kind)
    {
        const std::string image = make_file("disk.img", std::string(65536, 'I'));
        const std::string decoy = make_decoy(kind);
        const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (!decoy.empty() && (watch < 0 || inotify_add_watch(watch, decoy.c_str(), IN_OPEN) < 0))
            _exit(2);
        if (const std::string failed = proc_ns::enter(decoy); !failed.empty()) {
            fprintf(stderr, "namespace: %s\n", failed.c_str());
            _exit(3);
        }
        bd_init();
        std::array<char, VERR_MSG_SIZE> err{};
        bd_dev *d = bd_open(image.c_str(), BD_OPEN_NBD | BD_OPEN_RDWR, err.data());
        std::string verdict;
        if (d != nullptr) {
            std::string got(4096, '\0');
            const bool same = bd_pread(d, got.data(), 4096, 0) == 4096 && got == std::string(4096, 'I');
            verdict = same ? "served, the image's bytes" : "served, other bytes";
            bd_close(d);
        } else {
            verdict = std::string("refused: ") + err.data();
        }
        std::array<char, 4096> events{};
        const ssize_t n = decoy.empty() ? 0 : read(watch, events.data(), events.size());
        fprintf(stderr, "verdict: %s; decoy opened: %s\n", verdict.c_str(), n > 0 ? "yes" : "no");
        std::filesystem::remove_all(dir_);
        _exit(0);
    }
};

// In a namespace of its own, the export of a regular file either serves that
// file's bytes or is refused because /proc is missing, saying so; never with
// "No such file or directory" for a file that exists, and the decoy that the
// planted links name is never opened (inotify would see it).
TEST_P(ExportWithoutProc, ServesTheJudgedFileOrSaysWhyNot)
{
    if (const std::string why = proc_ns::unavailable(); !why.empty())
        GTEST_SKIP() << why;
    if (GetParam().decoy == decoy_kind::device && geteuid() != 0)
        GTEST_SKIP() << "a device node of our own needs root";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const proc_row r = GetParam();
    EXPECT_EXIT(open_in_namespace(r.decoy),
        ::testing::ExitedWithCode(0),
        "verdict: (served, the image's bytes|refused: os_file_open \\[[^]\n]*\\] error: reopening the checked file "
        "needs /proc mounted); decoy opened: no\n");
}

INSTANTIATE_TEST_SUITE_P(
    Proc, ExportWithoutProc,
    ::testing::Values(proc_row{"unmounted", decoy_kind::none}, proc_row{"tmpfs_links_to_a_fifo", decoy_kind::fifo},
                      proc_row{"tmpfs_links_to_a_device", decoy_kind::device},
                      proc_row{"tmpfs_links_to_another_file", decoy_kind::file}),
    [](const ::testing::TestParamInfo<proc_row> &row) { return std::string(row.param.name); });

}  // namespace
