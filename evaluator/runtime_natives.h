// The natives over the runtime's own services: unsetting words, new-line markers, the
// context of a word, series coercion, the collector switch, the lexer entry and apply.
//
// Native entry convention as in evaluator/natives.h.
#pragma once
#include <cstdint>

namespace kel::natives {

int32_t unset(bool check, const int32_t* refinements);       // word
int32_t new_line(bool check, const int32_t* refinements);    // position value /all /skip size
int32_t new_line_q(bool check, const int32_t* refinements);  // position
int32_t context_q(bool check, const int32_t* refinements);   // word
int32_t as(bool check, const int32_t* refinements);          // type spec
int32_t recycle(bool check, const int32_t* refinements);     // /on /off
// src /next /one /prescan /scan /part length /into dst /trace callback
int32_t transcode(bool check, const int32_t* refinements);
int32_t apply(bool check, const int32_t* refinements);       // func args /all /safer

}  // namespace kel::natives
