#include "errors/errors.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void (*exit_cleanup)();

void run_cleanup() {
    void (*cleanup)() = exit_cleanup;
    exit_cleanup = nullptr;  // a fault inside the clean-up must not run it twice
    if (cleanup) cleanup();
}

const char* source_name = "<stdin>";

void (*interrupt_taker)();

}  // namespace

volatile std::sig_atomic_t interrupt_signal;
volatile std::sig_atomic_t pipe_broken;

void report_error(const char* text) {
    // A failed flush leaves the stream's error flag, which the end of the run reports.
    (void)std::fflush(stdout);
    (void)std::fprintf(stderr, "%s\n", text);
}

void set_exit_cleanup(void (*cleanup)()) {
    exit_cleanup = cleanup;
}

void fatal_error(const char* text) {
    fatal_error(text, std::string());
}

void fatal_error(const char* text, const std::string& help) {
    report_error(text);
    write_help(help);
    run_cleanup();
    std::exit(1);
}

bool help_wanted() {
    static const int wanted = [] {
        const char* setting = std::getenv("RILL_DIAGNOSTICS");
        if (setting && std::strcmp(setting, "1") == 0) return 1;
        if (setting && std::strcmp(setting, "0") == 0) return 0;
        // isatty sets errno, which may still hold why standard output
        // failed, to be reported at the end.
        int saved = errno;
        int terminal = is_terminal(STDERR_FD) ? 1 : 0;
        errno = saved;
        return terminal;
    }();
    return wanted;
}

void set_source_name(const char* name) {
    source_name = name;
}

std::string located(int32_t line, int32_t column, const std::string& text) {
    std::string where = source_name;
    if (line > 0) {
        where += ':';
        where += std::to_string(line);
        if (column > 0) {
            where += ':';
            where += std::to_string(column);
        }
    }
    where += ": ";
    where += text;
    where += '\n';
    return where;
}

// The code point of the UTF-8 sequence at text[i], or -1 when it is not a
// well-formed one.
int32_t code_point_at(const std::string& text, size_t i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    int length = c >= 0xF5 ? 0 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    if (length == 0 || i + static_cast<size_t>(length) > text.size()) return -1;
    int32_t cp = c & (0x3F >> (length - 1));
    for (int k = 1; k < length; ++k) {
        unsigned char next = static_cast<unsigned char>(text[i + static_cast<size_t>(k)]);
        if ((next & 0xC0) != 0x80) return -1;
        cp = cp << 6 | (next & 0x3F);
    }
    return cp;
}

// How many columns a terminal gives the character at text[i] (a lead byte):
// two for the wide and full-width East Asian ranges, none for combining
// marks, one for everything else, ill-formed bytes included.
int columns_at(const std::string& text, size_t i) {
    static const int32_t wide[][2] = {
        {0x1100, 0x115F},   {0x2E80, 0x303E},   {0x3041, 0x33FF}, {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},
        {0xA000, 0xA4CF},   {0xA960, 0xA97F},   {0xAC00, 0xD7A3}, {0xF900, 0xFAFF},   {0xFE10, 0xFE19},
        {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6}, {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF},
        {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
    };
    static const int32_t combining[][2] = {
        {0x0300, 0x036F}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200F},
        {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F},
    };
    int32_t cp = code_point_at(text, i);
    for (const auto& r : combining)
        if (cp >= r[0] && cp <= r[1]) return 0;
    for (const auto& r : wide)
        if (cp >= r[0] && cp <= r[1]) return 2;
    return 1;
}

std::string source_excerpt(const std::string& text, size_t caret, bool cut_before, bool cut_after) {
    const char* indent = "    ";
    std::string shown = indent, marker = indent;
    if (cut_before) {
        shown += "...";
        marker += "   ";
    }
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        // Control characters other than a tab would move the cursor or not show.
        shown += (c < 32 && c != '\t') || c == 127 ? '?' : static_cast<char>(c);
        // Marks as wide as the characters a terminal shows: a tab stays a
        // tab, a multi-byte character takes its columns at its first byte.
        if (i >= caret || (c & 0xC0) == 0x80) continue;
        if (c == '\t')
            marker += '\t';
        else
            marker.append(static_cast<size_t>(columns_at(text, i)), ' ');
    }
    if (cut_after) shown += "...";
    return shown + "\n" + marker + "^\n";
}

void write_help(const std::string& lines) {
    if (lines.empty() || !help_wanted()) return;
    (void)std::fflush(stdout);
    (void)std::fputs(lines.c_str(), stderr);
}

void stop_interrupted() {
    int sig = interrupt_signal;
    run_cleanup();
    // Not report_error: the clean-up has flushed standard output and may
    // have closed it.
    (void)std::fputs(sig == SIGNAL_CPU_LIMIT ? "CPU time limit reached\n" : "interrupted\n", stderr);
    end_by_signal(sig);
}

void set_interrupt_taker(void (*taker)()) {
    interrupt_taker = taker;
}

bool interrupt_recoverable() {
    return interrupt_taker && interrupt_signal == SIGINT;
}

void take_interrupt() {
    if (!interrupt_recoverable()) stop_interrupted();
    interrupt_taker();
}

void stop_broken_pipe() {
    run_cleanup();
    end_by_signal(SIGNAL_BROKEN_PIPE);
}
