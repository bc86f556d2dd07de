// Diagnostics and the ways a run is cut short. A leaf: it includes nothing
// else of the interpreter, so every layer can report without depending on
// the driver. The driver installs the clean-up that closes the outputs.
#pragma once

#include <csignal>
#include <cstdint>

// The source line that the engine records with each instruction it is
// issued, so that a fault found later (in a loop's replay) can name it.
// Kept up to date by the parser; 0 before the first token.
extern int32_t issue_line;

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

// The number of a signal (SIGINT or SIGTERM) that asked the run to stop, or
// 0. Set by the signal handler; tested at every safe point (a loop pass, a
// source read, a console read).
extern volatile std::sig_atomic_t interrupt_signal;

// At a safe point once interrupt_signal is set: runs the clean-up, writes
// "interrupted" to standard error and ends the process by that signal.
[[noreturn]] void stop_interrupted();
