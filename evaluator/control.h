// The control-flow natives: conditionals, loops, function makers, switch, case and do.
//
// Native entry convention as in evaluator/natives.h. Loops mark one loop frame for the
// whole loop and take break and continue at it, whichever form they arrive in; every
// other exit code is returned at once, the stacks already unwound by its raiser.
#pragma once
#include <cstdint>

namespace kel::natives {

uint32_t if_(bool check, const int32_t* refinements);          // cond then-blk
uint32_t unless(bool check, const int32_t* refinements);       // cond then-blk
uint32_t either(bool check, const int32_t* refinements);       // cond true-blk false-blk
uint32_t any(bool check, const int32_t* refinements);          // conds
uint32_t all(bool check, const int32_t* refinements);          // conds
uint32_t while_(bool check, const int32_t* refinements);       // cond body
uint32_t until(bool check, const int32_t* refinements);        // body
uint32_t loop(bool check, const int32_t* refinements);         // count body
uint32_t repeat(bool check, const int32_t* refinements);       // 'word value body
uint32_t forever(bool check, const int32_t* refinements);      // body
uint32_t foreach(bool check, const int32_t* refinements);      // 'word series body
uint32_t forall(bool check, const int32_t* refinements);       // 'word body
uint32_t remove_each(bool check, const int32_t* refinements);  // 'word data body
uint32_t func(bool check, const int32_t* refinements);         // spec body
uint32_t function_(bool check, const int32_t* refinements);    // spec body /extern
uint32_t does(bool check, const int32_t* refinements);         // body
uint32_t has(bool check, const int32_t* refinements);          // vars body
uint32_t switch_(bool check, const int32_t* refinements);      // value cases /default case
uint32_t case_(bool check, const int32_t* refinements);        // cases /all
uint32_t do_(bool check, const int32_t* refinements);          // value /expand /args arg /next position /trace callback

}  // namespace kel::natives
