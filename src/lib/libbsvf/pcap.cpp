#include "libbsvf/pcap.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "libpal/memory/mem_endian.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_fileutil.h"
#include "libpal/os/os_fopen.h"
#include "libpal/os/posix/name_pipe_srv.h"
#include "liblog/log2.h"
#include "liblog/log_rewrite.h"

namespace {

// Header fields in the file's byte order.
void put32(uint8_t* p, uint32_t v, uint32_t swapped) { mem_set_u32(swapped ? 1 : 0, p, 0, v); }
void put16(uint8_t* p, uint16_t v, uint32_t swapped) { mem_set_u16(swapped ? 1 : 0, p, 0, v); }
uint32_t get32(const uint8_t* p, uint32_t swapped) { return mem_get_u32(swapped ? 1 : 0, p, 0); }

bool read_at(int fd, void* buf, size_t len, off_t at) {
    auto* p = static_cast<char*>(buf);
    while (len > 0) {
        ssize_t n = pread(fd, p, len, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        at += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// The offset from which the newest packets are kept: whole records from the
// global header on, at least one, until half the cap is reached. -1 when a
// record header or its data would pass the end of the file.
int64_t keep_offset(int fd, int64_t size, uint32_t cap, uint32_t swapped) {
    int64_t off = PCAP_HDR_SIZE;
    do {
        uint8_t rec[PCAP_PKTHDR_SIZE];
        if (off + PCAP_PKTHDR_SIZE > size || !read_at(fd, rec, sizeof rec, off)) return -1;
        int64_t next = off + PCAP_PKTHDR_SIZE + get32(rec + 8, swapped);
        if (next > size) return -1;
        off = next;
    } while (off < cap / 2);
    return off;
}

}  // namespace

pcap_hdr* pcap_open_dead(uint32_t link_type, uint32_t snaplen, uint32_t swapped) {
    auto* h = static_cast<pcap_hdr*>(pl_zalloc(sizeof(pcap_hdr)));
    if (!h) return nullptr;
    h->swapped = swapped == 1 ? 1 : 0;
    put32(h->bytes, PCAP_MAGIC, h->swapped);
    put16(h->bytes + 4, 2, h->swapped);
    put16(h->bytes + 6, 4, h->swapped);
    put32(h->bytes + 16, snaplen, h->swapped);
    put32(h->bytes + 20, link_type, h->swapped);
    return h;
}

void pcap_close(pcap_hdr* hdr) { pl_free(hdr); }

namespace {

// An existing file with content that does not start with a capture file's
// header is someone else's: it is never written. The reason goes to
// standard error, as the logger cannot report on its own output.
bool foreign_file(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    uint8_t head[4];
    struct stat st {};
    bool foreign = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
                   (st.st_size < PCAP_HDR_SIZE || !read_at(fd, head, sizeof head, 0) ||
                    (get32(head, 0) != PCAP_MAGIC && get32(head, 1) != PCAP_MAGIC));
    close(fd);
    if (foreign) {
        fprintf(stderr, "[%s] is not a capture file: it is left unchanged and no captures are written to it\n", path);
        fflush(stderr);
    }
    return foreign;
}

}  // namespace

pcap_dumper* pcap_dump_open_imp(const pcap_hdr* hdr, const char* path, int append) {
    if (!hdr || !path) return nullptr;
    if (foreign_file(path)) {
        errno = EINVAL;
        return nullptr;
    }
    // Read access too: the size cap reads the file back through the stream.
    FILE* f = os_fopen(path, append ? "ab+e" : "wb+e");
    if (!f) return nullptr;
    auto* d = static_cast<pcap_dumper*>(pl_zalloc(sizeof(pcap_dumper)));
    if (!d) {
        fclose(f);
        return nullptr;
    }
    d->hdr = *hdr;
    d->kind = PCAP_DUMP_FILE;
    d->stream = f;
    // The resolved path, so a later change of directory does not matter.
    char real[4096];
    os_realpath(path, real);
    d->path = pl_strdup(real[0] ? real : path);
    bool empty = true;
    if (append) {
        struct stat st {};
        empty = fstat(fileno(f), &st) != 0 || st.st_size == 0;
    }
    if (!d->path || (empty && (fwrite(hdr->bytes, 1, PCAP_HDR_SIZE, f) != PCAP_HDR_SIZE || fflush(f) != 0))) {
        pcap_dump_close(d);
        return nullptr;
    }
    return d;
}

pcap_dumper* pcap_dump_open(const pcap_hdr* hdr, const char* path) { return pcap_dump_open_imp(hdr, path, 0); }

pcap_dumper* pcap_dump_open_append(const pcap_hdr* hdr, const char* path) {
    return pcap_dump_open_imp(hdr, path, 1);
}

int pcap_dump(pcap_dumper* d, const pcap_pkthdr* h, const void* data) {
    if (!d || !d->stream || !h || (h->caplen && !data)) return -1;
    uint8_t rec[PCAP_PKTHDR_SIZE];
    uint32_t s = d->hdr.swapped;
    put32(rec, h->sec, s);
    put32(rec + 4, h->usec, s);
    put32(rec + 8, h->caplen, s);
    put32(rec + 12, h->len, s);
    if (fwrite(rec, 1, sizeof rec, d->stream) != sizeof rec) return -1;
    if (h->caplen && fwrite(data, 1, h->caplen, d->stream) != h->caplen) return -1;
    return 0;
}

int pcap_dump_flush(pcap_dumper* d) {
    if (!d) return -1;
    if (d->kind == 2 || d->kind == 3) return static_cast<int>(d->state);
    return d->stream ? fflush(d->stream) : -1;
}

int pcap_dump_set_fsize(pcap_dumper* d, uint32_t cap) {
    if (!d || !d->stream) return -1;
    FILE* f = d->stream;
    fflush(f);
    off_t size = -1;
    if (fseeko(f, 0, SEEK_END) == 0) size = ftello(f);
    if (size < 0) {
        LOG2(LOG2_ERR | LOG2_ERRNO, "bsv", "ftell error: ");
        return -1;
    }
    if (size < static_cast<off_t>(cap)) return 0;

    int fd = fileno(f);
    uint8_t head[PCAP_HDR_SIZE];
    int64_t off = -1;
    if (size >= PCAP_HDR_SIZE && read_at(fd, head, sizeof head, 0)) off = keep_offset(fd, size, cap, d->hdr.swapped);
    uint8_t* tail = nullptr;
    size_t tail_len = 0;
    if (off < 0) {
        // Records that do not add up: the file is not what was written
        // here. It stays as it is and takes no more captures.
        LOG2(LOG2_ERR, "bsv", "file error offset=%d fsize=%d\n", static_cast<int>(off), static_cast<int>(size));
        fprintf(stderr, "[%s] is not a capture file: it is left unchanged and no captures are written to it\n",
                d->path);
        fflush(stderr);
        fclose(f);
        d->stream = nullptr;
        return -1;
    }
    if (off < size) {
        tail_len = static_cast<size_t>(size - off);
        tail = static_cast<uint8_t*>(pl_malloc(tail_len));
        if (!tail) return -1;
        if (!read_at(fd, tail, tail_len, off)) {
            pl_free(tail);
            return -1;
        }
    }
    int rc = log_file_replace(d->path, head, sizeof head, tail, tail_len);
    pl_free(tail);
    if (rc != 0) {
        LOG2(LOG2_ERR | LOG2_ERRNO, "bsv", "fopen error: ");
        return -1;
    }
    // The same file, now shorter: continue at its new end.
    FILE* nf = os_fopen(d->path, "ab+e");
    if (!nf) {
        LOG2(LOG2_ERR | LOG2_ERRNO, "bsv", "fopen error: ");
        fclose(f);
        d->stream = nullptr;
        return -1;
    }
    fclose(f);
    d->stream = nf;
    fseeko(nf, 0, SEEK_END);
    return 0;
}

void pcap_dump_close(pcap_dumper* d) {
    if (!d) return;
    if (d->stream) fclose(d->stream);
    pl_free(d->path);
    pl_free(d);
}

int pcap_dump_reset(pcap_dumper* d) {
    if (!d || d->kind != PCAP_DUMP_PIPE) return -1;
    d->state = 0;
    d->connected = 0;
    return 0;
}

int pcap_dump_pipe_flush(pcap_dumper* d) {
    if (!d || d->kind != PCAP_DUMP_PIPE) return -1;
    if (d->connected != 0) return 0;
    return os_name_pipe_srv_flush(d->pipe);
}
