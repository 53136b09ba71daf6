#include "datatypes/transcode.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/lexer.h"
#include "datatypes/registry.h"
#include "datatypes/word.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace kel {

namespace {

constexpr size_t STAGING_SIZE = 64 * 1024;

// Shared room for the text of running scans; a nested scan takes the room after the
// outer text, and a text that does not fit gets a private buffer for its call.
uint8_t staging[STAGING_SIZE];
size_t staging_used = 0;

struct staged_text {
    uint8_t* bytes;
    size_t previous_used;
    std::unique_ptr<uint8_t[]> own;

    explicit staged_text(size_t size) : previous_used(staging_used) {
        if (size <= STAGING_SIZE - staging_used) {
            bytes = staging + staging_used;
            staging_used += size;
        } else {
            own.reset(new uint8_t[size]);
            bytes = own.get();
        }
    }
    ~staged_text() { staging_used = previous_used; }
    staged_text(const staged_text&) = delete;
    staged_text& operator=(const staged_text&) = delete;
};

// The symbols of every word in the block, nested blocks included. Allocates nothing, so
// the node ids it walks stay valid.
void collect_symbols(const cell* block, std::vector<uint32_t>& symbols) {
    struct position {
        node_id node;
        uint32_t index;
    };
    std::vector<position> walk{{series_node(block), series_head(block)}};
    while (!walk.empty()) {
        position& at = walk.back();
        series_buffer* b = node_buffer(at.node);
        if (at.index >= b->used_bytes() / sizeof(cell)) {
            walk.pop_back();
            continue;
        }
        const cell* c = b->cells() + at.index++;
        uint32_t type = TYPE_OF(c);
        if (type >= TYPE_WORD && type <= TYPE_GET_WORD) symbols.push_back(c->w2);
        else if (any_block_q(type) && series_node(c)) walk.push_back({series_node(c), series_head(c)});
    }
}

// Bytes that are not UTF-8 are refused rather than loaded as replacement characters.
void check_utf8(const uint8_t* p, size_t n) {
    const uint8_t* end = p + n;
    while (p < end) {
        uint64_t eight;
        if (end - p >= 8 && (std::memcpy(&eight, p, 8), (eight & 0x8080808080808080u) == 0)) {
            p += 8;
            continue;
        }
        if (*p < 0x80) {
            p++;
            continue;
        }
        size_t left = static_cast<size_t>(end - p), length = left;
        if (utf8_decode_checked(p, length) < 0) raise_invalid_utf8(p, std::min<size_t>(left, 4));
        p += length;
    }
}

}  // namespace

int32_t transcode_string(cell* out, const cell* source, int64_t length, bool one, bool scan,
                         bool make_values, bool wrap, size_t* consumed, const cell* callback,
                         uint32_t event_mask, cell* into) {
    series_buffer* b = node_buffer(series_node(source));
    uint32_t unit = b->unit();
    size_t available = b->used_bytes() / unit;
    size_t head = series_head(source);
    size_t count = head < available ? available - head : 0;
    if (length >= 0 && static_cast<size_t>(length) < count) count = static_cast<size_t>(length);
    size_t per_char = unit == 4 ? 4 : unit + 1;
    staged_text text(count * per_char + 1);
    size_t size = write_utf8(source, text.bytes, static_cast<int64_t>(count), false);
    size_t taken = 0;
    int32_t type = lexer_scan(out, text.bytes, size, one, scan, make_values, wrap, &taken,
                              callback, event_mask, source, into, static_cast<uint32_t>(head));
    if (consumed) *consumed = utf8_count_chars(text.bytes, text.bytes + taken);
    return type;
}

int32_t transcode_binary(cell* out, const cell* source, int64_t length, bool one, bool scan,
                         bool make_values, bool wrap, size_t* consumed, const cell* callback,
                         uint32_t event_mask, cell* into) {
    series_buffer* b = node_buffer(series_node(source));
    size_t available = b->used_bytes();
    size_t head = series_head(source);
    size_t count = head < available ? available - head : 0;
    if (length >= 0 && static_cast<size_t>(length) < count) count = static_cast<size_t>(length);
    size_t mark = count >= 3 && std::memcmp(b->offset + head, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
    staged_text text(count - mark + 1);
    std::memcpy(text.bytes, b->offset + head + mark, count - mark);
    // Whole texts only: a value-by-value walk would check its rest again at every step.
    if (make_values && !one) check_utf8(text.bytes, count - mark);
    size_t taken = 0;
    int32_t type = lexer_scan(out, text.bytes, count - mark, one, scan, make_values, wrap, &taken,
                              callback, event_mask, source, into,
                              static_cast<uint32_t>(head + mark));
    if (consumed) *consumed = taken + mark;
    return type;
}

void load_text(cell* out, const uint8_t* bytes, size_t length) {
    lexer_scan(out, bytes, length, false, true, true, true, nullptr);
}

const cell* load_first_value(const cell* text, std::initializer_list<uint32_t> types,
                             uint32_t target) {
    cell* source = stack::push(text);
    cell* value = stack::push_cell();
    // A scan first: malformed text is refused like text of another type, not as a syntax error.
    int32_t type = transcode_string(value, source, -1, true, true, false, false, nullptr);
    if (type <= 0 || std::find(types.begin(), types.end(), static_cast<uint32_t>(type)) == types.end())
        raise_bad_to_arg(target, text);
    transcode_string(value, source, -1, true, true, true, false, nullptr);
    *source = *value;
    stack::top = source + 1;
    return source;
}

void load_global_text(cell* out, const uint8_t* bytes, size_t length) {
    load_text(out, bytes, length);
    bind_global(out);
}

void bind_global(cell* block) {
    std::vector<uint32_t> symbols;
    collect_symbols(block, symbols);
    std::sort(symbols.begin(), symbols.end());
    symbols.erase(std::unique(symbols.begin(), symbols.end()), symbols.end());
    for (uint32_t s : symbols) _context::add_word(global_context, s);
    _context::bind(block, global_context, false);
}

}  // namespace kel
