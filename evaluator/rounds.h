// The loops' round steps. Each loop kind has its own type, so that the interpreter's round
// runner, instantiated once per type, has the step inlined into the round.
//
// A step sets its round up (ROUND_GO), says there is none (ROUNDS_END: the rounds end with
// 0), or gives an exit code that ends them.
#pragma once
#include <cstdint>

#include "datatypes/context.h"
#include "datatypes/series.h"
#include "runtime/cell.h"

namespace kel {

constexpr uint32_t ROUND_GO = 0;
constexpr uint32_t ROUNDS_END = UINT32_MAX;

// loop: a count of rounds.
struct count_step {
    int32_t i;
    int32_t count;
    uint32_t operator()() { return i++ < count ? ROUND_GO : ROUNDS_END; }
};

// forever.
struct forever_step {
    uint32_t operator()() const { return ROUND_GO; }
};

// repeat: a count of rounds, each setting the word (a loop frame cell) to its number. slot:
// the word's slot when it is a running function's, stored into straight; else null, and
// the word is set from the counter cell.
struct repeat_step {
    int32_t i;
    int32_t count;
    cell* word;
    cell* counter;
    cell* slot;
    uint32_t operator()() {
        if (i == count) return ROUNDS_END;
        ++i;
        if (slot) {
            *slot = integer_value(i);
            return ROUND_GO;
        }
        *counter = integer_value(i);
        if (cell* value = _context::settable_value(word)) *value = *counter;
        else _context::set(word, counter);
        return ROUND_GO;
    }
};

// foreach: the iterator and the words are copies above the loop frame's arguments; n as
// the words' count is given.
struct each_step {
    cell* iterator;
    cell* words;
    int32_t n;
    uint32_t operator()();
};

// while: the condition block, which the runner runs before each round as it runs a round,
// the rounds going on while holds() its value.
struct while_step {
    cell* cond;
    static bool holds(const cell* value);
};

}  // namespace kel
