// The three issue routines. Each does, in order: make the record (appended
// to the list in a loop, where it may be replayed; outside every loop, one
// of the moment), the bookkeeping that ignores the gate (loop start and
// end, block end), one gate test, and the instruction's effect. The replay
// runs recorded bodies itself (engine/replay.cpp), so these routines only
// ever see a first parse.
#include "engine/instructions.h"

#include <cstdlib>

#include "errors/errors.h"
#include "engine/effects.h"
#include "engine/machine.h"
#include "engine/replay.h"

MachineState machine;
InstructionList instruction_list;
int32_t issue_line;

namespace {

// Records are taken from chunks, which keeps a loop body's records close
// together for the replay's walk. The list holds only the outermost loop
// being recorded: once it has run, its records are given back, and the
// chunks are taken again from the first by the next loop. Chunks are kept
// for that, in the order they were made.
constexpr int RECORDS_PER_CHUNK = 2048;
struct RecordChunk {
    RecordChunk* next;
    Instruction records[RECORDS_PER_CHUNK];
};
RecordChunk* first_chunk;
RecordChunk* current_chunk;
int records_used;  // in current_chunk

Instruction* take_record() {
    if (current_chunk && records_used < RECORDS_PER_CHUNK) return &current_chunk->records[records_used++];
    RecordChunk* next = current_chunk ? current_chunk->next : first_chunk;
    if (!next) {
        next = static_cast<RecordChunk*>(std::malloc(sizeof(RecordChunk)));
        if (!next) fatal_error("out of memory");
        next->next = nullptr;
        (current_chunk ? current_chunk->next : first_chunk) = next;
    }
    current_chunk = next;
    records_used = 1;
    return &next->records[0];
}

// A print's string belongs to its one record (the header's stays, as the
// output file's name).
void release_text(const Instruction* ins) {
    if (ins->op == OP_PRINT_STR || ins->op == OP_FPRINT_STR) std::free(const_cast<char*>(ins->operand.text) - 1);
}

// Gives back every record and the strings they name: the list is empty
// again, and its chunks are taken again from the first.
void release_records() {
    for (const Instruction* p = instruction_list.head; p; p = p->next) release_text(p);
    instruction_list.head = nullptr;
    instruction_list.last = nullptr;
    current_chunk = nullptr;
    records_used = 0;
}

bool gate_open() {
    return machine.skip_flags[machine.cond_level] == 0 && machine.loop_recording[machine.loop_depth] == 0;
}

void start_loop(int32_t count) {
    int32_t d = ++machine.loop_depth;
    machine.loop_count[d] = count;
    machine.loop_recording[d] = 1;
    machine.loop_body_start[d] = instruction_list.last;
}

// The end of a loop's first parse: note the body's end, and run an
// outermost loop at once.
void end_loop() {
    int32_t d = machine.loop_depth;
    machine.loop_recording[d] = 0;
    machine.loop_body_end[d] = instruction_list.last;
    if (d == 1) replay_loop_body(machine.loop_body_start[d]);
    machine.loop_depth = d - 1;
}

// A block ends. Blocks whose comparison came while an enclosing block was
// skipped opened no level, so they are counted rather than closed.
void end_block() {
    if (machine.skipped_blocks > 0) {
        --machine.skipped_blocks;
    } else if (machine.cond_level > 0) {
        machine.skip_flags[machine.cond_level] = 0;
        --machine.cond_level;
    }
}

}  // namespace

void (*record_observer)(const Instruction* record);

void record_instruction(OpCode op, OperandKind operand_kind, TokenValue operand) {
    Instruction* ins = take_record();
    ins->op = op;
    ins->operand_kind = operand_kind;
    ins->line = issue_line;
    ins->operand = operand;
    ins->next = nullptr;
    if (instruction_list.last)
        instruction_list.last->next = ins;
    else
        instruction_list.head = ins;
    instruction_list.last = ins;
    if (record_observer) record_observer(ins);
}

namespace {

// The effect of the record just appended, once the gate is open.
void carry_out(const Instruction* at) {
    const TokenValue& operand = at->operand;
    switch (at->op) {
    case OP_PUSH_INT: push_int(machine.stack_top, machine.numeric_mode, operand.integer); break;
    case OP_PUSH_REAL: push_real(machine.stack_top, machine.numeric_mode, operand.real); break;
    case OP_ADD:
    case OP_SUB:
    case OP_MUL:
    case OP_DIV: apply_operator(at->op, machine.stack_top, machine.numeric_mode, at); break;
    case OP_STORE:
    case OP_ADD_TO:
    case OP_SUB_FROM:
    case OP_MUL_BY:
    case OP_DIV_BY: update_var(at->op, machine.stack_top, machine.numeric_mode, operand.symbol, at); break;
    case OP_LOAD: load_var(machine.stack_top, machine.numeric_mode, operand.symbol); break;
    case OP_INC: step_var(operand.symbol, 1); break;
    case OP_DEC: step_var(operand.symbol, -1); break;
    case OP_MODE_OF: machine.numeric_mode = operand.symbol->type; break;
    case OP_MODE_REAL: machine.numeric_mode = MODE_REAL; break;
    case OP_MODE_INT: machine.numeric_mode = MODE_INT; break;
    case OP_MAKE_REAL: make_real(operand.symbol); break;
    case OP_MAKE_INT: make_int(operand.symbol); break;
    case OP_IF_EQ:
    case OP_IF_NE:
    case OP_IF_LE:
    case OP_IF_GE:
    case OP_IF_LT:
    case OP_IF_GT: {
        int32_t skip = compare_top(at->op, machine.stack_top);
        machine.skip_flags[++machine.cond_level] = skip;
        break;
    }
    case OP_PRINT_VAR: print_value(stdout, operand.symbol); break;
    case OP_PRINT_STR: print_text(stdout, operand.text); break;
    case OP_PRINT_NL: print_newline(stdout); break;
    case OP_FPRINT_VAR: print_value(machine.output, operand.symbol); break;
    case OP_FPRINT_STR: print_text(machine.output, operand.text); break;
    case OP_FPRINT_NL: print_newline(machine.output); break;
    case OP_INPUT:
        read_input(operand.symbol);
        if (interrupt_signal) halt_interrupted();
        break;
    case OP_RAND: random_top(machine.stack_top, machine.numeric_mode); break;
    case OP_OPEN_OUT: open_output(operand.text); break;
    case OP_OUT_CONSOLE: machine.output = stdout; break;
    // Bookkeeping only, done whatever the gate: a block's end and a loop's
    // start and end. Outside every loop a break (OP_LOOP_VAR without a
    // variable) has no effect.
    case OP_END_IF:
    case OP_LOOP:
    case OP_LOOP_END:
    case OP_LOOP_VAR: break;
    }
}

}  // namespace

void return_to_top_level() {
    release_records();
    for (int32_t d = 1; d <= machine.loop_depth; ++d) machine.loop_recording[d] = 0;
    for (int32_t c = 1; c <= machine.cond_level; ++c) machine.skip_flags[c] = 0;
    machine.loop_depth = 0;
    machine.cond_level = 0;
    machine.skipped_blocks = 0;
    machine.stack_top = 0;
    machine.numeric_mode = MODE_INT;
    machine.halted = 0;
}

namespace {

// Outside every loop nothing is ever replayed: the instruction is carried
// out from a record of the moment, and nothing of it is kept. Only a
// loop's start goes the other way, into the list.
void issue_at_top_level(OpCode op, OperandKind operand_kind, TokenValue operand) {
    Instruction ins{op, operand_kind, issue_line, operand, nullptr};
    if (record_observer) record_observer(&ins);
    if (op == OP_END_IF) end_block();
    if (gate_open())
        carry_out(&ins);
    else if (is_comparison(op))
        ++machine.skipped_blocks;
    release_text(&ins);
}

}  // namespace

// In a loop, each record is kept until the outermost loop has run.
void issue_const(OpCode op, TokenValue operand) {
    if (machine.loop_depth == 0 && op != OP_LOOP) {
        issue_at_top_level(op, OPERAND_CONST, operand);
        return;
    }
    record_instruction(op, OPERAND_CONST, operand);
    if (op == OP_LOOP) start_loop(operand.integer);
    if (gate_open()) carry_out(instruction_list.last);
}

void issue_plain(OpCode op) {
    if (machine.loop_depth == 0) {
        issue_at_top_level(op, OPERAND_NONE, TokenValue{});
        return;
    }
    record_instruction(op, OPERAND_NONE, TokenValue{});
    if (op == OP_END_IF && machine.loop_recording[machine.loop_depth] == 0) end_block();
    if (op == OP_LOOP_END) end_loop();
    if (!gate_open()) {
        if (is_comparison(op) && machine.loop_recording[machine.loop_depth] == 0) ++machine.skipped_blocks;
    } else {
        carry_out(instruction_list.last);
    }
    // The outermost loop has run: its records are given back.
    if (machine.loop_depth == 0) release_records();
}

void issue_var(OpCode op, Symbol* symbol) {
    TokenValue operand;
    operand.symbol = symbol;
    if (machine.loop_depth == 0 && op != OP_LOOP_VAR) {
        issue_at_top_level(op, OPERAND_VAR, operand);
        return;
    }
    record_instruction(op, OPERAND_VAR, operand);
    if (op == OP_LOOP_VAR) start_loop(loop_count_of(symbol));
    if (gate_open()) carry_out(instruction_list.last);
}
