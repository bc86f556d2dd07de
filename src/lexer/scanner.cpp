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

Scanner scanner;

namespace {

enum RefillResult {
    REFILL_MORE = 0,
    REFILL_EOF = 1,
    REFILL_FLUSH = 2,
    REFILL_DISCARDED = 3,  // in a session, a token that outgrew the buffer or Ctrl-C: the statement is dropped
};

// The last characters that refills moved out of storage, kept for help.
constexpr size_t LOST_TAIL_SIZE = 80;

int64_t offset_in_source(const char* p) {
    return scanner.storage_offset + (p - scanner.buffer->storage);
}

// Where the storage holds source text: index 0 once a refill has put a
// character of the source there.
char* text_begin() {
    return scanner.buffer->storage + (scanner.storage_offset < 0 ? 1 : 0);
}

// Before a refill drops everything in front of keep_from: keeps the
// current line's start, as an offset once its place leaves storage, and the
// last of the text.
void keep_position_across_refill(char* keep_from) {
    char* storage = scanner.buffer->storage;
    char* begin = text_begin();
    if (keep_from > begin) {
        if (keep_from - begin >= static_cast<ptrdiff_t>(LOST_TAIL_SIZE)) {
            scanner.lost_tail.clear();
            begin = keep_from - LOST_TAIL_SIZE;
        }
        scanner.lost_tail.append(begin, static_cast<size_t>(keep_from - begin));
        if (scanner.lost_tail.size() > LOST_TAIL_SIZE)
            scanner.lost_tail.erase(0, scanner.lost_tail.size() - LOST_TAIL_SIZE);
    }
    if (scanner.line_start && scanner.line_start < keep_from) {
        scanner.lost_line_offset = offset_in_source(scanner.line_start);
        scanner.line_start = nullptr;
    } else if (scanner.line_start) {
        scanner.line_start -= keep_from - storage;
    }
    scanner.storage_offset += keep_from - storage;
}

// A matched string holds the line feed at nl: counts its lines, and notes
// where it began, which is what help points at when the string was left
// open by mistake.
[[gnu::noinline]] void note_long_string(char* bp, char* nl, char* end) {
    StringSpan span;
    span.start = offset_in_source(bp);
    span.line = scanner.line;
    span.column = static_cast<int32_t>(span.start - (scanner.line_start ? offset_in_source(scanner.line_start)
                                                                        : scanner.lost_line_offset)) +
                  1;
    // A remark is a string between two single quotes.
    char* p = bp;
    while (p > text_begin() && (p[-1] == ' ' || p[-1] == '\t' || p[-1] == '\n')) --p;
    span.remark = p > text_begin() && p[-1] == '\'';
    for (; nl; nl = static_cast<char*>(std::memchr(nl + 1, '\n', static_cast<size_t>(end - nl - 1)))) {
        ++scanner.line;
        scanner.line_start = nl + 1;
    }
    span.end_line = scanner.line;
    scanner.long_string = span;
}

void sync_from_buffer() {
    scanner.chars_in_buffer = scanner.buffer->char_count;
    scanner.pos = scanner.lexeme = scanner.buffer->scan_pos;
    scanner.input = scanner.buffer->input_file;
    scanner.saved_char = *scanner.pos;
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
    char* end = scanner.buffer->storage + scanner.chars_in_buffer;
    held.text = scanner.lost_tail;
    held.text.append(begin, static_cast<size_t>(end - begin));
    held.first_offset = offset_in_source(begin) - static_cast<int64_t>(scanner.lost_tail.size());
    if (scanner.pos >= begin && scanner.pos < end) held.text[held.index_of(scanner.pos)] = scanner.saved_char;
    return held;
}

constexpr size_t SHOWN_AROUND = 60;  // characters of a long line shown on each side of the caret

// The place of text[at], where lines have been counted up to text[counted].
SourcePlace place_in(const HeldText& held, size_t at, size_t counted) {
    const std::string& t = held.text;
    SourcePlace place;
    place.line = scanner.line;
    for (size_t i = at; i < counted && i < t.size(); ++i)
        if (t[i] == '\n') --place.line;

    size_t start = at;
    while (start > 0 && t[start - 1] != '\n') --start;
    if (start > 0 || held.first_offset == 0) {
        place.column = static_cast<int32_t>(at - start) + 1;
    } else {
        // The line began before the text still held.
        place.cut_before = true;
        if (!scanner.line_start && place.line == scanner.line)
            place.column =
                static_cast<int32_t>(held.first_offset + static_cast<int64_t>(at) - scanner.lost_line_offset) + 1;
    }
    if (at - start > SHOWN_AROUND) {
        start = at - SHOWN_AROUND;
        place.cut_before = true;
    }
    size_t stop = at;
    while (stop < t.size() && t[stop] != '\n' && stop - at < SHOWN_AROUND) ++stop;
    place.cut_after = stop < t.size() ? t[stop] != '\n' : scanner.buffer->eof_state == INPUT_LIVE;
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
    char* end = scanner.buffer->storage + scanner.chars_in_buffer;
    for (char* c = p; c < end; ++c) {
        if (*c != '\n') continue;
        ++scanner.line;
        scanner.line_start = c + 1;
    }
    if (rest_waits && (end == p || end[-1] != '\n')) {
        discard_source_line();
        ++scanner.line;
        scanner.line_start = end;
    }
    scanner.pos = scanner.lexeme = end;
    scanner.saved_char = '\0';  // the sentinel
}

const char TOO_LONG[] = "fatal error - scanner input buffer overflow";

// Ends the run when a single match outgrows the buffer, saying where it began.
// In a session the match is reported and dropped instead, with the rest of
// its line.
std::string token_too_long_help() {
    std::string help;
    if (help_wanted()) {
        HeldText held = held_text();
        size_t at = held.index_of(scanner.lexeme);
        SourcePlace place = place_in(held, at, at);
        std::string limit = std::to_string(SCAN_BUFFER_SIZE - 3) + " characters";
        std::string what = *scanner.lexeme == '"'
                               ? "this string is longer than " + limit + "; is its closing quote missing?"
                               : "this token is longer than " + limit;
        help = located(place.line, place.column, what) +
               source_excerpt(place.text, place.caret, place.cut_before, place.cut_after);
    }
    return help;
}

// Moves the unfinished match (and the character before it) to the front of
// storage and reads more input behind it.
RefillResult refill_buffer() {
    char* storage = scanner.buffer->storage;
    if (scanner.pos > storage + scanner.chars_in_buffer + 1)
        fatal_error("fatal flex scanner internal error--end of buffer missed");

    int32_t keep = static_cast<int32_t>(scanner.pos - scanner.lexeme);
    int32_t room = scanner.buffer->capacity - keep - 1;
    bool live = scanner.buffer->eof_state == INPUT_LIVE;
    if (live && room <= 0) {
        std::string help = token_too_long_help();
        if (!scanner.interactive) fatal_error(TOO_LONG, help);
        report_error(TOO_LONG);
        write_help(help);
        drop_from(scanner.lexeme);
        return REFILL_DISCARDED;
    }
    keep_position_across_refill(scanner.lexeme - 1);
    std::memmove(storage, scanner.lexeme - 1, static_cast<size_t>(keep));

    int count = 0;
    if (live) {
        if (room > READ_CHUNK) room = READ_CHUNK;
        // A session's prompt says whether a statement is open: one the
        // parser has begun, or a string still being matched (a pending
        // line feed is no more than a blank).
        LinePrompt prompt = LinePrompt::NONE;
        if (scanner.interactive) {
            bool open = !scanner.statement_start;
            for (char* p = storage + 1; p < storage + keep; ++p) open = open || (*p != '\n' && *p != ' ' && *p != '\t');
            prompt = open ? LinePrompt::CONTINUATION : LinePrompt::STATEMENT;
        }
        count = read_source(fileno(scanner.input), storage + keep, room, prompt);
        if (count == READ_INTERRUPTED) {
            // A session's Ctrl-C: the statement in progress goes, as after an error.
            take_interrupt();
            scanner.chars_in_buffer = keep;
            storage[keep] = '\0';
            storage[keep + 1] = '\0';
            scanner.lexeme = &storage[1];
            drop_from(scanner.lexeme, false);
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
        scanner.buffer->eof_state = keep == 1 ? INPUT_DONE : INPUT_DRAINING;
    }
    scanner.chars_in_buffer = count + keep;
    storage[scanner.chars_in_buffer] = '\0';
    storage[scanner.chars_in_buffer + 1] = '\0';
    scanner.lexeme = &storage[1];
    return result;
}

// The state the text from scanner.lexeme to scanner.pos leads to; an input NUL
// counts as an ordinary character.
int rescan_state() {
    int state = START_STATE;
    for (char* p = scanner.lexeme; p < scanner.pos; ++p) {
        int k = *p ? class_of(static_cast<unsigned char>(*p)) : CLASS_OTHER;
        if (scan_tables.accept[state]) {
            scanner.accept_state = state;
            scanner.accept_pos = p;
        }
        state = scan_tables.next[state][k];
    }
    return state;
}

// The state after an input NUL, or 0 if the match cannot take it.
int nul_transition(int state) {
    if (scan_tables.accept[state]) {
        scanner.accept_state = state;
        scanner.accept_pos = scanner.pos;
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
    if (!scanner.input) scanner.input = stdin;
    scanner.buffer = create_buffer(scanner.input, SCAN_BUFFER_SIZE);
    sync_from_buffer();
    scanner.line_start = scanner.pos;
    scanner.started = true;
}

// After the identifier table's message, which has no line end of its own:
// where the input was cut short, and why.
void explain_cut_short() {
    if (!help_wanted()) return;
    std::string name = scanner.lexeme;
    if (name.size() > 40) name = name.substr(0, 40) + "...";
    SourcePlace place = token_place(IDENT);
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
    int32_t matched = static_cast<int32_t>(m.cp - scanner.lexeme) - 1;
    *m.cp = scanner.saved_char;
    char* storage = scanner.buffer->storage;
    if (scanner.pos <= storage + scanner.chars_in_buffer) {
        // The NUL lies inside the text: it belongs to the input.
        scanner.pos = scanner.lexeme + matched;
        m.state = rescan_state();
        int next = nul_transition(m.state);
        m.bp = scanner.lexeme;
        if (next) {
            m.cp = ++scanner.pos;
            m.state = next;
            return Resume::ADVANCE;
        }
        m.cp = scanner.accept_pos;
        m.state = scanner.accept_state;
        return Resume::FIND_ACTION;
    }
    RefillResult refill = refill_buffer();
    if (refill == REFILL_DISCARDED) return Resume::DISCARDED;
    if (refill == REFILL_EOF) {
        scanner.pos = scanner.lexeme;
        return Resume::END_OF_INPUT;  // there is no further input to switch to
    }
    // Take the unfinished match up again: over the new input, or, when
    // there is none, as far as the pending text goes.
    scanner.pos = refill == REFILL_MORE ? scanner.lexeme + matched : storage + scanner.chars_in_buffer;
    m.state = rescan_state();
    m.cp = scanner.pos;
    m.bp = scanner.lexeme;
    return refill == REFILL_MORE ? Resume::ADVANCE : Resume::FIND_ACTION;
}

}  // namespace

// The blank and the tab as bits, for the loop that passes over them.
constexpr uint64_t BLANKS = uint64_t{1} << ' ' | uint64_t{1} << '\t';

namespace {

int match_token() {
    char* cp;
    char* bp;
    int state;
    for (;;) {
        cp = scanner.pos;
        *cp = scanner.saved_char;  // undo the NUL that ended the previous lexeme
        // Blanks, tabs and line feeds are one-character matches that are
        // skipped: a run of them is passed over at once.
        for (;; ++cp) {
            unsigned char c = static_cast<unsigned char>(*cp);
            if (c <= ' ' && (BLANKS >> c & 1)) continue;
            if (c != '\n') break;
            ++scanner.line;
            scanner.line_start = cp + 1;
        }
        scanner.token_line = scanner.line;
        bp = cp;
        state = START_STATE;

    advance : {
        // The last accepting state and where it was, kept in registers.
        int accept_state = scanner.accept_state;
        char* accept_pos = scanner.accept_pos;
        do {
            if (scan_tables.accept[state]) {
                accept_state = state;
                accept_pos = cp;
            }
            state = scan_tables.next[state][class_of(static_cast<unsigned char>(*cp))];
            ++cp;
            if (uint64_t stay = scan_tables.stay[state]) {
                if (stay & FINAL) {
                    accept_state = state;
                    accept_pos = cp;
                    break;
                }
                // The run stays in one state, so only its end can be the
                // last accepting place; a NUL never stays, so the sentinel
                // stops it.
                while (stay >> class_of(static_cast<unsigned char>(*cp)) & 1) ++cp;
            }
        } while (state != JAM_STATE);
        scanner.accept_state = accept_state;
        scanner.accept_pos = accept_pos;
        cp = accept_pos;
        state = accept_state;
    }

    find_action:
        int rule = scan_tables.accept[state];
        scanner.lexeme = bp;
        scanner.lexeme_length = static_cast<int32_t>(cp - bp);
        scanner.saved_char = *cp;
        *cp = '\0';
        scanner.pos = cp;

        if (int token = rule_token[rule]) return token;
        switch (rule) {
        case RULE_NONE:  // reached from the end-of-buffer paths when the state accepts nothing
            *cp = scanner.saved_char;
            cp = scanner.accept_pos;
            state = scanner.accept_state;
            goto find_action;
        case RULE_INTEGER: scanner.token_value.integer = convert_integer(scanner.lexeme); return INT_CONST;
        case RULE_REAL: scanner.token_value.real = std::strtod(scanner.lexeme, nullptr); return REAL_CONST;
        case RULE_STRING: {
            char* quote = scanner.lexeme + scanner.lexeme_length - 1;  // the closing one
            if (void* nl = std::memchr(scanner.lexeme, '\n', static_cast<size_t>(scanner.lexeme_length)))
                note_long_string(scanner.lexeme, static_cast<char*>(nl), cp);
            // A string after a single quote is a remark's, which nothing
            // reads: it is not copied.
            if (scanner.previous_token == QUOTE) {
                scanner.token_value.text = "";
                return STRING_CONST;
            }
            *quote = '\0';
            char* copy = strdup(scanner.lexeme);
            if (!copy) fatal_error("out of memory");
            *quote = '"';  // the source as it stands, for help
            scanner.token_value.text = copy + 1;
            return STRING_CONST;
        }
        case RULE_LINE_FEED:
            ++scanner.line;
            scanner.line_start = cp;
            continue;
        case RULE_BLANK: continue;
        case RULE_IDENT: {
            Symbol* sym = intern_identifier(scanner.lexeme, static_cast<size_t>(scanner.lexeme_length));
            if (!sym) {
                scanner.input_cut_short = true;
                explain_cut_short();
                return TOKEN_END;
            }
            scanner.token_value.symbol = sym;
            return IDENT;
        }
        case RULE_CHARACTER:
            if (scanner.lexeme[0] == '\0' && scanner.interactive) return TOKEN_NUL;
            return static_cast<unsigned char>(scanner.lexeme[0]);
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

int next_token() {
    if (!scanner.started) start_up();
    scanner.previous_token = match_token();
    return scanner.previous_token;
}

void discard_rest_of_line() {
    if (!scanner.buffer) return;
    *scanner.pos = scanner.saved_char;  // the NUL that ended the last lexeme
    char* end = scanner.buffer->storage + scanner.chars_in_buffer;
    char* nl = scanner.pos < end
                   ? static_cast<char*>(std::memchr(scanner.pos, '\n', static_cast<size_t>(end - scanner.pos)))
                   : nullptr;
    if (!nl) {
        drop_from(scanner.pos);
        return;
    }
    scanner.pos = nl + 1;
    scanner.saved_char = *scanner.pos;
    ++scanner.line;
    scanner.line_start = scanner.pos;
}

SourcePlace token_place(int token) {
    if (!scanner.buffer) return SourcePlace{};
    HeldText held = held_text();
    size_t counted = held.index_of(scanner.pos);
    if (token == TOKEN_END && !scanner.input_cut_short) {
        // Just after the last text: a trailing blank line is no place to point.
        size_t at = counted;
        while (at > 0 && (held.text[at - 1] == ' ' || held.text[at - 1] == '\t' || held.text[at - 1] == '\n')) --at;
        return place_in(held, at, counted);
    }
    int64_t start = offset_in_source(scanner.lexeme);
    if (token == STRING_CONST && start == scanner.long_string.start)
        return place_in(held, held.index_of(scanner.pos - 1), counted);
    return place_in(held, held.index_of(scanner.lexeme), counted);
}

const char* token_text() {
    return scanner.buffer ? scanner.lexeme : "";
}

std::string token_note(int token) {
    if (!scanner.buffer) return "";
    // A string over several lines that ends on this token's line: the
    // token itself, or one after it.
    const StringSpan& span = scanner.long_string;
    bool long_string_ends_here =
        span.start >= 0 && offset_in_source(scanner.lexeme) >= span.start && token_place(token).line == span.end_line;
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
