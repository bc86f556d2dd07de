// The process's one pseudo-random generator: linear congruential with a
// 32-bit state and 15-bit results (0 to 32767), which rand's scaling needs.
#pragma once

#include <cstdint>

constexpr int32_t RANDOM_RANGE = 32768;  // one more than the largest draw
constexpr uint32_t RANDOM_MULTIPLIER = 214013u;
constexpr uint32_t RANDOM_INCREMENT = 2531011u;

// The state after one step, and the draw it yields.
constexpr uint32_t random_step(uint32_t state) {
    return state * RANDOM_MULTIPLIER + RANDOM_INCREMENT;
}
constexpr int32_t random_bits(uint32_t state) {
    return static_cast<int32_t>((state >> 16) & 0x7fffu);
}

void seed_random(uint32_t seed);
int32_t draw_random();

// Where the generator keeps its state, for native code that steps it inline.
uint32_t* random_state_address();
