// The scanning loop: longest match over the automaton, with the back-up to
// the last accepting state, matched in place in the one ScanBuffer.
#include "lexer/tokens.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "errors/errors.h"
#include "lexer/automaton.h"
#include "lexer/buffer.h"
#include "lexer/symbols.h"

FILE*      yy_input_stream;
TokenValue yy_token_value;
bool       yy_input_cut_short;

namespace {

enum RefillResult { REFILL_MORE = 0, REFILL_EOF = 1, REFILL_FLUSH = 2 };

ScanBuffer* yy_active_buffer;
char*       yy_scan_pos;        // where the next match starts; after a match, just past it
char        yy_saved_char;      // the character under the NUL that ends the current lexeme
int32_t     yy_chars_in_buffer;
char*       yy_lexeme;
int32_t     yy_lexeme_length;
int         yy_accept_state;
char*       yy_accept_pos;
int         yy_start_state;
int         yy_first_call = 1;  // until the first call's start-up has run

void yy_sync_from_buffer() {
    yy_chars_in_buffer = yy_active_buffer->char_count;
    yy_scan_pos = yy_lexeme = yy_active_buffer->scan_pos;
    yy_input_stream = yy_active_buffer->input_file;
    yy_saved_char = *yy_scan_pos;
}

// Moves the unfinished match (and the character before it) to the front of
// storage and reads more input behind it.
RefillResult yy_refill_buffer() {
    char* storage = yy_active_buffer->storage;
    if (yy_scan_pos > storage + yy_chars_in_buffer + 1)
        fatal_error("fatal flex scanner internal error--end of buffer missed");

    int32_t keep = static_cast<int32_t>(yy_scan_pos - yy_lexeme);
    std::memmove(storage, yy_lexeme - 1, static_cast<size_t>(keep));

    int count = 0;
    if (yy_active_buffer->eof_state == INPUT_LIVE) {
        int32_t room = yy_active_buffer->capacity - keep - 1;
        if (room > READ_CHUNK) room = READ_CHUNK;
        if (room <= 0) fatal_error("fatal error - scanner input buffer overflow");
        count = read_source(fileno(yy_input_stream), storage + keep, room);
        if (count < 0) fatal_error("read() in flex scanner failed");
    }

    RefillResult result = REFILL_MORE;
    if (count == 0) {
        result = keep == 1 ? REFILL_EOF : REFILL_FLUSH;
        yy_active_buffer->eof_state = keep == 1 ? INPUT_DONE : INPUT_DRAINING;
    }
    yy_chars_in_buffer = count + keep;
    storage[yy_chars_in_buffer] = '\0';
    storage[yy_chars_in_buffer + 1] = '\0';
    yy_lexeme = &storage[1];
    return result;
}

// The state the text from yy_lexeme to yy_scan_pos leads to; an input NUL
// counts as an ordinary character.
int yy_rescan_state() {
    int state = yy_start_state;
    for (char* p = yy_lexeme; p < yy_scan_pos; ++p) {
        int k = *p ? class_of(static_cast<unsigned char>(*p)) : CLASS_OTHER;
        if (scan_tables.accept[state]) {
            yy_accept_state = state;
            yy_accept_pos = p;
        }
        state = scan_tables.next[state][k];
    }
    return state;
}

// The state after an input NUL, or 0 if the match cannot take it.
int yy_nul_transition(int state) {
    if (scan_tables.accept[state]) {
        yy_accept_state = state;
        yy_accept_pos = yy_scan_pos;
    }
    int next = scan_tables.next[state][CLASS_OTHER];
    return next == JAM_STATE ? 0 : next;
}

// Digits as an unsigned 32-bit number that wraps: the literal's value modulo 2^32.
int32_t convert_integer(const char* digits) {
    uint32_t v = 0;
    for (const char* p = digits; *p; ++p) v = v * 10u + static_cast<uint32_t>(*p - '0');
    return static_cast<int32_t>(v);
}

void start_up() {
    if (yy_start_state == 0) yy_start_state = START_STATE;
    if (!yy_input_stream) yy_input_stream = stdin;
    yy_active_buffer = yy_create_buffer(yy_input_stream, SCAN_BUFFER_SIZE);
    yy_sync_from_buffer();
    yy_first_call = 0;
}

// A match in progress: where it began, how far it has read, and the
// automaton's state there.
struct Match {
    char* bp;
    char* cp;
    int   state;
};

// How the scanning loop goes on after the end of the buffered text.
enum class Resume { ADVANCE, FIND_ACTION, END_OF_INPUT };

// A NUL ended the match (cp is one past it). Either it is input, and the
// match takes it as an ordinary character, or it is the sentinel: then more
// input is read behind the unfinished match, or what is pending is matched
// as far as it goes, or the input has ended.
Resume end_of_buffer(Match& m) {
    int32_t matched = static_cast<int32_t>(m.cp - yy_lexeme) - 1;
    *m.cp = yy_saved_char;
    char* storage = yy_active_buffer->storage;
    if (yy_scan_pos <= storage + yy_chars_in_buffer) {
        // The NUL lies inside the text: it belongs to the input.
        yy_scan_pos = yy_lexeme + matched;
        m.state = yy_rescan_state();
        int next = yy_nul_transition(m.state);
        m.bp = yy_lexeme;
        if (next) {
            m.cp = ++yy_scan_pos;
            m.state = next;
            return Resume::ADVANCE;
        }
        m.cp = yy_accept_pos;
        m.state = yy_accept_state;
        return Resume::FIND_ACTION;
    }
    RefillResult refill = yy_refill_buffer();
    if (refill == REFILL_EOF) {
        yy_scan_pos = yy_lexeme;
        return Resume::END_OF_INPUT;   // there is no further input to switch to
    }
    // Take the unfinished match up again: over the new input, or, when
    // there is none, as far as the pending text goes.
    yy_scan_pos = refill == REFILL_MORE ? yy_lexeme + matched : storage + yy_chars_in_buffer;
    m.state = yy_rescan_state();
    m.cp = yy_scan_pos;
    m.bp = yy_lexeme;
    return refill == REFILL_MORE ? Resume::ADVANCE : Resume::FIND_ACTION;
}

}  // namespace

int yy_next_token() {
    if (yy_first_call) start_up();

    char* cp;
    char* bp;
    int state;
    for (;;) {
        cp = yy_scan_pos;
        *cp = yy_saved_char;    // undo the NUL that ended the previous lexeme
        // Blanks, tabs and line feeds are one-character matches that are
        // skipped: a run of them is passed over at once.
        while (*cp == ' ' || *cp == '\t' || *cp == '\n') ++cp;
        bp = cp;
        state = yy_start_state;

    advance:
        do {
            int k = class_of(static_cast<unsigned char>(*cp));
            if (scan_tables.accept[state]) {
                yy_accept_state = state;
                yy_accept_pos = cp;
            }
            state = scan_tables.next[state][k];
            ++cp;
        } while (state != JAM_STATE);
        cp = yy_accept_pos;
        state = yy_accept_state;

    find_action:
        int rule = scan_tables.accept[state];
        yy_lexeme = bp;
        yy_lexeme_length = static_cast<int32_t>(cp - bp);
        yy_saved_char = *cp;
        *cp = '\0';
        yy_scan_pos = cp;

        if (int token = rule_token[rule]) return token;
        switch (rule) {
        case RULE_NONE:     // reached from the end-of-buffer paths when the state accepts nothing
            *cp = yy_saved_char;
            cp = yy_accept_pos;
            state = yy_accept_state;
            goto find_action;
        case RULE_INTEGER:
            yy_token_value.integer = convert_integer(yy_lexeme);
            return INT_CONST;
        case RULE_REAL:
            yy_token_value.real = std::strtod(yy_lexeme, nullptr);
            return REAL_CONST;
        case RULE_STRING: {
            yy_lexeme[yy_lexeme_length - 1] = '\0';     // the closing quote
            char* copy = strdup(yy_lexeme);
            if (!copy) fatal_error("out of memory");
            yy_token_value.text = copy + 1;
            return STRING_CONST;
        }
        case RULE_BLANK:
        case RULE_LINE_FEED:
            continue;
        case RULE_IDENT: {
            Symbol* sym = intern_identifier(yy_lexeme);
            if (!sym) {
                yy_input_cut_short = true;
                return TOKEN_END;
            }
            yy_token_value.symbol = sym;
            return IDENT;
        }
        case RULE_CHARACTER:
            return static_cast<unsigned char>(yy_lexeme[0]);
        case RULE_END_OF_BUFFER: {
            Match m{bp, cp, state};
            Resume resume = end_of_buffer(m);
            bp = m.bp;
            cp = m.cp;
            state = m.state;
            if (resume == Resume::ADVANCE) goto advance;
            if (resume == Resume::FIND_ACTION) goto find_action;
            return TOKEN_END;
        }
        default:
            fatal_error("fatal flex scanner internal error--no action found");
        }
    }
}
