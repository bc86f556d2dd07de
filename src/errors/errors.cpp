#include "errors/errors.h"

#include <signal.h>
#include <unistd.h>

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
        int terminal = isatty(STDERR_FILENO) == 1 ? 1 : 0;
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

std::string source_excerpt(const std::string& text, size_t caret, bool cut_before, bool cut_after) {
    const char* indent = "    ";
    std::string shown = indent, marker = indent;
    if (cut_before) {
        shown += "...";
        marker += "   ";
    }
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        // Control characters other than a tab would move the cursor.
        shown += c < 32 && c != '\t' ? '?' : static_cast<char>(c);
        // One mark per character as a terminal shows it: a tab stays a tab,
        // and the continuation bytes of a multi-byte character take no room.
        if (i < caret && (c & 0xC0) != 0x80) marker += c == '\t' ? '\t' : ' ';
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
    (void)std::fputs("interrupted\n", stderr);
    end_by_signal(sig);
}

void stop_broken_pipe() {
    run_cleanup();
    end_by_signal(SIGPIPE);
}

void end_by_signal(int sig) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    (void)sigaction(sig, &action, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    (void)sigprocmask(SIG_UNBLOCK, &only, nullptr);
    (void)raise(sig);
    _exit(128 + sig);  // not reached: the default action ends the process
}
