// Buffered streams (VFILE) over pluggable drivers: file objects, a string in
// memory, a temporary file, the captured output of a command, an open
// descriptor. Used by the log file sink and the INI loader. Each stream has
// its own lock, taken by every call for its whole run. Calls follow the C
// stream calls: items or -1 / nullptr on failure, with sticky end-of-file and
// error flags. Streams opened without "b" drop CR bytes on character reads.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

struct os_mutex;
struct verr;

constexpr uint32_t VFILE_MAGIC     = 0x5646494C;
constexpr size_t   VFILE_BUF_SIZE  = 0x40000;
constexpr size_t   VFILE_UNGET_MAX = 8;  // room before the buffer for pushed-back bytes

// Stream flags.
enum : uint32_t {
    VFILE_F_NORD    = 0x002,  // opened "w" or "a" without "+"
    VFILE_F_NOWR    = 0x004,  // opened "r" without "+"
    VFILE_F_APPEND  = 0x008,
    VFILE_F_BINARY  = 0x010,  // no CR handling
    VFILE_F_TEXTOUT = 0x020,  // every LF written as CR LF; no open mode sets it
    VFILE_F_EOF     = 0x100,
    VFILE_F_ERR     = 0x200,
    VFILE_F_VOLIDX  = 0x800,  // opened through a volume index path "N:"
};

// A stream driver. An empty slot means the driver lacks the operation.
struct qdfile_drv {
    void *(*mount)(const char *path, verr *err);  // volume drivers only
    int (*umount)(void *vol);                     // volume drivers only
    void *(*open)(void *ctx, const char *name, uint64_t flags);
    int (*close)(void *h);
    int64_t (*read)(void *h, void *buf, size_t n);  // 0 at the end, < 0 on error
    int64_t (*write)(void *h, const void *buf, size_t n);
    int64_t (*seek)(void *h, int64_t offset, int whence);  // the new position or < 0
    int (*sync)(void *h);
    void *ctx;  // the first argument of open
};

// Driver ids of qdfile_drv_get / qdfile_fopen_id.
enum : int {
    QDFILE_DRV_FILE   = 0,
    QDFILE_DRV_STR    = 1,
    QDFILE_DRV_TMP    = 2,
    QDFILE_DRV_POPEN  = 3,
    QDFILE_DRV_FD     = 4,
};

struct VFILE {
    uint32_t magic;
    uint32_t flags;
    const qdfile_drv *drv;
    uint8_t *rpos, *rend;            // unread input; nullptr when not reading
    uint8_t *wend, *wpos, *wbase;    // free space, pending output from wbase; nullptr when not writing
    uint8_t *buf;
    size_t buf_size;
    os_mutex *mutex;
    int32_t lbf;   // line-buffer character; always -1
    void *handle;  // what the driver's open returned (os_file_ctx for the file driver)
    void *vol;     // the archive volume the stream lives in, or nullptr
};

// The standard streams, opened by qdfile_init.
extern VFILE *qdfile_stdin;
extern VFILE *qdfile_stdout;
extern VFILE *qdfile_stderr;

// Start-up and exit of the layer: the stream lists, the standard streams and
// the driver registry. qdfile_exit flushes every writable stream first.
int qdfile_init();
int qdfile_exit();
int qdfile_check_api();

const qdfile_drv *qdfile_drv_get(int id);
// Replaces the file driver's open, close, read, write, seek, sync and ctx
// slots; nullptr restores the built-in ones.
void qdfile_set_file_drv(const qdfile_drv *drv);

// Mode text to portable open flags and stream flags: 0 or -1.
int qdfile_mode_parse(const char *mode, uint32_t share, uint64_t *oflags, uint32_t *sflags);

// Opening; each returns a new stream or nullptr.
VFILE *qdfile_fopen(const char *path, const char *mode);
VFILE *qdfile_fopen_share(const char *path, const char *mode, uint32_t share);
VFILE *qdfile_fopen_drv(const char *path, const char *mode, const qdfile_drv *drv);
VFILE *qdfile_fopen_imp(const char *path, const char *mode, uint32_t share, const qdfile_drv *drv);
VFILE *qdfile_fopen_id(int id, const char *name, const char *mode, uint32_t share);
// Requires: text outlives the stream.
VFILE *qdfile_open_str(const char *text);
VFILE *qdfile_tmpfile();
// The stream's text is the command's whole standard output, or its standard
// error when the output is empty.
VFILE *qdfile_popen(const char *command, const char *mode);
// fd is neither opened nor closed by the stream.
VFILE *qdfile_fdopen(int fd, const char *mode);
// Moves a new open of path into f; with no path or a failed open f is closed
// and nullptr returned.
VFILE *qdfile_freopen(const char *path, const char *mode, VFILE *f);

// Reading.
size_t qdfile_fread(void *buf, size_t size, size_t count, VFILE *f);
char  *qdfile_fgets(char *buf, int size, VFILE *f);
int    qdfile_fgetc(VFILE *f);
int    qdfile_ungetc(int c, VFILE *f);

// Writing.
size_t qdfile_fwrite(const void *buf, size_t size, size_t count, VFILE *f);
int    qdfile_fputs(const char *text, VFILE *f);
int    qdfile_fputc(int c, VFILE *f);
int    qdfile_fprintf(VFILE *f, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int    qdfile_vfprintf(VFILE *f, const char *fmt, va_list ap) __attribute__((format(printf, 2, 0)));

// Positioning and state.
int     qdfile_fseek(VFILE *f, int64_t offset, int whence);
int     qdfile_fseeko(VFILE *f, int64_t offset, int whence);
int     qdfile_fseek_set(VFILE *f, int64_t offset);
int     qdfile_rewind(VFILE *f);
int64_t qdfile_ftell(VFILE *f);
int64_t qdfile_ftello(VFILE *f);
int     qdfile_fgetpos(VFILE *f, int64_t *pos);
int     qdfile_feof(VFILE *f);
int     qdfile_ferror(VFILE *f);
void    qdfile_clearerr(VFILE *f);
int     qdfile_fileno(VFILE *f);

// nullptr flushes every writable stream and returns 0.
int qdfile_fflush(VFILE *f);
// 0, or non-zero when the flush or the driver's close failed.
int qdfile_fclose(VFILE *f);
// Skips a UTF-8 byte-order mark at the start of the stream; the seek's result.
int qdfile_skip_bom(VFILE *f);

// Checks and locks a stream: 0, or -1 (logged) for a missing or freed one.
int  QDLOCK(VFILE *f);
void QDUNLOCK(VFILE *f);

// Archive volumes: a volume driver (none is installed by the system).
void qdfile_vfs_set_drv(const qdfile_drv *drv);
// Writes the new volume's index as "%d" into name (4096 bytes). 0 or -1.
int  qdfile_vfs_mount(const char *path, char *name) noexcept;
int  qdfile_vfs_umount(const char *name) noexcept;
void qdfile_vfs_umount_all() noexcept;
// The driver handle of path (volume index path, archive path or plain path).
void *qdfile_vfs_open(const char *path, uint64_t flags, const qdfile_drv **drv, void **vol) noexcept;
