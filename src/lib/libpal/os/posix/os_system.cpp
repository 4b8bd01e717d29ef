// Command status and command output values.
#define ZLOG_TAG "pal"

#include "libpal/os/posix/os_system.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "libpal/basic/os_malloc.h"
#include "libpal/env/pl_assert.h"
#include "libpal/os/os_popen.h"
#include "libpal/string/str_kv.h"

int os_system(const char *command)
{
    PL_ASSERT_RET(command != nullptr, -1);
    // Not system(3): its child would keep the daemon's ignored signals.
    const pid_t pid = fork();
    if (pid < 0) {
        ZLOG(uint32_t{LOG2_ERR} | LOG2_F_ERRNO, "system [%s] error: ", command);
        return -1;
    }
    if (pid == 0) {
        os_child_signals_default();
        execl("/bin/sh", "sh", "-c", command, static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    pid_t r;
    do {
        r = waitpid(pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        ZLOG(uint32_t{LOG2_ERR} | LOG2_F_ERRNO, "system [%s] wait error: ", command);
        return -1;
    }
    return os_waitpid_status_2_eno(pid, status, command);
}

char *get_popen_val(const char *command, const char *key, char *out, size_t size)
{
    PL_ASSERT_RET(command != nullptr && key != nullptr && out != nullptr && size > 0, nullptr);
    out[0] = '\0';
    popen_ctx *ctx = os_popen(command, "r");
    if (ctx == nullptr) {
        ZLOG(uint32_t{LOG2_ERR} | LOG2_F_ERRNO, "os_popen error: ");
        return nullptr;
    }
    // The error pipe is drained too, so a child that writes much there
    // cannot stall before it has written its values.
    char *text = nullptr;
    if (os_popen_read_all_ms(ctx, &text, nullptr, GET_POPEN_VAL_WAIT_MS) == 0)
        str_kv_get_key(text, "\n", '#', key, out, size);
    os_free(text);
    os_pclose(ctx);
    return out;
}
