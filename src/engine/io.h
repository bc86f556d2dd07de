// The program's own input and output, and the faults that stop the run: all
// that engine/io.cpp offers. What native loops call is declared
// RILL_NATIVE_CALL, their calling convention.
#pragma once

#include <cstdio>

#include "engine/instructions.h"
#include "lexer/symbols.h"
#include "native/native_call.h"
#include "platform/platform.h"

// Console and file output. A null f is an output file that could not be
// opened: its items are discarded. A print that meets a pipe whose reader
// has gone ends the run by SIGPIPE, after the other output is written.
void RILL_NATIVE_CALL print_text(FILE* f, const char* text);
void RILL_NATIVE_CALL print_value(FILE* f, const Symbol* sym);

// A variable's value as print_value writes it, printf's "%d" or "%f", into
// text; returns its length. The largest real takes 317 characters.
constexpr size_t VALUE_TEXT_SIZE = 330;
size_t format_value(const Symbol* sym, char (&text)[VALUE_TEXT_SIZE]);
void RILL_NATIVE_CALL print_newline(FILE* f);

// True when the last character written to standard output (a print or the
// prompt) was not a line feed.
bool console_line_unfinished();

// Prompts on standard output and reads a number of sym's type into it; a
// read that fails, or finds no number, stores nothing.
void RILL_NATIVE_CALL read_input(Symbol* sym);

// The header's output file, opened for writing (or reported).
void open_output(const char* name);

// An integer division by zero: reports it and stops the run. at is the
// record of the dividing instruction, whatever path found it.
void RILL_NATIVE_CALL halt_division_by_zero(const Instruction* at);

// At a safe point of the engine once interrupt_signal is set: ends the run,
// or in a session, where Ctrl-C costs only the statement in progress, stops
// it as a fault does.
void RILL_NATIVE_CALL halt_interrupted();

#ifdef RILL_FUZZING
// The fuzzing build stops a run after a fixed number of loop passes, so that
// a program legitimately counted in billions does not read as a hang.
void RILL_NATIVE_CALL spend_loop_pass();
#endif

// Writes out what the output file holds buffered (a failure is remembered,
// as every write's is).
void flush_output_file();

// Flushes standard output and closes the output stream (standard output
// itself when file print goes to the console). Reports, once each, an output
// file that could not be opened or any write that failed. Returns true when
// everything the program asked to write was written.
// A broken pipe (pipe_broken) is not reported: the caller ends the run by
// SIGPIPE.
bool close_outputs();
