// The pcap file writer.
#define ZLOG_TAG "bsv"

#include "libpal/mpcap/mpcap.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "libpal/basic/os_malloc.h"
#include "libpal/os/os_path.h"
#include "libpal/string/str_safe.h"
#include "liblog/zlog.h"

namespace {

constexpr size_t k_path_size = 4096;
constexpr size_t k_copy_chunk = 65536;
constexpr const char *k_cut_suffix = ".cut";

uint32_t swap32_if(uint32_t v, uint32_t swap)
{
    return swap != 0 ? __builtin_bswap32(v) : v;
}

uint16_t swap16_if(uint16_t v, uint32_t swap)
{
    return swap != 0 ? __builtin_bswap16(v) : v;
}

// The global header as it lies in the file.
std::array<uint8_t, PCAP_FILE_HDR_SIZE> head_bytes(const pcap_head *head)
{
    std::array<uint8_t, PCAP_FILE_HDR_SIZE> out{};
    uint8_t *p = out.data();
    memcpy(p + 0, &head->magic, 4);
    memcpy(p + 4, &head->version_major, 2);
    memcpy(p + 6, &head->version_minor, 2);
    memcpy(p + 8, &head->thiszone, 4);
    memcpy(p + 12, &head->sigfigs, 4);
    memcpy(p + 16, &head->snaplen, 4);
    memcpy(p + 20, &head->linktype, 4);
    return out;
}

bool write_head(FILE *fp, const pcap_head *head)
{
    const auto bytes = head_bytes(head);
    return fwrite(bytes.data(), 1, bytes.size(), fp) == bytes.size() && fflush(fp) == 0;
}

bool read_at(int fd, void *buf, size_t len, int64_t off)
{
    return pread(fd, buf, len, off) == static_cast<ssize_t>(len);
}

// The file's size, -1 (logged) when the stream cannot tell it.
int64_t stream_size(FILE *fp)
{
    if (fflush(fp) != 0 || fseeko(fp, 0, SEEK_END) != 0) {
        ZLOG_ERR("ftell error: %s\n", strerror(errno));
        return -1;
    }
    const int64_t size = ftello(fp);
    if (size < 0)
        ZLOG_ERR("ftell error: %s\n", strerror(errno));
    return size;
}

char *dup_path(const char *path)
{
    char real[k_path_size];
    os_realpath(path, real);
    const char *use = real[0] != '\0' ? real : path;
    const size_t n = strlen(use) + 1;
    auto *copy = static_cast<char *>(os_malloc(n));
    if (copy != nullptr)
        memcpy(copy, use, n);
    return copy;
}

pcap_dumper *dumper_new(pcap_head *head, FILE *fp, const char *path)
{
    const int64_t size = stream_size(fp);
    if (size < 0) {
        fclose(fp);
        return nullptr;
    }
    auto *d = static_cast<pcap_dumper *>(os_zalloc(sizeof(pcap_dumper)));
    char *copy = dup_path(path);
    if (d == nullptr || copy == nullptr) {
        os_free(d);
        os_free(copy);
        fclose(fp);
        return nullptr;
    }
    d->head = head;
    d->mode = 0;
    d->fp = fp;
    d->path = copy;
    d->size = size;
    return d;
}

// True when the file open on fd starts with the global header of head.
bool holds_head(int fd, const pcap_head *head)
{
    std::array<uint8_t, PCAP_FILE_HDR_SIZE> got{};
    return read_at(fd, got.data(), got.size(), 0) && got == head_bytes(head);
}

// Makes an existing file ready for appending: a foreign or damaged header
// starts the file anew, a record cut short at the end is dropped.
bool prepare_append(FILE *fp, const pcap_head *head, const char *path)
{
    const int64_t size = stream_size(fp);
    if (size < 0)
        return false;
    if (size == 0)
        return write_head(fp, head);
    if (size < PCAP_FILE_HDR_SIZE || !holds_head(fileno(fp), head)) {
        ZLOG_ERR("%s is not a pcap file of link type %u, starting it anew\n", path,
                 swap32_if(head->linktype, head->swap));
        return ftruncate(fileno(fp), 0) == 0 && fseeko(fp, 0, SEEK_SET) == 0 && write_head(fp, head);
    }
    bool whole = true;
    const int64_t end = pcap_walk_records(fileno(fp), head, size, size, &whole);
    if (end != size) {
        ZLOG_ERR("%s: record at offset %lld runs past the end (%lld bytes), cut there\n", path,
                 static_cast<long long>(end), static_cast<long long>(size));
        if (ftruncate(fileno(fp), end) != 0)
            return false;
    }
    return fseeko(fp, 0, SEEK_END) == 0;
}

void drop_stream(pcap_dumper *dumper)
{
    if (dumper->fp != nullptr)
        fclose(dumper->fp);
    dumper->fp = nullptr;
}

}  // namespace

int64_t pcap_walk_records(int fd, const pcap_head *head, int64_t size, int64_t stop, bool *whole)
{
    const uint32_t snaplen = swap32_if(head->snaplen, head->swap);
    int64_t off = PCAP_FILE_HDR_SIZE;
    *whole = true;
    while (off < stop && off < size) {
        uint8_t rec[PCAP_REC_HDR_SIZE];
        if (off + PCAP_REC_HDR_SIZE > size || !read_at(fd, rec, sizeof(rec), off)) {
            *whole = false;
            break;
        }
        uint32_t caplen;
        memcpy(&caplen, rec + 8, 4);
        caplen = swap32_if(caplen, head->swap);
        const int64_t end = off + PCAP_REC_HDR_SIZE + caplen;
        if (caplen > snaplen || end > size) {
            *whole = false;
            break;
        }
        off = end;
    }
    return off;
}

pcap_head *pcap_open_dead(uint32_t linktype, uint32_t snaplen, int byte_order)
{
    auto *head = static_cast<pcap_head *>(os_zalloc(sizeof(pcap_head)));
    if (head == nullptr)
        return nullptr;
    const bool host_big = std::endian::native == std::endian::big;
    head->swap = (byte_order == 1) != host_big ? 1 : 0;
    head->magic = swap32_if(PCAP_MAGIC, head->swap);
    head->version_major = swap16_if(2, head->swap);
    head->version_minor = swap16_if(4, head->swap);
    head->thiszone = 0;
    head->sigfigs = 0;
    head->snaplen = swap32_if(snaplen, head->swap);
    head->linktype = swap32_if(linktype, head->swap);
    return head;
}

void pcap_close(pcap_head *head)
{
    os_free(head);
}

pcap_dumper *pcap_dump_open(pcap_head *head, const char *path)
{
    if (head == nullptr || path == nullptr)
        return nullptr;
    FILE *fp = os_fopen2(path, "wb+");
    if (fp == nullptr)
        return nullptr;
    if (!write_head(fp, head)) {
        fclose(fp);
        return nullptr;
    }
    return dumper_new(head, fp, path);
}

pcap_dumper *pcap_dump_open_append(pcap_head *head, const char *path)
{
    if (head == nullptr || path == nullptr)
        return nullptr;
    FILE *fp = os_fopen2(path, "ab+");
    if (fp == nullptr)
        return nullptr;
    if (!prepare_append(fp, head, path)) {
        fclose(fp);
        return nullptr;
    }
    return dumper_new(head, fp, path);
}

int pcap_dump(pcap_dumper *dumper, const pcap_rec_hdr *hdr, const void *data)
{
    if (dumper == nullptr || dumper->fp == nullptr || hdr == nullptr || (data == nullptr && hdr->caplen != 0))
        return -1;
    const uint32_t swap = dumper->head->swap;
    const uint32_t fields[4] = {swap32_if(hdr->ts_sec, swap), swap32_if(hdr->ts_usec, swap),
                                swap32_if(hdr->caplen, swap), swap32_if(hdr->len, swap)};
    if (fwrite(fields, 1, sizeof(fields), dumper->fp) != sizeof(fields)) {
        dumper->size = stream_size(dumper->fp);
        return -1;
    }
    dumper->size += sizeof(fields);
    if (hdr->caplen != 0 && fwrite(data, 1, hdr->caplen, dumper->fp) != hdr->caplen) {
        // What was written of it is unknown: the size is asked again.
        dumper->size = stream_size(dumper->fp);
        return -1;
    }
    dumper->size += hdr->caplen;
    return 0;
}

int pcap_dump_flush(pcap_dumper *dumper)
{
    if (dumper == nullptr || dumper->fp == nullptr)
        return -1;
    return fflush(dumper->fp) == 0 ? 0 : -1;
}

void pcap_dump_close(pcap_dumper *dumper)
{
    if (dumper == nullptr)
        return;
    if (dumper->fp != nullptr)
        fclose(dumper->fp);
    os_free(dumper->path);
    os_free(dumper);
}

int pcap_dump_set_fsize(pcap_dumper *dumper, uint64_t cap)
{
    if (dumper == nullptr || dumper->fp == nullptr)
        return -1;
    // The size is kept as records are written, so that the common case, a
    // file below its cap, asks the system nothing.
    if (dumper->size >= 0 && static_cast<uint64_t>(dumper->size) < cap)
        return 0;
    if (fflush(dumper->fp) != 0) {
        ZLOG_ERR("ftell error: %s\n", strerror(errno));
        return -1;
    }
    const int64_t size = stream_size(dumper->fp);
    dumper->size = size;
    if (size < 0)
        return -1;
    if (static_cast<uint64_t>(size) < cap)
        return 0;
    bool whole = true;
    const int64_t cut = pcap_walk_records(fileno(dumper->fp), dumper->head, size, static_cast<int64_t>(cap / 2), &whole);
    if (!whole) {
        ZLOG_ERR("file error offset=%d fsize=%d\n", static_cast<int>(cut), static_cast<int>(size));
        fseeko(dumper->fp, 0, SEEK_END);
        return -1;
    }

    // The kept records go to a new file that then takes the old one's name:
    // until the rename the old file stays whole.
    char tmp[k_path_size];
    if (str_sprintf_s(tmp, sizeof(tmp), "%s%s", dumper->path, k_cut_suffix) < 0)
        return -1;
    FILE *out = os_fopen2(tmp, "wb+");
    if (out == nullptr) {
        ZLOG_ERR("fopen error: %s\n", strerror(errno));
        return -1;
    }
    bool ok = write_head(out, dumper->head);
    std::unique_ptr<char[]> chunk(new (std::nothrow) char[k_copy_chunk]);
    ok = ok && chunk != nullptr;
    for (int64_t off = cut; ok && off < size;) {
        const size_t n = static_cast<size_t>(std::min<int64_t>(size - off, k_copy_chunk));
        ok = read_at(fileno(dumper->fp), chunk.get(), n, off) && fwrite(chunk.get(), 1, n, out) == n;
        off += static_cast<int64_t>(n);
    }
    ok = ok && fflush(out) == 0 && rename(tmp, dumper->path) == 0;
    if (!ok) {
        ZLOG_ERR("pcap cut of %s failed: %s\n", dumper->path, strerror(errno));
        fclose(out);
        unlink(tmp);
        fseeko(dumper->fp, 0, SEEK_END);
        return -1;
    }
    fclose(dumper->fp);
    dumper->fp = out;
    dumper->size = PCAP_FILE_HDR_SIZE + (size - cut);
    return 0;
}

int pcap_dump_reopen(pcap_dumper *dumper, int64_t size)
{
    if (dumper == nullptr)
        return -1;
    // A stream whose write failed may still hold part of a record: it is
    // closed before the file is cut, so that nothing it flushes survives.
    drop_stream(dumper);
    // A file removed from outside is created again.
    if (truncate(dumper->path, std::max<int64_t>(size, 0)) != 0 && errno != ENOENT)
        return -1;
    FILE *fp = os_fopen2(dumper->path, "ab+");
    if (fp == nullptr)
        return -1;
    int64_t have = stream_size(fp);
    // Records go only after a header of ours: whatever else the path names
    // by now is started anew.
    if (have >= 0 && (have < PCAP_FILE_HDR_SIZE || !holds_head(fileno(fp), dumper->head))) {
        have = ftruncate(fileno(fp), 0) == 0 && write_head(fp, dumper->head) ? PCAP_FILE_HDR_SIZE : -1;
        if (have < 0 && ftruncate(fileno(fp), 0) != 0)
            ZLOG_ERR("truncate %s: %s\n", dumper->path, strerror(errno));
    }
    if (have < 0) {
        fclose(fp);
        return -1;
    }
    dumper->fp = fp;
    dumper->size = have;
    return 0;
}

int pcap_dump_reopen_append(pcap_dumper *dumper)
{
    if (dumper == nullptr)
        return -1;
    drop_stream(dumper);
    FILE *fp = os_fopen2(dumper->path, "ab+");
    if (fp == nullptr)
        return -1;
    const int64_t size = prepare_append(fp, dumper->head, dumper->path) ? stream_size(fp) : -1;
    if (size < 0) {
        fclose(fp);
        return -1;
    }
    dumper->fp = fp;
    dumper->size = size;
    return 0;
}

int pcap_dump_reset(pcap_dumper *dumper)
{
    (void)dumper;
    return -1;
}

int pcap_dump_finish(pcap_dumper *dumper)
{
    (void)dumper;
    return -1;
}
