// The math natives: sign tests, max and min, shift, to-hex, trigonometry, logarithms,
// exp and square-root.
//
// Native entry convention as in evaluator/natives.h. The *_star cores are what the
// low-level routines call, with the refinements fixed, no frame needed.
#pragma once
#include <cstdint>

namespace kel::natives {

// The cores. Angles in degrees unless radians.
double sine_star(double angle, bool radians);
double cosine_star(double angle, bool radians);
double tangent_star(double angle, bool radians);
// selector: 2 arcsine, 1 arccosine, 0 arctangent.
double arc_star(double value, int32_t selector, bool radians);
double arctangent2_star(double y, double x, bool radians);
int32_t shift_star(int32_t data, int32_t bits, bool left, bool logical);
double log_2_star(double x);
double exp_star(double x);

int32_t negative_q(bool check, const int32_t* refinements);   // number
int32_t positive_q(bool check, const int32_t* refinements);   // number
int32_t max(bool check, const int32_t* refinements);          // value1 value2
int32_t min(bool check, const int32_t* refinements);          // value1 value2
int32_t shift(bool check, const int32_t* refinements);        // data bits /left /logical
int32_t to_hex(bool check, const int32_t* refinements);       // value /size length
int32_t sine(bool check, const int32_t* refinements);         // angle /radians
int32_t cosine(bool check, const int32_t* refinements);       // angle /radians
int32_t tangent(bool check, const int32_t* refinements);      // angle /radians
int32_t arcsine(bool check, const int32_t* refinements);      // sine /radians
int32_t arccosine(bool check, const int32_t* refinements);    // cosine /radians
int32_t arctangent(bool check, const int32_t* refinements);   // tangent /radians
int32_t arctangent2(bool check, const int32_t* refinements);  // y x /radians
int32_t NaN_q(bool check, const int32_t* refinements);        // value
int32_t log_2(bool check, const int32_t* refinements);        // value
int32_t log_10(bool check, const int32_t* refinements);       // value
int32_t log_e(bool check, const int32_t* refinements);        // value
int32_t exp(bool check, const int32_t* refinements);          // value
int32_t square_root(bool check, const int32_t* refinements);  // value
int32_t sign_q(bool check, const int32_t* refinements);       // number
int32_t zero_q(bool check, const int32_t* refinements);       // value

}  // namespace kel::natives
