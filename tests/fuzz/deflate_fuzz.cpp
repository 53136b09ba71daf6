// The decompressors at a capacity drawn from the input, deflate's round trip, and the HTTP
// header parser: every input ends in a result code or a map, never a fault or a read past
// the input. Header text that is no UTF-8 may raise a Kel error.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "boot/init.h"
#include "io/deflate.h"
#include "io/http.h"
#include "runtime/collector.h"
#include "runtime/exits.h"
#include "runtime/stack.h"
#include "tests/fuzz/fuzz_runtime.h"

using namespace kel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_runtime_ready();
    if (size < 2) return 0;
    // An exact-size copy, so that a read past the end is caught.
    std::vector<uint8_t> in(data + 2, data + size);
    size_t capacity = static_cast<size_t>(data[1]) << (data[0] & 15);
    std::vector<uint8_t> out(capacity ? capacity : 1);
    using codec = int32_t (*)(uint8_t*, size_t*, const uint8_t*, size_t);
    for (codec c : {inflate_raw, zlib_uncompress, gzip_uncompress}) {
        size_t n = capacity;
        int32_t code = c(out.data(), &n, in.data(), in.size());
        if (code < CODEC_DONE || code > CODEC_RESERVED_BLOCK) std::abort();
        if (code == CODEC_DONE && n > capacity) std::abort();
    }
    std::vector<uint8_t> packed(in.size() + 64), back(in.size() + 1);
    size_t n = packed.size(), m = back.size();
    if (deflate_fixed(packed.data(), &n, in.data(), in.size()) != CODEC_DONE) std::abort();
    if (inflate_raw(back.data(), &m, packed.data(), n) != CODEC_DONE || m != in.size() ||
        (m && std::memcmp(back.data(), in.data(), m) != 0))
        std::abort();
    cell* top = stack::top;
    try {
        parse_http_headers(in.data(), in.size());
    } catch (const kel_exit&) {
        pending_code = 0;  // text that is no UTF-8 is refused as such
    }
    stack::top = top;
    return 0;
}
