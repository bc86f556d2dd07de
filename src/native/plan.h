// The plan of a loop body's native code: every choice that does not depend
// on the machine's instructions, made once from a Translation, as plain data.
// Homes: each variable and loop counter keeps one for the whole replay; each
// value an operation computes into a temporary has one of its own, live
// from that operation to its last read. Homes are weighted by the loops
// around their uses, and registers go to them by a linear scan over the
// operations: a value that dies frees its register, and where there are
// more live values than registers the lightest go to frame slots. Real
// constants take the registers no value needs. Repeats: a pure operation
// whose operands and context match an earlier one in the same pass reads
// that value instead. Hoisting: what an inner loop's passes cannot change
// is computed once, before that loop. Blocks: which comparisons jump, which
// blocks run without a branch, which blocks are a lone break, and which
// later tests of a value a test's outcome decides.
//
// How an emitter uses it: describe the machine in a NativeTarget (how many
// registers of each kind hold homes, which of them survive calls, what the
// entry leaves on the stack), call make_native_plan, and then walk the
// operations in order, reading everything from the plan:
//   - skip an operation whose hoisted_home is set; emit the operations of
//     preheader[i] (into their hoisted homes) just before loop i starts;
//   - a temporary operand of operation i is read from read_home[i], and a
//     temporary result written to result_home[i]; variables live at home_of;
//   - a real constant operand is read from its register where
//     constant_home has its bits (loaded by the prologue), else the pool;
//   - home.reg is a register index into the emitter's own pool of its kind
//     (general or float), or -1 for the frame slot at home.disp;
//   - a comparison's form says how its block runs, and a BRANCH block's
//     failing test jumps to failed_to; where held_to[i] is set, the end of
//     the block before operation i jumps there, ahead of i's label;
//   - an operation whose guard is not NONE runs inside a branch-free block:
//     a write to a variable takes effect only when the block's test holds
//     (INNER: both tests, the outer and the one nested in it);
//   - calls keep the caller-saved registers of live_gp[i] / live_fp[i] at
//     save_gp / save_fp;
//   - a loop whose chunk is above 1 counts its passes in chunks of that
//     many, kept in rest_of: its counter counts down a chunk, and the
//     interrupt is polled once a chunk, when the counter reaches 0;
//   - a comparison whose outcome is known makes no test (see outcome);
//   - skip a folded operation (its value is an earlier one's, or only fed a
//     wide comparison); a comparison with a WideCompare compares
//     that product and integer, as 64-bit integers, by its relation.
// The emitter checks what the plan promised (a guarded write's variable is
// in a register, a hoisted operation is pure) and declines the loop, rather
// than emit wrong code, when a promise does not hold.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/translate.h"

// What the plan needs to know of a machine.
struct NativeTarget {
    int32_t gp_count;         // general registers that can hold homes
    int32_t gp_callee_saved;  // the first this many of them survive calls
    int32_t fp_count;         // float registers that can hold homes
    int32_t fp_callee_saved;  // the first this many of them survive calls
    int32_t entry_bytes;      // bytes the entry leaves on the stack before the frame
    bool wide_compare;        // the emitter makes a WideCompare's comparison
    int32_t call_area;        // bytes at the frame's bottom that every call may use
};

// Larger bodies or deeper nests than these run on the threaded replay.
constexpr int32_t NATIVE_MAX_OPS = 20000;
constexpr int32_t NATIVE_MAX_LOOP_DEPTH = 64;
// A body whose values need a larger stack frame than this (tens of
// thousands of them) runs on the threaded replay too.
constexpr int32_t NATIVE_MAX_FRAME = 1 << 18;
// An innermost loop polls for an interrupt once in as many passes (a power
// of two) as run about this many of its operations: well under a
// millisecond, however slow they are.
constexpr int32_t NATIVE_POLL_WORK = 1 << 14;
// A body of up to this many operations whose values do not all find
// registers is planned again with repeats that reach back at most
// NATIVE_SHORT_REPEAT operations, and with none, for the plan that leaves
// the fewest uses in the frame.
constexpr int32_t NATIVE_REPLAN_MAX_OPS = 2000;
constexpr int32_t NATIVE_SHORT_REPEAT = 12;
// Up to this many operations make a block run without a branch.
constexpr int32_t NATIVE_MAX_UNBRANCHED = 8;

// Where a value lives for the whole replay: a register of its kind, or a
// frame slot.
struct NativeHome {
    const void* slot;  // a variable's value, else null
    bool real;
    bool wide;     // a 64-bit address, not a 32-bit integer
    int32_t reg;   // a register index of its kind; -1 for a frame slot
    int32_t disp;  // the frame slot's offset from the stack pointer
    double weight;
    int32_t first;  // the operations it is live over; first < 0: never used
    int32_t last;
};

// How a comparison's block runs.
enum class BlockForm : uint8_t {
    NONE,         // not a comparison
    BRANCH,       // jumps past the block when the test fails
    BREAK_ONLY,   // the block is a lone break: jumps to the break's target when the test holds
    BRANCH_FREE,  // every operation of the block runs; writes take effect when the test holds
    NESTED,       // a block inside a branch-free one, run the same way
};

// What a comparison's recorded outcomes (Translation::outcomes) say of a
// branch on it: too few to tell, a pattern the processor predicts (the
// outcome of some recent run of the test, up to 16 back, nearly always
// repeats), or one it does not.
enum class Outcomes : uint8_t { UNKNOWN, REGULAR, IRREGULAR };
Outcomes judge_outcomes(uint64_t history);

// Whether an operation runs inside a branch-free block, and under which test.
enum class Guard : uint8_t { NONE, OUTER, INNER };

// A comparison in reals of a product of two integers with an integer, made
// on 64-bit integers instead: it has the same answer. A product of two
// 32-bit integers is exact in 64 bits; as a real it is exact below 2^53,
// and at or beyond it, rounded or not, larger than any 32-bit integer in
// size, with the same sign. Each operand is an integer variable's slot, or
// (var null) a constant.
struct WideOperand {
    const void* var;
    int32_t constant;
};
struct WideCompare {
    WideOperand factor[2];  // the product's
    WideOperand other;
    bool product_first;  // the product is the comparison's first operand
};

struct NativePlan {
    std::vector<NativeHome> homes;
    std::unordered_map<const void*, int32_t> home_of;  // by slot: variables
    std::vector<int32_t> counter_of;                   // by loop operation (else -1); the replayed loop's at size
    // By loop operation, as counter_of: how many passes run between two
    // polls for an interrupt (1: every pass), and, above 1, the home of the
    // passes left after those the counter counts down now.
    std::vector<int32_t> chunk;
    std::vector<int32_t> rest_of;
    int32_t interrupt = -1;  // the home of &interrupt_signal's address
    // The home of the random generator's 32-bit state, where the body
    // draws (else -1): loaded on entry and written back at every way out,
    // as a variable's.
    int32_t random = -1;
    std::vector<int32_t> depth_of;  // by operation: the loops around it in the body
    // By operation: the home a hoisted operation writes (or -1), the home a
    // temporary result goes to (hoisted or not; a variable's home where the
    // value is formed where it ends), the homes temporary operands a and b
    // are read from (else -1), and the earlier operation whose value a
    // folded one repeats (or -1).
    std::vector<int32_t> hoisted_home;
    std::vector<int32_t> result_home;
    std::vector<std::pair<int32_t, int32_t>> read_home;
    std::vector<int32_t> same_as;
    std::unordered_map<uint64_t, int32_t> constant_home;  // by a real constant's bits: its register's home
    // By operation: the registers (bit i for index i) holding a value live
    // there, which a call made there must keep.
    std::vector<uint32_t> live_gp;
    std::vector<uint32_t> live_fp;
    std::vector<std::vector<int32_t>> preheader;  // by loop operation: what is computed before it
    std::vector<BlockForm> form;                  // by operation
    std::vector<Guard> guard;                     // by operation
    // Where one test decides later ones on the same value: by BRANCH
    // comparison, the operation its failing test jumps to (its block's end,
    // or past or into later blocks whose tests the failure decides); by
    // operation, where the code falling into it from the end of a BRANCH
    // block, whose test held, jumps instead (or -1).
    std::vector<int32_t> failed_to;
    std::vector<int32_t> held_to;
    int32_t gp_used = 0;  // registers 0 to gp_used - 1 hold homes
    int32_t fp_used = 0;
    int32_t spills = 0;        // frame slots for homes (values live at once share none)
    int32_t save_gp_base = 0;  // the save area of the caller-saved general registers, above the call area
    int32_t save_fp_base = 0;
    int32_t spill_base = 0;
    int32_t frame = 0;  // bytes below the entry's; frame + entry_bytes is a multiple of 16
    // By operation: the comparison's WideCompare in wide (or -1), and
    // whether the operation is not emitted: it only fed such a comparison,
    // or repeats an earlier value (same_as).
    std::vector<int32_t> wide_of;
    std::vector<WideCompare> wide;
    std::vector<bool> folded;
    // By operation: a comparison's outcome where it is the same in every
    // pass (0: never holds, 1: always holds; its form is then BRANCH or
    // BREAK_ONLY), else -1. The test is not made: the block is jumped
    // over, or entered, or the break taken, without one.
    std::vector<int8_t> outcome;

    // The save slot of a caller-saved register.
    // REQUIRES: reg >= the target's callee-saved count of its kind.
    int32_t save_gp(const NativeTarget& m, int32_t reg) const { return save_gp_base + 8 * (reg - m.gp_callee_saved); }
    int32_t save_fp(const NativeTarget& m, int32_t reg) const { return save_fp_base + 8 * (reg - m.fp_callee_saved); }
};

// Plans the native code of t. Returns false when the body holds what native
// code does not handle (too long, nested too deep, too large a frame, one
// slot used as both types), leaving plan unspecified.
bool make_native_plan(const Translation& t, const NativeTarget& m, NativePlan& plan);

// The factor by which a real draw r may be scaled to a constant top in one
// multiply, r * factor, with the bits of scale_random's r * top /
// RANDOM_RANGE: top / RANDOM_RANGE, when top is zero or far enough inside
// the normal range that neither step rounds differently scaled by a power
// of two. False (factor untouched) for any other top.
bool random_factor(double top, double& factor);

// Whether op computes its value from its operands alone: nothing else is
// read or written, and nothing can stop the run.
bool is_pure(const TranslatedOp& op);
