// Lines typed in a terminal session, through the line editor (libedit)
// where rill is built with it: arrow keys, Ctrl-R search and a history kept
// in a file. The editor reads the terminal through the source's own reader
// only, so console input and the program still share one stream.
#pragma once

#include <string>
#include <vector>

// Starts the editor on standard input's terminal the first time it is
// asked; false when there is none to use: rill built without it, or a
// terminal not set for a person typing (echo off), or no terminal to show
// the line on.
bool line_editor_ready();

// Reads one line after prompt and appends it, with its line feed when one
// was typed, to line: every byte as typed, whatever the locale. A line to
// keep (a line of the program, not blank) is added to the history and
// saved. Returns 1 for a line; 0 at the end of the input (Ctrl-D on an
// empty line) or on an interrupt (interrupt_signal tells); -1 after a
// failed read (errno tells).
// REQUIRES: line_editor_ready().
int line_editor_read(const char* prompt, bool keep, std::string& line);

// The history file: $XDG_STATE_HOME/rill/history, or
// $HOME/.local/state/rill/history; empty when RILL_HISTORY is 0 or neither
// variable is set. Only a regular file is read, its last 4 MiB at most;
// each line kept replaces it with a new file holding its lines as they are
// then (other sessions' included) and the new one, the last 1000 in all.
std::string history_path();

// The history file's text as lines: a line with escapes (a backslash, a
// blank, a control character) per entry after a first line that marks the
// format. Text that does not start at the file's start begins inside a
// line, which is dropped. At most the last keep lines.
std::vector<std::string> parse_history(const std::string& text, bool from_start, size_t keep);

// Lines as the history file holds them; parse_history's inverse.
std::string format_history(const std::vector<std::string>& lines);
