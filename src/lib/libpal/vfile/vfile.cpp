// Buffered streams: one 256 KiB buffer per stream serves either reading
// (rpos..rend unread) or writing (wbase..wpos pending, wpos..wend free).
// Switching direction writes pending output out, or seeks the driver back
// over unread input, so the driver's position always matches the reader's.
#include "libpal/vfile/vfile.h"

#include <algorithm>
#include <cctype>
#include <strings.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/os_sync.h"
#include "libpal/basic/pl_own.h"
#include "libpal/basic/verr.h"
#include "libpal/env/pl_init.h"
#include "libpal/os/os_file.h"
#include "libpal/string/str_safe.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

VFILE *qdfile_stdin  = nullptr;
VFILE *qdfile_stdout = nullptr;
VFILE *qdfile_stderr = nullptr;

namespace {

constexpr size_t kTextOutChunk = 8192;

// The writable streams (flushed all at once) and the mounted volumes. Lock
// order: the list lock may be taken before a stream's lock, never after.
struct stream_lists {
    std::mutex lock;
    bool ready = false;
    std::vector<VFILE *> writable;
    std::vector<void *> volumes;  // an unmounted volume leaves an empty place
    const qdfile_drv *vol_drv = nullptr;
};

stream_lists &lists()
{
    // Made in static storage and never destroyed: it outlives every static
    // destructor, and making it allocates nothing, so no stream call throws.
    alignas(stream_lists) static unsigned char storage[sizeof(stream_lists)];
    static stream_lists *l = new (storage) stream_lists;
    return *l;
}

// false when the list could not grow; leaving it never fails.
bool list_set_writable(VFILE *f, bool member)
{
    stream_lists &l = lists();
    std::lock_guard<std::mutex> g(l.lock);
    auto it = std::find(l.writable.begin(), l.writable.end(), f);
    if (member && it == l.writable.end()) {
        try {
            l.writable.push_back(f);
        } catch (const std::bad_alloc &) {
            return false;
        }
    } else if (!member && it != l.writable.end()) {
        l.writable.erase(it);
    }
    return true;
}

// Holds a checked stream's lock for one call.
class stream_guard {
public:
    explicit stream_guard(VFILE *f) : f_(QDLOCK(f) == 0 ? f : nullptr) {}
    ~stream_guard()
    {
        if (f_ != nullptr) QDUNLOCK(f_);
    }
    stream_guard(const stream_guard &)            = delete;
    stream_guard &operator=(const stream_guard &) = delete;
    bool ok() const { return f_ != nullptr; }

private:
    VFILE *f_;
};

bool is_reading(const VFILE *f)
{
    return f->rpos != nullptr;
}
bool is_writing(const VFILE *f)
{
    return f->wbase != nullptr;
}
size_t unread(const VFILE *f)
{
    return is_reading(f) ? static_cast<size_t>(f->rend - f->rpos) : 0;
}
size_t pending(const VFILE *f)
{
    return is_writing(f) ? static_cast<size_t>(f->wpos - f->wbase) : 0;
}

void clear_read(VFILE *f)
{
    f->rpos = f->rend = nullptr;
}
void clear_write(VFILE *f)
{
    f->wbase = f->wpos = f->wend = nullptr;
}
void reset_write(VFILE *f)
{
    f->wbase = f->wpos = f->buf;
    f->wend  = f->buf + f->buf_size;
}

// Every LF of data is written as CR LF; returns the source bytes consumed,
// or -1 when nothing could be written.
int64_t qdfile_text_write(VFILE *f, const uint8_t *data, size_t n)
{
    uint8_t out[kTextOutChunk];
    size_t  used = 0;
    while (used < n) {
        size_t k = 0;
        size_t i = used;
        for (; i < n && k + 2 <= sizeof(out); i++) {
            if (data[i] == '\n') out[k++] = '\r';
            out[k++] = data[i];
        }
        size_t done = 0;
        while (done < k) {
            int64_t r = f->drv->write(f->handle, out + done, k - done);
            if (r <= 0) return used > 0 ? static_cast<int64_t>(used) : -1;
            done += static_cast<size_t>(r);
        }
        used = i;
    }
    return static_cast<int64_t>(used);
}

// Writes all of one part; false on a driver error. *done counts what went out.
bool write_part(VFILE *f, const uint8_t *data, size_t n, size_t *done)
{
    *done = 0;
    while (*done < n) {
        int64_t r = (f->flags & VFILE_F_TEXTOUT) ? qdfile_text_write(f, data + *done, n - *done)
                                                 : f->drv->write(f->handle, data + *done, n - *done);
        if (r <= 0) return false;
        *done += static_cast<size_t>(r);
    }
    return true;
}

// Writes the pending output, then data, each until it is all written.
// Returns n, or on a driver error (error flag set, write area cleared) 0 when
// pending output was lost, else the new bytes that went out.
size_t __qdfile_writv(VFILE *f, const uint8_t *data, size_t n)
{
    if (f->drv->write == nullptr) {
        f->flags |= VFILE_F_ERR;
        clear_write(f);
        return 0;
    }
    size_t done = 0;
    if (pending(f) > 0 && !write_part(f, f->wbase, pending(f), &done)) {
        f->flags |= VFILE_F_ERR;
        clear_write(f);
        return 0;
    }
    if (n > 0 && !write_part(f, data, n, &done)) {
        f->flags |= VFILE_F_ERR;
        clear_write(f);
        return done;
    }
    reset_write(f);
    return n;
}

// Writes the pending output out: 0, or -1 when the driver failed (the
// error flag is set and the write area cleared).
int write_pending(VFILE *f)
{
    if (pending(f) == 0) return 0;
    __qdfile_writv(f, nullptr, 0);
    return is_writing(f) ? 0 : -1;
}

// Seeks the driver back over the unread input, so that its position is what
// the reader consumed, and clears the read area.
void give_back_unread(VFILE *f)
{
    if (unread(f) > 0 && f->drv->seek != nullptr) f->drv->seek(f->handle, -static_cast<int64_t>(unread(f)), 1);
    clear_read(f);
}

int flush_locked(VFILE *f)
{
    if (write_pending(f) != 0) return -1;
    give_back_unread(f);
    clear_write(f);
    return 0;
}

// Prepares reading: 0, or -1 with the error flag.
int to_read(VFILE *f)
{
    if (f->flags & VFILE_F_NORD) {
        f->flags |= VFILE_F_ERR;
        return -1;
    }
    if (write_pending(f) != 0) return -1;
    clear_write(f);
    if (!is_reading(f)) f->rpos = f->rend = f->buf;
    return 0;
}

// Prepares writing: 0, or -1 with the error flag.
int to_write(VFILE *f)
{
    if (f->flags & VFILE_F_NOWR) {
        f->flags |= VFILE_F_ERR;
        return -1;
    }
    give_back_unread(f);
    if (!is_writing(f)) reset_write(f);
    return 0;
}

// The layer's read from the driver, called with the buffer empty: n-1 bytes
// straight into the caller's buffer, then a whole buffer; the caller's nth
// byte comes from the buffer. Returns the bytes given to the caller; 0 sets
// the end-of-file or error flag.
size_t __qdfile_read(VFILE *f, uint8_t *dst, size_t n)
{
    if (f->drv->read == nullptr) {
        f->flags |= VFILE_F_ERR;
        return 0;
    }
    f->rpos = f->rend = f->buf;
    size_t first = n - 1;
    if (first > 0) {
        int64_t r = f->drv->read(f->handle, dst, first);
        if (r <= 0) {
            f->flags |= r == 0 ? VFILE_F_EOF : VFILE_F_ERR;
            return 0;
        }
        if (static_cast<size_t>(r) < first) return static_cast<size_t>(r);
    }
    int64_t r = f->drv->read(f->handle, f->buf, f->buf_size);
    if (r <= 0) {
        if (r < 0)
            f->flags |= VFILE_F_ERR;
        else if (first == 0)
            f->flags |= VFILE_F_EOF;
        return first;
    }
    f->rend     = f->buf + r;
    dst[n - 1] = *f->rpos++;
    return n;
}

// Next byte (0..255) or -1; CR bytes are dropped unless binary.
int getc_locked(VFILE *f)
{
    for (;;) {
        int c;
        if (is_reading(f) && f->rpos < f->rend) {
            c = *f->rpos++;
        } else {
            uint8_t b;
            if (to_read(f) != 0 || __qdfile_read(f, &b, 1) != 1) return -1;
            c = b;
        }
        if (c == '\r' && !(f->flags & VFILE_F_BINARY)) continue;
        return c;
    }
}

size_t write_locked(VFILE *f, const uint8_t *data, size_t n)
{
    if (to_write(f) != 0) return 0;
    if (n > static_cast<size_t>(f->wend - f->wpos)) return __qdfile_writv(f, data, n);
    memcpy(f->wpos, data, n);
    f->wpos += n;
    return n;
}

int seek_locked(VFILE *f, int64_t offset, int whence)
{
    if (whence < 0 || whence > 2 || f->drv->seek == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (whence == 1) offset -= static_cast<int64_t>(unread(f));
    if (write_pending(f) != 0) return -1;
    clear_read(f);
    clear_write(f);
    if (f->drv->seek(f->handle, offset, whence) < 0) return -1;
    f->flags &= ~VFILE_F_EOF;
    return 0;
}

int64_t tell_locked(VFILE *f)
{
    if (f->drv->seek == nullptr) return -1;
    int     whence = ((f->flags & VFILE_F_APPEND) && pending(f) > 0) ? 2 : 1;
    int64_t pos    = f->drv->seek(f->handle, 0, whence);
    if (pos < 0) return pos;
    return pos - static_cast<int64_t>(unread(f)) + static_cast<int64_t>(pending(f));
}

VFILE *stream_new(uint32_t sflags, const qdfile_drv *drv, void *handle, void *vol)
{
    // The stream, the push-back room and the buffer are one block.
    auto *block = static_cast<uint8_t *>(os_malloc(sizeof(VFILE) + VFILE_UNGET_MAX + VFILE_BUF_SIZE));
    if (block == nullptr) return nullptr;
    auto *f = reinterpret_cast<VFILE *>(block);
    memset(f, 0, sizeof(*f));
    f->mutex = mutex_malloc();
    if (f->mutex == nullptr) {
        os_free(block);
        return nullptr;
    }
    f->flags    = sflags;
    f->drv      = drv;
    f->buf      = block + sizeof(VFILE) + VFILE_UNGET_MAX;
    f->buf_size = VFILE_BUF_SIZE;
    f->lbf      = -1;
    f->handle   = handle;
    f->vol      = vol;
    f->magic    = VFILE_MAGIC;
    if (!(sflags & VFILE_F_NOWR) && !list_set_writable(f, true)) {
        mutex_free(f->mutex);
        os_free(block);
        return nullptr;
    }
    return f;
}

void stream_free(VFILE *f)
{
    list_set_writable(f, false);
    f->magic = 0;
    mutex_free(f->mutex);
    os_free(f);
}

void close_handle(const qdfile_drv *drv, void *handle)
{
    if (drv->close != nullptr && handle != nullptr) drv->close(handle);
}

VFILE *open_with(const qdfile_drv *drv, const char *name, const char *mode, uint32_t share)
{
    uint64_t oflags = 0;
    uint32_t sflags = 0;
    if (drv == nullptr || drv->open == nullptr || qdfile_mode_parse(mode, share, &oflags, &sflags) != 0)
        return nullptr;
    void *h = drv->open(drv->ctx, name, oflags);
    if (h == nullptr) return nullptr;
    VFILE *f = stream_new(sflags, drv, h, nullptr);
    if (f == nullptr) close_handle(drv, h);
    return f;
}

bool is_vol_index_path(const char *path)
{
    return isdigit(static_cast<unsigned char>(path[0])) && path[1] == ':';
}

// The end of "<archive>.zip" or "<archive>.7z" followed by a slash, or nullptr.
const char *find_archive(const char *path)
{
    for (const char *ext : {".zip", ".7z"}) {
        size_t elen = strlen(ext);
        for (const char *p = path; *p != '\0'; p++) {
            if (strncasecmp(p, ext, elen) == 0 && (p[elen] == '/' || p[elen] == '\\')) return p + elen;
        }
    }
    return nullptr;
}

}  // namespace

int QDLOCK(VFILE *f)
{
    PL_ASSERT_TEXT_RET(f != nullptr, "f!=NULL", -1);
    PL_ASSERT_RET(f->magic==VFILE_MAGIC, -1);
    return mutex_lock(f->mutex) ? 0 : -1;
}

void QDUNLOCK(VFILE *f)
{
    mutex_unlock(f->mutex);
}

int qdfile_init()
{
    stream_lists &l = lists();
    {
        std::lock_guard<std::mutex> g(l.lock);
        if (l.ready) return 0;
        l.ready = true;
    }
    qdfile_stdin  = qdfile_fopen("/dev/stdin", "r");
    qdfile_stdout = qdfile_fopen("/dev/stdout", "w");
    qdfile_stderr = qdfile_fopen("/dev/stderr", "w");
    return 0;
}

int qdfile_exit()
{
    stream_lists &l = lists();
    {
        std::lock_guard<std::mutex> g(l.lock);
        if (!l.ready) return 0;
    }
    qdfile_fflush(nullptr);
    for (VFILE **s : {&qdfile_stdin, &qdfile_stdout, &qdfile_stderr}) {
        if (*s != nullptr) qdfile_fclose(*s);
        *s = nullptr;
    }
    std::lock_guard<std::mutex> g(l.lock);
    l.writable.clear();
    l.volumes.clear();
    l.ready = false;
    return 0;
}

int qdfile_check_api()
{
    bool ready;
    {
        stream_lists &l = lists();
        std::lock_guard<std::mutex> g(l.lock);
        ready = l.ready;
    }
    if (!ready) {
        ZLOG_WARN("pl_init must call..");
        pl_init();
    }
    return 0;
}

int qdfile_mode_parse(const char *mode, uint32_t share, uint64_t *oflags, uint32_t *sflags)
{
    if (mode == nullptr) return -1;
    uint64_t of;
    uint32_t sf;
    switch (mode[0]) {
    case 'r': of = OS_PF_RDONLY; sf = VFILE_F_NOWR; break;
    case 'w': of = OS_PF_WRONLY | OS_PF_CREAT | OS_PF_TRUNC; sf = VFILE_F_NORD; break;
    case 'a': of = OS_PF_WRONLY | OS_PF_CREAT | OS_PF_APPEND; sf = VFILE_F_NORD | VFILE_F_APPEND; break;
    default: return -1;
    }
    switch (share) {
    case 0x10: break;
    case 0x20: of |= 0x500; break;
    case 0x30: of |= 0x600; break;
    case 0x40: of |= 0x700; break;
    case 0x80:
        if (mode[0] == 'r') of |= 0x100;
        break;
    default: return -1;
    }
    bool plus = false;
    for (const char *p = mode + 1; *p != '\0'; p++) {
        if (*p == '+' && !plus) {
            plus = true;
            of   = (of & ~(OS_PF_RDONLY | OS_PF_WRONLY)) | OS_PF_RDWR;
            sf &= ~(VFILE_F_NORD | VFILE_F_NOWR);
        } else if (*p == 'b' && !(sf & VFILE_F_BINARY)) {
            sf |= VFILE_F_BINARY;
        } else if (*p == 't' && !(sf & VFILE_F_BINARY)) {
        } else {
            break;  // the rest of the mode is ignored
        }
    }
    *oflags = of;
    *sflags = sf;
    return 0;
}

VFILE *qdfile_fopen_imp(const char *path, const char *mode, uint32_t share, const qdfile_drv *drv)
{
    qdfile_check_api();
    uint64_t oflags = 0;
    uint32_t sflags = 0;
    if (path == nullptr || qdfile_mode_parse(mode, share, &oflags, &sflags) != 0) return nullptr;

    void *vol = nullptr;
    void *h;
    if (drv == nullptr) {
        h = qdfile_vfs_open(path, oflags, &drv, &vol);
    } else {
        h = drv->open != nullptr ? drv->open(drv->ctx, path, oflags) : nullptr;
    }
    if (h == nullptr) return nullptr;
    bool   by_index = vol != nullptr && is_vol_index_path(path);
    VFILE *f        = stream_new(sflags | (by_index ? VFILE_F_VOLIDX : 0u), drv, h, vol);
    if (f == nullptr) {
        close_handle(drv, h);
        if (vol != nullptr && !by_index) drv->umount(vol);
    }
    return f;
}

VFILE *qdfile_fopen(const char *path, const char *mode)
{
    return qdfile_fopen_drv(path, mode, nullptr);
}

VFILE *qdfile_fopen_share(const char *path, const char *mode, uint32_t share)
{
    return qdfile_fopen_imp(path, mode, share, nullptr);
}

VFILE *qdfile_fopen_drv(const char *path, const char *mode, const qdfile_drv *drv)
{
    return qdfile_fopen_imp(path, mode, 0x30, drv);
}

VFILE *qdfile_fopen_id(int id, const char *name, const char *mode, uint32_t share)
{
    return open_with(qdfile_drv_get(id), name, mode, share);
}

VFILE *qdfile_open_str(const char *text)
{
    return open_with(qdfile_drv_get(QDFILE_DRV_STR), text, "r", 0x20);
}

VFILE *qdfile_tmpfile()
{
    return open_with(qdfile_drv_get(QDFILE_DRV_TMP), "", "w+", 0x20);
}

VFILE *qdfile_popen(const char *command, const char *mode)
{
    return open_with(qdfile_drv_get(QDFILE_DRV_POPEN), command, mode, 0x20);
}

VFILE *qdfile_fdopen(int fd, const char *mode)
{
    uint64_t oflags = 0;
    uint32_t sflags = 0;
    if (fd < 0 || qdfile_mode_parse(mode, 0x20, &oflags, &sflags) != 0) return nullptr;
    return stream_new(sflags, qdfile_drv_get(QDFILE_DRV_FD), reinterpret_cast<void *>(static_cast<intptr_t>(fd)),
                      nullptr);
}

VFILE *qdfile_freopen(const char *path, const char *mode, VFILE *f)
{
    if (QDLOCK(f) != 0) return nullptr;
    flush_locked(f);
    QDUNLOCK(f);
    VFILE *nf = path != nullptr ? qdfile_fopen(path, mode) : nullptr;
    if (nf == nullptr) {
        qdfile_fclose(f);
        return nullptr;
    }
    // The new handle moves into f; the old one leaves with nf and is closed.
    // What other threads wrote while f was unlocked for the open still
    // belongs to the old file: it goes out before the handles change.
    QDLOCK(f);
    if (flush_locked(f) != 0) {
        clear_read(f);
        clear_write(f);
    }
    std::swap(f->handle, nf->handle);
    std::swap(f->vol, nf->vol);
    std::swap(f->drv, nf->drv);
    uint32_t old_flags = f->flags;
    f->flags           = (nf->flags & ~1u) | (old_flags & 1u);
    nf->flags          = old_flags;
    bool writable = !(f->flags & VFILE_F_NOWR);
    QDUNLOCK(f);
    if (!list_set_writable(f, writable)) ZLOG_ERR("stream left out of the flush list: no memory\n");
    qdfile_fclose(nf);
    return f;
}

size_t qdfile_fread(void *buf, size_t size, size_t count, VFILE *f)
{
    stream_guard g(f);
    if (!g.ok() || buf == nullptr || size == 0 || count == 0) return 0;
    if (count > SIZE_MAX / size) {
        f->flags |= VFILE_F_ERR;
        return 0;
    }
    auto  *dst   = static_cast<uint8_t *>(buf);
    size_t total = size * count;
    size_t got   = 0;
    if (f->flags & VFILE_F_BINARY) {
        if (to_read(f) != 0) return 0;
        size_t k = std::min(unread(f), total);
        memcpy(dst, f->rpos, k);
        f->rpos += k;
        got = k;
        while (got < total) {
            size_t r = __qdfile_read(f, dst + got, total - got);
            if (r == 0) break;
            got += r;
        }
    } else {
        while (got < total) {
            int c = getc_locked(f);
            if (c < 0) break;
            dst[got++] = static_cast<uint8_t>(c);
        }
    }
    return got / size;
}

char *qdfile_fgets(char *buf, int size, VFILE *f)
{
    stream_guard g(f);
    if (!g.ok() || buf == nullptr || size < 1) return nullptr;
    if (size == 1) {
        buf[0] = '\0';
        return buf;
    }
    size_t room = static_cast<size_t>(size) - 1;
    char  *p    = buf;
    while (room > 0) {
        if (is_reading(f) && f->rpos < f->rend) {
            // A buffered run up to and including LF goes over as it is.
            size_t avail = unread(f);
            auto  *lf    = static_cast<uint8_t *>(memchr(f->rpos, '\n', avail));
            size_t k     = std::min(lf != nullptr ? static_cast<size_t>(lf - f->rpos) + 1 : avail, room);
            memcpy(p, f->rpos, k);
            f->rpos += k;
            p += k;
            room -= k;
            if (p[-1] == '\n') break;
            continue;
        }
        int c = getc_locked(f);
        if (c < 0) {
            if (p == buf || !(f->flags & VFILE_F_EOF)) return nullptr;
            break;
        }
        *p++ = static_cast<char>(c);
        room--;
        if (c == '\n') break;
    }
    *p = '\0';
    return buf;
}

int qdfile_fgetc(VFILE *f)
{
    stream_guard g(f);
    if (!g.ok()) return -1;
    return getc_locked(f);
}

int qdfile_ungetc(int c, VFILE *f)
{
    stream_guard g(f);
    if (!g.ok() || c == -1) return -1;
    if (!is_reading(f) && to_read(f) != 0) return -1;
    if (f->rpos <= f->buf - VFILE_UNGET_MAX) return -1;
    *--f->rpos = static_cast<uint8_t>(c);
    f->flags &= ~VFILE_F_EOF;
    return static_cast<uint8_t>(c);
}

size_t qdfile_fwrite(const void *buf, size_t size, size_t count, VFILE *f)
{
    stream_guard g(f);
    if (!g.ok() || buf == nullptr || size == 0 || count == 0) return 0;
    if (count > SIZE_MAX / size) {
        f->flags |= VFILE_F_ERR;
        return 0;
    }
    return write_locked(f, static_cast<const uint8_t *>(buf), size * count) / size;
}

int qdfile_fputs(const char *text, VFILE *f)
{
    stream_guard g(f);
    if (!g.ok() || text == nullptr) return -1;
    size_t n = strlen(text);
    if (n == 0) return (f->flags & VFILE_F_NOWR) ? -1 : 0;
    return write_locked(f, reinterpret_cast<const uint8_t *>(text), n) == n ? 0 : -1;
}

int qdfile_fputc(int c, VFILE *f)
{
    stream_guard g(f);
    if (!g.ok()) return -1;
    uint8_t b = static_cast<uint8_t>(c);
    return write_locked(f, &b, 1) == 1 ? b : -1;
}

int qdfile_vfprintf(VFILE *f, const char *fmt, va_list ap)
{
    char *text = nullptr;
    int   len  = os_vasprintf(&text, fmt, ap);
    if (len < 0) return len;
    std::unique_ptr<char, decltype(&os_free)> owned(text, os_free);
    stream_guard g(f);
    if (!g.ok()) return -1;
    if (len == 0) return 0;
    size_t n = static_cast<size_t>(len);
    return write_locked(f, reinterpret_cast<const uint8_t *>(text), n) == n ? len : -1;
}

int qdfile_fprintf(VFILE *f, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int r = qdfile_vfprintf(f, fmt, ap);
    va_end(ap);
    return r;
}

int qdfile_fseeko(VFILE *f, int64_t offset, int whence)
{
    stream_guard g(f);
    if (!g.ok()) return -1;
    return seek_locked(f, offset, whence);
}

int qdfile_fseek(VFILE *f, int64_t offset, int whence)
{
    return qdfile_fseeko(f, offset, whence);
}

int qdfile_fseek_set(VFILE *f, int64_t offset)
{
    return qdfile_fseeko(f, offset, 0);
}

int qdfile_rewind(VFILE *f)
{
    stream_guard g(f);
    if (!g.ok()) return -1;
    int r = seek_locked(f, 0, 0);
    f->flags &= ~VFILE_F_ERR;
    return r;
}

int64_t qdfile_ftello(VFILE *f)
{
    stream_guard g(f);
    if (!g.ok()) return -1;
    return tell_locked(f);
}

int64_t qdfile_ftell(VFILE *f)
{
    return qdfile_ftello(f);
}

int qdfile_fgetpos(VFILE *f, int64_t *pos)
{
    if (pos == nullptr) return -1;
    int64_t p = qdfile_ftello(f);
    if (p < 0) return -1;
    *pos = p;
    return 0;
}

int qdfile_feof(VFILE *f)
{
    stream_guard g(f);
    return g.ok() && (f->flags & VFILE_F_EOF) ? 1 : 0;
}

int qdfile_ferror(VFILE *f)
{
    stream_guard g(f);
    return g.ok() && (f->flags & VFILE_F_ERR) ? 1 : 0;
}

void qdfile_clearerr(VFILE *f)
{
    stream_guard g(f);
    if (g.ok()) f->flags &= ~(VFILE_F_EOF | VFILE_F_ERR);
}

int qdfile_fileno(VFILE *f)
{
    stream_guard g(f);
    if (!g.ok() || f->drv != qdfile_drv_get(QDFILE_DRV_FILE) || f->handle == nullptr) return -1;
    return os_file_fileno(static_cast<os_file_ctx *>(f->handle));
}

int qdfile_fflush(VFILE *f)
{
    if (f == nullptr) {
        stream_lists &l = lists();
        std::lock_guard<std::mutex> lg(l.lock);
        for (VFILE *w : l.writable) {
            if (QDLOCK(w) != 0) continue;
            flush_locked(w);
            QDUNLOCK(w);
        }
        return 0;
    }
    stream_guard g(f);
    if (!g.ok()) return -1;
    return flush_locked(f);
}

int qdfile_fclose(VFILE *f)
{
    if (QDLOCK(f) != 0) return -1;
    QDUNLOCK(f);
    // Out of the list first: a flush of all streams must not find it half closed.
    list_set_writable(f, false);
    QDLOCK(f);
    int r = flush_locked(f) != 0 ? -1 : 0;
    if (f->drv->close != nullptr && f->handle != nullptr) {
        r |= f->drv->close(f->handle);
        if (f->vol != nullptr && !(f->flags & VFILE_F_VOLIDX) && f->drv->umount != nullptr)
            f->drv->umount(f->vol);
    }
    QDUNLOCK(f);
    stream_free(f);
    return r;
}

int qdfile_skip_bom(VFILE *f)
{
    static constexpr uint8_t kBom[3] = {0xEF, 0xBB, 0xBF};
    uint8_t head[3];
    bool    bom = qdfile_fread(head, 1, 3, f) == 3 && memcmp(head, kBom, 3) == 0;
    return qdfile_fseeko(f, bom ? 3 : 0, 0);
}

void qdfile_vfs_set_drv(const qdfile_drv *drv)
{
    if (drv != nullptr && (drv->mount == nullptr || drv->umount == nullptr)) {
        ZLOG_ERR("expr[%s]: assert failed\n", "drv->mount && drv->umount");
        assert_dump_stack();
    }
    stream_lists &l = lists();
    std::lock_guard<std::mutex> g(l.lock);
    l.vol_drv = drv;
}

namespace {

// The error record a volume driver's mount fills: zeroed, from os_zalloc, so
// that a failed allocation is an error return and not an exception.
using owned_verr = pl_owned<verr, os_free>;

owned_verr new_verr()
{
    return owned_verr(static_cast<verr *>(os_zalloc(sizeof(verr))));
}

}  // namespace

int qdfile_vfs_mount(const char *path, char *name) noexcept
{
    stream_lists &l = lists();
    const qdfile_drv *drv;
    {
        std::lock_guard<std::mutex> g(l.lock);
        drv = l.vol_drv;
    }
    if (drv == nullptr || drv->mount == nullptr || path == nullptr || name == nullptr) return -1;
    owned_verr err = new_verr();
    if (err == nullptr) return -1;
    void *vol = drv->mount(path, err.get());
    if (vol == nullptr) {
        ZLOG_ERR("mount [%s] error: %s", path, verr_msg(err.get()));
        return -1;
    }
    size_t idx = SIZE_MAX;
    {
        std::lock_guard<std::mutex> g(l.lock);
        try {
            l.volumes.push_back(vol);
            idx = l.volumes.size() - 1;
        } catch (const std::bad_alloc &) {
        }
    }
    if (idx == SIZE_MAX) {
        // Not in the list, no name: nothing could ever unmount it.
        drv->umount(vol);
        errno = ENOMEM;
        return -1;
    }
    str_sprintf_s(name, 4096, "%d", static_cast<int>(idx));
    return 0;
}

int qdfile_vfs_umount(const char *name) noexcept
{
    if (name == nullptr || !isdigit(static_cast<unsigned char>(name[0]))) return -1;
    long          idx = strtol(name, nullptr, 10);
    stream_lists &l   = lists();
    void         *vol;
    const qdfile_drv *drv;
    {
        std::lock_guard<std::mutex> g(l.lock);
        if (idx < 0 || static_cast<size_t>(idx) >= l.volumes.size() || l.volumes[static_cast<size_t>(idx)] == nullptr)
            return -1;
        vol = l.volumes[static_cast<size_t>(idx)];
        l.volumes[static_cast<size_t>(idx)] = nullptr;
        drv = l.vol_drv;
    }
    if (drv != nullptr && drv->umount != nullptr) drv->umount(vol);
    return 0;
}

void qdfile_vfs_umount_all() noexcept
{
    stream_lists &l = lists();
    // One volume at a time out of the list, each unmounted outside the lock,
    // so that the walk needs no list of its own.
    for (size_t i = 0;; i++) {
        void             *vol;
        const qdfile_drv *drv;
        {
            std::lock_guard<std::mutex> g(l.lock);
            if (i >= l.volumes.size()) return;
            vol          = l.volumes[i];
            l.volumes[i] = nullptr;
            drv          = l.vol_drv;
        }
        if (vol != nullptr && drv != nullptr && drv->umount != nullptr) drv->umount(vol);
    }
}

void *qdfile_vfs_open(const char *path, uint64_t flags, const qdfile_drv **drv, void **vol) noexcept
{
    stream_lists &l = lists();
    const qdfile_drv *vdrv;
    *vol = nullptr;
    if (is_vol_index_path(path)) {
        int   idx = path[0] - '0';
        void *v   = nullptr;
        size_t count;
        {
            std::lock_guard<std::mutex> g(l.lock);
            count = l.volumes.size();
            if (static_cast<size_t>(idx) < count) v = l.volumes[static_cast<size_t>(idx)];
            vdrv = l.vol_drv;
        }
        if (v == nullptr || vdrv == nullptr || vdrv->open == nullptr) {
            ZLOG_ERR("vol_idx=%d > max_vol_count=%d", idx, static_cast<int>(count));
            return nullptr;
        }
        *drv = vdrv;
        *vol = v;
        return vdrv->open(v, path + 2, flags);
    }
    {
        std::lock_guard<std::mutex> g(l.lock);
        vdrv = l.vol_drv;
    }
    bool usable     = vdrv != nullptr && vdrv->mount != nullptr && vdrv->umount != nullptr && vdrv->open != nullptr;
    const char *end = usable ? find_archive(path) : nullptr;
    if (end != nullptr) {
        pl_owned<char, os_free> archive(os_strndup(path, static_cast<size_t>(end - path)));
        owned_verr err = new_verr();
        if (archive == nullptr || err == nullptr) return nullptr;
        void *v = vdrv->mount(archive.get(), err.get());
        if (v == nullptr) return nullptr;
        void *h = vdrv->open(v, end + 1, flags);
        if (h == nullptr) {
            vdrv->umount(v);
            return nullptr;
        }
        *drv = vdrv;
        *vol = v;
        return h;
    }
    *drv = qdfile_drv_get(QDFILE_DRV_FILE);
    return (*drv)->open((*drv)->ctx, path, flags);
}
