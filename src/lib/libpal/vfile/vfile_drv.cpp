// The stream drivers: file objects, a string in memory, a temporary file,
// the captured output of a command and an open descriptor, and their registry.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "libpal/basic/os_malloc.h"
#include "libpal/os/os_file.h"
#include "libpal/os/os_popen.h"
#include "libpal/vfile/vfile.h"

#define ZLOG_TAG "pal"
#include "liblog/zlog.h"

namespace {

// File objects.
void *file_open(void *, const char *name, uint64_t flags)
{
    return os_file_open(name, flags);
}
int file_close(void *h)
{
    return os_file_close(static_cast<os_file_ctx *>(h)) ? 0 : -1;
}
int64_t file_read(void *h, void *buf, size_t n)
{
    return os_file_read(static_cast<os_file_ctx *>(h), buf, n);
}
int64_t file_write(void *h, const void *buf, size_t n)
{
    return os_file_write(static_cast<os_file_ctx *>(h), buf, n);
}
int64_t file_seek(void *h, int64_t offset, int whence)
{
    return os_file_seek(static_cast<os_file_ctx *>(h), offset, whence);
}
int file_sync(void *h)
{
    return os_file_fsync(static_cast<os_file_ctx *>(h)) ? 0 : -1;
}

constexpr qdfile_drv kFileDrv = {nullptr, nullptr, file_open, file_close, file_read,
                                 file_write, file_seek, file_sync, nullptr};
// The slots in use; qdfile_set_file_drv may replace them.
qdfile_drv g_file_drv = kFileDrv;

// Memory texts: the string driver over the caller's text, the command driver
// over the command's captured output (owned).
struct mem_text {
    const char *text;
    size_t pos;
    size_t len;
    char *owned;
    popen_ctx *runner;
};

int64_t mem_read(void *h, void *buf, size_t n)
{
    auto *m = static_cast<mem_text *>(h);
    if (m->pos >= m->len) return 0;
    size_t k = m->len - m->pos;
    if (k > n) k = n;
    memcpy(buf, m->text + m->pos, k);
    m->pos += k;
    return static_cast<int64_t>(k);
}

int64_t mem_seek(void *h, int64_t offset, int whence)
{
    auto   *m = static_cast<mem_text *>(h);
    int64_t base;
    switch (whence) {
    case 0: base = 0; break;
    case 1: base = static_cast<int64_t>(m->pos); break;
    case 2: base = static_cast<int64_t>(m->len); break;
    default: return -1;
    }
    if ((offset < 0 && base < -offset) || (offset > 0 && base > INT64_MAX - offset)) return -1;
    m->pos = static_cast<size_t>(base + offset);
    return base + offset;
}

void *str_open(void *, const char *name, uint64_t)
{
    if (name == nullptr) return nullptr;
    auto *m = static_cast<mem_text *>(os_zalloc(sizeof(mem_text)));
    if (m == nullptr) return nullptr;
    m->text = name;
    m->len  = strlen(name);
    return m;
}

int mem_close(void *h)
{
    auto *m = static_cast<mem_text *>(h);
    os_free(m->owned);
    if (m->runner != nullptr) os_pclose(m->runner);
    os_free(m);
    return 0;
}

void *popen_open(void *, const char *name, uint64_t)
{
    popen_ctx *runner = os_popen(name, "r");
    if (runner == nullptr) return nullptr;
    char *out = nullptr;
    char *err = nullptr;
    auto *m   = static_cast<mem_text *>(os_zalloc(sizeof(mem_text)));
    if (m == nullptr || os_popen_read_all(runner, &out, &err) != 0) {
        os_free(m);
        os_pclose(runner);
        return nullptr;
    }
    if (out[0] == '\0') {
        os_free(out);
        out = err;
    } else {
        os_free(err);
    }
    m->owned  = out;
    m->text   = out;
    m->len    = strlen(out);
    m->runner = runner;
    return m;
}

// Temporary files on the standard library's streams. A stdio stream needs a
// positioning call between a read and a write, so each transfer makes one.
// The file has no name and its descriptor is closed on exec: a command that
// os_popen starts must not inherit it.
void *tmp_open(void *, const char *, uint64_t)
{
    int fd = open(P_tmpdir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        // A file system without unnamed files: a named one, unlinked at once.
        char name[] = P_tmpdir "/zorv-tmp.XXXXXX";
        fd = mkostemp(name, O_CLOEXEC);
        if (fd < 0) return nullptr;
        unlink(name);
    }
    FILE *fp = fdopen(fd, "w+");
    if (fp == nullptr) close(fd);
    return fp;
}
int tmp_close(void *h)
{
    return fclose(static_cast<FILE *>(h));
}
int64_t tmp_read(void *h, void *buf, size_t n)
{
    auto *fp = static_cast<FILE *>(h);
    if (fseeko(fp, 0, SEEK_CUR) != 0) return -1;
    size_t k = fread(buf, 1, n, fp);
    if (k == 0 && ferror(fp)) return -1;
    return static_cast<int64_t>(k);
}
int64_t tmp_write(void *h, const void *buf, size_t n)
{
    auto *fp = static_cast<FILE *>(h);
    if (fseeko(fp, 0, SEEK_CUR) != 0) return -1;
    size_t k = fwrite(buf, 1, n, fp);
    if (k == 0 && n != 0) return -1;
    return static_cast<int64_t>(k);
}
int64_t tmp_seek(void *h, int64_t offset, int whence)
{
    auto *fp = static_cast<FILE *>(h);
    if (fseeko(fp, offset, whence) != 0) return -1;
    return ftello(fp);
}
int tmp_sync(void *h)
{
    return fflush(static_cast<FILE *>(h)) == 0 ? 0 : -1;
}

// Descriptors: the handle is the descriptor itself.
int fd_of(void *h)
{
    return static_cast<int>(reinterpret_cast<intptr_t>(h));
}
int64_t fd_read(void *h, void *buf, size_t n)
{
    return read(fd_of(h), buf, n);
}
int64_t fd_write(void *h, const void *buf, size_t n)
{
    return write(fd_of(h), buf, n);
}
int64_t fd_seek(void *h, int64_t offset, int whence)
{
    return lseek(fd_of(h), offset, whence);
}
int fd_sync(void *h)
{
    return fsync(fd_of(h)) == 0 ? 0 : -1;
}

constexpr qdfile_drv kStrDrv = {nullptr, nullptr, str_open, mem_close, mem_read, nullptr, mem_seek, nullptr, nullptr};
constexpr qdfile_drv kTmpDrv = {nullptr, nullptr, tmp_open, tmp_close, tmp_read, tmp_write, tmp_seek, tmp_sync, nullptr};
constexpr qdfile_drv kPopenDrv = {nullptr, nullptr, popen_open, mem_close, mem_read, nullptr, mem_seek, nullptr, nullptr};
constexpr qdfile_drv kFdDrv = {nullptr, nullptr, nullptr, nullptr, fd_read, fd_write, fd_seek, fd_sync, nullptr};

// Indexed by driver id.
constexpr std::array<const qdfile_drv *, 5> kDrivers = {&g_file_drv, &kStrDrv, &kTmpDrv, &kPopenDrv, &kFdDrv};

}  // namespace

const qdfile_drv *qdfile_drv_get(int id)
{
    if (id < 0 || static_cast<size_t>(id) >= kDrivers.size()) return nullptr;
    return kDrivers[static_cast<size_t>(id)];
}

void qdfile_set_file_drv(const qdfile_drv *drv)
{
    const qdfile_drv &src = drv != nullptr ? *drv : kFileDrv;
    g_file_drv.open  = src.open;
    g_file_drv.close = src.close;
    g_file_drv.read  = src.read;
    g_file_drv.write = src.write;
    g_file_drv.seek  = src.seek;
    g_file_drv.sync  = src.sync;
    g_file_drv.ctx   = src.ctx;
}
