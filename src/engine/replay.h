// Loop replay: how a recorded body runs its passes. Three paths do exactly
// the same: the general walk over the records (engine/replay.cpp), the
// threaded replay of the body's translation (engine/threaded.cpp), and that
// translation compiled to native code (native/native.h, where built).
#pragma once

#include <cstdint>

#include "engine/instructions.h"
#include "engine/machine.h"

enum class ReplayPath : uint8_t {
    WALK,      // every body walked record by record
    THREADED,  // translated bodies by threaded dispatch
    NATIVE,    // translated bodies compiled, whatever their size
    TIERED,    // compiled when the work expected repays compiling; the default
};

// Runs the passes of the loop at loop_depth, whose start record is start.
// REQUIRES: loop_body_end[loop_depth] is that loop's end record.
void replay_loop_body(Instruction* start);

// The path RILL_REPLAY names ("walk", "threaded" or "native"), read once.
// Unset, or any other value, gives the fastest: TIERED where native code is
// built, THREADED where not. "native" without it is THREADED too.
ReplayPath replay_path();

// A running loop of the walk or the threaded replay. Nesting is bounded as
// the machine's levels are.
struct LoopFrame {
    Instruction* start;  // the walk: the loop's start record
    Instruction* end;    // the walk: its end record, found when first needed
    int32_t end_op;      // the threaded replay: the loop's LOOP_END
    int32_t count;       // passes still to run (the walk counts this one)
};
extern LoopFrame loop_frames[ENGINE_CAPACITY];
