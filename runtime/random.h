// The process random generator behind every datatype's random action: a 624-word
// twisted generator with sign-extending right shifts, plus the system's secure source.
#pragma once
#include <cstdint>

namespace kel {

// Seeds the generator with 19650218 and fixes the table-hashing seed for the run.
void random_init();

void random_seed(uint32_t seed);
// 0 .. 2^31 - 1.
uint32_t random_next();
// 0 .. 2^31 - 1 from the operating system's cryptographic source.
uint32_t random_secure_int();
// A uniform draw: 1..n for n > 0, n..-1 for n < 0, 0 for 0.
int32_t random_int(bool secure, int32_t n);

}  // namespace kel
