// Diagnostics and the ways a run is cut short. A leaf: it includes nothing
// else of the interpreter, so every layer can report without depending on
// the driver. The driver installs the clean-up that closes the outputs.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

// Writes text and a line feed to the standard error stream, after flushing
// standard output so that the two streams interleave in the order of events.
void report_error(const char* text);

// Runs when the process must end early (a fatal error or an interrupt):
// flushes and closes the outputs. Installed once by the driver at start-up.
void set_exit_cleanup(void (*cleanup)());

// Ends the process at once with status 1 after writing text and a line feed
// to the standard error stream, and after the installed clean-up. Used for
// the scanner's fatal errors and for allocation failures.
[[noreturn]] void fatal_error(const char* text);

// Ends the process as fatal_error does, with help lines (help, each ending
// in a line feed) after the text when help is wanted.
[[noreturn]] void fatal_error(const char* text, const std::string& help);

// Help: further lines after a diagnostic's first line, which never changes.
// They are written only when standard error is a terminal or the environment
// asks for them with RILL_DIAGNOSTICS=1; RILL_DIAGNOSTICS=0 turns them off.
bool help_wanted();

// The source as help names it: the path given, or "<stdin>". Set by the driver.
void set_source_name(const char* name);

// "FILE:LINE:COLUMN: text" and a line feed; a column of 0 leaves it out,
// and a line of 0 both.
std::string located(int32_t line, int32_t column, const std::string& text);

// The source line text with a caret under its byte at caret (tabs kept so
// that the caret lines up), each line indented and ending in a line feed.
// A line cut at either end shows "..." there.
std::string source_excerpt(const std::string& text, size_t caret, bool cut_before, bool cut_after);

// Writes help lines (each ending in a line feed) when help is wanted.
void write_help(const std::string& lines);

// The signals that ask the run to stop: Ctrl-C, kill, the terminal going
// away, and the soft limit on CPU time reached (the hard one kills outright
// later, so there is time to write everything out).
constexpr int INTERRUPT_SIGNALS[] = {SIGINT, SIGTERM, SIGNAL_HANGUP, SIGNAL_CPU_LIMIT};

// The number of a signal (one of INTERRUPT_SIGNALS) that asked the run to
// stop, or 0. Set by the signal handler; tested at every safe point (a loop
// pass, a source read, a console read).
extern volatile std::sig_atomic_t interrupt_signal;

// At a safe point once interrupt_signal is set: runs the clean-up, writes
// "interrupted" (or, for SIGXCPU, that the CPU time limit was reached) to
// standard error and ends the process by that signal.
[[noreturn]] void stop_interrupted();

// A terminal session keeps going after Ctrl-C: the driver installs, for a
// session only, what takes one (it writes "interrupted" on a line of its
// own and forgets the signal).
void set_interrupt_taker(void (*taker)());

// Whether the interrupt waiting at this safe point costs only the
// statement in progress: Ctrl-C in a session. SIGTERM and SIGHUP still end it.
bool interrupt_recoverable();

// At a safe point once interrupt_signal is set. When the interrupt is
// recoverable, takes it and returns: the caller drops the statement in
// progress. Otherwise ends the run as stop_interrupted does.
void take_interrupt();

// Set by the SIGPIPE handler, which the driver installs unless SIGPIPE was
// ignored from the start: a write met a pipe whose reader has gone.
extern volatile std::sig_atomic_t pipe_broken;

// Once pipe_broken is set: runs the clean-up, which writes nothing more to
// the broken pipe, and ends the process by SIGPIPE, as if it had not been
// caught.
[[noreturn]] void stop_broken_pipe();
