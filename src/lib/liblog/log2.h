// The logger: the one logging call of the whole program. A call carries a
// level with flags, a module tag, the source position and a format; the
// context's flag bits choose the line's prefixes, and the line goes to the
// enabled sinks (console, log file, syslog, user callbacks) and to the
// recent-lines buffer; every message also becomes a binary log record
// (libbsv), which may go on to the log collector and a pcap log file. A null context means the process-wide default one,
// created by the first call. A log call never changes errno; a call made from
// inside the logger on the same thread (on any context) is dropped. The logger's own
// complaints go to standard error or to log2_diag_printf, never to a log call.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "libpal/string/str_tail.h"
#include "liblog/log_bsv.h"
#include "liblog/log_file.h"
#include "liblog/log_net.h"

// Levels and flags are plain constants so that a level and its flags combine
// with "|" (LOG2_ERR | LOG2_F_ERRNO).
constexpr uint32_t LOG2_CRIT = 2;
constexpr uint32_t LOG2_ERR  = 3;
constexpr uint32_t LOG2_WARN = 4;
constexpr uint32_t LOG2_NOTI = 5;
constexpr uint32_t LOG2_INFO = 6;
constexpr uint32_t LOG2_DBG  = 7;
constexpr uint32_t LOG2_VERB = 8;

// Message flags, added to the level of one call.
constexpr uint32_t LOG2_F_ERRNO   = 0x100;  // append the text of the current errno
constexpr uint32_t LOG2_F_NOEXIT  = 0x200;  // a crit message does not end the process
constexpr uint32_t LOG2_F_NET     = 0x400;  // the binary record also goes to the collector
constexpr uint32_t LOG2_F_BSVONLY = 0x800;  // only a binary record, no text sink

// Context flag bits: the pieces of a line's prefix.
constexpr uint32_t LOG2_FLAG_TID      = 0x01;
constexpr uint32_t LOG2_FLAG_TIME     = 0x02;
constexpr uint32_t LOG2_FLAG_FUNC     = 0x04;
constexpr uint32_t LOG2_FLAG_FILE     = 0x08;
constexpr uint32_t LOG2_FLAG_BASENAME = 0x10;
constexpr uint32_t LOG2_FLAG_COLOUR   = 0x20;
constexpr uint32_t LOG2_FLAG_TIME_MS  = 0x40;
constexpr uint32_t LOG2_FLAG_TID_NAME = 0x80;

constexpr uint32_t LOG2_DEFAULT_FLAGS = 0x27;
constexpr size_t LOG2_LINE_SIZE = 8192;    // a line and a message, NUL included
constexpr size_t LOG2_RECENT_SIZE = 1024;  // the recent-lines buffer
constexpr size_t LOG2_TAG_SIZE = 256;

// log2_ioctl commands.
enum : int {
    LOG2_CMD_LEVEL      = 1,   // integer threshold
    LOG2_CMD_FLAGS      = 2,   // integer flag bits
    LOG2_CMD_LEVEL_STR  = 3,   // short level name
    LOG2_CMD_FLAGS_STR  = 4,   // flag words ("time|tid|func")
    LOG2_CMD_HI_CB      = 5,   // log2_line_cb for levels above warn
    LOG2_CMD_LO_CB      = 6,   // log2_line_cb for warn and below
    LOG2_CMD_GET_LEVEL  = 7,   // stores the threshold in a u32; len >= 4
    LOG2_CMD_FILE_OPEN  = 20,  // log file path
    LOG2_CMD_FILE_DIR   = 21,  // log file directory
    LOG2_CMD_FILE_SIZE  = 22,  // log file size cap
    LOG2_CMD_FILE_KEEP  = 23,  // number of old log files kept
    LOG2_CMD_BSV_URL    = 30,  // binary-record collector URL
    LOG2_CMD_SYSLOG_URL = 31,  // syslog server URL
    LOG2_CMD_CONSOLE_ON = 40,  // 0 or 1
    LOG2_CMD_FILE_ON    = 42,  // 0 or 1
    LOG2_CMD_SYSLOG_ON  = 43,  // 0 or 1
    LOG2_CMD_EARLY_END  = 44,  // the sinks are open: lines logged before them are no longer kept
};

struct os_mutex;
struct str_buf;
struct log2_early;
struct conf_handle;

// Takes a whole log call over when set: no level test, no lock, no sink.
using log2_hook = void (*)(uint32_t level, const char *tag, const char *file, int line, const char *func,
                           int eno, const char *fmt, va_list ap);
using log2_line_cb = void (*)(int level, const char *tag, const char *line, int len);

struct log2_ctx {
    std::atomic<uint32_t> busy;   // non-zero while a call is between lock and unlock
    std::atomic<uint32_t> owner;  // thread id of that call, 0 when none
    os_mutex *mutex;
    std::atomic<uint32_t> flags;
    std::atomic<int32_t> threshold;  // highest level written
    std::atomic<uint8_t> console_on;
    std::atomic<uint8_t> file_on;
    std::atomic<uint8_t> syslog_on;
    std::atomic<log2_line_cb> hi_cb;
    std::atomic<log2_line_cb> lo_cb;
    std::atomic<log2_hook> hook;
    char recent[LOG2_RECENT_SIZE];
    str_tail tail;
    str_buf *msg;  // the untruncated message of the call in progress
    log_file file;
    log_net net;
    log_bsv bsv;   // the log collector
    bool exited;   // set under the mutex by log2_exit
    // The lines logged before the file and syslog sinks were switched on
    // (configuration warnings come before the sinks open): each sink writes
    // those it missed once it is switched on, a pcap file as it opens. Kept
    // until LOG2_CMD_EARLY_END.
    log2_early *early;
};

// The settings snapshot of log2_get_info.
struct log2_info {
    uint32_t level;
    uint32_t flags;
    int32_t console_on;
    int32_t file_on;
    char file_path[4096];
    uint32_t file_size;
    int32_t syslog_on;
    char syslog_url[8192];
    char bsv_url[8192];
};

// The log calls; all return 0. An empty tag is written as "tag".
int log2_printf(log2_ctx *ctx, uint32_t level, const char *tag, const char *file, int line, const char *func,
                const char *fmt, ...) __attribute__((format(printf, 7, 8)));
int log2_vprintf(log2_ctx *ctx, uint32_t level, const char *tag, const char *file, int line, const char *func,
                 const char *fmt, va_list ap) __attribute__((format(printf, 7, 0)));
// A ready text, not formatted; the hook is not consulted.
int log2_puts(log2_ctx *ctx, uint32_t level, const char *tag, const char *file, int line, const char *func,
              const char *text);
// Logs on the default context; eno is ignored (the log function of plug-ins).
int log2_printf_cb(uint32_t level, const char *tag, const char *file, int line, const char *func, int eno,
                   const char *fmt, ...) __attribute__((format(printf, 7, 8)));
// A log2_hook that feeds the default context; with LOG2_F_ERRNO it sets errno to eno first.
void log2_hook_forward(uint32_t level, const char *tag, const char *file, int line, const char *func, int eno,
                       const char *fmt, va_list ap) __attribute__((format(printf, 7, 0)));
// Hands a ready line (len -1: its string length) to the sinks, without a record.
int log2_write_line(log2_ctx *ctx, uint32_t level, const char *tag, const char *line, int len);

// Context management.
log2_ctx *log2_ctx_new();
// ctx, else the default context (created on first use); nullptr once the
// default context has exited.
log2_ctx *log2_get_ctx(log2_ctx *ctx);
// Configures a context from INI text ("ini_file": a path, "ini_str": the
// text itself), section "log" or "log_<name>", and returns it. The first call
// configures the default context; later calls get new contexts. A text that
// does not load leaves the context as it was (reported by the diagnostics).
log2_ctx *log2_init_imp(const char *type, const char *text, const char *name);
log2_ctx *log2_init_file(const char *path, const char *name);
log2_ctx *log2_init_str(const char *text, const char *name);
// The parts of a log section: what shapes each message (debug, level,
// flags), and the sinks (syslog, collector, the file with its directory,
// mode, cap and count). A process that serves nothing needs only the first.
enum : uint32_t { LOG2_CONF_FORMAT = 1, LOG2_CONF_SINKS = 2 };
// As log2_init_file, from a configuration already open (nullptr: none, the
// context is only taken), applying the parts given: a program that reads
// its file once hands the same handle to every reader.
log2_ctx *log2_init_conf(conf_handle *conf, const char *name, uint32_t parts);
// The parts given of section "log" (or "log_<name>") on ctx (nullptr: the
// default context). A refused value is logged once at warn level, naming the
// key and the value as written (conf_refuse), and changes nothing. 0, or -1
// without a context or a configuration.
int log2_conf_apply(log2_ctx *ctx, conf_handle *conf, const char *name, uint32_t parts);
// Closes the sinks and frees the context. The default context acts once;
// later calls on it are dropped without creating a new one. The logger's
// threads (the collector's opener, a syslog lookup, a file's cut) are waited
// for once, a second in all; one still running is let go (detached). A
// context whose opener was let go stays allocated, since the opener uses
// it: log2_exit on it again, once the opener has ended, frees it.
int log2_exit(log2_ctx *ctx);
int log2_set_hook(log2_ctx *ctx, log2_hook hook);
// Names the calling thread in the thread-name registry; nullptr removes it.
int log2_set_thread_name(const char *name);

// 0, or -1 for an unknown command or argument. Integer arguments are passed
// as (const void *)(intptr_t)value; command 7 writes through arg.
int log2_ioctl(log2_ctx *ctx, int cmd, const void *arg, int len);

// Queries; on an exited default context they return 0 (texts: ""). A text
// the logger keeps is copied under the context's mutex into the caller's
// buffer (NUL-terminated, cut at size - 1): a line logged meanwhile rewrites
// the logger's own copy, so no pointer into it is ever handed out.
uint32_t log2_get_busy(log2_ctx *ctx);
int log2_set_level(log2_ctx *ctx, int level);
// 0, or -1 with the threshold unchanged for an unknown name.
int log2_set_level_str(log2_ctx *ctx, const char *name);
int log2_get_level(log2_ctx *ctx);
const char *log2_get_level_str(log2_ctx *ctx);
// The recent lines (LOG2_RECENT_SIZE holds them all). The length copied.
size_t log2_get_recent(log2_ctx *ctx, char *buf, size_t size);
// The open log file's path ("" when none). The length copied.
size_t log2_get_file_path(log2_ctx *ctx, char *buf, size_t size);
// The open log file's stream descriptor, -1 when none.
int log2_get_file_fd(log2_ctx *ctx);
// The syslog socket's descriptor, -1 when none is connected (the daemonizer
// keeps it open with the log file's).
int log2_get_net_fd(log2_ctx *ctx);
// The log collector's socket descriptor, -1 when none is open (kept open
// with the others by the daemonizer).
int log2_get_bsv_fd(log2_ctx *ctx);
// Waits up to ms for a log file cut in progress (without the context's
// mutex) and completes it, then waits for the collector's opener thread
// "bsvnet" to end: 0 when both have.
int log2_bsv_join(log2_ctx *ctx, int ms);
// Before a fork: from now on no thread of the logger starts in this process
// (a cut waits, a name is resolved later), and those running (a file's cut
// "logcut", the syslog resolver "syslogdns", the collector's opener
// "bsvnet") are waited for up to ms. 0 when none runs any more, -1 when
// one still does.
int log2_fork_prepare(log2_ctx *ctx, int ms);
// After the fork, in the process that goes on (the new one, or the same one
// when the fork failed): the logger's threads may start again. In a new
// process what a thread left behind in the old one was doing is given up
// and done anew.
void log2_fork_resume(log2_ctx *ctx);
// The sinks' short-lived threads: body(arg) on a detached thread of the
// name. False, and nothing started, while the process detaches or a fork is
// prepared, or when no thread can start.
bool log2_thread_start(const char *name, void (*body)(void *), void *arg);
int log2_get_info(log2_ctx *ctx, log2_info *info);
// Eight "key=value\n" lines of the settings; free with os_free.
char *log2_info_dump(log2_ctx *ctx);

// Level names: short ("dbg"), prefix ("DEBUG") and web ("debug").
// Unknown names print an error on standard error and give -1.
int log2_level_from_name(const char *name);
int log2_level_from_prefix(const char *prefix);
const char *log2_level_name(int level);
const char *log2_level_prefix(int level);
const char *log2_level_2_web_name(int level);
const char *log2_level_names();
const char *log2_level_help();

// The logger's own diagnostics: standard error, only while switched on
// (QDDBGLOG in the environment, or the key "debug" of the log section).
void log2_diag_printf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Flag words ("time|tid|func|file|time_ms|tid_name|no_colour") to flag bits.
uint32_t log_flags_2_int(const char *text);
