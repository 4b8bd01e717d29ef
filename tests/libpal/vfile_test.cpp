// Buffered streams: mode texts, CR handling on character reads, positions
// with buffered input and pending output, the order of large writes, and
// each of the five drivers.
#include "libpal/vfile/vfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "libpal/basic/pl_own.h"
#include "libpal/os/os_file.h"
#include "os_file_fixture.h"
#include "str_log_capture.h"

namespace {

using stream_ptr = pl_owned<VFILE, qdfile_fclose>;

std::string read_all(VFILE *f)
{
    std::string out;
    int c;
    while ((c = qdfile_fgetc(f)) != -1) out += static_cast<char>(c);
    return out;
}

off_t file_size(const std::string &p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0 ? st.st_size : -1;
}

class VFileTest : public temp_dir_test {};

}  // namespace

TEST(VFileMode, ParsesAccessShareAndModifiers)
{
    struct row {
        const char *mode;
        uint32_t share;
        int ret;
        uint64_t oflags;
        uint32_t sflags;
    };
    const row rows[] = {
        {"r", 0x30, 0, OS_PF_RDONLY | 0x600, VFILE_F_NOWR},
        {"w", 0x30, 0, OS_PF_WRONLY | OS_PF_CREAT | OS_PF_TRUNC | 0x600, VFILE_F_NORD},
        {"a", 0x30, 0, OS_PF_WRONLY | OS_PF_CREAT | OS_PF_APPEND | 0x600, VFILE_F_NORD | VFILE_F_APPEND},
        // "w" after "r" is not accepted and the rest is ignored: read-only.
        {"rw", 0x30, 0, OS_PF_RDONLY | 0x600, VFILE_F_NOWR},
        {"r+b", 0x30, 0, OS_PF_RDWR | 0x600, VFILE_F_BINARY},
        {"rb+", 0x30, 0, OS_PF_RDWR | 0x600, VFILE_F_BINARY},
        {"a+", 0x10, 0, OS_PF_RDWR | OS_PF_CREAT | OS_PF_APPEND, VFILE_F_APPEND},
        // A second "+" or "b" stops the parse; "t" after "b" too.
        {"r++b", 0x30, 0, OS_PF_RDWR | 0x600, 0},
        {"rbt+", 0x30, 0, OS_PF_RDONLY | 0x600, VFILE_F_NOWR | VFILE_F_BINARY},
        {"rt+", 0x30, 0, OS_PF_RDWR | 0x600, 0},
        {"r", 0x20, 0, OS_PF_RDONLY | 0x500, VFILE_F_NOWR},
        {"r", 0x40, 0, OS_PF_RDONLY | 0x700, VFILE_F_NOWR},
        {"r", 0x80, 0, OS_PF_RDONLY | 0x100, VFILE_F_NOWR},
        {"w", 0x80, 0, OS_PF_WRONLY | OS_PF_CREAT | OS_PF_TRUNC, VFILE_F_NORD},
        {"r", 0x50, -1, 0, 0},
        {"x", 0x30, -1, 0, 0},
        {"+r", 0x30, -1, 0, 0},
        {"", 0x30, -1, 0, 0},
    };
    for (const row &r : rows) {
        uint64_t of = 0;
        uint32_t sf = 0;
        EXPECT_EQ(qdfile_mode_parse(r.mode, r.share, &of, &sf), r.ret) << r.mode;
        if (r.ret == 0) {
            EXPECT_EQ(of, r.oflags) << r.mode << " share " << r.share;
            EXPECT_EQ(sf, r.sflags) << r.mode;
        }
    }
}

TEST(VFileRead, CrIsDroppedOnCharacterReadsOfTextStreamsOnly)
{
    const char *text = "a\r\nb";
    stream_ptr  t(qdfile_fopen_id(QDFILE_DRV_STR, text, "r", 0x20));
    stream_ptr  b(qdfile_fopen_id(QDFILE_DRV_STR, text, "rb", 0x20));
    ASSERT_TRUE(t && b);
    EXPECT_EQ(read_all(t.get()), "a\nb");
    EXPECT_EQ(read_all(b.get()), "a\r\nb");

    stream_ptr tr(qdfile_open_str(text));
    char       buf[16] = {};
    EXPECT_EQ(qdfile_fread(buf, 1, sizeof(buf), tr.get()), 3u);
    EXPECT_STREQ(buf, "a\nb");
    EXPECT_EQ(qdfile_feof(tr.get()), 1);
}

TEST(VFileRead, LineReadsCopyBufferedRunsUnchanged)
{
    stream_ptr f(qdfile_open_str("a\r\nb"));
    char       line[16];
    // The first byte comes through the character path, the rest of the line
    // from the buffer as it is.
    ASSERT_NE(qdfile_fgets(line, sizeof(line), f.get()), nullptr);
    EXPECT_STREQ(line, "a\r\n");
    ASSERT_NE(qdfile_fgets(line, sizeof(line), f.get()), nullptr);
    EXPECT_STREQ(line, "b");
    EXPECT_EQ(qdfile_fgets(line, sizeof(line), f.get()), nullptr);
}

TEST(VFileRead, LineReadSizes)
{
    stream_ptr f(qdfile_open_str("abcdef\nxy"));
    char       line[8];
    memset(line, 'z', sizeof(line));
    EXPECT_EQ(qdfile_fgets(line, 1, f.get()), line);
    EXPECT_STREQ(line, "");
    EXPECT_EQ(qdfile_fgets(line, 0, f.get()), nullptr);
    ASSERT_NE(qdfile_fgets(line, 4, f.get()), nullptr);
    EXPECT_STREQ(line, "abc");
    ASSERT_NE(qdfile_fgets(line, sizeof(line), f.get()), nullptr);
    EXPECT_STREQ(line, "def\n");
    ASSERT_NE(qdfile_fgets(line, sizeof(line), f.get()), nullptr);
    EXPECT_STREQ(line, "xy");
    EXPECT_EQ(qdfile_fgets(line, sizeof(line), f.get()), nullptr);
}

TEST(VFileRead, UngetcPushesBackAndClearsEndOfFile)
{
    stream_ptr f(qdfile_open_str("q"));
    EXPECT_EQ(qdfile_fgetc(f.get()), 'q');
    EXPECT_EQ(qdfile_fgetc(f.get()), -1);
    EXPECT_EQ(qdfile_feof(f.get()), 1);
    EXPECT_EQ(qdfile_ungetc(-1, f.get()), -1);
    EXPECT_EQ(qdfile_ungetc('x', f.get()), 'x');
    EXPECT_EQ(qdfile_feof(f.get()), 0);
    EXPECT_EQ(qdfile_fgetc(f.get()), 'x');

    // A fresh stream has the room before its buffer: eight bytes, no more.
    stream_ptr g(qdfile_open_str(""));
    for (int i = 0; i < 8; i++) EXPECT_EQ(qdfile_ungetc('0' + i, g.get()), '0' + i);
    EXPECT_EQ(qdfile_ungetc('9', g.get()), -1);
    EXPECT_EQ(read_all(g.get()), "76543210");
}

TEST(VFileRead, SkipBom)
{
    stream_ptr with(qdfile_open_str("\xEF\xBB\xBFk=v"));
    stream_ptr without(qdfile_open_str("\xEF\xBBk"));
    stream_ptr shorter(qdfile_open_str("k"));
    EXPECT_EQ(qdfile_skip_bom(with.get()), 0);
    EXPECT_EQ(read_all(with.get()), "k=v");
    EXPECT_EQ(qdfile_skip_bom(without.get()), 0);
    EXPECT_EQ(read_all(without.get()), "\xEF\xBBk");
    EXPECT_EQ(qdfile_skip_bom(shorter.get()), 0);
    EXPECT_EQ(read_all(shorter.get()), "k");
}

TEST_F(VFileTest, TellCountsBufferedInput)
{
    std::string data;
    for (int i = 0; i < 1000; i++) data += static_cast<char>('A' + i % 26);
    stream_ptr f(qdfile_fopen(make_file("in", data).c_str(), "rb"));
    ASSERT_TRUE(f);
    char buf[10];
    ASSERT_EQ(qdfile_fread(buf, 1, 10, f.get()), 10u);
    // The driver has read the whole file into the buffer by now.
    EXPECT_EQ(os_file_seek(static_cast<os_file_ctx *>(f->handle), 0, 1), 1000);
    EXPECT_EQ(qdfile_ftell(f.get()), 10);
    EXPECT_EQ(qdfile_fgetc(f.get()), data[10]);
    EXPECT_EQ(qdfile_ftell(f.get()), 11);
    EXPECT_EQ(qdfile_ungetc('z', f.get()), 'z');
    EXPECT_EQ(qdfile_ftell(f.get()), 10);
    EXPECT_EQ(qdfile_fgetc(f.get()), 'z');
    // A relative seek starts from what the reader consumed.
    EXPECT_EQ(qdfile_fseek(f.get(), 5, 1), 0);
    EXPECT_EQ(qdfile_ftell(f.get()), 16);
    EXPECT_EQ(qdfile_fgetc(f.get()), data[16]);
    int64_t pos = -1;
    EXPECT_EQ(qdfile_fgetpos(f.get(), &pos), 0);
    EXPECT_EQ(pos, 17);
    EXPECT_EQ(qdfile_fseek(f.get(), -3, 2), 0);
    EXPECT_EQ(read_all(f.get()), data.substr(997));
}

TEST_F(VFileTest, TellCountsPendingOutput)
{
    std::string p = path("out");
    stream_ptr  f(qdfile_fopen(p.c_str(), "w"));
    ASSERT_TRUE(f);
    EXPECT_EQ(qdfile_fwrite("0123456789", 1, 10, f.get()), 10u);
    EXPECT_EQ(qdfile_ftell(f.get()), 10);
    EXPECT_EQ(file_size(p), 0);
    EXPECT_EQ(qdfile_fflush(f.get()), 0);
    EXPECT_EQ(file_size(p), 10);

    stream_ptr a(qdfile_fopen(make_file("app", "12345").c_str(), "a"));
    ASSERT_TRUE(a);
    EXPECT_EQ(qdfile_fputs("abc", a.get()), 0);
    EXPECT_EQ(qdfile_ftell(a.get()), 8);
    a.reset();
    EXPECT_EQ(read_file(path("app")), "12345abc");
}

TEST_F(VFileTest, LargeWriteGoesOutWithPendingOutputInOrder)
{
    std::string p = path("big");
    stream_ptr  f(qdfile_fopen(p.c_str(), "wb"));
    ASSERT_TRUE(f);
    std::string head(100, 'h');
    std::string big(VFILE_BUF_SIZE + 1000, 'b');
    std::string tail = "tail";
    ASSERT_EQ(qdfile_fwrite(head.data(), 1, head.size(), f.get()), head.size());
    EXPECT_EQ(file_size(p), 0);
    ASSERT_EQ(qdfile_fwrite(big.data(), 1, big.size(), f.get()), big.size());
    EXPECT_EQ(file_size(p), static_cast<off_t>(head.size() + big.size()));
    ASSERT_EQ(qdfile_fwrite(tail.data(), 1, tail.size(), f.get()), tail.size());
    EXPECT_EQ(qdfile_ftell(f.get()), static_cast<int64_t>(head.size() + big.size() + tail.size()));
    EXPECT_EQ(qdfile_fclose(f.release()), 0);
    EXPECT_EQ(read_file(p), head + big + tail);
}

TEST_F(VFileTest, LargeBinaryReadArrivesWhole)
{
    std::string data(VFILE_BUF_SIZE * 2 + 123, '\0');
    for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<char>(i * 7);
    stream_ptr f(qdfile_fopen(make_file("big", data).c_str(), "rb"));
    ASSERT_TRUE(f);
    std::string got(data.size(), '\0');
    EXPECT_EQ(qdfile_fgetc(f.get()), static_cast<uint8_t>(data[0]));
    EXPECT_EQ(qdfile_fread(&got[1], 1, data.size(), f.get()), data.size() - 1);
    got[0] = data[0];
    EXPECT_EQ(got, data);
    EXPECT_EQ(qdfile_feof(f.get()), 1);
}

TEST_F(VFileTest, WriteAfterReadLandsAtTheReaderPosition)
{
    std::string p = make_file("rw", "abcdefgh");
    stream_ptr  f(qdfile_fopen(p.c_str(), "r+"));
    ASSERT_TRUE(f);
    char buf[3];
    ASSERT_EQ(qdfile_fread(buf, 1, 3, f.get()), 3u);
    EXPECT_EQ(qdfile_fputs("XY", f.get()), 0);
    EXPECT_EQ(qdfile_ftell(f.get()), 5);
    EXPECT_EQ(qdfile_fgetc(f.get()), 'f');
    f.reset();
    EXPECT_EQ(read_file(p), "abcXYfgh");
}

TEST_F(VFileTest, ErrorFlagsStayUntilCleared)
{
    stream_ptr r(qdfile_fopen(make_file("ro", "x").c_str(), "r"));
    ASSERT_TRUE(r);
    EXPECT_EQ(qdfile_fwrite("a", 1, 1, r.get()), 0u);
    EXPECT_EQ(qdfile_fputc('a', r.get()), -1);
    EXPECT_EQ(qdfile_ferror(r.get()), 1);
    EXPECT_EQ(qdfile_fgetc(r.get()), 'x');
    EXPECT_EQ(qdfile_ferror(r.get()), 1);
    qdfile_clearerr(r.get());
    EXPECT_EQ(qdfile_ferror(r.get()), 0);

    stream_ptr w(qdfile_fopen(path("wo").c_str(), "w"));
    ASSERT_TRUE(w);
    EXPECT_EQ(qdfile_fgetc(w.get()), -1);
    EXPECT_EQ(qdfile_ferror(w.get()), 1);
    EXPECT_EQ(qdfile_rewind(w.get()), 0);
    EXPECT_EQ(qdfile_ferror(w.get()), 0);
}

TEST_F(VFileTest, FlushAllFlushesWritableStreamsOnly)
{
    std::string wp = path("log");
    stream_ptr  w(qdfile_fopen(wp.c_str(), "a"));
    stream_ptr  r(qdfile_fopen(make_file("in", std::string(100, 'r')).c_str(), "r"));
    ASSERT_TRUE(w && r);
    EXPECT_EQ(qdfile_fprintf(w.get(), "line %d\n", 7), 7);
    EXPECT_EQ(qdfile_fgetc(r.get()), 'r');
    auto *rh = static_cast<os_file_ctx *>(r->handle);
    EXPECT_EQ(os_file_seek(rh, 0, 1), 100);
    EXPECT_EQ(qdfile_fflush(nullptr), 0);
    EXPECT_EQ(read_file(wp), "line 7\n");
    // A reading stream was left alone: its driver is still past the buffer.
    EXPECT_EQ(os_file_seek(rh, 0, 1), 100);
    // Its own flush gives the unread input back to the driver.
    EXPECT_EQ(qdfile_fflush(r.get()), 0);
    EXPECT_EQ(os_file_seek(rh, 0, 1), 1);
}

TEST_F(VFileTest, FreopenMovesTheStreamToTheNewFile)
{
    std::string a = path("a");
    std::string b = path("b");
    VFILE      *f = qdfile_fopen(a.c_str(), "w");
    ASSERT_NE(f, nullptr);
    qdfile_fputs("first", f);
    ASSERT_EQ(qdfile_freopen(b.c_str(), "w", f), f);
    EXPECT_EQ(read_file(a), "first");
    qdfile_fputs("second", f);
    EXPECT_EQ(qdfile_fclose(f), 0);
    EXPECT_EQ(read_file(b), "second");

    VFILE *g = qdfile_fopen(a.c_str(), "r");
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(qdfile_freopen(path("none/x").c_str(), "r", g), nullptr);
}

namespace {

// A file driver whose open lets another writer use the stream being reopened.
qdfile_drv g_plain_file_drv;
VFILE     *g_written_during_open = nullptr;
void      *open_and_write(void *ctx, const char *name, uint64_t flags)
{
    if (g_written_during_open != nullptr) qdfile_fputs("+late", g_written_during_open);
    return g_plain_file_drv.open(ctx, name, flags);
}

}  // namespace

TEST_F(VFileTest, FreopenKeepsWhatIsWrittenWhileTheNewFileOpens)
{
    std::string a = path("a");
    std::string b = path("b");
    VFILE      *f = qdfile_fopen(a.c_str(), "w");
    ASSERT_NE(f, nullptr);
    qdfile_fputs("first", f);
    g_plain_file_drv    = *qdfile_drv_get(QDFILE_DRV_FILE);
    qdfile_drv hooked   = g_plain_file_drv;
    hooked.open         = open_and_write;
    g_written_during_open = f;
    qdfile_set_file_drv(&hooked);
    VFILE *r = qdfile_freopen(b.c_str(), "w", f);
    qdfile_set_file_drv(nullptr);
    g_written_during_open = nullptr;
    ASSERT_EQ(r, f);
    EXPECT_EQ(read_file(a), "first+late");
    EXPECT_EQ(qdfile_fclose(f), 0);
    EXPECT_EQ(read_file(b), "");
}

TEST_F(VFileTest, FileStreamsAndTheirDescriptor)
{
    EXPECT_EQ(qdfile_fopen(path("missing").c_str(), "r"), nullptr);
    stream_ptr f(qdfile_fopen(make_file("x", "data").c_str(), "r"));
    ASSERT_TRUE(f);
    int fd = qdfile_fileno(f.get());
    EXPECT_GE(fd, 0);
    EXPECT_EQ(fd, os_file_fileno(static_cast<os_file_ctx *>(f->handle)));
    stream_ptr s(qdfile_open_str("x"));
    EXPECT_EQ(qdfile_fileno(s.get()), -1);
}

TEST(VFileDriver, StringStreamSeeksAndRefusesWrites)
{
    stream_ptr f(qdfile_open_str("hello world"));
    ASSERT_TRUE(f);
    EXPECT_EQ(qdfile_fseek(f.get(), -5, 2), 0);
    EXPECT_EQ(read_all(f.get()), "world");
    EXPECT_EQ(qdfile_fseek(f.get(), 100, 0), 0);
    EXPECT_EQ(qdfile_fgetc(f.get()), -1);
    EXPECT_EQ(qdfile_fseek(f.get(), -1, 0), -1);
    EXPECT_EQ(qdfile_fputs("x", f.get()), -1);
    EXPECT_EQ(qdfile_ferror(f.get()), 1);
    EXPECT_EQ(qdfile_open_str(nullptr), nullptr);
}

TEST(VFileDriver, TmpfileReadsBackWhatWasWritten)
{
    stream_ptr f(qdfile_tmpfile());
    ASSERT_TRUE(f);
    EXPECT_EQ(qdfile_fprintf(f.get(), "%s=%d\n", "k", 42), 5);
    EXPECT_EQ(qdfile_ftell(f.get()), 5);
    EXPECT_EQ(qdfile_fseek(f.get(), 2, 0), 0);
    EXPECT_EQ(qdfile_ftell(f.get()), 2);
    EXPECT_EQ(read_all(f.get()), "42\n");
    qdfile_rewind(f.get());
    EXPECT_EQ(qdfile_fputc('K', f.get()), 'K');
    qdfile_rewind(f.get());
    EXPECT_EQ(read_all(f.get()), "K=42\n");
}

TEST(VFileDriver, TmpfileIsNotInheritedByChildren)
{
    // Probed without opening anything, so the only new descriptor is the file's.
    const auto fds_now = [] {
        std::vector<int> fds;
        for (int fd = 0; fd < 4096; fd++) {
            if (fcntl(fd, F_GETFD) != -1)
                fds.push_back(fd);
        }
        return fds;
    };
    const std::vector<int> before = fds_now();
    stream_ptr f(qdfile_tmpfile());
    ASSERT_TRUE(f);
    std::vector<int> opened;
    const std::vector<int> after = fds_now();
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(opened));
    ASSERT_EQ(opened.size(), 1u);
    // A plain fork and exec (the C library's popen), which closes nothing
    // for the child: only the close-on-exec flag keeps the file out of it.
    const std::string cmd = "if [ -e /proc/self/fd/" + std::to_string(opened[0]) + " ]; then echo inherited; else echo closed; fi";
    FILE *child = popen(cmd.c_str(), "r");
    ASSERT_NE(child, nullptr);
    char line[64] = {};
    EXPECT_NE(fgets(line, sizeof(line), child), nullptr);
    EXPECT_EQ(pclose(child), 0);
    EXPECT_STREQ(line, "closed\n") << "descriptor " << opened[0];
}

TEST(VFileDriver, CommandStreamHoldsTheOutputOrElseTheErrors)
{
    stream_ptr out(qdfile_popen("printf 'a\\nb'; echo ignored >&2", "r"));
    ASSERT_TRUE(out);
    EXPECT_EQ(read_all(out.get()), "a\nb");
    EXPECT_EQ(qdfile_rewind(out.get()), 0);
    EXPECT_EQ(qdfile_fgetc(out.get()), 'a');

    stream_ptr err(qdfile_popen("echo only-errors >&2", "r"));
    ASSERT_TRUE(err);
    EXPECT_EQ(read_all(err.get()), "only-errors\n");

    stream_ptr none(qdfile_popen("true", "r"));
    ASSERT_TRUE(none);
    EXPECT_EQ(qdfile_fgetc(none.get()), -1);
    EXPECT_EQ(qdfile_feof(none.get()), 1);
}

TEST(VFileDriver, DescriptorStreamFlushesOnCloseAndLeavesTheDescriptorOpen)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    VFILE *w = qdfile_fdopen(p[1], "w");
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(qdfile_fputs("hello", w), 0);
    EXPECT_EQ(qdfile_fclose(w), 0);
    EXPECT_EQ(write(p[1], "!", 1), 1);
    close(p[1]);

    VFILE *r = qdfile_fdopen(p[0], "r");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(read_all(r), "hello!");
    EXPECT_EQ(qdfile_fclose(r), 0);
    EXPECT_EQ(close(p[0]), 0);
    EXPECT_EQ(qdfile_fdopen(-1, "r"), nullptr);
}

TEST_F(VFileTest, TextOutputWritesCrLf)
{
    std::string p = path("crlf");
    stream_ptr  f(qdfile_fopen(p.c_str(), "w"));
    ASSERT_TRUE(f);
    f->flags |= VFILE_F_TEXTOUT;  // no open mode sets it
    qdfile_fputs("a\nb\n", f.get());
    f.reset();
    EXPECT_EQ(read_file(p), "a\r\nb\r\n");
}

TEST(VFileCheck, MissingOrFreedStreamsAreRefused)
{
    log_capture log;
    EXPECT_EQ(qdfile_fgetc(nullptr), -1);
    EXPECT_TRUE(log.has("expr[f!=NULL]: assert failed"));
    VFILE fake;
    memset(&fake, 0, sizeof(fake));
    log.clear();
    EXPECT_EQ(qdfile_fwrite("x", 1, 1, &fake), 0u);
    EXPECT_EQ(qdfile_fclose(&fake), -1);
    EXPECT_TRUE(log.has("expr[f->magic==VFILE_MAGIC]: assert failed"));
}

TEST(VFileVolume, IndexPathWithoutVolumeFails)
{
    log_capture log;
    EXPECT_EQ(qdfile_fopen("0:name", "r"), nullptr);
    EXPECT_TRUE(log.has("vol_idx=0 > max_vol_count="));
}

namespace {

// A volume driver over named texts: a mounted volume is its archive's name.
std::list<std::string> g_volumes;

void *fake_mount(const char *path, verr *)
{
    g_volumes.emplace_back(path);
    return &g_volumes.back();
}
int fake_umount(void *vol)
{
    g_volumes.remove_if([vol](const std::string &v) { return &v == vol; });
    return 0;
}
std::string g_opened;
void *fake_open(void *vol, const char *name, uint64_t)
{
    g_opened = *static_cast<std::string *>(vol) + "|" + name;
    return qdfile_drv_get(QDFILE_DRV_STR)->open(nullptr, g_opened.c_str(), 0);
}

}  // namespace

TEST(VFileVolume, MountedVolumesServeIndexAndArchivePaths)
{
    const qdfile_drv *str = qdfile_drv_get(QDFILE_DRV_STR);
    qdfile_drv drv = {fake_mount, fake_umount, fake_open, str->close, str->read, nullptr, str->seek, nullptr, nullptr};
    qdfile_vfs_set_drv(&drv);
    char name[4096] = {};
    ASSERT_EQ(qdfile_vfs_mount("/data/a.zip", name), 0);
    EXPECT_STREQ(name, "0");

    VFILE *f = qdfile_fopen("0:inner.txt", "r");
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(f->flags & VFILE_F_VOLIDX);
    EXPECT_EQ(read_all(f), "/data/a.zip|inner.txt");
    qdfile_fclose(f);
    EXPECT_EQ(g_volumes.size(), 1u);  // an index volume stays mounted

    f = qdfile_fopen("/data/B.ZIP\\dir/x", "r");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(g_volumes.size(), 2u);
    EXPECT_EQ(read_all(f), "/data/B.ZIP|dir/x");
    qdfile_fclose(f);
    EXPECT_EQ(g_volumes.size(), 1u);  // an archive opened by path goes with its stream

    EXPECT_EQ(qdfile_vfs_umount("1"), -1);
    EXPECT_EQ(qdfile_vfs_umount("0"), 0);
    EXPECT_EQ(g_volumes.size(), 0u);
    EXPECT_EQ(qdfile_fopen("0:inner.txt", "r"), nullptr);
    qdfile_vfs_set_drv(nullptr);
}

TEST_F(VFileTest, ConcurrentWritersKeepWholeLines)
{
    std::string p = path("shared");
    VFILE      *f = qdfile_fopen(p.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([f, t] {
            for (int i = 0; i < 2000; i++) qdfile_fprintf(f, "thread %d line %04d\n", t, i);
        });
    }
    for (auto &th : threads) th.join();
    ASSERT_EQ(qdfile_fclose(f), 0);
    std::string data = read_file(p);
    EXPECT_EQ(data.size(), 4u * 2000u * strlen("thread 0 line 0000\n"));
    size_t pos = 0;
    int    lines = 0;
    while (pos < data.size()) {
        size_t lf = data.find('\n', pos);
        ASSERT_NE(lf, std::string::npos);
        EXPECT_EQ(lf - pos, strlen("thread 0 line 0000")) << data.substr(pos, lf - pos);
        pos = lf + 1;
        lines++;
    }
    EXPECT_EQ(lines, 8000);
}
