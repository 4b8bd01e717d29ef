// Classic pcap capture files: a 24-byte global header, then records of a
// 16-byte header and the captured bytes. The binary log keeps its records in
// such a file (one record, one captured packet) so that ordinary capture
// tools read it. A dumper writes through a standard-library stream and has
// no lock of its own: its one caller (the log file sink) holds the log
// context's mutex. Errors are logged with the tag "bsv".
#pragma once

#include <cstdint>
#include <cstdio>

constexpr uint32_t PCAP_MAGIC = 0xa1b2c3d4;
constexpr uint32_t PCAP_FILE_HDR_SIZE = 24;
constexpr uint32_t PCAP_REC_HDR_SIZE = 16;

// The global header, each field already in the file's byte order.
struct pcap_head {
    uint32_t magic;
    uint16_t version_major;  // 2
    uint16_t version_minor;  // 4
    int32_t thiszone;        // 0
    uint32_t sigfigs;        // 0
    uint32_t snaplen;
    uint32_t linktype;
    uint32_t swap;           // 1 for a big-endian file
};

// One record's header, in host byte order.
struct pcap_rec_hdr {
    uint32_t ts_sec;
    uint32_t ts_usec;
    uint32_t caplen;
    uint32_t len;
};

// mode: only the file mode (0) is built; the pipe modes of the format's
// streaming form are not, so reset and finish refuse every dumper.
struct pcap_dumper {
    pcap_head *head;
    uint32_t mode;
    FILE *fp;        // nullptr after a failed cut: writes and flushes do nothing
    int64_t pending;
    char *path;      // a copy, freed by pcap_dump_close
    uint32_t pipe_flags;
    int64_t size;    // the file's size: every byte of it is written through the dumper
};

// byte_order 0 little-endian, 1 big-endian. Free with pcap_close.
pcap_head *pcap_open_dead(uint32_t linktype, uint32_t snaplen, int byte_order);
void pcap_close(pcap_head *head);

// A new file (emptied) with the global header written. nullptr when the file
// cannot be opened.
pcap_dumper *pcap_dump_open(pcap_head *head, const char *path);
// Appends to path; an empty or missing file gets the global header first. A
// file that is not a pcap of this header (another magic, byte order, link
// type or snapshot length, or shorter than a header) is started anew; a
// file whose last record is cut short (or claims more bytes than the file
// holds) loses that partial record, so that new records start on a record
// boundary. Both are logged. nullptr when the file cannot be opened.
pcap_dumper *pcap_dump_open_append(pcap_head *head, const char *path);
// The header (byte-swapped for a big-endian file), then caplen bytes of data.
// 0, or -1 when the dumper has no stream or the write fails.
int pcap_dump(pcap_dumper *dumper, const pcap_rec_hdr *hdr, const void *data);
int pcap_dump_flush(pcap_dumper *dumper);
void pcap_dump_close(pcap_dumper *dumper);
// When the file has reached cap bytes, keeps the global header and the
// records from the first record end at or after cap / 2: the newest records,
// starting on a record boundary. The kept part is written to a new file that
// replaces the old one, so a failure leaves the old file whole. 0 when
// nothing had to change or the cut was made, -1 on a failure (logged).
int pcap_dump_set_fsize(pcap_dumper *dumper, uint64_t cap);
// Cuts the file back to size bytes (a record boundary the caller knows;
// below the global header: the header alone; a file removed from outside is
// created again) and opens it for appending: after a failed write the file
// reads back whole. The stream is closed first, so that a failed write's
// leftovers are never flushed after the cut. A file that does not start
// with the header (another file put at the path) is started anew. 0, or -1
// with no stream (writes and flushes then do nothing).
int pcap_dump_reopen(pcap_dumper *dumper, int64_t size);
// Closes the stream and opens the path again as pcap_dump_open_append does,
// for a path that has come to name another file: appended to only when it is
// a pcap of this header (a record cut short at its end dropped), else
// started anew; never are records written after another file's bytes. 0, or
// -1 with no stream.
int pcap_dump_reopen_append(pcap_dumper *dumper);
// Walks the records of the file open on fd from the global header on, each
// checked against size and the snapshot length, up to the first record end
// at or after stop (or the last whole record when stop lies beyond it).
// *whole tells whether the walk ended on a record boundary not cut short.
// Reads with pread: the caller's stream position is untouched.
int64_t pcap_walk_records(int fd, const pcap_head *head, int64_t size, int64_t stop, bool *whole);
// Pipe-mode operations: -1 for every dumper this library opens.
int pcap_dump_reset(pcap_dumper *dumper);
int pcap_dump_finish(pcap_dumper *dumper);
