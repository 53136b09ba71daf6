#include "evaluator/checksum.h"

#include <dlfcn.h>
#include <immintrin.h>

#include <array>
#include <cstring>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/file.h"
#include "datatypes/integer.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/natives.h"
#include "platform/files.h"
#include "runtime/console.h"
#include "runtime/error_catalog.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace kel {

namespace {

// Sixteen tables: table[k][b] is the CRC of byte b followed by k zero bytes, so sixteen
// input bytes fold into the register with one lookup each.
using crc_tables = std::array<std::array<uint32_t, 256>, 16>;

constexpr crc_tables make_crc_tables() {
    crc_tables t{};
    for (uint32_t b = 0; b < 256; b++) {
        uint32_t c = b;
        for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][b] = c;
    }
    for (uint32_t b = 0; b < 256; b++)
        for (int k = 1; k < 16; k++) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
    return t;
}

constexpr crc_tables crc_table = make_crc_tables();

inline uint32_t load32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// Folding with carry-less multiplication: four 128-bit lanes move 64 bytes a step, then
// fold into one lane and reduce to 32 bits (Barrett). The constants are powers of x modulo
// the reflected polynomial. n is a multiple of 16, at least 64; c is the register.
#define KEL_CLMUL __attribute__((target("pclmul,sse4.1")))
KEL_CLMUL inline __m128i load(const uint8_t* q) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)); }
KEL_CLMUL inline __m128i fold(__m128i x, __m128i k, __m128i next) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

KEL_CLMUL uint32_t crc32_folded(const uint8_t* p, size_t n, uint32_t c) {
    const __m128i k1k2 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    const __m128i k3k4 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    const __m128i k5 = _mm_set_epi64x(0, 0x163cd6124);
    const __m128i poly = _mm_set_epi64x(0x1F7011641, 0x1DB710641);
    const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
    __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(c)));
    __m128i x2 = load(p + 16), x3 = load(p + 32), x4 = load(p + 48);
    for (p += 64, n -= 64; n >= 64; p += 64, n -= 64) {
        x1 = fold(x1, k1k2, load(p));
        x2 = fold(x2, k1k2, load(p + 16));
        x3 = fold(x3, k1k2, load(p + 32));
        x4 = fold(x4, k1k2, load(p + 48));
    }
    __m128i x = fold(fold(fold(x1, k3k4, x2), k3k4, x3), k3k4, x4);
    for (; n >= 16; p += 16, n -= 16) x = fold(x, k3k4, load(p));
    // 128 bits to 64, then 96 to 64, then the Barrett reduction to 32.
    x = _mm_xor_si128(_mm_clmulepi64_si128(x, k3k4, 0x10), _mm_srli_si128(x, 8));
    x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, mask32), k5, 0x00), _mm_srli_si128(x, 4));
    __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, mask32), poly, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, mask32), poly, 0x00);
    return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(t, x), 1));
}
#undef KEL_CLMUL

const bool has_clmul = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");

}  // namespace

uint32_t crc32(const uint8_t* p, size_t n, uint32_t crc) {
    uint32_t c = ~crc;
    const auto& t = crc_table;
    if (n >= 64 && has_clmul) {
        size_t whole = n & ~static_cast<size_t>(15);
        c = crc32_folded(p, whole, c);
        p += whole;
        n -= whole;
    }
    while (n >= 16) {
        uint32_t a = load32(p) ^ c, b = load32(p + 4), d = load32(p + 8), e = load32(p + 12);
        c = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
            t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
            t[7][d & 0xFF] ^ t[6][(d >> 8) & 0xFF] ^ t[5][(d >> 16) & 0xFF] ^ t[4][d >> 24] ^
            t[3][e & 0xFF] ^ t[2][(e >> 8) & 0xFF] ^ t[1][(e >> 16) & 0xFF] ^ t[0][e >> 24];
        p += 16;
        n -= 16;
    }
    while (n--) c = t[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
    return ~c;
}

uint32_t adler32(const uint8_t* p, size_t n, uint32_t adler) {
    constexpr uint32_t MOD = 65521;
    // The largest run whose sums cannot overflow 32 bits before the reduction.
    constexpr size_t RUN = 5552;
    uint32_t a = adler & 0xFFFF, b = adler >> 16;
    while (n) {
        size_t run = n < RUN ? n : RUN;
        n -= run;
        for (; run >= 8; run -= 8, p += 8) {
            a += p[0]; b += a; a += p[1]; b += a; a += p[2]; b += a; a += p[3]; b += a;
            a += p[4]; b += a; a += p[5]; b += a; a += p[6]; b += a; a += p[7]; b += a;
        }
        while (run--) { a += *p++; b += a; }
        a %= MOD;
        b %= MOD;
    }
    return b << 16 | a;
}

uint16_t tcp_checksum(const uint8_t* p, size_t n) {
    uint64_t sum = 0;
    size_t i = 0;
    for (; i + 1 < n; i += 2) sum += static_cast<uint32_t>(p[i]) << 8 | p[i + 1];
    if (i < n) sum += p[i];
    while (sum >> 16) sum = (sum >> 16) + (sum & 0xFFFF);
    return static_cast<uint16_t>(~sum);
}

// Digests ------------------------------------------------------------------------------

namespace {

// The few libcrypto entry points used, looked up once when the first digest is asked for.
struct crypto_library {
    using by_name_fn = const void* (*)(const char*);
    using digest_fn = int (*)(const void*, size_t, unsigned char*, unsigned int*, const void*, void*);
    by_name_fn digest_by_name = nullptr;
    digest_fn digest_once = nullptr;
    bool loaded = false;
};

const crypto_library& crypto() {
    static crypto_library lib = [] {
        crypto_library l;
        void* handle = dlopen("libcrypto.so.3", RTLD_NOW | RTLD_LOCAL);
        if (!handle) handle = dlopen("libcrypto.so", RTLD_NOW | RTLD_LOCAL);
        if (!handle) return l;
        l.digest_by_name = reinterpret_cast<crypto_library::by_name_fn>(dlsym(handle, "EVP_get_digestbyname"));
        l.digest_once = reinterpret_cast<crypto_library::digest_fn>(dlsym(handle, "EVP_Digest"));
        l.loaded = l.digest_by_name && l.digest_once;
        return l;
    }();
    return lib;
}

constexpr const char* DIGEST_NAMES[] = {"MD5", "SHA1", "SHA256", "SHA384", "SHA512"};
constexpr uint32_t DIGEST_SIZES[] = {16, 20, 32, 48, 64};

}  // namespace

uint32_t digest_size(digest_method method) { return DIGEST_SIZES[method]; }

bool digest(digest_method method, const uint8_t* bytes, size_t length, uint8_t* out) {
    const crypto_library& lib = crypto();
    if (!lib.loaded) return false;
    const void* md = lib.digest_by_name(DIGEST_NAMES[method]);
    unsigned int size = 0;
    return md && lib.digest_once(bytes, length, out, &size, md, nullptr) == 1 &&
           size == DIGEST_SIZES[method];
}

bool hmac(digest_method method, const uint8_t* key, size_t key_length, const uint8_t* bytes,
          size_t length, uint8_t* out) {
    const size_t block = method == DIGEST_SHA384 || method == DIGEST_SHA512 ? 128 : 64;
    const size_t size = DIGEST_SIZES[method];
    uint8_t padded[128] = {};
    if (key_length > block) {
        if (!digest(method, key, key_length, padded)) return false;
    } else if (key_length) {
        std::memcpy(padded, key, key_length);
    }
    std::vector<uint8_t> message(block + (length > size ? length : size));
    for (size_t i = 0; i < block; i++) message[i] = padded[i] ^ 0x36;
    if (length) std::memcpy(message.data() + block, bytes, length);
    uint8_t inner[DIGEST_MAX_SIZE];
    if (!digest(method, message.data(), block + length, inner)) return false;
    for (size_t i = 0; i < block; i++) message[i] = padded[i] ^ 0x5C;
    std::memcpy(message.data() + block, inner, size);
    return digest(method, message.data(), block + size, out);
}

// The native --------------------------------------------------------------------------

namespace {

enum checksum_word : uint32_t { CK_TCP, CK_MD5, CK_SHA1, CK_CRC32, CK_ADLER32, CK_SHA256, CK_SHA384, CK_SHA512, CK_HASH, CK_COUNT };
constexpr const char* CHECKSUM_WORDS[CK_COUNT] = {"tcp", "md5", "sha1", "crc32", "adler32", "sha256", "sha384", "sha512", "hash"};
uint32_t checksum_symbols[CK_COUNT];

int32_t method_of(const cell* word) {
    uint32_t s = symbol::resolve(word->w2);
    for (uint32_t i = 0; i < CK_COUNT; i++)
        if (symbol::resolve(checksum_symbols[i]) == s) return static_cast<int32_t>(i);
    return -1;
}

digest_method digest_of(uint32_t method) {
    switch (method) {
        case CK_MD5: return DIGEST_MD5;
        case CK_SHA1: return DIGEST_SHA1;
        case CK_SHA256: return DIGEST_SHA256;
        case CK_SHA384: return DIGEST_SHA384;
        default: return DIGEST_SHA512;
    }
}

// The bytes a checksum is taken of: a binary from its head, text as UTF-8 from its head.
// The value must be rooted: the UTF-8 export allocates.
void bytes_of(cell* value, std::vector<uint8_t>& out) {
    if (TYPE_OF(value) == TYPE_BINARY) {
        out.assign(binary::ks_head(value), binary::ks_tail(value));
    } else {
        size_t n = 0;
        const char* text = to_utf8(value, -1, &n);
        out.assign(text, text + n);
    }
}

}  // namespace

void init_checksum_words() {
    for (uint32_t i = 0; i < CK_COUNT; i++) checksum_symbols[i] = symbol::make(CHECKSUM_WORDS[i]);
}

namespace natives {

int32_t checksum(bool, const int32_t* refinements) {
    cell* data = stack::arguments;
    cell* method_word = stack::arguments + 1;
    cell* spec = refinement_given(refinements, 0) ? stack::arguments + refinements[0] : nullptr;
    int32_t method = method_of(method_word);
    if (method < 0) fire(script_error::invalid_arg, method_word);
    if (spec && (method == CK_CRC32 || method == CK_TCP || method == CK_ADLER32))
        fire(script_error::invalid_refine_arg, &runtime_refinements[REF_WITH], spec);
    if (spec && TYPE_OF(spec) == TYPE_INTEGER) {
        static const char message[] = "** /hash support not yet implemented; algorithm TBD.";
        write_latin1_line(message, sizeof message - 1);
        *stack::arguments = integer_value(0);
        return 0;
    }
    if (method == CK_HASH) fire(script_error::invalid_refine_arg, &runtime_refinements[REF_WITH], spec);

    std::vector<uint8_t> bytes;
    if (TYPE_OF(data) == TYPE_FILE) {
        int fd = file_open_read(file::to_OS_path(data));
        bool read = fd >= 0 && file_read_to_end(fd, bytes);
        if (fd >= 0) file_close(fd);
        if (!read) fire(access_error::cannot_open, data);
    } else {
        bytes_of(data, bytes);
    }
    switch (method) {
        case CK_CRC32:
            *stack::arguments = integer_value(static_cast<int32_t>(crc32(bytes.data(), bytes.size())));
            return 0;
        case CK_ADLER32:
            *stack::arguments = integer_value(static_cast<int32_t>(adler32(bytes.data(), bytes.size())));
            return 0;
        case CK_TCP:
            *stack::arguments = integer_value(tcp_checksum(bytes.data(), bytes.size()));
            return 0;
        default: break;
    }
    digest_method m = digest_of(static_cast<uint32_t>(method));
    uint8_t out[DIGEST_MAX_SIZE];
    bool done;
    if (spec) {
        std::vector<uint8_t> key;
        bytes_of(spec, key);
        done = hmac(m, key.data(), key.size(), bytes.data(), bytes.size(), out);
    } else {
        done = digest(m, bytes.data(), bytes.size(), out);
    }
    if (!done) fire(script_error::invalid_arg, method_word);
    cell* result = stack::push_cell();
    binary::make_at(result, digest_size(m));
    binary::ks_append(result, out, digest_size(m));
    *stack::arguments = *result;
    stack::top = result;
    return 0;
}

}  // namespace natives

}  // namespace kel
