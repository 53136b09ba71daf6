#include "io/compress.h"

#include <vector>

#include "datatypes/binary.h"
#include "datatypes/symbol.h"
#include "evaluator/natives.h"
#include "io/deflate.h"
#include "runtime/collector.h"
#include "runtime/error_catalog.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace kel {

namespace {

enum compression_method : uint32_t { METHOD_ZLIB, METHOD_DEFLATE, METHOD_GZIP, METHOD_COUNT };
constexpr const char* METHOD_NAMES[METHOD_COUNT] = {"zlib", "deflate", "gzip"};
uint32_t method_symbols[METHOD_COUNT];

using codec_entry = int32_t (*)(uint8_t*, size_t*, const uint8_t*, size_t);
constexpr codec_entry COMPRESSORS[METHOD_COUNT] = {zlib_compress, deflate_fixed, gzip_compress};
constexpr codec_entry DECOMPRESSORS[METHOD_COUNT] = {zlib_uncompress, inflate_raw, gzip_uncompress};

compression_method method_of(const cell* word) {
    uint32_t s = symbol::resolve(word->w2);
    for (uint32_t i = 0; i < METHOD_COUNT; i++)
        if (symbol::resolve(method_symbols[i]) == s) return static_cast<compression_method>(i);
    fire(script_error::invalid_arg, word);
}

inline uint32_t get_le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Binaries cannot hold more than this; a larger result is out of memory, not a wrap.
constexpr size_t BINARY_LIMIT = 0x7FFFFFF0;

// Runs the codec from the input's bytes into a new binary of `capacity` bytes, growing it
// once to the size the codec asks for. The input is a rooted binary or a stable buffer;
// a binary's head is re-read after each allocation, which may move it.
struct codec_run {
    codec_entry codec;
    const cell* input;          // a binary argument, or null
    const uint8_t* bytes;       // else these
    size_t length;

    const uint8_t* source() const { return input ? binary::ks_head(input) : bytes; }

    // The codec's result; result holds the binary.
    int32_t run(cell* result, size_t capacity) {
        int32_t code = CODEC_TOO_SMALL;
        size_t size = capacity;
        for (int attempt = 0; attempt < 2 && code == CODEC_TOO_SMALL; attempt++) {
            if (size > BINARY_LIMIT) fire(internal_error::no_memory);
            node_id node = alloc_bytes(size);
            set_series_value(result, TYPE_BINARY, node, 0);
            series_buffer* buffer = node_buffer(node);
            size_t written = size;
            code = codec(buffer->offset, &written, source(), length);
            if (code == CODEC_DONE) buffer->tail = buffer->offset + written;
            size = written;
        }
        return code;
    }
};

}  // namespace

void init_compression_words() {
    for (uint32_t i = 0; i < METHOD_COUNT; i++) method_symbols[i] = symbol::make(METHOD_NAMES[i]);
}

void install_compression_natives() {
    set_native(103, natives::compress);
    set_native(104, natives::decompress);
}

namespace natives {

int32_t compress(bool, const int32_t*) {
    cell* data = stack::arguments;
    compression_method method = method_of(stack::arguments + 1);
    std::vector<uint8_t> text;
    codec_run run{COMPRESSORS[method], nullptr, nullptr, 0};
    if (TYPE_OF(data) == TYPE_BINARY) {
        run.input = data;
        run.length = binary::ks_length_q(data);
    } else {
        size_t n = 0;
        const char* utf8 = to_utf8(data, -1, &n);
        text.assign(utf8, utf8 + n);
        run.bytes = text.data();
        run.length = n;
    }
    cell* result = stack::push(&none_value);
    if (run.run(result, run.length + 32) != CODEC_DONE) fire(script_error::invalid_data, data);
    *stack::arguments = *result;
    stack::top = result;
    return 0;
}

int32_t decompress(bool, const int32_t* refinements) {
    cell* data = stack::arguments;
    compression_method method = method_of(stack::arguments + 1);
    const size_t length = binary::ks_length_q(data);
    // One pass in the common case: the size given, the stream's own, or a guess; a second
    // pass only when the codec reports the exact size it needs.
    size_t guess = length * 4 + 64;
    if (refinement_given(refinements, 0) && method != METHOD_GZIP) {
        cell* size = stack::arguments + refinements[0];
        int32_t n = static_cast<int32_t>(size->w2);
        if (n > 0 && static_cast<size_t>(n) > length) guess = static_cast<size_t>(n);
    }
    // gzip carries its length in the trailer; the codec refuses one the input cannot make.
    if (method == METHOD_GZIP) guess = length >= 4 ? get_le32(binary::ks_head(data) + length - 4) : 0;
    size_t cap = length * INFLATE_MAX_RATIO + 64;
    if (guess > cap) guess = cap;
    codec_run run{DECOMPRESSORS[method], data, nullptr, length};
    cell* result = stack::push(&none_value);
    if (run.run(result, guess) != CODEC_DONE) fire(script_error::invalid_data, data);
    *stack::arguments = *result;
    stack::top = result;
    return 0;
}

}  // namespace natives

}  // namespace kel
