#include "runtime/random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstddef>

#include "runtime/exits.h"
#include "runtime/hashtable.h"

namespace kel {

namespace {

constexpr uint32_t STATE_WORDS = 624;
constexpr uint32_t SHIFT_WORDS = 397;
constexpr uint32_t INIT_SEED = 19650218;

uint32_t state[STATE_WORDS];
uint32_t position = 0;  // next word to temper; STATE_WORDS when the state is used up

// Every right shift of the generator sign-extends.
inline uint32_t sar(uint32_t y, int bits) {
    return static_cast<uint32_t>(static_cast<int32_t>(y) >> bits);
}

inline uint32_t twist(uint32_t upper, uint32_t lower, uint32_t far) {
    uint32_t y = (upper & 0x80000000u) | (lower & 0x7FFFFFFFu);
    return far ^ sar(y, 1) ^ (y & 1 ? 0x9908B0DFu : 0);
}

void regenerate() {
    for (uint32_t i = 0; i < STATE_WORDS - 1; i++)
        state[i] = twist(state[i], state[i + 1], state[(i + SHIFT_WORDS) % STATE_WORDS]);
    state[STATE_WORDS - 1] =
        twist(state[STATE_WORDS - 1], state[0], state[SHIFT_WORDS - 1]);
    position = 0;
}

}  // namespace

void random_init() {
    random_seed(INIT_SEED);
    // A series seeds the generator through its hash, so the table seed must not change
    // between runs. Reading one word and rewinding leaves the sequence untouched.
    hash_set_seed(random_next());
    position = 0;
}

void random_seed(uint32_t seed) {
    state[0] = seed;
    for (uint32_t i = 1; i < STATE_WORDS; i++)
        state[i] = 1812433253u * (state[i - 1] ^ sar(state[i - 1], 30)) + i;
    position = 0;
}

uint32_t random_next() {
    if (position == STATE_WORDS) regenerate();
    uint32_t y = state[position++];
    y ^= sar(y, 11);
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    return y ^ sar(y, 18);  // clears the sign bit
}

uint32_t random_secure_int() {
    uint32_t value;
    auto* bytes = reinterpret_cast<unsigned char*>(&value);
    size_t got = 0;
    while (got < sizeof value) {
        ssize_t n = getrandom(bytes + got, sizeof value - got, 0);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            runtime_assert_failed();  // no secure bytes to be had: never hand out weak ones
        }
    }
    return value & 0x7FFFFFFFu;
}

int32_t random_int(bool secure, int32_t n) {
    auto draw = [secure] { return secure ? random_secure_int() : random_next(); };
    if (n == 0) return 0;
    if (n == INT32_MIN) return static_cast<int32_t>(~draw());
    uint32_t bound = n < 0 ? 0u - static_cast<uint32_t>(n) : static_cast<uint32_t>(n);
    // Draws past the last whole multiple of the bound would favour the small results.
    uint32_t limit = 0x7FFFFFFFu / bound;
    uint32_t d;
    do d = draw(); while (d >= bound * limit);
    int32_t r = static_cast<int32_t>(d % bound) + 1;
    return n < 0 ? -r : r;
}

}  // namespace kel
