#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "datatypes/error.h"
#include "runtime/error_catalog.h"
#include "runtime/exits.h"
#include "runtime/memory.h"
#include "runtime/unicode.h"
#include "tests/unit/runtime_fixture.h"

using namespace kel;

namespace {

// The collector runs inside allocations (at every one in the stress build): the tests keep
// their values in root guards, as runtime code must.
using Unicode = kel::testing::RuntimeTest;

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

// The UTF-8 export as a string (length and text read after the call).
std::string exported(cell* v, int64_t limit = -1) {
    size_t length;
    char* text = to_utf8(v, limit, &length);
    return std::string(text, length);
}

chars code_points(const std::string& latin1) {
    chars out;
    for (unsigned char c : latin1) out.push_back(c);
    return out;
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
        root_node node(make_text(src, c.from, c.offset), false);
        series_buffer* b = node_buffer(node.node);
        b = c.from == 2 ? widen_2_to_4(b) : c.to == 2 ? widen_1_to_2(b) : widen_1_to_4(b);
        EXPECT_EQ(b, node_buffer(node.node)) << "the node follows the buffer";
        EXPECT_EQ(b->unit(), c.to);
        EXPECT_EQ(read_text(node.node), src) << c.from << "->" << c.to << " offset " << c.offset;
        EXPECT_LE(b->tail + c.to, b->data_end()) << "one spare character";
    }
}

namespace {

// Well-formed UTF-8 after the standard's table of byte ranges, written independently of
// the automaton: bytes consumed (up to and including the first bad one) and the code point.
struct verdict {
    size_t len;
    int32_t cp;  // -1: ill-formed
};

verdict strict_decode(const uint8_t* s) {
    uint32_t b0 = s[0];
    if (b0 < 0x80) return {1, static_cast<int32_t>(b0)};
    uint32_t lo = 0x80, hi = 0xBF;
    size_t n;
    if (b0 >= 0xC2 && b0 <= 0xDF) n = 2;
    else if (b0 == 0xE0) n = 3, lo = 0xA0;
    else if (b0 == 0xED) n = 3, hi = 0x9F;
    else if (b0 >= 0xE1 && b0 <= 0xEF) n = 3;
    else if (b0 == 0xF0) n = 4, lo = 0x90;
    else if (b0 == 0xF4) n = 4, hi = 0x8F;
    else if (b0 >= 0xF1 && b0 <= 0xF3) n = 4;
    else return {1, -1};
    uint32_t cp = b0 & (0x7Fu >> n);
    for (size_t k = 1; k < n; k++) {
        if (s[k] < lo || s[k] > hi) return {k + 1, -1};
        lo = 0x80, hi = 0xBF;
        cp = cp << 6 | (s[k] & 0x3Fu);
    }
    return {n, static_cast<int32_t>(cp)};
}

// Compares the automaton with the table above, and the checked decoder with the automaton:
// where they differ the checked decoder must be the lenient one (overlong forms, surrogates
// other than U+DC00..U+DCFF) or the strict one (U+FFFE).
void compare_decoders(const uint8_t* s) {
    int32_t fast_cp;
    size_t fast_len = static_cast<size_t>(unicode::fast_decode_utf8_char(s, fast_cp) - s);
    verdict want = strict_decode(s);
    if (fast_cp != want.cp || fast_len != want.len) {
        ADD_FAILURE() << std::hex << "automaton on " << int(s[0]) << " " << int(s[1]) << " "
                      << int(s[2]) << " " << int(s[3]) << ": " << fast_cp << "/" << fast_len;
        return;
    }
    size_t len = 0;
    int32_t cp = utf8_check_char(s, 4, len);
    bool agree = fast_cp >= 0 ? (cp == fast_cp && len == fast_len) || (fast_cp == 0xFFFE && cp == UTF8_INVALID)
                              : cp == UTF8_INVALID || (cp >= 0 && (len > utf8_char_size(cp) ||
                                                                   (cp >= 0xD800 && cp <= 0xDFFF)));
    if (!agree)
        ADD_FAILURE() << std::hex << "checked on " << int(s[0]) << " " << int(s[1]) << " "
                      << int(s[2]) << " " << int(s[3]) << ": " << cp << "/" << len;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kWholeSpace = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kWholeSpace = false;
#else
constexpr bool kWholeSpace = true;
#endif
#else
constexpr bool kWholeSpace = true;
#endif

// Every byte after position k. Neither decoder reads past the length its lead byte announces,
// so this covers every 4-byte input. Under the sanitizers a byte that cannot continue a
// sequence ends the enumeration of that prefix (both decoders have decided by then).
void enumerate(uint8_t* s, size_t k, size_t length) {
    if (k == length) {
        compare_decoders(s);
        return;
    }
    for (uint32_t b = 0; b < 256; b++) {
        s[k] = static_cast<uint8_t>(b);
        if (!kWholeSpace && (b & 0xC0) != 0x80) {
            compare_decoders(s);
            continue;
        }
        enumerate(s, k + 1, length);
    }
    s[k] = 0x80;
}

}  // namespace

TEST(Utf8Decoders, AutomatonAndCheckedDecoderOverEverySequence) {
    for (uint32_t lead = 0; lead < 256; lead++) {
        uint8_t s[4] = {static_cast<uint8_t>(lead), 0x80, 0x80, 0x80};
        size_t length = lead >= 0xF8 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        enumerate(s, 1, length);
        // Fewer bytes than the sequence needs: the checked decoder asks for more.
        for (size_t n = 1; n < length; n++) {
            size_t len = 0;
            EXPECT_EQ(utf8_check_char(s, n, len), UTF8_SHORT) << lead << " with " << n;
        }
    }
}

TEST(Utf8Decoders, CountingAndSkippingStopAtTheEnd) {
    // "a", U+00E9, U+20AC, U+1F600, then the first two bytes of a three-byte sequence.
    std::vector<uint8_t> text = {'a', 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80, 0xE2, 0x82};
    const uint8_t* begin = text.data();
    const uint8_t* end = begin + text.size();  // the sanitizers catch a read past it
    EXPECT_EQ(utf8_count_chars(begin, end), 5u);
    EXPECT_EQ(utf8_count_chars(begin, end - 2), 4u);
    EXPECT_EQ(utf8_skip_chars(begin, end, 2), begin + 3);
    EXPECT_EQ(utf8_skip_chars(begin, end, 4), begin + 10);
    EXPECT_EQ(utf8_skip_chars(begin, end, 9), end);
}

TEST(Utf8Decoders, LeadLength) {
    struct { uint8_t lead; int length; } cases[] = {
        {0x41, 0}, {0x80, 0}, {0xBF, 0}, {0xC0, 2}, {0xDF, 2}, {0xE0, 3}, {0xF0, 4}, {0xF8, 4}, {0xFF, 4},
    };
    for (auto c : cases) EXPECT_EQ(utf8_lead_length(c.lead), c.length) << int(c.lead);
}

TEST_F(Unicode, CheckedDecodeRaisesWithTheOffendingBytes) {
    struct { std::vector<uint8_t> in; std::vector<uint8_t> arg; } cases[] = {
        {{0xED, 0xB2, 0x80, 0x41, 0x42}, {0xED, 0xB2, 0x80, 0x41}},  // U+DC80
        {{0xEF, 0xBF, 0xBE}, {0xEF, 0xBF, 0xBE}},                    // U+FFFE, the invalid marker
        {{0xC3, 0x41}, {0xC3, 0x41}},                                // bad continuation
        {{0x80}, {0x80}},                                            // stray continuation
        {{0xF4, 0x90, 0x80, 0x80}, {0xF4, 0x90, 0x80, 0x80}},        // above U+10FFFF
    };
    for (auto& c : cases) {
        size_t n = c.in.size();
        EXPECT_EQ(raised([&] { utf8_decode_checked(c.in.data(), n); }),
                  error_code(ERR_ACCESS, static_cast<uint32_t>(access_error::invalid_utf8)));
        EXPECT_EQ(binary_arg(last_raised_error()), c.arg);
    }
    struct { std::vector<uint8_t> in; int32_t cp; size_t len; } good[] = {
        {{0xED, 0xA0, 0x80}, 0xD800, 3},  // other surrogates pass
        {{0xC0, 0x80}, 0, 2},             // overlong forms are not checked
        {{0xF0, 0x9F, 0x98, 0x80}, 0x1F600, 4},
        {{0xE2, 0x82}, -1, 2},            // ends inside the sequence: n is left alone
        {{}, -1, 0},
    };
    for (auto& c : good) {
        size_t n = c.in.size();
        EXPECT_EQ(utf8_decode_checked(c.in.data(), n), c.cp);
        EXPECT_EQ(n, c.len);
    }
}

TEST_F(Unicode, EncodingAndSizing) {
    struct { uint32_t cp; std::vector<uint8_t> utf8; std::vector<uint16_t> utf16; } cases[] = {
        {0x41, {0x41}, {0x41}},
        {0x7FF, {0xDF, 0xBF}, {0x7FF}},
        {0x20AC, {0xE2, 0x82, 0xAC}, {0x20AC}},
        {0x10000, {0xF0, 0x90, 0x80, 0x80}, {0xD800, 0xDC00}},
        {0x10FFFF, {0xF4, 0x8F, 0xBF, 0xBF}, {0xDBFF, 0xDFFF}},
    };
    for (auto& c : cases) {
        uint8_t out[4];
        ASSERT_EQ(utf8_encode_char(c.cp, out), c.utf8.size());
        EXPECT_EQ(std::vector<uint8_t>(out, out + c.utf8.size()), c.utf8);
        EXPECT_EQ(utf8_char_size(c.cp), c.utf8.size());
        uint16_t out16[2];
        ASSERT_EQ(utf16_encode_char(c.cp, out16), c.utf16.size());
        EXPECT_EQ(std::vector<uint16_t>(out16, out16 + c.utf16.size()), c.utf16);
    }
    uint8_t out[4] = {0, 0, 0, 0};
    EXPECT_EQ(utf8_encode_char_limited(0x20AC, out, 2), 2u);
    EXPECT_EQ(out[0], 0xE2);
    EXPECT_EQ(out[1], 0x82);
    EXPECT_EQ(out[2], 0);

    uint32_t invalid_char = error_code(ERR_SCRIPT, static_cast<uint32_t>(script_error::invalid_char));
    EXPECT_EQ(raised([&] { utf8_encode_char(0x110000, out); }), invalid_char);
    EXPECT_EQ(TYPE_OF(&last_raised_error().args[0]), TYPE_INTEGER);
    EXPECT_EQ(last_raised_error().args[0].w1, 0x110000u);
    EXPECT_EQ(raised([&] { utf8_char_size(0x110000); }), invalid_char);
    uint16_t out16[2];
    EXPECT_EQ(utf16_encode_char(0x110000, out16), 0u);

    uint32_t wide[] = {'a', '\n', 0xE9, 0x20AC, 0x1F600};
    auto* w = reinterpret_cast<const uint8_t*>(wide);
    EXPECT_EQ(utf8_size_of_units(w, w + sizeof wide, 4), 1u + 1 + 2 + 3 + 4);
    EXPECT_EQ(utf16_size_of(w, w + sizeof wide, 4), 4u);  // the LF and U+1F600
    uint32_t too_big[] = {0x110000};
    auto* t = reinterpret_cast<const uint8_t*>(too_big);
    EXPECT_EQ(raised([&] { utf8_size_of_units(t, t + 4, 4); }), invalid_char);

    uint16_t ascii[4];
    ascii_to_utf16("ok!", ascii);
    EXPECT_EQ(std::vector<uint16_t>(ascii, ascii + 4), (std::vector<uint16_t>{'o', 'k', '!', 0}));
}

TEST(Utf16, UnitNeeded) {
    struct { std::vector<uint16_t> text; uint32_t unit; } cases[] = {
        {{}, 1}, {{'a', 0xFF}, 1}, {{'a', 0x100}, 2}, {{0xFFFF, 'b'}, 2},
        {{'a', 0xD800}, 4}, {{0xDFFF}, 4}, {{0x100, 0xDC00}, 4},
    };
    for (auto& c : cases)
        EXPECT_EQ(utf16_unit_needed(reinterpret_cast<const uint8_t*>(c.text.data()), c.text.size()), c.unit);
}

// ---- Export

TEST_F(Unicode, ExportToUtf8FromEveryUnit) {
    struct { chars text; uint32_t unit; std::string utf8; } cases[] = {
        {{'a', 0xE9, '\n'}, 1, "a\xC3\xA9\n"},
        {{'a', 0x20AC}, 2, "a\xE2\x82\xAC"},
        {{0x1F600, 'z'}, 4, "\xF0\x9F\x98\x80z"},
        {{}, 1, ""},
    };
    for (auto& c : cases) {
        root_cell v_root(string_value(make_text(c.text, c.unit)));
        cell& v = v_root.value;
        size_t length = 99;
        char* out = to_utf8(&v, -1, &length);
        EXPECT_EQ(std::string(out, length), c.utf8);
        EXPECT_EQ(out[length], 0);
        uint8_t dest[32];
        std::memset(dest, 0xAA, sizeof dest);
        EXPECT_EQ(write_utf8(&v, dest, -1, true), c.utf8.size());
        EXPECT_EQ(std::string(reinterpret_cast<char*>(dest)), c.utf8);
    }
}

TEST_F(Unicode, ExportCacheIsReusedAndGrown) {
    root_cell v_root(string_value(make_text({'x', '\n', 'y'}, 1)));
    cell& v = v_root.value;
    EXPECT_EQ(v.w3, 0u);
    size_t length;
    char* first = to_utf8_lines(&v, -1, &length, true);
    EXPECT_EQ(std::string(first, length), "x\r\ny");
    EXPECT_NE(v.w3, 0u);
    root_cell copy_root(v);  // copies share the cache
    cell& copy = copy_root.value;
    EXPECT_EQ(exported(&copy, 2), "x\n");
    EXPECT_EQ(copy.w3, v.w3);

    // A longer text through the same cache grows it in place of allocating another.
    copy.w2 = make_text(chars(1000, 0x20AC), 2);
    char* long_text = to_utf8(&copy, -1, &length);
    EXPECT_EQ(copy.w3, v.w3);
    EXPECT_EQ(length, 3000u);
    EXPECT_EQ(std::string(long_text, 3), "\xE2\x82\xAC");
    EXPECT_GE(node_buffer(copy.w3)->size, 3001u);
}

TEST_F(Unicode, ExportFromTheHeadAndWithinLimits) {
    root_cell v_root(string_value(make_text({'a', 'b', 0x20AC, 'c'}, 2), 1));
    cell& v = v_root.value;
    EXPECT_EQ(exported(&v, -1), "b\xE2\x82\xAC" "c");
    EXPECT_EQ(exported(&v, 2), "b\xE2\x82\xAC");
    v.w1 = 9;  // a head beyond the tail: nothing to export
    EXPECT_EQ(exported(&v, -1), "");

    root_cell euro_root(string_value(make_text({0x20AC, 'z'}, 2)));

    cell& euro = euro_root.value;
    struct { size_t capacity; int64_t limit; bool terminate; std::vector<uint8_t> out; } cases[] = {
        {2, -1, false, {0xE2, 0x82}},               // stops inside the character
        {8, 0, false, {0xE2, 0x82, 0xAC, 'z'}},     // 0: no limit
        {8, 1, false, {0xE2, 0x82, 0xAC}},
        {3, -1, true, {0xE2, 0x82, 0}},             // the NUL stays within the capacity
        {8, -1, true, {0xE2, 0x82, 0xAC, 'z', 0}},
    };
    for (auto& c : cases) {
        uint8_t dest[8];
        std::memset(dest, 0xAA, sizeof dest);
        size_t n = write_utf8_limited(&euro, dest, c.capacity, c.limit, c.terminate);
        EXPECT_EQ(n, c.out.size() - (c.terminate ? 1 : 0));
        EXPECT_EQ(std::vector<uint8_t>(dest, dest + c.out.size()), c.out) << c.capacity << " " << c.limit;
        EXPECT_EQ(dest[c.out.size()], 0xAA) << "nothing beyond";
    }
}

TEST_F(Unicode, ExportToUtf16) {
    struct { chars text; uint32_t unit; bool crlf; std::vector<uint16_t> out; } cases[] = {
        {{'x', '\n', 'y'}, 1, true, {'x', '\r', '\n', 'y'}},
        {{'x', '\n', 'y'}, 2, true, {'x', '\r', '\n', 'y'}},
        {{'x', '\n', 0x10000}, 4, true, {'x', '\r', '\n', 0xD800, 0xDC00}},
        {{'x', '\n', 0x20AC}, 2, false, {'x', '\n', 0x20AC}},
        {{0x10000}, 4, false, {0xD800, 0xDC00}},
    };
    for (auto& c : cases) {
        root_cell v_root(string_value(make_text(c.text, c.unit)));
        cell& v = v_root.value;
        size_t units = 0;
        uint16_t* out = to_utf16_cache(&v, -1, &units, c.crlf);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(units, c.out.size());
        EXPECT_EQ(std::vector<uint16_t>(out, out + units), c.out);
        EXPECT_EQ(out[units], 0);
        EXPECT_GE(node_buffer(v.w3)->size, 2 * c.out.size() + 2);
    }
    // Text handed to the OS keeps its LF line ends on this platform.
    root_cell lines_root(string_value(make_text({'x', '\n', 'y'}, 1)));
    cell& lines = lines_root.value;
    uint16_t* os = to_utf16(&lines);
    EXPECT_EQ(std::vector<uint16_t>(os, os + 4), (std::vector<uint16_t>{'x', '\n', 'y', 0}));

    root_cell bad_root(string_value(make_text({'a', 0x110000}, 4)));

    cell& bad = bad_root.value;
    EXPECT_EQ(to_utf16_cache(&bad, -1, nullptr, false), nullptr);
}

// ---- Import

TEST_F(Unicode, Utf8ImportWidensInPlace) {
    struct { std::string in; uint32_t unit; chars out; } cases[] = {
        {"plain", 1, {'p', 'l', 'a', 'i', 'n'}},
        {"\xC3\xA9t\xC3\xA9", 1, {0xE9, 't', 0xE9}},
        {"A\xC3\xA9\xE2\x82\xAC", 2, {'A', 0xE9, 0x20AC}},
        {"A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", 4, {'A', 0xE9, 0x20AC, 0x1F600}},
        {"\xC3\xA9\xF0\x9F\x98\x80", 4, {0xE9, 0x1F600}},  // 1 -> 4 directly
        {"\xEF\xBB\xBF" "ab", 1, {'a', 'b'}},
        {"\xEF\xBB\xBF", 1, {}},
        {"", 1, {}},
        {"\xED\xA0\x80", 2, {0xD800}},
        {std::string(1000, 'a') + "\xE2\x82\xAC" + std::string(1000, 'b') + "\xF0\x9F\x98\x80" +
             std::string(1000, 'c'),
         4, {}},
    };
    chars& late = cases[std::size(cases) - 1].out;
    late.assign(1000, 'a');
    late.push_back(0x20AC);
    late.insert(late.end(), 1000, 'b');
    late.push_back(0x1F600);
    late.insert(late.end(), 1000, 'c');
    for (auto& c : cases) {
        auto bytes = bytes_of(c.in);
        size_t left = 99;
        node_id node = load_utf8(byte_source::memory(bytes.data()), bytes.size(), 0, &left, false);
        EXPECT_EQ(node_buffer(node)->unit(), c.unit) << c.in;
        EXPECT_EQ(read_text(node), c.out) << c.in;
        EXPECT_EQ(left, 0u);
    }
}

TEST_F(Unicode, Utf8ImportCarriesACutSequence) {
    // A piece ending in the first two bytes of U+20AC: they are left for the next piece.
    auto piece = bytes_of("ab\xE2\x82");
    size_t left = 0;
    node_id node = load_utf8(byte_source::memory(piece.data()), piece.size(), 0, &left, false);
    EXPECT_EQ(read_text(node), (chars{'a', 'b'}));
    EXPECT_EQ(left, 2u);
    auto next = bytes_of("\xE2\x82\xAC!");
    node = load_utf8(byte_source::memory(next.data()), next.size(), node, &left, false);
    EXPECT_EQ(read_text(node), (chars{0x20AC, '!'}));
    EXPECT_EQ(left, 0u);

    // Without a caller to carry them, cut bytes are an error, not silently dropped text.
    uint32_t invalid_utf8 = error_code(ERR_ACCESS, static_cast<uint32_t>(access_error::invalid_utf8));
    EXPECT_EQ(raised([&] { load_utf8_new(byte_source::memory(piece.data()), piece.size()); }), invalid_utf8);
    EXPECT_EQ(binary_arg(last_raised_error()), (std::vector<uint8_t>{0xE2, 0x82}));
}

TEST_F(Unicode, Utf8ImportErrors) {
    uint32_t invalid_utf8 = error_code(ERR_ACCESS, static_cast<uint32_t>(access_error::invalid_utf8));
    struct { std::string in; std::vector<uint8_t> arg; } cases[] = {
        {"ok\xED\xB2\x80zz", {0xED, 0xB2, 0x80, 'z'}},
        {"\xEF\xBF\xBE", {0xEF, 0xBF, 0xBE}},
        {"\xC3\xA9\x80", {0x80}},
    };
    for (auto& c : cases) {
        auto bytes = bytes_of(c.in);
        EXPECT_EQ(raised([&] { load_utf8_new(byte_source::memory(bytes.data()), bytes.size()); }), invalid_utf8);
        EXPECT_EQ(binary_arg(last_raised_error()), c.arg);
    }
}

TEST_F(Unicode, LineEndsOnImport) {
    struct { std::string in; chars utf8; chars utf16; } cases[] = {
        {"a\r\nb", {'a', '\n', 'b'}, {'a', '\n', 'b'}},
        {"a\rb", {'a', '\n', 'b'}, {'a', 'b'}},  // UTF-16 drops every CR
        {"a\r", {'a', '\n'}, {'a'}},
        {"\r\r\n", {'\n', '\n'}, {'\n'}},
        {"first line\r\nsecond\rthird line", code_points("first line\nsecond\nthird line"),
         code_points("first line\nsecondthird line")},
    };
    for (auto& c : cases) {
        auto bytes = bytes_of(c.in);
        node_id node = load_utf8(byte_source::memory(bytes.data()), bytes.size(), 0, nullptr, true);
        EXPECT_EQ(read_text(node), c.utf8);
        node = load_cp1251(byte_source::memory(bytes.data()), bytes.size(), nullptr, true);
        EXPECT_EQ(read_text(node), c.utf8);
        std::vector<uint16_t> wide(c.in.begin(), c.in.end());
        for (uint32_t unit : {1u, 2u, 4u}) {
            if (unit > 1) wide.push_back(unit == 2 ? 0x100 : 0xDC00);  // forces the unit
            node = load_utf16le(byte_source::memory(wide.data()), wide.size(), nullptr, true);
            chars want = c.utf16;
            if (unit > 1) want.push_back(wide.back());
            EXPECT_EQ(node_buffer(node)->unit(), unit);
            EXPECT_EQ(read_text(node), want) << unit;
            wide.resize(c.in.size());
        }
    }
}

TEST_F(Unicode, ImportReplacesAnExistingBuffer) {
    // A unit-4 buffer with its offset mid-way receives shorter Latin-1 text.
    root_cell v_root(string_value(make_text({0x1F600, 'x', 'y', 'z'}, 4, -1)));
    cell& v = v_root.value;
    auto bytes = bytes_of("ab\xC3\xA9");
    load_utf8_into(byte_source::memory(bytes.data()), bytes.size(), &v, nullptr);
    EXPECT_EQ(node_buffer(v.w2)->unit(), 4u) << "the unit is kept";
    EXPECT_EQ(read_text(v.w2), (chars{'a', 'b', 0xE9}));
    load_utf8_into(byte_source::memory(bytes.data()), 0, &v, nullptr);
    EXPECT_EQ(read_text(v.w2), chars{}) << "nothing loaded leaves nothing";

    // A longer text than the buffer holds, from a series (re-read after every allocation).
    root_node src(make_text(chars(5000, 0xE9), 1), false);
    root_cell u_root(string_value(make_text({'q'}, 1)));
    cell& u = u_root.value;
    load_utf16le(byte_source::series(src.node, 0), 2500, &u, false);  // 0xE9E9 units
    EXPECT_EQ(node_buffer(u.w2)->unit(), 2u);
    EXPECT_EQ(read_text(u.w2), chars(2500, 0xE9E9));
}

TEST_F(Unicode, Utf16Import) {
    struct { std::vector<uint16_t> in; uint32_t unit; chars out; } cases[] = {
        {{'h', 0xE9}, 1, {'h', 0xE9}},
        {{'h', 0x20AC}, 2, {'h', 0x20AC}},
        {{0xD83D, 0xDE00, 'x'}, 4, {0x1F600, 'x'}},
        {{'a', 0xD83D, 'b'}, 4, {'a', 0xFFFD, 'b'}},   // unpaired high surrogate
        {{'a', 0xD83D}, 4, {'a', 0xFFFD}},             // ... as the last unit
        {{0xD83D, 0xD83D, 0xDE00}, 4, {0xFFFD, 0x1F600}},
        {{'a', 0xDC00}, 4, {'a', 0xDC00}},             // a lone low surrogate is kept
        {{}, 2, {}},
    };
    for (auto& c : cases) {
        node_id node = load_utf16le(byte_source::memory(c.in.data()), c.in.size(), nullptr, false);
        EXPECT_EQ(node_buffer(node)->unit(), c.unit);
        EXPECT_EQ(read_text(node), c.out);
    }
    // No source: the value's own cache buffer, as an export left it.
    root_cell v_root(string_value(make_text({'x', 0x1F600, 0xE9}, 4)));
    cell& v = v_root.value;
    size_t units = 0;
    to_utf16_cache(&v, -1, &units, false);
    load_utf16le(byte_source::none(), units, &v, false);
    EXPECT_EQ(read_text(v.w2), (chars{'x', 0x1F600, 0xE9}));
}

TEST_F(Unicode, Cp1251Import) {
    std::vector<uint8_t> bytes = {'A', 0x80, 0x98, 0xA8, 0xB9, 0xC0, 0xFF};
    node_id node = load_cp1251(byte_source::memory(bytes.data()), bytes.size(), nullptr, false);
    EXPECT_EQ(node_buffer(node)->unit(), 2u) << "Cyrillic letters widen the buffer";
    EXPECT_EQ(read_text(node), (chars{'A', 0x0402, 0x0098, 0x0401, 0x2116, 0x0410, 0x044F}));

    // Longer than any first buffer, into a value's Latin-1 buffer.
    std::vector<uint8_t> many(3000, 0xE0);
    root_cell v_root(string_value(make_text({'z'}, 1)));
    cell& v = v_root.value;
    load_cp1251(byte_source::memory(many.data()), many.size(), &v, false);
    EXPECT_EQ(read_text(v.w2), chars(3000, 0x0430));

    std::vector<uint8_t> latin = {0xA0, 0xA9, 'z'};
    node = load_cp1251(byte_source::memory(latin.data()), latin.size(), nullptr, false);
    EXPECT_EQ(node_buffer(node)->unit(), 1u);
    EXPECT_EQ(read_text(node), (chars{0xA0, 0xA9, 'z'}));
}

TEST_F(Unicode, ABufferOfAnotherUnitStopsTheProcess) {
    root_cell v_root(string_value(alloc_series(4, 3, 0)));
    EXPECT_EXIT(to_utf8(&v_root.value), ::testing::ExitedWithCode(101), "Runtime Error 101");
}
