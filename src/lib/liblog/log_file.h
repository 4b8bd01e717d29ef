// Log file sink: a size-capped text file that keeps its newest half when it
// reaches the cap, with pruning of old files that match its name pattern; or,
// for a name ending in ".pcap", a pcap file of binary log records (every
// record of the process, through the record writer's file callback), capped
// on a record boundary.
// Runs inside the log call under the log context's mutex; its own problems
// are reported on standard error or through the logger's diagnostics, never
// through a log call. The file always reads back whole: a write that fails
// (a full disk) is cut back to the last whole line or record, and the sink
// then rests a second, counting the lines it loses (a text file says how
// many, and why, once it writes again; a pcap file on standard error). A
// file removed or moved away from outside is re-created at the next line or
// record; one that cannot be opened is tried again after each rest.
// The cut at the cap is sized from the file's real size (a file truncated
// from outside has room again) and keeps the newest half: copied to
// "<name>.cut" with the file's mode and owner and renamed over the file, or,
// where the directory takes no new file, moved onto the file's start in
// place, in pieces, each written with a marked break behind it, so that the
// file reads whole at every step. A small file is cut inline; a larger one
// by a thread of its own ("logcut") while the log calls hold their lines in
// memory (up to half the cap); the thread makes every write of the cut, and
// the log call that finds it done opens the result and writes what was
// held. One cut at a time.
// Files this sink creates get mode 0644 whatever the umask.
#pragma once

#include <cstdint>

struct VFILE;
struct bsvf_pcap;
struct log_file_cut;

constexpr uint32_t LOG_FILE_DEFAULT_CAP = 2097152;
constexpr uint32_t LOG_FILE_MIN_CAP = 1024;

struct log_file {
    char path[4096];     // the resolved path of the open file
    char pattern[4096];  // the configured name with every variable as "?*"
    char dir[4096];      // "file_dir", empty when not given
    char mode[2];        // "w" (start empty) or "a"
    uint32_t cap;        // bytes, at least LOG_FILE_MIN_CAP
    uint32_t form;       // 2 text; 1 pcap
    bsvf_pcap *pcap;     // open only in the pcap form
    VFILE *fp;           // open only in the text form
    int64_t size;        // the text form's bytes of whole lines
    uint64_t retry_ms;   // after a failed write: nothing is written before this tick
    uint64_t lost;       // lines or records that could not be written, since one was
    uint64_t lost_cut;   // lines or records dropped while the file was being cut, since one was
    log_file_cut *cut;   // the cut in progress on its thread, nullptr when none
};

void log_file_init(log_file *file);
// "a" or "w", applied from the next open. -1 for anything else.
int log_file_set_mode(log_file *file, const char *mode);
// A relative directory is taken beside the executable; it and its parents are
// created (a failure is reported and the directory kept). 0.
int log_file_set_dir(log_file *file, const char *dir);
// cap = max(cap, LOG_FILE_MIN_CAP). 0.
int log_file_set_size(log_file *file, uint32_t cap);
// With keep above 1 and a directory set: removes the files of the file's
// directory that match the name pattern, all but the keep names that sort
// last. Acts once, now. 0.
int log_file_del_old(log_file *file, int keep);
// Opens path (environment variables expanded; a relative path goes into the
// directory when one is set); a name ending in ".pcap" opens the pcap form
// (appended to with mode "a"). Does not switch the sink on. 0, or -1 (on
// standard error) when the file cannot be opened now; it is then tried
// again by the writes, after each rest.
int log_file_open(log_file *file, const char *path);
// True while a cut's thread copies the file. The logger waits for it to end
// without holding its mutex (polling this under the mutex) before a close,
// a new file or a fork.
bool log_file_cutting(const log_file *file);
// Completes a cut whose copy is done.
void log_file_settle(log_file *file);
// In a process made by a fork while a cut ran: its thread stayed behind, so
// the cut is given up (the file starts anew) and logging goes on.
void log_file_forked(log_file *file);
// Completes a cut that is done and closes the file. A cut still in progress
// (the logger waits for it first, up to the stop's deadline) is given up:
// its thread stops at its next step and ends on its own (a copy is dropped,
// a move in place leaves its marked break), and what was held goes to the
// end of the file as it stands.
void log_file_close(log_file *file);
// One line: the prefix (date and time with microseconds, level prefix, pid,
// thread name, tag) and text. 0, or -1 when the line is lost.
int log_file_write(log_file *file, int level, const char *tag, const char *text, int len);
// True once a pcap file was opened (records go to it), even one tried again later.
bool log_file_is_pcap(const log_file *file);
const char *log_file_get_path(const log_file *file);
uint32_t log_file_get_size(const log_file *file);
// The open file's descriptor (text stream or pcap file), -1 when none is open.
int log_file_fileno(const log_file *file);
// The record writer's file callback while a pcap file is open (arg is the
// log_file): appends the record, applies the cap, flushes.
void log_file_pcap_cb(uint32_t level, const void *rec, uint32_t len, void *arg);
// Called before each write of a cut (step 0, 1, ...: a chunk of the copy or
// a piece of a move in place, then the rename or the cut-off) on the thread
// that makes it; for tests, which block it there or end the process.
// nullptr removes it.
using log_file_cut_seam = void (*)(int step);
void log_file_set_cut_seam(log_file_cut_seam seam);
