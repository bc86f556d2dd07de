#include "lexer/buffer.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "errors/errors.h"

ScanBuffer* yy_create_buffer(FILE* stream, int32_t size) {
    ScanBuffer* b = static_cast<ScanBuffer*>(std::malloc(sizeof(ScanBuffer)));
    if (!b) fatal_error("out of dynamic memory in yy_create_buffer()");
    b->capacity = size;
    b->storage = static_cast<char*>(std::malloc(static_cast<size_t>(size) + 2));
    if (!b->storage) fatal_error("out of dynamic memory in yy_create_buffer()");
    yy_setup_buffer(b, stream);
    return b;
}

void yy_setup_buffer(ScanBuffer* b, FILE* stream) {
    b->input_file = stream;
    b->storage[0] = '\n';
    b->char_count = 1;
    b->storage[1] = '\0';
    b->storage[2] = '\0';
    b->scan_pos = &b->storage[1];
    b->eof_state = INPUT_LIVE;
}

namespace {

// Raw bytes read but not yet delivered. Reads ask for no more than the
// caller has room for, so this holds only the tail of one read that the
// caller's room cut off, or a CR waiting to see whether an LF follows it.
char raw[READ_CHUNK + 1];
int  raw_pos;
int  raw_len;
bool source_ended;      // end of file or a 0x1A byte: nothing more is read

// Reads raw bytes, retrying when a signal interrupts the call.
ssize_t read_raw(int fd, char* dest, size_t count) {
    ssize_t n;
    do n = read(fd, dest, count); while (n < 0 && errno == EINTR);
    return n;
}

bool needs_more_raw() {
    if (raw_pos == raw_len) return true;
    return !source_ended && raw_len - raw_pos == 1 && raw[raw_pos] == '\r';
}

}  // namespace

int read_source(int fd, char* dest, int room) {
    int out = 0;
    while (out < room) {
        if (needs_more_raw()) {
            if (out > 0 || source_ended) break;    // deliver what there is without blocking
            int keep = raw_len - raw_pos;          // a lone CR, or nothing
            if (keep) raw[0] = '\r';
            raw_pos = 0;
            raw_len = keep;
            int want = room - keep > 0 ? room - keep : 1;
            if (want > READ_CHUNK) want = READ_CHUNK;
            ssize_t n = read_raw(fd, raw + keep, static_cast<size_t>(want));
            if (n < 0) return -1;
            if (n == 0) source_ended = true;
            raw_len += static_cast<int>(n);
            continue;
        }
        // Ordinary bytes go across in one copy; only CR and 0x1A need a look.
        int span = 0;
        int limit = raw_len - raw_pos < room - out ? raw_len - raw_pos : room - out;
        while (span < limit && raw[raw_pos + span] != '\r' && raw[raw_pos + span] != '\x1a') ++span;
        std::memcpy(dest + out, raw + raw_pos, static_cast<size_t>(span));
        out += span;
        raw_pos += span;
        if (span > 0) continue;     // the loop looks again before a CR is taken

        char c = raw[raw_pos++];
        if (c == '\x1a') {
            source_ended = true;
            raw_pos = raw_len = 0;
            break;
        }
        if (c == '\r' && raw_pos < raw_len && raw[raw_pos] == '\n') continue;
        dest[out++] = c;
    }
    return out;
}
