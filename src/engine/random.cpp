#include "engine/random.h"

namespace {
uint32_t random_state;
}

void seed_random(uint32_t seed) {
    random_state = seed;
}

uint32_t* random_state_address() {
    return &random_state;
}

int32_t draw_random() {
    random_state = random_step(random_state);
    return random_bits(random_state);
}
