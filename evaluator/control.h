// The control-flow natives: conditionals, loops, function makers, switch, case and do.
//
// Native entry convention as in evaluator/natives.h. Loops mark one loop frame for the
// whole loop and take break and continue at it, whichever form they arrive in; every
// other exit code is returned at once, the stacks already unwound by its raiser.
#pragma once
#include <cstdint>

namespace kel::natives {

int32_t if_(bool check, const int32_t* refinements);          // cond then-blk
int32_t unless(bool check, const int32_t* refinements);       // cond then-blk
int32_t either(bool check, const int32_t* refinements);       // cond true-blk false-blk
int32_t any(bool check, const int32_t* refinements);          // conds
int32_t all(bool check, const int32_t* refinements);          // conds
int32_t while_(bool check, const int32_t* refinements);       // cond body
int32_t until(bool check, const int32_t* refinements);        // body
int32_t loop(bool check, const int32_t* refinements);         // count body
int32_t repeat(bool check, const int32_t* refinements);       // 'word value body
int32_t forever(bool check, const int32_t* refinements);      // body
int32_t foreach(bool check, const int32_t* refinements);      // 'word series body
int32_t forall(bool check, const int32_t* refinements);       // 'word body
int32_t remove_each(bool check, const int32_t* refinements);  // 'word data body
int32_t func(bool check, const int32_t* refinements);         // spec body
int32_t function_(bool check, const int32_t* refinements);    // spec body /extern
int32_t does(bool check, const int32_t* refinements);         // body
int32_t has(bool check, const int32_t* refinements);          // vars body
int32_t switch_(bool check, const int32_t* refinements);      // value cases /default case
int32_t case_(bool check, const int32_t* refinements);        // cases /all
int32_t do_(bool check, const int32_t* refinements);          // value /expand /args arg /next position /trace callback

}  // namespace kel::natives
