// The scanning loop: longest match over the automaton, with the back-up to
// the last accepting state, matched in place in the one ScanBuffer.
#include "lexer/tokens.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "errors/errors.h"
#include "lexer/automaton.h"
#include "lexer/buffer.h"
#include "lexer/reader.h"
#include "lexer/symbols.h"

FILE* yy_input_stream;
TokenValue yy_token_value;
int32_t token_line = 1;
bool yy_input_cut_short;
bool yy_interactive;
bool yy_statement_start;

namespace {

enum RefillResult {
    REFILL_MORE = 0,
    REFILL_EOF = 1,
    REFILL_FLUSH = 2,
    REFILL_DISCARDED = 3,  // in a session, a token that outgrew the buffer or Ctrl-C: the statement is dropped
};

ScanBuffer* yy_active_buffer;
char* yy_scan_pos;   // where the next match starts; after a match, just past it
char yy_saved_char;  // the character under the NUL that ends the current lexeme
int32_t yy_chars_in_buffer;
char* yy_lexeme;
int32_t yy_lexeme_length;
int yy_accept_state;
char* yy_accept_pos;
int yy_start_state;
int yy_first_call = 1;  // until the first call's start-up has run
int yy_previous_token;  // the code the last call returned

// Positions, for help. Offsets count the characters of the source as the
// scanner gets them (a CR LF is one line feed), from 0. Lines are counted
// where the scanner passes line feeds anyway: in skipped blanks, and in a
// string once it is matched.
int32_t yy_line = 1;             // the line the scan position is on
char* yy_line_start;             // where that line begins in storage; null once a refill moved it out
int64_t yy_storage_offset = -1;  // the offset of storage[0], which holds the character before the text
int64_t yy_lost_line_offset;     // the line's offset while yy_line_start is null

// The last characters that refills moved out of storage, so that help can
// still show what stands before a token.
constexpr size_t LOST_TAIL_SIZE = 80;
std::string yy_lost_tail;

// The last string that ran over more than one line: where it began and
// where its closing quote is.
struct StringSpan {
    int64_t start = -1;
    int32_t line = 0, column = 0, end_line = 0;
    bool remark = false;
};
StringSpan yy_long_string;

int64_t offset_in_source(const char* p) {
    return yy_storage_offset + (p - yy_active_buffer->storage);
}

// Where the storage holds source text: index 0 once a refill has put a
// character of the source there.
char* text_begin() {
    return yy_active_buffer->storage + (yy_storage_offset < 0 ? 1 : 0);
}

// Before a refill drops everything in front of keep_from: keeps the
// current line's start, as an offset once its place leaves storage, and the
// last of the text.
void keep_position_across_refill(char* keep_from) {
    char* storage = yy_active_buffer->storage;
    char* begin = text_begin();
    if (keep_from > begin) {
        if (keep_from - begin >= static_cast<ptrdiff_t>(LOST_TAIL_SIZE)) {
            yy_lost_tail.clear();
            begin = keep_from - LOST_TAIL_SIZE;
        }
        yy_lost_tail.append(begin, static_cast<size_t>(keep_from - begin));
        if (yy_lost_tail.size() > LOST_TAIL_SIZE) yy_lost_tail.erase(0, yy_lost_tail.size() - LOST_TAIL_SIZE);
    }
    if (yy_line_start && yy_line_start < keep_from) {
        yy_lost_line_offset = offset_in_source(yy_line_start);
        yy_line_start = nullptr;
    } else if (yy_line_start) {
        yy_line_start -= keep_from - storage;
    }
    yy_storage_offset += keep_from - storage;
}

// A matched string holds the line feed at nl: counts its lines, and notes
// where it began, which is what help points at when the string was left
// open by mistake.
[[gnu::noinline]] void note_long_string(char* bp, char* nl, char* end) {
    StringSpan span;
    span.start = offset_in_source(bp);
    span.line = yy_line;
    span.column =
        static_cast<int32_t>(span.start - (yy_line_start ? offset_in_source(yy_line_start) : yy_lost_line_offset)) + 1;
    // A remark is a string between two single quotes.
    char* p = bp;
    while (p > text_begin() && (p[-1] == ' ' || p[-1] == '\t' || p[-1] == '\n')) --p;
    span.remark = p > text_begin() && p[-1] == '\'';
    for (; nl; nl = static_cast<char*>(std::memchr(nl + 1, '\n', static_cast<size_t>(end - nl - 1)))) {
        ++yy_line;
        yy_line_start = nl + 1;
    }
    span.end_line = yy_line;
    yy_long_string = span;
}

void yy_sync_from_buffer() {
    yy_chars_in_buffer = yy_active_buffer->char_count;
    yy_scan_pos = yy_lexeme = yy_active_buffer->scan_pos;
    yy_input_stream = yy_active_buffer->input_file;
    yy_saved_char = *yy_scan_pos;
}

// The text the scanner still holds, as help sees it: the lost tail, then
// storage up to the end of the valid text, with the character that the
// current lexeme's terminating NUL covers put back.
struct HeldText {
    std::string text;
    int64_t first_offset;  // the source offset of text[0]

    size_t index_of(const char* p) const { return static_cast<size_t>(offset_in_source(p) - first_offset); }
};

HeldText held_text() {
    HeldText held;
    char* begin = text_begin();
    char* end = yy_active_buffer->storage + yy_chars_in_buffer;
    held.text = yy_lost_tail;
    held.text.append(begin, static_cast<size_t>(end - begin));
    held.first_offset = offset_in_source(begin) - static_cast<int64_t>(yy_lost_tail.size());
    if (yy_scan_pos >= begin && yy_scan_pos < end) held.text[held.index_of(yy_scan_pos)] = yy_saved_char;
    return held;
}

constexpr size_t SHOWN_AROUND = 60;  // characters of a long line shown on each side of the caret

// The place of text[at], where lines have been counted up to text[counted].
SourcePlace place_in(const HeldText& held, size_t at, size_t counted) {
    const std::string& t = held.text;
    SourcePlace place;
    place.line = yy_line;
    for (size_t i = at; i < counted && i < t.size(); ++i)
        if (t[i] == '\n') --place.line;

    size_t start = at;
    while (start > 0 && t[start - 1] != '\n') --start;
    if (start > 0 || held.first_offset == 0) {
        place.column = static_cast<int32_t>(at - start) + 1;
    } else {
        // The line began before the text still held.
        place.cut_before = true;
        if (!yy_line_start && place.line == yy_line)
            place.column = static_cast<int32_t>(held.first_offset + static_cast<int64_t>(at) - yy_lost_line_offset) + 1;
    }
    if (at - start > SHOWN_AROUND) {
        start = at - SHOWN_AROUND;
        place.cut_before = true;
    }
    size_t stop = at;
    while (stop < t.size() && t[stop] != '\n' && stop - at < SHOWN_AROUND) ++stop;
    place.cut_after = stop < t.size() ? t[stop] != '\n' : yy_active_buffer->eof_state == INPUT_LIVE;
    place.text = t.substr(start, stop - start);
    if (stop == t.size() && place.cut_after) {
        // The line goes on past what the buffer holds: shown whole all the same.
        bool whole = false;
        place.text += peek_source_line(SHOWN_AROUND - (stop - at), &whole);
        place.cut_after = !whole;
    }
    place.caret = at - start;
    return place;
}

// Drops everything the buffer holds from p on, and the rest of that line
// still waiting in the reader (unless the reader has dropped it already),
// counting the lines passed; the next match starts on the next line.
void drop_from(char* p, bool rest_waits = true) {
    char* end = yy_active_buffer->storage + yy_chars_in_buffer;
    for (char* c = p; c < end; ++c) {
        if (*c != '\n') continue;
        ++yy_line;
        yy_line_start = c + 1;
    }
    if (rest_waits && (end == p || end[-1] != '\n')) {
        discard_source_line();
        ++yy_line;
        yy_line_start = end;
    }
    yy_scan_pos = yy_lexeme = end;
    yy_saved_char = '\0';  // the sentinel
}

const char TOO_LONG[] = "fatal error - scanner input buffer overflow";

// Ends the run when a single match outgrows the buffer, saying where it began.
// In a session the match is reported and dropped instead, with the rest of
// its line.
std::string token_too_long_help() {
    std::string help;
    if (help_wanted()) {
        HeldText held = held_text();
        size_t at = held.index_of(yy_lexeme);
        SourcePlace place = place_in(held, at, at);
        std::string limit = std::to_string(SCAN_BUFFER_SIZE - 3) + " characters";
        std::string what = *yy_lexeme == '"' ? "this string is longer than " + limit + "; is its closing quote missing?"
                                             : "this token is longer than " + limit;
        help = located(place.line, place.column, what) +
               source_excerpt(place.text, place.caret, place.cut_before, place.cut_after);
    }
    return help;
}

// Moves the unfinished match (and the character before it) to the front of
// storage and reads more input behind it.
RefillResult yy_refill_buffer() {
    char* storage = yy_active_buffer->storage;
    if (yy_scan_pos > storage + yy_chars_in_buffer + 1)
        fatal_error("fatal flex scanner internal error--end of buffer missed");

    int32_t keep = static_cast<int32_t>(yy_scan_pos - yy_lexeme);
    int32_t room = yy_active_buffer->capacity - keep - 1;
    bool live = yy_active_buffer->eof_state == INPUT_LIVE;
    if (live && room <= 0) {
        std::string help = token_too_long_help();
        if (!yy_interactive) fatal_error(TOO_LONG, help);
        report_error(TOO_LONG);
        write_help(help);
        drop_from(yy_lexeme);
        return REFILL_DISCARDED;
    }
    keep_position_across_refill(yy_lexeme - 1);
    std::memmove(storage, yy_lexeme - 1, static_cast<size_t>(keep));

    int count = 0;
    if (live) {
        if (room > READ_CHUNK) room = READ_CHUNK;
        // A session's prompt says whether a statement is open: one the
        // parser has begun, or a string still being matched (a pending
        // line feed is no more than a blank).
        LinePrompt prompt = LinePrompt::NONE;
        if (yy_interactive) {
            bool open = !yy_statement_start;
            for (char* p = storage + 1; p < storage + keep; ++p) open = open || (*p != '\n' && *p != ' ' && *p != '\t');
            prompt = open ? LinePrompt::CONTINUATION : LinePrompt::STATEMENT;
        }
        count = read_source(fileno(yy_input_stream), storage + keep, room, prompt);
        if (count == READ_INTERRUPTED) {
            // A session's Ctrl-C: the statement in progress goes, as after an error.
            take_interrupt();
            yy_chars_in_buffer = keep;
            storage[keep] = '\0';
            storage[keep + 1] = '\0';
            yy_lexeme = &storage[1];
            drop_from(yy_lexeme, false);
            return REFILL_DISCARDED;
        }
        if (count < 0) {
            std::string reason = std::strerror(errno);
            fatal_error("read() in flex scanner failed", located(0, 0, "cannot read: " + reason));
        }
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
    yy_line_start = yy_scan_pos;
    yy_first_call = 0;
}

// After the identifier table's message, which has no line end of its own:
// where the input was cut short, and why.
void explain_cut_short() {
    if (!help_wanted()) return;
    std::string name = yy_lexeme;
    if (name.size() > 40) name = name.substr(0, 40) + "...";
    SourcePlace place = yy_token_place(IDENT);
    std::string help = "\n";
    help += located(place.line, place.column, "no memory left to keep the name '" + name + "'; the program ends here");
    write_help(help);
}

// A match in progress: where it began, how far it has read, and the
// automaton's state there.
struct Match {
    char* bp;
    char* cp;
    int state;
};

// How the scanning loop goes on after the end of the buffered text.
enum class Resume { ADVANCE, FIND_ACTION, END_OF_INPUT, DISCARDED };

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
    if (refill == REFILL_DISCARDED) return Resume::DISCARDED;
    if (refill == REFILL_EOF) {
        yy_scan_pos = yy_lexeme;
        return Resume::END_OF_INPUT;  // there is no further input to switch to
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

// The blank and the tab as bits, for the loop that passes over them.
constexpr uint64_t BLANKS = uint64_t{1} << ' ' | uint64_t{1} << '\t';

namespace {

int next_token() {

    char* cp;
    char* bp;
    int state;
    for (;;) {
        cp = yy_scan_pos;
        *cp = yy_saved_char;  // undo the NUL that ended the previous lexeme
        // Blanks, tabs and line feeds are one-character matches that are
        // skipped: a run of them is passed over at once.
        for (;; ++cp) {
            unsigned char c = static_cast<unsigned char>(*cp);
            if (c <= ' ' && (BLANKS >> c & 1)) continue;
            if (c != '\n') break;
            ++yy_line;
            yy_line_start = cp + 1;
        }
        token_line = yy_line;
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
        case RULE_NONE:  // reached from the end-of-buffer paths when the state accepts nothing
            *cp = yy_saved_char;
            cp = yy_accept_pos;
            state = yy_accept_state;
            goto find_action;
        case RULE_INTEGER: yy_token_value.integer = convert_integer(yy_lexeme); return INT_CONST;
        case RULE_REAL: yy_token_value.real = std::strtod(yy_lexeme, nullptr); return REAL_CONST;
        case RULE_STRING: {
            char* quote = yy_lexeme + yy_lexeme_length - 1;  // the closing one
            if (void* nl = std::memchr(yy_lexeme, '\n', static_cast<size_t>(yy_lexeme_length)))
                note_long_string(yy_lexeme, static_cast<char*>(nl), cp);
            // A string after a single quote is a remark's, which nothing
            // reads: it is not copied.
            if (yy_previous_token == QUOTE) {
                yy_token_value.text = "";
                return STRING_CONST;
            }
            *quote = '\0';
            char* copy = strdup(yy_lexeme);
            if (!copy) fatal_error("out of memory");
            *quote = '"';  // the source as it stands, for help
            yy_token_value.text = copy + 1;
            return STRING_CONST;
        }
        case RULE_LINE_FEED:
            ++yy_line;
            yy_line_start = cp;
            continue;
        case RULE_BLANK: continue;
        case RULE_IDENT: {
            Symbol* sym = intern_identifier(yy_lexeme);
            if (!sym) {
                yy_input_cut_short = true;
                explain_cut_short();
                return TOKEN_END;
            }
            yy_token_value.symbol = sym;
            return IDENT;
        }
        case RULE_CHARACTER:
            if (yy_lexeme[0] == '\0' && yy_interactive) return TOKEN_NUL;
            return static_cast<unsigned char>(yy_lexeme[0]);
        case RULE_END_OF_BUFFER: {
            Match m{bp, cp, state};
            Resume resume = end_of_buffer(m);
            bp = m.bp;
            cp = m.cp;
            state = m.state;
            if (resume == Resume::ADVANCE) goto advance;
            if (resume == Resume::FIND_ACTION) goto find_action;
            return resume == Resume::DISCARDED ? TOKEN_DISCARDED : TOKEN_END;
        }
        default: fatal_error("fatal flex scanner internal error--no action found");
        }
    }
}

}  // namespace

int yy_next_token() {
    if (yy_first_call) start_up();
    yy_previous_token = next_token();
    return yy_previous_token;
}

void yy_discard_line() {
    if (!yy_active_buffer) return;
    *yy_scan_pos = yy_saved_char;  // the NUL that ended the last lexeme
    char* end = yy_active_buffer->storage + yy_chars_in_buffer;
    char* nl = yy_scan_pos < end
                   ? static_cast<char*>(std::memchr(yy_scan_pos, '\n', static_cast<size_t>(end - yy_scan_pos)))
                   : nullptr;
    if (!nl) {
        drop_from(yy_scan_pos);
        return;
    }
    yy_scan_pos = nl + 1;
    yy_saved_char = *yy_scan_pos;
    ++yy_line;
    yy_line_start = yy_scan_pos;
}

SourcePlace yy_token_place(int token) {
    if (!yy_active_buffer) return SourcePlace{};
    HeldText held = held_text();
    size_t counted = held.index_of(yy_scan_pos);
    if (token == TOKEN_END && !yy_input_cut_short) {
        // Just after the last text: a trailing blank line is no place to point.
        size_t at = counted;
        while (at > 0 && (held.text[at - 1] == ' ' || held.text[at - 1] == '\t' || held.text[at - 1] == '\n')) --at;
        return place_in(held, at, counted);
    }
    int64_t start = offset_in_source(yy_lexeme);
    if (token == STRING_CONST && start == yy_long_string.start)
        return place_in(held, held.index_of(yy_scan_pos - 1), counted);
    return place_in(held, held.index_of(yy_lexeme), counted);
}

const char* yy_token_text() {
    return yy_active_buffer ? yy_lexeme : "";
}

std::string yy_token_note(int token) {
    if (!yy_active_buffer) return "";
    // A string over several lines that ends on this token's line: the
    // token itself, or one after it.
    const StringSpan& span = yy_long_string;
    bool long_string_ends_here =
        span.start >= 0 && offset_in_source(yy_lexeme) >= span.start && yy_token_place(token).line == span.end_line;
    std::string what = span.remark ? "the remark" : "the string";
    std::string from = std::to_string(span.line) + ":" + std::to_string(span.column);
    if (token != '"') return long_string_ends_here ? what + " that starts at " + from + " runs to here\n" : "";
    // A quote left without its pair. When a string over several lines ends
    // just before it, that string is the one whose closing quote is missing:
    // its opening quote took this one's pair.
    if (long_string_ends_here)
        return what + " that starts at " + from + " runs to here; is its closing quote missing?\n";
    return "a string that starts here has no closing quote\n";
}
