// PARSE: matches a block of rules against a block, string or binary input, extracting,
// changing and collecting parts of it, and reports each step to an optional callback.
//
// Rules nest through C++ calls, each level mirrored on the rule stack (a root block of
// three-cell entries that callbacks see); the stack's cell limit bounds the nesting, so a
// deep or self-recursive rule raises script/parse-stack long before the machine stack ends.
// The engine never reads the rule stack back: a callback that changes it changes nothing.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

// Case flag values.
constexpr int32_t PARSE_CASE_INSENSITIVE = 0;
constexpr int32_t PARSE_CASE_SENSITIVE = 2;

// Runs the rules over the input from its head. limit: an absolute input index standing
// for the tail, or -1. callback: a function! or null. The input, rules and callback must
// stay put (argument-stack cells). The result (logic!, or the block a top-level collect
// made) is pushed on the argument stack. A paren's break, return, exit or throw leaves the
// parse and goes on as raised; errors pass unchanged.
cell* parse_rules(cell* input, cell* rules, int32_t case_flag, int32_t limit, cell* callback);

namespace natives {
int32_t parse(bool check, const int32_t* refinements);  // input rules /case /part /trace
}

}  // namespace kel
