#include "lexer/buffer.h"

#include <cstdlib>

#include "errors/errors.h"

ScanBuffer* create_buffer(FILE* stream, int32_t size) {
    ScanBuffer* b = static_cast<ScanBuffer*>(std::malloc(sizeof(ScanBuffer)));
    if (!b) fatal_error("out of dynamic memory in yy_create_buffer()");
    b->capacity = size;
    b->storage = static_cast<char*>(std::malloc(static_cast<size_t>(size) + 2));
    if (!b->storage) fatal_error("out of dynamic memory in yy_create_buffer()");
    b->input_file = stream;
    b->storage[0] = '\n';
    b->char_count = 1;
    b->storage[1] = '\0';
    b->storage[2] = '\0';
    b->scan_pos = &b->storage[1];
    b->eof_state = INPUT_LIVE;
    return b;
}
