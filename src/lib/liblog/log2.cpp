#include "liblog/log2.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <pthread.h>
#include <unistd.h>

#include "libbsv/bsv.h"
#include "libconf/conf.h"
#include "liblog/log_console.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/basic/os_sync.h"
#include "libpal/basic/os_thread_name.h"
#include "libpal/basic/pl_own.h"
#include "libpal/basic/val_tab.h"
#include "libpal/basic/verr.h"
#include "libpal/os/os_time_str.h"
#include "libpal/os/posix/os_daemon.h"
#include "libpal/os/posix/os_panic.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_edit.h"
#include "libpal/string/str_num.h"
#include "libpal/string/str_quote.h"
#include "libpal/string/str_safe.h"

struct log2_early {
    struct line {
        int level;
        uint8_t reached;
        std::string tag;
        std::string text;
        std::string file_text;
        // The record's: where the call came from (__FILE__ and __func__
        // live as long as the process) and its text, kept while a pcap
        // file has not had it.
        const char *file;
        int lineno;
        const char *func;
        std::string record;
    };
    std::vector<line> lines;
    size_t bytes = 0;
};

namespace {

constexpr int32_t kDefaultThreshold = LOG2_DBG;
constexpr size_t kErrTextSize = 4096;
constexpr size_t kDiagSize = 4096;
constexpr size_t kQuoteSize = 4096;
constexpr size_t kThreadNameSize = 256;
constexpr size_t kHelpSize = 128;
constexpr size_t kSectionSize = 256;
constexpr size_t kRefusalSize = 4096;
// A "file_size" below this is refused and the cap stays.
constexpr uint64_t kMinConfFileSize = 2048;
// Levels of the high-level callback are above this one.
constexpr int kLowCbMaxLevel = LOG2_WARN;

constexpr val_tab kLevelNames[] = {
    {2, "crit"}, {3, "err"}, {4, "warn"}, {5, "noti"}, {6, "info"}, {7, "dbg"}, {8, "verb"},
};
constexpr val_tab kLevelPrefixes[] = {
    {2, "CRIT"}, {3, "ERROR"}, {4, "WARN"}, {5, "NOTI"}, {6, "INFO"}, {7, "DEBUG"}, {8, "VERB"},
};
constexpr val_tab kLevelWebNames[] = {
    {2, "error"}, {3, "error"}, {4, "warning"}, {5, "warning"}, {6, "info"}, {7, "debug"}, {8, "debug"},
};
constexpr size_t kLevelCount = std::size(kLevelNames);

// Takeover state of the default context: log2_init_imp configures the
// default context once; later configurations get contexts of their own.
enum : int { kNoDefault = 0, kDefaultCreated = 1, kDefaultConfigured = 2 };

std::atomic<log2_ctx *> g_default{nullptr};
std::atomic<int> g_takeover{kNoDefault};
std::atomic<bool> g_default_exited{false};
std::atomic<bool> g_diag{false};
// Serialises creating and shutting down the default context.
constinit std::mutex g_default_lock;
// The default context after its exit: a thread that read the pointer before
// may still lock its mutex, so neither is ever freed.
log2_ctx *g_default_retired = nullptr;
// Set while this thread creates the default context: what the allocator logs
// meanwhile is dropped rather than creating a second one.
thread_local bool t_creating = false;
// Set while this thread is inside a log call of any context: what a sink,
// the record writer or anything they call logs meanwhile is dropped. A
// nested call on another context would otherwise take that context's mutex
// while this one's is held, and two threads doing so in turn would deadlock.
thread_local bool t_in_log = false;
// The context whose setter this thread runs (see ctx_hold).
thread_local const log2_ctx *t_in_setter = nullptr;
// How long a new collector URL waits for the earlier opener thread.
constexpr int kBsvJoinMs = 1000;
// How long the stop waits in all for the logger's threads (the collector's
// opener, a syslog lookup, a file's cut), each once under this one deadline:
// names that never resolve cost the stop one wait, not one per thread.
constexpr int kStopWaitMs = 1000;
// Before the daemon forks: the collector's opener's bound to finish a lookup.
constexpr int kForkJoinMs = 5000;

// The sinks' own threads: how many run, and whether a fork is being
// prepared (by which process), during which none starts.
std::atomic<int> g_threads{0};
std::atomic<bool> g_fork_held{false};
std::atomic<pid_t> g_fork_pid{0};

// The lines kept before the sinks open: each one's level, tag and texts
// (the line, the untruncated text for the file, the record's), and which of
// the sinks it has reached.
constexpr uint8_t kEarlyFile = 1;
constexpr uint8_t kEarlySyslog = 2;
constexpr uint8_t kEarlyPcap = 4;
constexpr uint8_t kEarlyAll = kEarlyFile | kEarlySyslog | kEarlyPcap;

// A log call's record: where the call came from and its text.
struct call_record {
    const char *file;
    int lineno;
    const char *func;
    const char *text;
};
// Beyond this the lines are not kept (the console has them).
constexpr size_t kEarlyBytes = 65536;

// Contexts whose hook runs on this thread. A hook that logs on its own
// context (directly or through another context's hook) would otherwise
// recurse without end, since the hook path takes no lock and no busy count.
constexpr size_t kHookDepth = 4;
thread_local std::array<const log2_ctx *, kHookDepth> t_hooks{};
thread_local size_t t_hook_depth = 0;

bool hook_enter(const log2_ctx *ctx)
{
    if (t_hook_depth == kHookDepth) {
        return false;
    }
    for (size_t i = 0; i < t_hook_depth; i++) {
        if (t_hooks[i] == ctx) {
            return false;
        }
    }
    t_hooks[t_hook_depth++] = ctx;
    return true;
}

void hook_leave()
{
    t_hook_depth--;
}

int level_of(uint32_t level)
{
    return static_cast<int>(level & 0xff);
}

bool above_threshold(const log2_ctx *ctx, uint32_t level)
{
    return level_of(level) > ctx->threshold.load(std::memory_order_relaxed);
}

uint32_t self_tid()
{
    return static_cast<uint32_t>(os_thread_id());
}

// The caller's hold on a context: the busy count and owner make a second
// call from the same thread return before it touches the mutex. Log calls,
// the setters of the sinks and the getters of the texts the context keeps
// all take it, so that no text is read or changed while another thread
// writes it; what a sink logs from inside a setter is dropped like any call
// from inside the logger (the sinks report their own problems on standard
// error). A getter that finds the hold taken by its own thread (a line
// callback) is inside the only writer and reads without it.
class ctx_hold {
public:
    enum class use { log, setter };
    explicit ctx_hold(log2_ctx *ctx, use u = use::log) : ctx_(ctx), use_(u)
    {
        const uint32_t tid = self_tid();
        if (t_in_log) {
            return;
        }
        if (ctx->busy.load() != 0 && ctx->owner.load() == tid) {
            // A sink that reports while a setter changes it (a pcap file
            // found damaged as it opens) logs inside the setter's hold.
            if (u == use::log && t_in_setter == ctx) {
                nested_ = true;
                t_in_log = true;
            }
            return;
        }
        mutex_lock(ctx->mutex);
        if (ctx->exited) {
            mutex_unlock(ctx->mutex);
            return;
        }
        ctx->busy.fetch_add(1);
        ctx->owner.store(tid);
        held_ = true;
        if (u == use::log) {
            t_in_log = true;
        } else {
            t_in_setter = ctx;
        }
    }
    ~ctx_hold()
    {
        if (nested_) {
            t_in_log = false;
        }
        if (held_) {
            if (use_ == use::log) {
                t_in_log = false;
            } else {
                t_in_setter = nullptr;
            }
            ctx_->owner.store(0);
            ctx_->busy.fetch_sub(1);
            mutex_unlock(ctx_->mutex);
        }
    }
    ctx_hold(const ctx_hold &) = delete;
    ctx_hold &operator=(const ctx_hold &) = delete;
    bool held() const { return held_ || nested_; }

private:
    log2_ctx *ctx_;
    use use_;
    bool held_ = false;
    bool nested_ = false;
};

size_t copy_out(const char *text, char *buf, size_t size)
{
    if (buf == nullptr || size == 0) {
        return 0;
    }
    const size_t n = std::min(strlen(text), size - 1);
    memcpy(buf, text, n);
    buf[n] = '\0';
    return n;
}

// Appends formatted text at *pos, truncating at the buffer's end.
void line_appendf(char *buf, size_t size, size_t *pos, const char *fmt, ...) __attribute__((format(printf, 4, 5)));
void line_appendf(char *buf, size_t size, size_t *pos, const char *fmt, ...)
{
    if (*pos + 1 >= size) {
        return;
    }
    va_list ap;
    va_start(ap, fmt);
    const int n = str_vsprintf_s2(buf + *pos, size - *pos, fmt, ap);
    va_end(ap);
    if (n > 0) {
        *pos += static_cast<size_t>(n);
    }
}

const char *path_basename(const char *path)
{
    const char *base = path;
    for (const char *p = path; *p != '\0'; p++) {
        if (*p == '/' || *p == '\\') {
            base = p + 1;
        }
    }
    return base;
}

// Ends the process after a crit message. Other threads may still run, so the
// sinks are flushed and static destructors are skipped; the panic hook puts
// back what a fault would (a console's terminal left raw).
[[noreturn]] void log2_crit_exit()
{
    os_panic_call_hook();
    fflush(stderr);
    _exit(1);
}

// Keeps a line for the sinks not switched on yet. Requires: the context's mutex.
// A line without a record (rec nullptr) has none for a pcap file either.
void early_keep(log2_ctx *ctx, int level, const char *tag, const char *line, int len, const char *file_text,
                const call_record *rec)
{
    log2_early *early = ctx->early;
    if (early == nullptr || early->bytes >= kEarlyBytes) {
        return;
    }
    const uint8_t reached = (ctx->file_on.load() != 0 ? kEarlyFile : 0) | (ctx->syslog_on.load() != 0 ? kEarlySyslog : 0) |
                            (rec == nullptr || log_file_is_pcap(&ctx->file) ? kEarlyPcap : 0);
    if (reached == kEarlyAll) {
        return;
    }
    try {
        const bool pcap_wants = (reached & kEarlyPcap) == 0;
        early->lines.push_back({level, reached, tag, std::string(line, static_cast<size_t>(len)),
                                file_text != nullptr ? file_text : std::string(line, static_cast<size_t>(len)),
                                pcap_wants ? rec->file : nullptr, pcap_wants ? rec->lineno : 0,
                                pcap_wants ? rec->func : nullptr, pcap_wants ? rec->text : ""});
        const auto &kept = early->lines.back();
        early->bytes += kept.text.size() + kept.file_text.size() + kept.record.size();
    } catch (const std::bad_alloc &) {
        early->bytes = kEarlyBytes;
    }
}

// Hands one line to the sinks. Requires: the context's mutex held by this call.
void log2_dispatch(log2_ctx *ctx, uint32_t level, const char *tag, const char *line, int len,
                   const char *file_text, const call_record *rec)
{
    if (above_threshold(ctx, level)) {
        return;
    }
    if (len < 0) {
        len = static_cast<int>(strlen(line));
    }
    char tagbuf[LOG2_TAG_SIZE];
    str_safecopy2(tagbuf, sizeof(tagbuf), tag);
    const int lv = level_of(level);

    // Only a pair of callbacks splits the stream; a single one is not called.
    const log2_line_cb hi = ctx->hi_cb.load();
    const log2_line_cb lo = ctx->lo_cb.load();
    if (hi != nullptr && lo != nullptr) {
        (lv <= kLowCbMaxLevel ? lo : hi)(lv, tagbuf, line, len);
    }
    if (ctx->console_on.load() != 0) {
        log_console_write(ctx, lv, tagbuf, line, len);
    }
    if (ctx->file_on.load() != 0) {
        if (file_text != nullptr) {
            log_file_write(&ctx->file, lv, tagbuf, file_text, -1);
        } else {
            log_file_write(&ctx->file, lv, tagbuf, line, len);
        }
    }
    if (ctx->syslog_on.load() != 0) {
        syslog_write(&ctx->net, lv, tagbuf, line, len);
    }
    early_keep(ctx, lv, tagbuf, line, len, file_text, rec);
    str_tail_add(&ctx->tail, line);
    if (lv == static_cast<int>(LOG2_CRIT) && (level & LOG2_F_NOEXIT) == 0) {
        log2_crit_exit();
    }
}

// The body of a log call that passed the hook and the threshold. The record
// carries record_text when given (a ready text, without the errno text),
// else the message.
void log2_emit(log2_ctx *ctx, uint32_t level, const char *tag, const char *file, int lineno, const char *func,
               int eno, const char *record_text, const char *fmt, va_list ap) __attribute__((format(printf, 9, 0)));
void log2_emit(log2_ctx *ctx, uint32_t level, const char *tag, const char *file, int lineno, const char *func,
               int eno, const char *record_text, const char *fmt, va_list ap)
{
    // The thread's name is read before the context's mutex is taken: the
    // name registry may log while it holds its own mutex, so the two are
    // never taken in the other order.
    char name[kThreadNameSize];
    name[0] = '\0';
    if ((ctx->flags.load(std::memory_order_relaxed) & LOG2_FLAG_TID_NAME) != 0) {
        os_thread_name_get(name, sizeof(name));
    }
    ctx_hold hold(ctx);
    if (!hold.held()) {
        return;
    }
    str_buf *sb = ctx->msg;
    str_buf_reset(sb);

    char line[LOG2_LINE_SIZE];
    char msg[LOG2_LINE_SIZE];
    line[0] = '\0';
    msg[0] = '\0';
    size_t pos = 0;
    const uint32_t flags = ctx->flags.load(std::memory_order_relaxed);

    if ((flags & LOG2_FLAG_TIME) != 0 || (flags & LOG2_FLAG_TIME_MS) != 0) {
        char now[64];
        os_now_cstr((flags & LOG2_FLAG_TIME) != 0 ? OS_TIME_HMS : OS_TIME_HMS_MS, now, sizeof(now));
        line_appendf(line, sizeof(line), &pos, "%s ", now);
    }
    if ((flags & LOG2_FLAG_TID) != 0) {
        line_appendf(line, sizeof(line), &pos, "[%u] ", self_tid());
    }
    if ((flags & LOG2_FLAG_TID_NAME) != 0) {
        line_appendf(line, sizeof(line), &pos, "[%s] ", name);
    }
    if ((flags & LOG2_FLAG_FILE) != 0 && file != nullptr) {
        const char *shown = (flags & LOG2_FLAG_BASENAME) != 0 ? path_basename(file) : file;
        line_appendf(line, sizeof(line), &pos, "[%s:%d] ", shown, lineno);
    }
    if ((flags & LOG2_FLAG_FUNC) != 0 && func != nullptr) {
        line_appendf(line, sizeof(line), &pos, "%s(): ", func);
        str_buf_appendf(sb, "%s(): ", func);
    }

    va_list ap1;
    va_copy(ap1, ap);
    const int whole = vsnprintf(msg, sizeof(msg), fmt, ap1);
    va_end(ap1);
    if (whole < 0) {
        msg[0] = '\0';
    } else if (static_cast<size_t>(whole) < sizeof(msg)) {
        str_buf_append(sb, msg, static_cast<size_t>(whole));
    } else {
        // Cut in the line; the file sink still gets the whole message.
        va_list ap2;
        va_copy(ap2, ap);
        str_buf_vappendf(sb, fmt, ap2);
        va_end(ap2);
    }
    str_safecat2(line, sizeof(line), msg);

    if ((level & LOG2_F_ERRNO) != 0) {
        char etext[kErrTextSize];
        etext[0] = '\0';
        os_strerror(eno, etext, sizeof(etext));
        str_safecat2(line, sizeof(line), etext);
        str_safecat2(line, sizeof(line), "\n");
        str_safecat2(msg, sizeof(msg), etext);
        str_safecat2(msg, sizeof(msg), "\n");
        str_buf_append_str(sb, etext);
        str_buf_putc(sb, '\n');
    }

    const call_record rec{file, lineno, func, record_text != nullptr ? record_text : msg};
    bsv_log_write(level, tag, rec.file, rec.lineno, rec.func, rec.text);

    if ((level & LOG2_F_BSVONLY) == 0) {
        str_add_chr_not_exist_tail(line, sizeof(line), '\n');
        str_buf_putc_once(sb, '\n');
        log2_dispatch(ctx, level, tag, line, -1, str_buf_cstr(sb), &rec);
    }
}

// The daemon's fork hooks: no thread of the logger runs across the fork (a
// log file cut under way completes, the collector's opener and the syslog
// resolver end, none starts meanwhile); what was put off starts again in the
// process that goes on.
int ctx_before_fork(void *arg)
{
    return log2_fork_prepare(static_cast<log2_ctx *>(arg), kForkJoinMs);
}

int ctx_after_fork(void *arg)
{
    auto *ctx = static_cast<log2_ctx *>(arg);
    log2_fork_resume(ctx);
    const ctx_hold hold(ctx, ctx_hold::use::setter);
    return log_bsv_resume(&ctx->bsv);
}

void ctx_destroy(log2_ctx *ctx)
{
    os_daemon_hook_del(ctx_before_fork, ctx_after_fork, ctx);
    delete ctx->early;
    log_bsv_exit(&ctx->bsv);
    mutex_free(ctx->mutex);
    ctx->~log2_ctx();
    os_free(ctx);
}

// A new default context; nullptr when it has exited or cannot be made.
log2_ctx *default_create()
{
    std::lock_guard guard(g_default_lock);
    log2_ctx *ctx = g_default.load();
    if (ctx != nullptr || g_default_exited.load()) {
        return ctx;
    }
    t_creating = true;
    ctx = log2_ctx_new();
    t_creating = false;
    if (ctx != nullptr) {
        // Only the default's creation marks it as waiting for its
        // configuration: were every new context to do so, a context made
        // after the default was configured would hand the default over to
        // the next configuration once more.
        int expected = kNoDefault;
        g_takeover.compare_exchange_strong(expected, kDefaultCreated);
        g_default.store(ctx);
    }
    return ctx;
}

// Runs f under the context's hold once no cut of its file is in progress:
// a cut's thread is waited for without the mutex, so that no log call waits
// for its copy. False, with f not run, when end (a tick) passes first.
template <class F>
bool when_file_idle(log2_ctx *ctx, uint64_t end, F f)
{
    for (;;) {
        {
            const ctx_hold hold(ctx, ctx_hold::use::setter);
            // Inside the context's own log call (a line callback) nothing can be waited for.
            if (!hold.held() || !log_file_cutting(&ctx->file)) {
                f();
                return true;
            }
        }
        if (os_tick_ms() >= end) {
            return false;
        }
        os_sleep_ms(1);
    }
}

// A sink just switched on writes the kept lines it missed, those the
// threshold still lets through.
void early_replay(log2_ctx *ctx, uint8_t sink)
{
    const ctx_hold hold(ctx, ctx_hold::use::setter);
    if (!hold.held() || ctx->early == nullptr) {
        return;
    }
    for (auto &l : ctx->early->lines) {
        if ((l.reached & sink) != 0 || l.level > ctx->threshold.load()) {
            continue;
        }
        l.reached |= sink;
        if (sink == kEarlyFile) {
            log_file_write(&ctx->file, l.level, l.tag.c_str(), l.file_text.c_str(), -1);
        } else if (sink == kEarlyPcap) {
            bsv_log_write_file(static_cast<uint32_t>(l.level), l.tag.c_str(), l.file, l.lineno, l.func,
                               l.record.c_str());
        } else {
            syslog_write(&ctx->net, l.level, l.tag.c_str(), l.text.c_str(), static_cast<int>(l.text.size()));
        }
    }
}

intptr_t arg_int(const void *arg)
{
    return reinterpret_cast<intptr_t>(arg);
}

const void *int_arg(intptr_t v)
{
    return reinterpret_cast<const void *>(v);
}

using conf_ptr = pl_owned<conf_handle, conf_close>;

// "ini_file": text is a path; "ini_str": text is the INI text itself.
conf_ptr conf_open_typed(const char *type, const char *text)
{
    const std::string_view t = type == nullptr ? std::string_view{} : std::string_view{type};
    conf_handle *h = nullptr;
    if (t == "ini_file") {
        h = conf_load(text);
        if (h == nullptr) {
            log2_diag_printf("conf_load [%s] failed\n", text);
        }
    } else if (t == "ini_str") {
        h = conf_load_str(text, 0);
        if (h == nullptr) {
            log2_diag_printf("conf_load_str [%s] failed\n", text);
        }
    } else {
        log2_diag_printf("type [%s] error\n", type == nullptr ? "" : type);
    }
    return conf_ptr(h);
}

const char *conf_file_size(log2_ctx *ctx, const char *value)
{
    const uint64_t size = str_atosize(value);
    if (size < kMinConfFileSize) {
        return "not a size of at least 2048 bytes; the cap is unchanged";
    }
    log2_diag_printf("log2_ioctl log.file_size=%" PRIu64 "\n", size);
    // The cap is a u32: a larger size caps at its largest value, not at what
    // its low bits happen to be.
    const uint64_t cap = std::min<uint64_t>(size, UINT32_MAX);
    log2_ioctl(ctx, LOG2_CMD_FILE_SIZE, int_arg(static_cast<intptr_t>(cap)), -1);
    return nullptr;
}

void diag_from_env()
{
    if (getenv("QDDBGLOG") != nullptr) {
        g_diag.store(true);
    }
}

int32_t level_find(const char *name, const val_tab *tab)
{
    return name == nullptr ? -1 : val_tab_get_val(name, tab, kLevelCount);
}

// The keys of the log section in the order they are read. What shapes the
// file (its mode, its cap) is in force before "file" opens it: an existing
// file is judged against its own cap, not the default one. "max_num_file"
// prunes old files after the open, which gives it the name pattern to
// match, and the file just opened counts among those kept. Each apply gives
// nullptr, or why the value was refused.
struct conf_key {
    const char *key;
    uint32_t part;  // LOG2_CONF_FORMAT or LOG2_CONF_SINKS
    bool reported;  // "log.<key>=<value>" through the diagnostics
    const char *(*apply)(log2_ctx *ctx, const char *value);
};

constexpr conf_key kConfKeys[] = {
    {"debug", LOG2_CONF_FORMAT, true,
     [](log2_ctx *, const char *v) -> const char * {
         if (strcmp(v, "1") == 0) {
             g_diag.store(true);
         }
         return nullptr;
     }},
    {"level", LOG2_CONF_FORMAT, true,
     [](log2_ctx *c, const char *v) -> const char * {
         const int32_t level = level_find(v, kLevelNames);
         if (level < 0) {
             return "not a log level (verb, dbg, info, warn, err); the level is unchanged";
         }
         c->threshold.store(level);
         return nullptr;
     }},
    {"flags", LOG2_CONF_FORMAT, true,
     [](log2_ctx *c, const char *v) -> const char * {
         log2_ioctl(c, LOG2_CMD_FLAGS_STR, v, -1);
         return nullptr;
     }},
    {"syslog", LOG2_CONF_SINKS, true,
     [](log2_ctx *c, const char *v) -> const char * {
         log2_ioctl(c, LOG2_CMD_SYSLOG_URL, v, -1);
         log2_ioctl(c, LOG2_CMD_SYSLOG_ON, int_arg(1), -1);
         return nullptr;
     }},
    {"bsvlog", LOG2_CONF_SINKS, true,
     [](log2_ctx *c, const char *v) -> const char * {
         log2_ioctl(c, LOG2_CMD_BSV_URL, v, -1);
         return nullptr;
     }},
    {"file_dir", LOG2_CONF_SINKS, true,
     [](log2_ctx *c, const char *v) -> const char * {
         log2_ioctl(c, LOG2_CMD_FILE_DIR, v, -1);
         return nullptr;
     }},
    {"file_mode", LOG2_CONF_SINKS, false,
     [](log2_ctx *c, const char *v) -> const char * {
         const ctx_hold hold(c, ctx_hold::use::setter);
         return log_file_set_mode(&c->file, v) == 0 ? nullptr : "not a mode (a, w); the mode is unchanged";
     }},
    {"file_size", LOG2_CONF_SINKS, true, conf_file_size},
    {"file", LOG2_CONF_SINKS, true,
     [](log2_ctx *c, const char *v) -> const char * {
         log2_ioctl(c, LOG2_CMD_FILE_OPEN, v, -1);
         log2_ioctl(c, LOG2_CMD_FILE_ON, int_arg(1), -1);
         return nullptr;
     }},
    {"max_num_file", LOG2_CONF_SINKS, true,
     [](log2_ctx *c, const char *v) -> const char * {
         int keep = 0;
         if (conf_parse_int(v, INT_MIN, INT_MAX, &keep) != 0) {
             return "not a number; no old file is removed";
         }
         log2_ioctl(c, LOG2_CMD_FILE_KEEP, int_arg(keep), -1);
         return nullptr;
     }},
};

// An empty or missing value changes nothing; a refused one is said once,
// at warn level, through the logger.
void conf_apply(log2_ctx *ctx, conf_handle *conf, const char *section, uint32_t parts)
{
    for (const auto &k : kConfKeys) {
        if ((k.part & parts) == 0) {
            continue;
        }
        const char *value = conf_get_str(conf, section, k.key, "");
        if (value == nullptr) {
            value = "";
        }
        if (k.reported) {
            log2_diag_printf("log.%s=%s\n", k.key, value);
        }
        if (*value == '\0') {
            continue;
        }
        if (const char *why = k.apply(ctx, value); why != nullptr) {
            char text[kRefusalSize];
            log2_printf(ctx, LOG2_WARN, "conf", __FILE__, __LINE__, __func__, "%s",
                        conf_refusal(conf, section, k.key, why, text, sizeof(text)));
        }
    }
}

const char *level_lookup(int level, const val_tab *tab)
{
    return val_tab_get_name(level, tab, kLevelCount);
}

int level_reverse(const char *name, const val_tab *tab, const char *what)
{
    const int32_t v = level_find(name, tab);
    if (v < 0) {
        fprintf(stderr, "error: invalid %s [%s]\n", what, name == nullptr ? "" : name);
    }
    return v;
}

// A ready text goes through the one formatting path as "%s", so that it is
// cut in the line and kept whole for the file sink like any message.
void emit_text(log2_ctx *ctx, uint32_t level, const char *tag, const char *file, int lineno, const char *func,
               int eno, const char *text, const char *fmt, ...) __attribute__((format(printf, 9, 10)));
void emit_text(log2_ctx *ctx, uint32_t level, const char *tag, const char *file, int lineno, const char *func,
               int eno, const char *text, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    log2_emit(ctx, level, tag, file, lineno, func, eno, text, fmt, ap);
    va_end(ap);
}

}  // namespace

// ---- the log calls ----

int log2_vprintf(log2_ctx *ctx, uint32_t level, const char *tag, const char *file, int line, const char *func,
                 const char *fmt, va_list ap)
{
    const errno_keeper keep;
    ctx = log2_get_ctx(ctx);
    if (ctx == nullptr || fmt == nullptr) {
        return 0;
    }
    if (tag == nullptr || *tag == '\0') {
        tag = "tag";
    }
    const log2_hook hook = ctx->hook.load();
    if (hook != nullptr) {
        if (hook_enter(ctx)) {
            va_list copy;
            va_copy(copy, ap);
            hook(level, tag, file, line, func, keep.value(), fmt, copy);
            va_end(copy);
            hook_leave();
        }
        return 0;
    }
    if (above_threshold(ctx, level)) {
        return 0;
    }
    log2_emit(ctx, level, tag, file, line, func, keep.value(), nullptr, fmt, ap);
    return 0;
}

int log2_printf(log2_ctx *ctx, uint32_t level, const char *tag, const char *file, int line, const char *func,
                const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    log2_vprintf(ctx, level, tag, file, line, func, fmt, ap);
    va_end(ap);
    return 0;
}

int log2_puts(log2_ctx *ctx, uint32_t level, const char *tag, const char *file, int line, const char *func,
              const char *text)
{
    const errno_keeper keep;
    ctx = log2_get_ctx(ctx);
    if (ctx == nullptr || text == nullptr || above_threshold(ctx, level)) {
        return 0;
    }
    if (tag == nullptr || *tag == '\0') {
        tag = "tag";
    }
    emit_text(ctx, level, tag, file, line, func, keep.value(), text, "%s", text);
    return 0;
}

int log2_printf_cb(uint32_t level, const char *tag, const char *file, int line, const char *func, int eno,
                   const char *fmt, ...)
{
    (void)eno;
    va_list ap;
    va_start(ap, fmt);
    log2_vprintf(nullptr, level, tag, file, line, func, fmt, ap);
    va_end(ap);
    return 0;
}

void log2_hook_forward(uint32_t level, const char *tag, const char *file, int line, const char *func, int eno,
                       const char *fmt, va_list ap)
{
    if ((level & LOG2_F_ERRNO) != 0) {
        errno = eno;
    }
    log2_vprintf(nullptr, level, tag, file, line, func, fmt, ap);
}

int log2_write_line(log2_ctx *ctx, uint32_t level, const char *tag, const char *line, int len)
{
    const errno_keeper keep;
    ctx = log2_get_ctx(ctx);
    if (ctx == nullptr || line == nullptr || above_threshold(ctx, level)) {
        return 0;
    }
    if (tag == nullptr || *tag == '\0') {
        tag = "tag";
    }
    // The sinks expect a terminated line; a counted one is copied (and cut
    // like every other line at the line size).
    char buf[LOG2_LINE_SIZE];
    size_t n = len < 0 ? strlen(line) : static_cast<size_t>(len);
    if (n >= sizeof(buf)) {
        n = sizeof(buf) - 1;
    }
    memcpy(buf, line, n);
    buf[n] = '\0';
    ctx_hold hold(ctx);
    if (hold.held()) {
        log2_dispatch(ctx, level, tag, buf, static_cast<int>(n), nullptr, nullptr);
    }
    return 0;
}

// ---- contexts ----

log2_ctx *log2_ctx_new()
{
    void *mem = os_zalloc(sizeof(log2_ctx));
    if (mem == nullptr) {
        return nullptr;
    }
    auto *ctx = new (mem) log2_ctx{};
    ctx->mutex = mutex_malloc();
    ctx->msg = str_buf_new();
    if (ctx->mutex == nullptr || ctx->msg == nullptr) {
        str_buf_free(ctx->msg);
        ctx_destroy(ctx);
        return nullptr;
    }
    ctx->flags.store(LOG2_DEFAULT_FLAGS);
    ctx->threshold.store(kDefaultThreshold);
    ctx->console_on.store(1);
    log_file_init(&ctx->file);
    log_net_init(&ctx->net, ctx);
    log_bsv_init(&ctx->bsv);
    if (ctx->bsv.lock == nullptr || os_daemon_hook_add(ctx_before_fork, ctx_after_fork, ctx) != 0) {
        str_buf_free(ctx->msg);
        ctx_destroy(ctx);
        return nullptr;
    }
    ctx->early = new (std::nothrow) log2_early;
    str_tail_init(&ctx->tail, ctx->recent, sizeof(ctx->recent));
    return ctx;
}

log2_ctx *log2_get_ctx(log2_ctx *ctx)
{
    if (ctx != nullptr) {
        return ctx;
    }
    ctx = g_default.load();
    if (ctx != nullptr || g_default_exited.load() || t_creating) {
        return ctx;
    }
    const errno_keeper keep;
    return default_create();
}

log2_ctx *log2_init_conf(conf_handle *conf, const char *name, uint32_t parts)
{
    diag_from_env();
    log2_ctx *ctx = nullptr;
    {
        std::lock_guard guard(g_default_lock);
        log2_ctx *def = g_default.load();
        if (def == nullptr && !g_default_exited.load()) {
            t_creating = true;
            ctx = log2_ctx_new();
            t_creating = false;
            if (ctx != nullptr) {
                g_default.store(ctx);
                g_takeover.store(kDefaultConfigured);
            }
        } else if (def != nullptr && g_takeover.load() == kDefaultCreated) {
            ctx = def;
            g_takeover.store(kDefaultConfigured);
        }
    }
    if (ctx == nullptr) {
        ctx = log2_ctx_new();
        if (ctx == nullptr) {
            return nullptr;
        }
    }
    if (conf != nullptr) {
        log2_conf_apply(ctx, conf, name, parts);
    }
    return ctx;
}

int log2_conf_apply(log2_ctx *ctx, conf_handle *conf, const char *name, uint32_t parts)
{
    ctx = log2_get_ctx(ctx);
    if (ctx == nullptr || conf == nullptr) {
        return -1;
    }
    char section[kSectionSize];
    if (name != nullptr && *name != '\0') {
        str_sprintf_s2(section, sizeof(section), "log_%s", name);
    } else {
        str_safecopy2(section, sizeof(section), "log");
    }
    conf_apply(ctx, conf, section, parts);
    return 0;
}

log2_ctx *log2_init_imp(const char *type, const char *text, const char *name)
{
    diag_from_env();
    log2_diag_printf("conf=[%s]\n", text == nullptr ? "" : text);
    const conf_ptr conf = text != nullptr ? conf_open_typed(type, text) : conf_ptr();
    return log2_init_conf(conf.get(), name, LOG2_CONF_FORMAT | LOG2_CONF_SINKS);
}

log2_ctx *log2_init_file(const char *path, const char *name)
{
    return log2_init_imp("ini_file", path, name);
}

log2_ctx *log2_init_str(const char *text, const char *name)
{
    return log2_init_imp("ini_str", text, name);
}

int log2_exit(log2_ctx *ctx)
{
    std::unique_lock guard(g_default_lock);
    // The default acts once, also when it is named by its pointer: its
    // mutex may still be taken by a thread that read the pointer earlier.
    if (ctx != nullptr && ctx == g_default_retired) {
        return 0;
    }
    log2_ctx *def = g_default.load();
    const bool is_default = ctx == nullptr || ctx == def;
    if (is_default) {
        if (def == nullptr) {
            g_default_exited.store(true);
            return 0;
        }
        ctx = def;
    } else {
        // Lock order: a log call holds its context's mutex before it may
        // create the default context under g_default_lock.
        guard.unlock();
    }
    // A call from inside this context's own log call cannot take its mutex.
    if (ctx->busy.load() != 0 && ctx->owner.load() == self_tid()) {
        return -1;
    }
    // The logger's threads are waited for before the mutex is taken (the
    // collector's opener may be logging, and no log call waits for a cut or
    // a lookup), each once, under one deadline; what is still running then
    // is let go by the closes below.
    const uint64_t deadline = os_tick_ms() + kStopWaitMs;
    const auto left = [deadline] {
        const uint64_t now = os_tick_ms();
        return now >= deadline ? 0 : static_cast<int>(deadline - now);
    };
    log_bsv_join(&ctx->bsv, left());
    for (mutex_lock(ctx->mutex); (log_file_cutting(&ctx->file) || log_net_resolving(&ctx->net)) && left() > 0;
         mutex_lock(ctx->mutex)) {
        mutex_unlock(ctx->mutex);
        os_sleep_ms(1);
    }
    // What the sinks log while they close (a cut completed on its way out)
    // is dropped like any call from inside the logger.
    const bool was_in_log = std::exchange(t_in_log, true);
    ctx->exited = true;
    if (is_default) {
        g_default_exited.store(true);
        g_default.store(nullptr);
        g_default_retired = ctx;
    }
    str_buf_free(ctx->msg);
    ctx->msg = nullptr;
    // An opener still running keeps the context allocated: it uses the sink.
    const bool opener_gone = log_bsv_stop(&ctx->bsv) == 0;
    log_net_close(&ctx->net);
    log_file_close(&ctx->file);
    if (is_default) {
        bsv_exit_all();
    }
    t_in_log = was_in_log;
    mutex_unlock(ctx->mutex);
    if (is_default) {
        guard.unlock();
        os_thread_name_exit();
    } else if (opener_gone) {
        ctx_destroy(ctx);
    }
    return 0;
}

int log2_set_hook(log2_ctx *ctx, log2_hook hook)
{
    ctx = log2_get_ctx(ctx);
    if (ctx == nullptr) {
        return -1;
    }
    ctx->hook.store(hook);
    return 0;
}

int log2_set_thread_name(const char *name)
{
    return name == nullptr ? os_thread_name_del() : os_thread_name_set(name);
}

// ---- commands ----

int log2_ioctl(log2_ctx *ctx, int cmd, const void *arg, int len)
{
    ctx = log2_get_ctx(ctx);
    if (ctx == nullptr) {
        return -1;
    }
    switch (cmd) {
    case LOG2_CMD_LEVEL:
        ctx->threshold.store(static_cast<int32_t>(arg_int(arg)));
        return 0;
    case LOG2_CMD_FLAGS:
        ctx->flags.store(static_cast<uint32_t>(arg_int(arg)));
        return 0;
    case LOG2_CMD_LEVEL_STR: {
        const int level = log2_level_from_name(static_cast<const char *>(arg));
        if (level < 0) {
            return -1;
        }
        ctx->threshold.store(level);
        return 0;
    }
    case LOG2_CMD_FLAGS_STR:
        ctx->flags.store(log_flags_2_int(static_cast<const char *>(arg)));
        return 0;
    case LOG2_CMD_HI_CB:
        ctx->hi_cb.store(reinterpret_cast<log2_line_cb>(const_cast<void *>(arg)));
        return 0;
    case LOG2_CMD_LO_CB:
        ctx->lo_cb.store(reinterpret_cast<log2_line_cb>(const_cast<void *>(arg)));
        return 0;
    case LOG2_CMD_GET_LEVEL:
        if (arg == nullptr || len < static_cast<int>(sizeof(uint32_t))) {
            return -1;
        }
        *static_cast<uint32_t *>(const_cast<void *>(arg)) = static_cast<uint32_t>(ctx->threshold.load());
        return 0;
    case LOG2_CMD_FILE_OPEN: {
        int rc = -1;
        bool pcap = false;
        when_file_idle(ctx, UINT64_MAX, [&] {
            rc = log_file_open(&ctx->file, static_cast<const char *>(arg));
            pcap = log_file_is_pcap(&ctx->file);
        });
        // A pcap file takes records from its open on, whether the file
        // sink is switched on or not.
        if (pcap) {
            early_replay(ctx, kEarlyPcap);
        }
        return rc;
    }
    case LOG2_CMD_FILE_DIR: {
        const ctx_hold hold(ctx, ctx_hold::use::setter);
        return log_file_set_dir(&ctx->file, static_cast<const char *>(arg));
    }
    case LOG2_CMD_FILE_SIZE: {
        const ctx_hold hold(ctx, ctx_hold::use::setter);
        return log_file_set_size(&ctx->file, static_cast<uint32_t>(std::clamp<intptr_t>(arg_int(arg), 0, UINT32_MAX)));
    }
    case LOG2_CMD_FILE_KEEP: {
        const ctx_hold hold(ctx, ctx_hold::use::setter);
        return log_file_del_old(&ctx->file, static_cast<int>(arg_int(arg)));
    }
    case LOG2_CMD_SYSLOG_URL: {
        const ctx_hold hold(ctx, ctx_hold::use::setter);
        return log_net_open(&ctx->net, static_cast<const char *>(arg)) < 0 ? -1 : 0;
    }
    case LOG2_CMD_BSV_URL: {
        // The earlier collector's opener may be logging: it is waited for
        // before the hold is taken, as at the exit.
        log_bsv_join(&ctx->bsv, kBsvJoinMs);
        const ctx_hold hold(ctx, ctx_hold::use::setter);
        return log_bsv_udp_open(&ctx->bsv, static_cast<const char *>(arg));
    }
    case LOG2_CMD_CONSOLE_ON:
        ctx->console_on.store(arg_int(arg) != 0 ? 1 : 0);
        return 0;
    case LOG2_CMD_FILE_ON:
        ctx->file_on.store(arg_int(arg) != 0 ? 1 : 0);
        if (arg_int(arg) != 0) {
            early_replay(ctx, kEarlyFile);
        }
        return 0;
    case LOG2_CMD_SYSLOG_ON:
        ctx->syslog_on.store(arg_int(arg) != 0 ? 1 : 0);
        if (arg_int(arg) != 0) {
            early_replay(ctx, kEarlySyslog);
        }
        return 0;
    case LOG2_CMD_EARLY_END: {
        const ctx_hold hold(ctx, ctx_hold::use::setter);
        delete std::exchange(ctx->early, nullptr);
        return 0;
    }
    default:
        fprintf(stderr, "Invalid command code=%d\n", cmd);
        return -1;
    }
}

// ---- queries ----

uint32_t log2_get_busy(log2_ctx *ctx)
{
    ctx = log2_get_ctx(ctx);
    return ctx == nullptr ? 0 : ctx->busy.load();
}

int log2_set_level(log2_ctx *ctx, int level)
{
    ctx = log2_get_ctx(ctx);
    if (ctx == nullptr) {
        return 0;
    }
    ctx->threshold.store(level);
    return level;
}

int log2_set_level_str(log2_ctx *ctx, const char *name)
{
    ctx = log2_get_ctx(ctx);
    if (ctx == nullptr) {
        return 0;
    }
    const int level = log2_level_from_name(name);
    if (level < 0) {
        return -1;
    }
    ctx->threshold.store(level);
    return 0;
}

int log2_get_level(log2_ctx *ctx)
{
    ctx = log2_get_ctx(ctx);
    return ctx == nullptr ? 0 : ctx->threshold.load();
}

const char *log2_get_level_str(log2_ctx *ctx)
{
    ctx = log2_get_ctx(ctx);
    return ctx == nullptr ? "" : log2_level_name(ctx->threshold.load());
}

size_t log2_get_recent(log2_ctx *ctx, char *buf, size_t size)
{
    ctx = log2_get_ctx(ctx);
    if (ctx == nullptr) {
        return copy_out("", buf, size);
    }
    const ctx_hold hold(ctx);
    return copy_out(ctx->recent, buf, size);
}

size_t log2_get_file_path(log2_ctx *ctx, char *buf, size_t size)
{
    ctx = log2_get_ctx(ctx);
    if (ctx == nullptr) {
        return copy_out("", buf, size);
    }
    const ctx_hold hold(ctx);
    return copy_out(log_file_get_path(&ctx->file), buf, size);
}

int log2_get_file_fd(log2_ctx *ctx)
{
    ctx = log2_get_ctx(ctx);
    if (ctx == nullptr) {
        return -1;
    }
    const ctx_hold hold(ctx);
    return log_file_fileno(&ctx->file);
}

int log2_get_net_fd(log2_ctx *ctx)
{
    ctx = log2_get_ctx(ctx);
    if (ctx == nullptr) {
        return -1;
    }
    const ctx_hold hold(ctx);
    return ctx->net.fd;
}

int log2_get_bsv_fd(log2_ctx *ctx)
{
    ctx = log2_get_ctx(ctx);
    return ctx == nullptr ? -1 : log_bsv_fd(&ctx->bsv);
}

int log2_bsv_join(log2_ctx *ctx, int ms)
{
    ctx = log2_get_ctx(ctx);
    if (ctx == nullptr) {
        return 0;
    }
    const uint64_t start = os_tick_ms();
    const bool settled = when_file_idle(ctx, start + static_cast<uint64_t>(std::max(ms, 0)),
                                        [ctx] { log_file_settle(&ctx->file); });
    const int left = std::max<int>(0, ms - static_cast<int>(os_tick_ms() - start));
    return log_bsv_join(&ctx->bsv, left) == 0 && settled ? 0 : -1;
}

int log2_fork_prepare(log2_ctx *ctx, int ms)
{
    g_fork_pid.store(getpid());
    g_fork_held.store(true);
    const uint64_t end = os_tick_ms() + static_cast<uint64_t>(std::max(ms, 0));
    const bool joined = log2_bsv_join(ctx, ms) == 0;
    while (g_threads.load() != 0 && os_tick_ms() < end) {
        os_sleep_ms(1);
    }
    return joined && g_threads.load() == 0 ? 0 : -1;
}

void log2_fork_resume(log2_ctx *ctx)
{
    ctx = log2_get_ctx(ctx);
    if (ctx != nullptr && getpid() != g_fork_pid.load()) {
        g_threads.store(0);
        const ctx_hold hold(ctx, ctx_hold::use::setter);
        log_file_forked(&ctx->file);
        log_net_forked(&ctx->net);
    }
    g_fork_held.store(false);
}

bool log2_thread_start(const char *name, void (*body)(void *), void *arg)
{
    // From the start of a detach to its fork none starts: the work is tried
    // again at a later line, in the process that goes on.
    if (g_fork_held.load() || os_daemon_detaching()) {
        return false;
    }
    g_threads.fetch_add(1);
    try {
        std::thread([name, body, arg] {
            pthread_setname_np(pthread_self(), name);
            body(arg);
            g_threads.fetch_sub(1);
        }).detach();
    } catch (const std::system_error &) {
        g_threads.fetch_sub(1);
        return false;
    }
    return true;
}

int log2_get_info(log2_ctx *ctx, log2_info *info)
{
    if (info == nullptr) {
        return -1;
    }
    ctx = log2_get_ctx(ctx);
    if (ctx == nullptr) {
        memset(info, 0, sizeof(*info));
        return 0;
    }
    const ctx_hold hold(ctx);
    info->level = static_cast<uint32_t>(ctx->threshold.load());
    info->flags = ctx->flags.load();
    info->console_on = ctx->console_on.load();
    info->file_on = ctx->file_on.load();
    str_safecopy2(info->file_path, sizeof(info->file_path), log_file_get_path(&ctx->file));
    info->file_size = log_file_get_size(&ctx->file);
    info->syslog_on = ctx->syslog_on.load();
    str_safecopy2(info->syslog_url, sizeof(info->syslog_url), log_net_get_url(&ctx->net));
    str_safecopy2(info->bsv_url, sizeof(info->bsv_url), log_bsv_get_url(&ctx->bsv));
    return 0;
}

char *log2_info_dump(log2_ctx *ctx)
{
    ctx = log2_get_ctx(ctx);
    if (ctx == nullptr) {
        return nullptr;
    }
    auto info = static_cast<log2_info *>(os_malloc(sizeof(log2_info)));
    str_buf *sb = str_buf_new();
    if (info == nullptr || sb == nullptr) {
        os_free(info);
        str_buf_free(sb);
        return nullptr;
    }
    log2_get_info(ctx, info);
    char quoted[kQuoteSize];
    str_buf_appendf(sb, "log_level=%s\n", log2_level_name(static_cast<int>(info->level)));
    str_buf_appendf(sb, "log_shell_enale_out=%d\n", info->console_on);
    str_buf_appendf(sb, "log_file_enale_out=%d\n", info->file_on);
    str_buf_appendf(sb, "log_file_name=%s\n", str_quote_sq(info->file_path, quoted, sizeof(quoted)));
    str_buf_appendf(sb, "log_file_max_size=%d\n", static_cast<int>(info->file_size));
    str_buf_appendf(sb, "log_syslog_enale_out=%d\n", info->syslog_on);
    str_buf_appendf(sb, "log_syslog_url=%s\n", str_quote_sq(info->syslog_url, quoted, sizeof(quoted)));
    str_buf_appendf(sb, "log_bsvlog_url=%s\n", str_quote_sq(info->bsv_url, quoted, sizeof(quoted)));
    os_free(info);
    return str_buf_detach_nonnull(sb);
}

// ---- level names ----

int log2_level_from_name(const char *name)
{
    return level_reverse(name, kLevelNames, "level");
}

int log2_level_from_prefix(const char *prefix)
{
    return level_reverse(prefix, kLevelPrefixes, "prefix");
}

const char *log2_level_name(int level)
{
    return level_lookup(level, kLevelNames);
}

const char *log2_level_prefix(int level)
{
    return level_lookup(level, kLevelPrefixes);
}

const char *log2_level_2_web_name(int level)
{
    return level_lookup(level, kLevelWebNames);
}

const char *log2_level_names()
{
    return "verb|dbg|info|noti|warn|err|crit";
}

const char *log2_level_help()
{
    static const std::array<char, kHelpSize> help = [] {
        std::array<char, kHelpSize> buf{};
        str_sprintf_s(buf.data(), buf.size(),
                      "log.verb=%d\nlog.dbg=%d\nlog.info=%d\nlog.noti=%d\nlog.warn=%d\nlog.err=%d\nlog.crit=%d",
                      LOG2_VERB, LOG2_DBG, LOG2_INFO, LOG2_NOTI, LOG2_WARN, LOG2_ERR, LOG2_CRIT);
        return buf;
    }();
    return help.data();
}

// ---- diagnostics and flag words ----

void log2_diag_printf(const char *fmt, ...)
{
    if (!g_diag.load() || fmt == nullptr) {
        return;
    }
    char buf[kDiagSize];
    buf[0] = '\0';
    va_list ap;
    va_start(ap, fmt);
    str_vsprintf_s2(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    fputs(buf, stderr);
    fflush(stderr);
}

uint32_t log_flags_2_int(const char *text)
{
    struct flag_word {
        std::string_view word;
        uint32_t clear;
        uint32_t set;
    };
    static constexpr flag_word kWords[] = {
        {"no_colour", LOG2_FLAG_COLOUR, 0},
        {"time", 0, LOG2_FLAG_TIME},
        {"time_ms", LOG2_FLAG_TIME, LOG2_FLAG_TIME_MS},
        {"func", 0, LOG2_FLAG_FUNC},
        {"tid", 0, LOG2_FLAG_TID},
        {"tid_name", 0, LOG2_FLAG_TID_NAME},
        {"file", 0, LOG2_FLAG_FILE | LOG2_FLAG_BASENAME},
    };
    uint32_t flags = LOG2_FLAG_COLOUR;
    std::string_view rest = text == nullptr ? std::string_view{} : std::string_view{text};
    while (!rest.empty()) {
        const size_t bar = rest.find('|');
        const std::string_view word = rest.substr(0, bar);
        rest = bar == std::string_view::npos ? std::string_view{} : rest.substr(bar + 1);
        if (word.empty()) {
            continue;
        }
        bool known = false;
        for (const auto &w : kWords) {
            if (w.word == word) {
                flags = (flags & ~w.clear) | w.set;
                known = true;
                break;
            }
        }
        if (!known) {
            fprintf(stderr, "Invalid tags: [%.*s]\n", static_cast<int>(word.size()), word.data());
        }
    }
    log2_diag_printf("log_flags_2_int=%s 0x%x\n", text == nullptr ? "" : text, flags);
    return flags;
}
