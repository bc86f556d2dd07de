// Reading a descriptor as the scanner and console input see it: in text
// mode CR LF arrives as LF and 0x1A ends the input; every wait is a safe
// point for an interrupt. The scanner's source and console input may share
// one stream, so both read through readers that hold what was read ahead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr int32_t READ_CHUNK = 8192;

// In a terminal session the source is read a line at a time, each after a
// prompt that says what the line is for: the first line of a statement, a
// line of one still open (a block, a loop, a string), or console input.
enum class LinePrompt : uint8_t { NONE, STATEMENT, CONTINUATION, NUMBER };

// A reader of one descriptor, holding what it has read but not yet handed
// out. The scanner's source is one. Console input reads standard input
// through another, or through the scanner's own when the program itself
// comes from standard input: then the two take turns on one stream and
// neither can swallow bytes meant for the other.
struct InputReader {
    int fd = -1;
    bool text_mode = true;    // CR LF becomes LF (also split across reads); 0x1A ends the input
    std::vector<char> ahead;  // [next, ready) can be handed out; [ready, end) is a CR on hold
    size_t next = 0;
    size_t ready = 0;
    bool ended = false;                    // end of input or 0x1A seen: nothing is read again
    int error = 0;                         // errno of a failed read
    LinePrompt prompt = LinePrompt::NONE;  // NONE but in a session: what the next line is read for
    int regular = -1;                      // whether fd is a regular file, once asked: its reads never wait
};

// What read_source returns in a session when Ctrl-C came while it waited:
// the interrupt is left for the caller to take.
constexpr int READ_INTERRUPTED = -2;

// Hands out at most room characters (REQUIRES: room >= 1) into dest, reading
// with one read() of at most min(room, READ_CHUNK) bytes when nothing is at
// hand. Returns the count; 0 only at the end of input; -1 once a read failed;
// READ_INTERRUPTED.
// Every wait for input is a safe point for an interrupt, and flushes
// standard output first when it is a terminal.
int read_source(InputReader& reader, char* dest, int room);

// The same, on the scanner's own reader of the source descriptor fd; a
// UTF-8 byte order mark at the very start is skipped. In a session, prompt
// says what the line to be read is for.
int read_source(int fd, char* dest, int room, LinePrompt prompt = LinePrompt::NONE);

// Waits until fd has input (or its end, or an error to report); false when
// an interrupt came first. The run may stop there: a safe point. Flushes
// standard output first when it is a terminal and the wait is a real one.
bool await_input(int fd);

// Runs hook before each line a session reads (after the program's last
// statement has run).
void set_before_session_line(void (*hook)());

// True while a session's prompt on standard error waits for its line: what
// is written to standard error next starts a line of its own.
bool prompt_waiting();

// Called before console input reads a number from reader: in a session,
// the line it may read is the number's. True when the line editor will show
// console input's prompt as it reads that line (standard output is the
// terminal, and nothing but blanks is at hand), so that it is not written
// to standard output as well.
bool await_number(InputReader& reader);

// Drops what the source reader holds of the current line, up to and
// including its line feed, and the rest of that line when it is there at
// once; never waits, so nothing typed later is lost.
void discard_source_line();

// The source's characters after what has been handed out, up to its next
// line feed but at most limit of them, without handing them out; *whole
// tells whether the line ended there. Never waits, like discard_source_line.
std::string peek_source_line(size_t limit, bool* whole);

// Console input's look-ahead: the character i places past what has been
// handed out (0 to 255), reading and waiting for more as needed; -1 at the
// end of input or after a failed read.
int input_peek(InputReader& reader, size_t i);

// Hands out n characters that input_peek has shown.
void input_take(InputReader& reader, size_t n);

// The reader console input takes its numbers from: the scanner's own when
// the source is standard input (or the same pipe or terminal), else a
// reader of standard input as it is, without text-mode translation.
InputReader& console_reader();
