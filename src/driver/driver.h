// The process's run: source choice, the one parse, and how the run ends.
// Outputs are flushed and closed on every way out: at the end of the run
// here, and on a fatal error or an interrupt through the clean-up this unit
// installs in errors/errors.h.
#pragma once

// Runs the interpreter as the process entry does; returns the exit status.
int run_interpreter(int argc, char** argv);
