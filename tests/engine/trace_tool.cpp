// Runs a program as rill does, then writes the InstructionList it left to a
// file, one record a line (the operation's name, then its variable or
// constant, if any), and last "last N" with the position of the list's last
// record. Lets tests check what was issued.
#include <cstdio>

#include "driver/driver.h"
#include "engine/instructions.h"

int main(int argc, char** argv) {
    if (argc < 3) return 64;
    char* run_argv[] = {argv[0], argv[1], nullptr};
    int status = run_interpreter(2, run_argv);
    FILE* dump = std::fopen(argv[2], "w");
    if (!dump) return 65;
    int position = 0, last = -1;
    for (const Instruction* p = instruction_list.head; p; p = p->next, ++position) {
        std::fputs(op_name(p->op, p->operand_kind), dump);
        if (p->operand_kind == OPERAND_VAR) {
            std::fprintf(dump, " %s", p->operand.symbol->name);
        } else if (p->operand_kind == OPERAND_CONST) {
            if (p->op == OP_PUSH_REAL)
                std::fprintf(dump, " %g", p->operand.real);
            else if (p->op == OP_PRINT_STR || p->op == OP_FPRINT_STR || p->op == OP_OPEN_OUT)
                std::fprintf(dump, " \"%s\"", p->operand.text);
            else
                std::fprintf(dump, " %d", p->operand.integer);
        }
        std::fputc('\n', dump);
        if (p == instruction_list.last) last = position;
    }
    std::fprintf(dump, "last %d\n", last);
    std::fclose(dump);
    return status;
}
