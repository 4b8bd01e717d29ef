// A block-driver plug-in for the tests: it serves a local file named by
// "testplug://PATH" (fixed size) or "testplug-grow://PATH" (the object may
// grow), with 512-byte sectors. Variants built from this file leave out an
// entry point (TESTPLUG_NO_SYNC, TESTPLUG_NO_PREAD) or refuse their init
// (TESTPLUG_INIT_FAILS). testplug_calls counts the reads and writes that
// reached it; testplug_inits its successful inits.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct handle {
    int fd;
    int last_errno;
    bool grow;
};

int g_calls = 0;
int g_inits = 0;
using log_fn = int (*)(uint32_t, const char *, const char *, int, const char *, int, const char *, ...);
log_fn g_log = nullptr;

constexpr const char *kFixed = "testplug://";
constexpr const char *kGrow = "testplug-grow://";

// The file path of a name, without the block layer's "?" parameters.
bool file_of(const char *name, std::string &path, bool &grow)
{
    const char *rest = nullptr;
    if (strncmp(name, kGrow, strlen(kGrow)) == 0) {
        rest = name + strlen(kGrow);
        grow = true;
    } else if (strncmp(name, kFixed, strlen(kFixed)) == 0) {
        rest = name + strlen(kFixed);
        grow = false;
    } else {
        return false;
    }
    path.assign(rest, strcspn(rest, "?"));
    return !path.empty();
}

}  // namespace

extern "C" {

int testplug_calls()
{
    return g_calls;
}

int testplug_inits()
{
    return g_inits;
}

const char *qd_disk_plug_name()
{
    return "testplug";
}

const char *qd_disk_plug_version()
{
    return "1.0";
}

const char *qd_disk_plug_support_exts()
{
    return "img|raw";
}

int qd_disk_plug_support_open()
{
    return 1;
}

struct init_param {
    uint64_t size;
    log_fn log;
};

int qd_disk_plug_init(const init_param *param)
{
#ifdef TESTPLUG_INIT_FAILS
    (void)param;
    return -1;
#else
    if (param == nullptr || param->size != sizeof(init_param))
        return -1;
    g_log = param->log;
    g_inits++;
    return 0;
#endif
}

int qd_disk_plug_probe(const char *path, uint32_t, void *)
{
    std::string file;
    bool grow = false;
    return path != nullptr && file_of(path, file, grow) ? 0 : -1;
}

void *qd_disk_plug_open(const char *path, uint32_t flags, char *err)
{
    std::string file;
    bool grow = false;
    if (!file_of(path, file, grow)) {
        snprintf(err, 4096, "testplug: not my name [%s]", path);
        return nullptr;
    }
    int fd = open(file.c_str(), (flags & 4) != 0 ? O_RDWR : O_RDONLY);
    if (fd < 0) {
        snprintf(err, 4096, "testplug: cannot open %s: %s", file.c_str(), strerror(errno));
        return nullptr;
    }
    if (g_log != nullptr)
        g_log(7, "testplug", __FILE__, __LINE__, __func__, 0, "open [%s]\n", file.c_str());
    return new handle{fd, 0, grow};
}

void qd_disk_plug_close(void *h)
{
    auto *p = static_cast<handle *>(h);
    close(p->fd);
    delete p;
}

int qd_disk_plug_last_errno(void *h)
{
    return static_cast<handle *>(h)->last_errno;
}

uint64_t qd_disk_plug_fsize(void *h)
{
    struct stat st{};
    return fstat(static_cast<handle *>(h)->fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

uint32_t qd_disk_plug_sector_size(void *)
{
    return 512;
}

int qd_disk_plug_is_fixed_size(void *h)
{
    return static_cast<handle *>(h)->grow ? 0 : 1;
}

#ifndef TESTPLUG_NO_PREAD
int qd_disk_plug_pread(void *h, void *buf, uint32_t count, uint64_t offset)
{
    auto *p = static_cast<handle *>(h);
    g_calls++;
    ssize_t n = pread(p->fd, buf, count, static_cast<off_t>(offset));
    if (n < 0)
        p->last_errno = errno;
    return static_cast<int>(n);
}
#endif

int qd_disk_plug_pwrite(void *h, const void *buf, uint32_t count, uint64_t offset)
{
    auto *p = static_cast<handle *>(h);
    g_calls++;
    ssize_t n = pwrite(p->fd, buf, count, static_cast<off_t>(offset));
    if (n < 0)
        p->last_errno = errno;
    return static_cast<int>(n);
}

// A parameter of its own, which the block layer then lets through.
const char *qd_disk_plug_support_params()
{
    return "testplug_note|testplug_cache";
}

#ifndef TESTPLUG_NO_SYNC
int qd_disk_plug_sync(void *h)
{
    auto *p = static_cast<handle *>(h);
    if (fsync(p->fd) != 0) {
        p->last_errno = errno;
        return -1;
    }
    return 0;
}
#endif
}
