// Runs a program as rill does and writes every record it issued to a file,
// one a line (the operation's name, then its variable or constant, if any),
// and last "last N" with the position of the last record issued (-1 for
// none). Records are written as they are issued, since rill releases them
// once they can no longer be replayed. Lets tests check what was issued.
#include <cstdio>

#include "driver/driver.h"
#include "engine/instructions.h"

namespace {

FILE* dump;
int issued;

void write_record(const Instruction* p) {
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
    ++issued;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 64;
    dump = std::fopen(argv[2], "w");
    if (!dump) return 65;
    record_observer = write_record;
    char* run_argv[] = {argv[0], argv[1], nullptr};
    int status = run_interpreter(2, run_argv);
    std::fprintf(dump, "last %d\n", issued - 1);
    std::fclose(dump);
    return status;
}
