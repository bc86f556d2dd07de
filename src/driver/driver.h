// The process's run: source choice, the one parse, and how the run ends.
// Every way out of the process goes through finish_run, so that outputs are
// flushed and closed and the exit status says whether everything was written.
#pragma once

// Writes text and a line feed to the standard error stream, after flushing
// standard output so that the two streams interleave in the order of events.
void report_error(const char* text);

// Ends the process at once with status 1 after writing text and a line feed
// to the standard error stream. Used for the scanner's fatal errors and for
// allocation failures.
[[noreturn]] void fatal_error(const char* text);

// Runs the interpreter as the process entry does; returns the exit status.
int run_interpreter(int argc, char** argv);
