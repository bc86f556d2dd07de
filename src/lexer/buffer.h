// The scanner's one input buffer. A match is kept contiguous in storage,
// which bounds a single token's length. It is filled through the source's
// reader (lexer/reader.h).
#pragma once

#include <cstdint>
#include <cstdio>

enum InputState : int32_t {
    INPUT_LIVE = 0,      // end of input not yet seen
    INPUT_DRAINING = 1,  // a read returned nothing while a match was pending
    INPUT_DONE = 2,      // end of input reached; nothing is read again
};

struct ScanBuffer {
    FILE* input_file;
    char* storage;   // capacity + 2 bytes: index 0, the text, two NUL sentinels
    char* scan_pos;  // where the next match starts, while the buffer is not active
    int32_t capacity;
    int32_t char_count;  // valid characters, counting index 0
    int32_t eof_state;   // an InputState
};

constexpr int32_t SCAN_BUFFER_SIZE = 16384;

// Allocates and sets up a buffer; ends the process if memory runs out.
ScanBuffer* create_buffer(FILE* stream, int32_t size);
