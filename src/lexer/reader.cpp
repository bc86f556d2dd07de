#include "lexer/reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "errors/errors.h"
#include "lexer/line_editor.h"
#include "platform/platform.h"

namespace {

InputReader source_reader;
InputReader stdin_reader;  // console input when the source is elsewhere
bool prompt_shown;         // a prompt on standard error waits for its line

void flush_terminal_output() {
    static const bool terminal = is_terminal(STDOUT_FD);
    // A failed flush leaves the stream's error flag, which the end of the run reports.
    if (terminal) (void)std::fflush(stdout);
}

}  // namespace

bool await_input(int fd) {
    // What the program printed so far is seen while it waits.
    return wait_until_readable(fd, flush_terminal_output);
}

namespace {

// Returns true once fd has input, its end or an error to report. An
// interrupt stops the run here, a safe point; a session's Ctrl-C returns
// false instead, left waiting for the caller to take.
bool wait_for_input(int fd) {
    if (await_input(fd)) return true;
    if (!interrupt_recoverable()) stop_interrupted();
    return false;
}

// Called before a session reads its next line: what the program wrote to
// its output file is written out, as the screen's is, so that a session
// killed outright keeps it.
void (*before_session_line)();

// Makes the bytes from reader.ready on ready to hand out. In text mode a
// CR LF pair becomes LF, a CR that ends the bytes read so far waits on hold
// for the next read (or the end) to decide, and a 0x1A byte ends the input.
void settle(InputReader& r, bool at_end) {
    char* a = r.ahead.data();
    size_t n = r.ahead.size();
    size_t i = r.ready;
    // Nothing new (as at a session's end) is no search: an empty vector's
    // data may be null, which memchr must never be given.
    if (r.text_mode && i < n) {
        const void* cr = std::memchr(a + i, '\r', n - i);
        const void* eof = std::memchr(a + i, '\x1a', n - i);
        if (cr || eof)
            i = static_cast<size_t>(static_cast<const char*>(cr && (!eof || cr < eof) ? cr : eof) - a);
        else
            i = n;
    } else {
        i = n;
    }
    size_t w = i;
    for (; i < n; ++i) {
        char c = a[i];
        if (c == '\x1a') {
            r.ended = true;
            break;
        }
        if (c == '\r') {
            if (i + 1 == n && !at_end) {
                a[w] = '\r';
                r.ahead.resize(w + 1);
                r.ready = w;
                return;
            }
            if (i + 1 < n && a[i + 1] == '\n') continue;  // the LF is copied next
        }
        a[w++] = c;
    }
    r.ahead.resize(w);
    r.ready = w;
}

const char* prompt_text(LinePrompt prompt) {
    switch (prompt) {
    case LinePrompt::NONE: break;
    case LinePrompt::STATEMENT: return "rill> ";
    case LinePrompt::CONTINUATION: return "  ... ";
    case LinePrompt::NUMBER: return ">> ";
    }
    return "";
}

// Ctrl-D ends a session's input: what the program writes next, or the
// shell's prompt, starts a line of its own rather than after the "^D".
void end_session_input(InputReader& r) {
    if (is_terminal(STDERR_FD)) (void)std::fputc('\n', stderr);
    r.ended = true;
    settle(r, true);
}

// A session's next line, through the line editor. Prompts are shown only
// where standard error is a terminal, so that standard output holds the
// program's output alone; console input's prompt is its own, written to
// standard output unless the editor shows it (see await_number).
void read_edited_line(InputReader& r) {
    bool shown = is_terminal(STDERR_FD) || (r.prompt == LinePrompt::NUMBER && is_terminal(STDOUT_FD));
    // What the program printed comes before the prompt.
    (void)std::fflush(stdout);
    std::string line;
    prompt_shown = is_terminal(STDERR_FD);
    int got = line_editor_read(shown ? prompt_text(r.prompt) : "", r.prompt != LinePrompt::NUMBER, line);
    // A session's Ctrl-C drops the line typed so far; prompt_shown stays
    // set, so that "interrupted" starts a line of its own.
    if (interrupt_signal) {
        if (!interrupt_recoverable()) stop_interrupted();
        return;
    }
    prompt_shown = false;
    if (got < 0) {
        r.error = errno ? errno : EIO;
        return;
    }
    if (got == 0) {
        end_session_input(r);
        return;
    }
    r.ahead.insert(r.ahead.end(), line.begin(), line.end());
    settle(r, false);
}

// A session without the line editor: the terminal gives a line per read;
// the prompt comes first, where standard error is a terminal.
void show_prompt(LinePrompt prompt) {
    if (prompt == LinePrompt::NUMBER || !is_terminal(STDERR_FD)) return;
    // What the program printed comes before the prompt.
    (void)std::fflush(stdout);
    (void)std::fputs(prompt_text(prompt), stderr);
    prompt_shown = true;
}

// One read() of at most want bytes, appended to what the reader holds.
void read_more(InputReader& r, size_t want) {
    if (r.next > 0) {
        r.ahead.erase(r.ahead.begin(), r.ahead.begin() + static_cast<std::ptrdiff_t>(r.next));
        r.ready -= r.next;
        r.next = 0;
    }
    if (r.prompt != LinePrompt::NONE) {
        if (before_session_line) before_session_line();
        if (line_editor_ready()) {
            read_edited_line(r);
            return;
        }
        show_prompt(r.prompt);
    }
    if (r.regular < 0) r.regular = is_regular_file(r.fd);
    // A regular file always has its bytes at hand: no wait, and no poll.
    if (!r.regular) {
        if (!wait_for_input(r.fd)) return;
    } else if (interrupt_signal) {
        if (!interrupt_recoverable()) stop_interrupted();
        return;
    }
    size_t old = r.ahead.size();
    r.ahead.resize(old + want);
    long n;
    while ((n = read_bytes(r.fd, r.ahead.data() + old, want)) < 0 && errno == EINTR && !interrupt_signal) {
    }
    // A signal that came as the input did is still honoured; in a session,
    // Ctrl-C drops the statement the input belonged to.
    if (interrupt_signal) {
        if (!interrupt_recoverable()) stop_interrupted();
        r.ahead.resize(old + static_cast<size_t>(n > 0 ? n : 0));
        settle(r, false);
        return;
    }
    if (n < 0) {
        r.error = errno;
        r.ahead.resize(old);
        prompt_shown = false;
        return;
    }
    r.ahead.resize(old + static_cast<size_t>(n));
    if (n == 0 && r.prompt != LinePrompt::NONE && prompt_shown) {
        prompt_shown = false;
        end_session_input(r);
        return;
    }
    prompt_shown = false;
    if (n == 0) r.ended = true;
    settle(r, n == 0);
}

bool same_stream(int a, int b) {
    return same_file(a, b) && !is_regular_file(a);
}

}  // namespace

int read_source(InputReader& r, char* dest, int room) {
    while (r.next == r.ready) {
        if (r.error) return -1;
        if (r.ended) return 0;
        if (interrupt_recoverable()) return READ_INTERRUPTED;
        read_more(r, static_cast<size_t>(std::min(room, READ_CHUNK)));
    }
    size_t n = std::min(static_cast<size_t>(room), r.ready - r.next);
    std::memcpy(dest, r.ahead.data() + r.next, n);
    r.next += n;
    return static_cast<int>(n);
}

int read_source(int fd, char* dest, int room, LinePrompt prompt) {
    source_reader.fd = fd;
    source_reader.prompt = prompt;
    static bool started;
    if (!started) {
        started = true;
        // Some editors begin a UTF-8 file with a byte order mark; only
        // there is it no part of the program.
        if (input_peek(source_reader, 0) == 0xEF && input_peek(source_reader, 1) == 0xBB &&
            input_peek(source_reader, 2) == 0xBF)
            input_take(source_reader, 3);
    }
    return read_source(source_reader, dest, room);
}

namespace {

// Reads more when it is there at once, as the rest of a line that a short
// read left behind is; false when nothing more can come without a wait (a
// line cut short by the end of input has no rest to wait for).
bool read_more_at_once(InputReader& r) {
    if (r.ended || r.error || !readable_now(r.fd)) return false;
    // A session's line editor hands out whole lines: what is there is the
    // next line, typed ahead, and no prompt belongs before a line's rest.
    if (r.prompt != LinePrompt::NONE && line_editor_ready()) return false;
    LinePrompt prompt = r.prompt;
    r.prompt = LinePrompt::NONE;
    read_more(r, READ_CHUNK);
    r.prompt = prompt;
    return true;
}

}  // namespace

void discard_source_line() {
    InputReader& r = source_reader;
    do {
        if (r.next < r.ready) {
            const char* at = r.ahead.data() + r.next;
            const void* nl = std::memchr(at, '\n', r.ready - r.next);
            r.next = nl ? static_cast<size_t>(static_cast<const char*>(nl) - r.ahead.data()) + 1 : r.ready;
            if (nl) return;
        }
    } while (read_more_at_once(r));
}

std::string peek_source_line(size_t limit, bool* whole) {
    InputReader& r = source_reader;
    std::string line;
    for (size_t i = 0;; ++i) {
        while (r.ready - r.next <= i)
            if (!read_more_at_once(r)) {
                *whole = r.ended || r.error;
                return line;
            }
        char c = r.ahead[r.next + i];
        if (c == '\n' || i == limit) {
            *whole = c == '\n';
            return line;
        }
        line += c;
    }
}

void set_before_session_line(void (*hook)()) {
    before_session_line = hook;
}

bool prompt_waiting() {
    return prompt_shown;
}

bool await_number(InputReader& r) {
    if (r.prompt == LinePrompt::NONE) return false;
    r.prompt = LinePrompt::NUMBER;
    for (size_t i = r.next; i < r.ready; ++i) {
        char c = r.ahead[i];
        if (c != ' ' && c != '\t' && c != '\n' && c != '\v' && c != '\f' && c != '\r') return false;
    }
    return line_editor_ready() && is_terminal(STDOUT_FD);
}

int input_peek(InputReader& r, size_t i) {
    while (r.ready - r.next <= i && !r.ended && !r.error && !interrupt_recoverable()) read_more(r, READ_CHUNK);
    return i < r.ready - r.next ? static_cast<unsigned char>(r.ahead[r.next + i]) : -1;
}

void input_take(InputReader& r, size_t n) {
    r.next += n;
}

InputReader& console_reader() {
    static InputReader* chosen;
    if (!chosen) {
        bool shared =
            source_reader.fd == STDIN_FD || (source_reader.fd >= 0 && same_stream(source_reader.fd, STDIN_FD));
        if (!shared) {
            stdin_reader.fd = STDIN_FD;
            stdin_reader.text_mode = false;
        }
        chosen = shared ? &source_reader : &stdin_reader;
    }
    return *chosen;
}
