// The set natives and the text codec natives: they check and route their arguments; the
// set algorithms belong to the datatypes, the base codecs to binary!.
//
// Native entry convention as in evaluator/natives.h.
#pragma once
#include <cstdint>

namespace kel::natives {

// The set natives' shared step: slot 0 becomes set 1 combined with set 2 (slot 1) under
// the operation (series::set_op); refinements: /case, /skip size.
void set_operation(const int32_t* refinements, int32_t op);

int32_t union_(bool check, const int32_t* refinements);      // set1 set2 /case /skip size
int32_t intersect(bool check, const int32_t* refinements);   // set1 set2 /case /skip size
int32_t unique(bool check, const int32_t* refinements);      // set /case /skip size
int32_t difference(bool check, const int32_t* refinements);  // set1 set2 /case /skip size
int32_t exclude(bool check, const int32_t* refinements);     // set1 set2 /case /skip size
int32_t complement_q(bool check, const int32_t* refinements);  // bits
int32_t dehex(bool check, const int32_t* refinements);       // value
int32_t enhex(bool check, const int32_t* refinements);       // value
int32_t debase(bool check, const int32_t* refinements);      // value /base base-value
int32_t enbase(bool check, const int32_t* refinements);      // value /base base-value

}  // namespace kel::natives
