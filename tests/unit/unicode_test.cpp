#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "boot/error_catalog.h"
#include "datatypes/error.h"
#include "runtime/exits.h"
#include "runtime/memory.h"
#include "runtime/unicode.h"

using namespace kel;

namespace {

class Unicode : public ::testing::Test {
protected:
    void SetUp() override { init_memory(); }
    void TearDown() override { free_all_node_frames(); }
};

using chars = std::vector<uint32_t>;

// A buffer of the given unit holding the code points; offset -1 starts it mid-buffer.
node_id make_text(const chars& cps, uint32_t unit, int64_t offset = 0, size_t room = 0) {
    node_id node = alloc_series((cps.size() + room + 1) * (offset < 0 ? 2 : 1), unit, offset);
    series_buffer* b = node_buffer(node);
    for (uint32_t cp : cps) {
        std::memcpy(b->tail, &cp, unit);  // little-endian: the low bytes
        b->tail += unit;
    }
    return node;
}

chars read_text(node_id node) {
    series_buffer* b = node_buffer(node);
    chars out;
    for (uint8_t* p = b->offset; p < b->tail; p += b->unit()) {
        uint32_t cp = 0;
        std::memcpy(&cp, p, b->unit());
        out.push_back(cp);
    }
    return out;
}

cell string_value(node_id node, uint32_t head = 0) {
    cell c;
    set_series_value(&c, TYPE_STRING, node, head);
    return c;
}

std::vector<uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

// Runs f; returns the code of the language error it raised (0 when none) and the error.
template <class F>
uint32_t raised(F&& f) {
    try {
        f();
    } catch (const kel_exit& e) {
        EXPECT_EQ(e.code, THROW_ERROR);
        return last_raised_error().code;
    }
    return 0;
}

std::vector<uint8_t> binary_arg(const raised_error& e) {
    EXPECT_EQ(TYPE_OF(&e.args[0]), TYPE_BINARY);
    series_buffer* b = node_buffer(series_node(&e.args[0]));
    return {b->offset, b->tail};
}

}  // namespace

TEST_F(Unicode, WideningKeepsEveryCharacter) {
    struct { uint32_t from, to; int64_t offset; } cases[] = {
        {1, 2, 0}, {1, 4, 0}, {2, 4, 0},
        {1, 2, -1}, {1, 4, -1}, {2, 4, -1},  // offset mid-buffer: the room before it counts
    };
    chars text;
    for (uint32_t i = 0; i < 300; i++) text.push_back(i % 256);
    for (auto c : cases) {
        chars src = text;
        if (c.from == 2) src.back() = 0xFFFF;
        node_id node = make_text(src, c.from, c.offset);
        series_buffer* b = node_buffer(node);
        b = c.from == 2 ? widen_2_to_4(b) : c.to == 2 ? widen_1_to_2(b) : widen_1_to_4(b);
        EXPECT_EQ(b, node_buffer(node)) << "the node follows the buffer";
        EXPECT_EQ(b->unit(), c.to);
        EXPECT_EQ(read_text(node), src) << c.from << "->" << c.to << " offset " << c.offset;
        EXPECT_LE(b->tail + c.to, b->data_end()) << "one spare character";
    }
}
