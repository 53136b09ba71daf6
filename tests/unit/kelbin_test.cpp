// KELBIN's raw entries over values made from Kel text: round trips in both forms compared by
// `mold/all` and `same?`, sharing and bindings kept, exact bytes, and hostile inputs.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "boot/init.h"
#include "boot/script.h"
#include "boot/startup.h"
#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "io/kelbin.h"
#include "runtime/collector.h"
#include "runtime/error_catalog.h"
#include "runtime/exits.h"
#include "runtime/lz.h"
#include "runtime/stack.h"

namespace kel {
namespace {

using bytes = std::vector<uint8_t>;

class KelbinTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static const bool ready = [] {
            runtime_init();
            run_stages();
            return true;
        }();
        (void)ready;
    }
    void SetUp() override { saved_top = stack::top; }
    void TearDown() override { stack::top = saved_top; }
    cell* saved_top = nullptr;

    // The value of the Kel code, pushed.
    static cell* eval(const std::string& text) {
        cell* code = stack::push_cell();
        load_global_text(code, reinterpret_cast<const uint8_t*>(text.data()), text.size());
        uint32_t rc = 0;
        try {
            rc = eval_block(code, false);
        } catch (const kel_exit& e) {
            rc = e.code;
        }
        if (rc) {
            pending_code = 0;
            ADD_FAILURE() << "error in: " << text;
            *code = none_value;
            return code;
        }
        *code = *stack::top_cell();
        stack::top = code + 1;
        return code;
    }
    static void set(const char* name, const cell* value) {
        cell* w = stack::push(&none_value);
        *w = word::load(name);
        _context::set(w, value);
        stack::pop(1);
    }
    static std::string text(const cell* s) {
        series_buffer* b = node_buffer(series_node(s));
        std::string out;
        for (uint32_t i = series_head(s); i < b->used_bytes() / b->unit(); i++)
            out += static_cast<char>(string::get_char(b->offset + i * b->unit(), b->unit()));
        return out;
    }
    static std::string mold_all(const cell* v) {
        set("kb-subject", v);
        cell* top = stack::top;
        std::string out = text(eval("mold/all :kb-subject"));
        stack::top = top;
        return out;
    }
    static bytes encode(const cell* v, kelbin::form how) {
        cell* top = stack::top;
        cell* bin = kelbin::encode(v, how);
        series_buffer* b = node_buffer(series_node(bin));
        bytes out(b->offset, b->tail);
        stack::top = top;
        return out;
    }
    // The first decoded value, pushed.
    static cell* decode_raw(const bytes& data) {
        cell* parent = block::push_only(4);
        kelbin::decode(data.data(), data.size(), parent);
        cell* first = block::ks_head(parent);
        *parent = block::ks_length_q(parent) ? *first : unset_value;
        return parent;
    }
    // The same, where a raised error is the test's failure.
    static cell* decode(const bytes& data) {
        cell* top = stack::top;
        try {
            return decode_raw(data);
        } catch (const kel_exit&) {
            pending_code = 0;
            stack::top = top;
            const raised_error& e = last_raised_error();
            ADD_FAILURE() << "decode raised " << e.code << " at " << static_cast<int32_t>(e.args[0].w2);
            return stack::push(&unset_value);
        }
    }
    // The error code and offset a decode raises; 0 when it raises none.
    static std::pair<uint32_t, int32_t> decode_error(const bytes& data) {
        cell* top = stack::top;
        try {
            decode_raw(data);
        } catch (const kel_exit&) {
            pending_code = 0;
            stack::top = top;
            const raised_error& e = last_raised_error();
            return {e.code, TYPE_OF(&e.args[0]) == TYPE_INTEGER ? static_cast<int32_t>(e.args[0].w2) : -1};
        }
        stack::top = top;
        return {0, 0};
    }
    static bytes records(std::initializer_list<uint8_t> body, uint8_t flags = 1) {
        bytes out = {'K', 'E', 'L', 'B', 'I', 'N', 2, flags, 1, static_cast<uint8_t>(body.size())};
        out.insert(out.end(), body);
        return out;
    }
    // A fixed-form input without a symbol table; its records start at offset 17.
    static bytes fixed_records(std::initializer_list<uint32_t> words) {
        bytes out = {'K', 'E', 'L', 'B', 'I', 'N', 2, 0, 1, 0, 0, 0, static_cast<uint8_t>(4 * words.size()), 0, 0, 0};
        for (uint32_t w : words)
            for (int i = 0; i < 4; i++) out.push_back(static_cast<uint8_t>(w >> 8 * i));
        return out;
    }
    // The records area of an encoding.
    static bytes records_of(const bytes& encoded, kelbin::form how) {
        size_t size = encoded.size() >= 16 ? encoded[12] | encoded[13] << 8 | encoded[14] << 16 : 0;
        if (how == kelbin::form::compact) return bytes(encoded.begin() + 10, encoded.end());
        return bytes(encoded.end() - static_cast<ptrdiff_t>(size), encoded.end());
    }
};

constexpr uint32_t KB_INVALID = error_code(ERR_SCRIPT, static_cast<uint32_t>(script_error::kb_invalid_record));
constexpr uint32_t INVALID_DATA = error_code(ERR_SCRIPT, static_cast<uint32_t>(script_error::invalid_data));
constexpr uint32_t NO_CODEC = error_code(ERR_ACCESS, static_cast<uint32_t>(access_error::no_codec));
constexpr uint32_t TOO_DEEP = error_code(ERR_INTERNAL, static_cast<uint32_t>(internal_error::too_deep));
constexpr kelbin::form forms[] = {kelbin::form::compact, kelbin::form::fixed};

TEST_F(KelbinTest, EveryTypeRoundTripsInBothForms) {
    const char* cases[] = {
        "integer!", "()", "none", "true", "false", "#\"x\"", "#\"^(10FFFF)\"", "42", "-1", "2147483647",
        "1.5", "3.0", "-0.0", "1e300", "12:30:15.5", "1%", "0.5%", "250%", "3x-4", "(1.5, 2)",
        "(1, 2.5, -3)", "9-Dec-2026", "9-Dec-2026/7:12:26+01:00", "make typeset! [integer! block! image!]",
        "1.2.3", "1.2.3.4.5.6.7.8.9.10.11.12", "-$12.50", "USD$1'234.56", "#issue",
        "[a b: :c 'd /e]", "[1 [2 [3]] (4) p/q/r 'p/q p/q: :p/q]", "next next [1 2 3]",
        "make hash! [a 1 b 2]", "#[a: 1 \"k\" [2]]", "\"\"", "\"latin é\"", "\"wide \u4e2d\"",
        "\"astral \U0001F600\"", "%file.txt", "http://host/p?q", "<tag a>", "user@host", "@ref",
        "next \"abc\"", "#{DEADBEEF}", "make vector! [integer! 16 [1 -2 3]]", "make vector! [float! 32 [1.5 2.0]]",
        "make vector! [percent! 64 [10% 2%]]", "make vector! [char! 8 [#\"a\"]]", "make bitset! \"abc\"",
        "complement make bitset! \"x\"", "make image! [2x2 255.0.0]", "make image! 0x0",
        "[\n  a\n  b c\n]", ":append", ":add", ":+", "func [a /b c /local d] [d: a + 1 either b [c] [d]]",
        "make object! [a: 1 b: \"two\" c: func [x] [x + a]]",
        "make object! [v: 1 on-change*: func [w o n] [v: n]]",
        "make error! [type: 'user id: 'message arg1: \"boom\" near: [x y]]",
    };
    for (kelbin::form how : forms) {
        for (const char* c : cases) {
            SCOPED_TRACE(c);
            cell* v = eval(c);
            std::string want = mold_all(v);
            bytes b = encode(v, how);
            cell* d = decode(b);
            EXPECT_EQ(mold_all(d), want);
            collector_collect();
            EXPECT_EQ(mold_all(d), want);
            EXPECT_EQ(mold_all(decode(encode(d, how))), want);
        }
    }
}

TEST_F(KelbinTest, SharingCyclesAndBindingsSurvive) {
    struct {
        const char* make;
        const char* check;  // Kel over `d`, the decoded value
    } cases[] = {
        {"s: \"abcdef\" reduce [s skip s 3]", "append d/1 \"!\" all [d/2 = \"def!\" same? head d/1 head d/2]"},
        {"b: [1 2] reduce [b b]", "append d/1 3 \"(1 2 3)\" = mold d/2"},
        {"b: copy [x] append/only b b b", "same? d d/2"},
        {"o: make object! [me: none n: 5] o/me: o o", "all [same? d d/me d/me/n = 5]"},
        {"o: make object! [f: 7] reduce [in o 'f in o 'f]",
         "set d/1 9 9 = get d/2"},
        {"func [a b /local t] [t: a * b t + a]", "all [(d 3 4) = 15 (d -2 5) = -12]"},
        {"make map! [a 1 \"k\" 2 3 4]", "all [d/a = 1 (select d \"k\") = 2 (select d 3) = 4]"},
        {"make hash! [x 1 y 2 z 3]", "all [(select d 'y) = 2 (find d 'z) = at d 5]"},
        {"make object! [n: 0 seen: 0 on-change*: func [w o v] [if w = 'n [seen: v]]]", "d/n: 10 d/seen = 10"},
    };
    for (kelbin::form how : forms) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.make);
            cell* v = eval(c.make);
            // A paren over a block's series: Kel's own conversions copy.
            if (TYPE_OF(v) == TYPE_BLOCK && block::ks_length_q(v) == 2 && TYPE_OF(block::ks_head(v)) == TYPE_BLOCK)
                set_type(block::ks_head(v) + 1, TYPE_PAREN);
            cell* d = decode(encode(v, how));
            collector_collect();
            set("d", d);
            cell* ok = eval(c.check);
            EXPECT_EQ(TYPE_OF(ok), TYPE_LOGIC);
            EXPECT_EQ(ok->w1, 1u);
        }
    }
}

TEST_F(KelbinTest, CompactEdgeCasesAsBytes) {
    struct {
        const char* value;
        bytes records;
    } cases[] = {
        {"63", {0xBF}},
        {"64", {11, 0x80, 0x01}},
        {"-1", {11, 0x01}},
        {"1.5", {12, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F}},
        {"3.0", {12 | 0x40, 6}},
        {"-0.0", {12, 0, 0, 0, 0, 0, 0, 0, 0x80}},
        {"1%", {38 | 0x40, 2}},
        {"250%", {38 | 0x40, 0xF4, 0x03}},
        {"0.5%", {38, 0x7B, 0x14, 0xAE, 0x47, 0xE1, 0x7A, 0x74, 0x3F}},
        {"1.2.3", {39, 1, 2, 3}},
        {"1.2.3.4", {39 | 0x40, 4, 1, 2, 3, 4}},
        {"1-Jan-2000", {47, 0x80, 0x10, 0xA0, 0x0F}},
        {"1-Jan-2000/0:00:01", {47 | 0x40, 0x80, 0x10, 0xA1, 0x0F, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F}},
        {"reduce [s: \"abcdef\" skip s 3]", {5, 2, 7, 6 << 2, 'a', 'b', 'c', 'd', 'e', 'f', 0xC1, 7 | 0x40, 3, 2, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        bytes b = encode(eval(c.value), kelbin::form::compact);
        ASSERT_GE(b.size(), 10u);
        EXPECT_EQ(records_of(b, kelbin::form::compact), c.records);
    }
    // A 5-byte varint ends in 0F; 10 there is refused. An empty records area gives nothing.
    cell* v = decode(records({11, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}));
    EXPECT_EQ(static_cast<int32_t>(v->w2), INT32_MIN);
    EXPECT_EQ(decode_error(records({11, 0xFF, 0xFF, 0xFF, 0xFF, 0x10})), std::make_pair(KB_INVALID, 16));
    cell* parent = block::push_only(1);
    bytes empty = records({});
    kelbin::decode(empty.data(), empty.size(), parent);
    EXPECT_EQ(block::ks_length_q(parent), 0);
}

TEST_F(KelbinTest, FixedEdgeCasesAsBytes) {
    struct {
        const char* value;
        bytes records;
    } cases[] = {
        {"1.5", {12, 0, 0, 0, 0, 0, 0xF8, 0x3F, 0, 0, 0, 0}},
        // The float after three words gets a filler word so that it starts on 8 bytes.
        {"[7 1.5]", {5, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 11, 0, 0, 0, 7, 0, 0, 0,
                     0, 0, 0, 0, 12, 0, 0, 0, 0, 0, 0xF8, 0x3F, 0, 0, 0, 0}},
        {"'a", {15, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"\"abcde\"", {7, 1, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0, 'a', 'b', 'c', 'd', 'e', 0, 0, 0}},
        {"1.2.3.4", {39, 4, 0, 0, 1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"1-Jan-2000", {47, 0, 0, 0, 0x80, 0x10, 0xA0, 0x0F, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"reduce [s: \"abc\" next s]", {5, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 7, 1, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0,
                                          'a', 'b', 'c', 0, 7, 0, 8, 0, 1, 0, 0, 0, 255, 0, 0, 0, 2, 0, 0, 0,
                                          0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(records_of(encode(eval(c.value), kelbin::form::fixed), kelbin::form::fixed), c.records);
    }
    // The reader skips filler words wherever a record starts; an empty records area gives nothing.
    EXPECT_EQ(mold_all(decode(fixed_records({0, 0, 11, 5}))), "5");
    cell* parent = block::push_only(1);
    bytes empty = fixed_records({});
    kelbin::decode(empty.data(), empty.size(), parent);
    EXPECT_EQ(block::ks_length_q(parent), 0);
}

TEST_F(KelbinTest, MalformedInputsRaiseWithTheirOffset) {
    struct {
        const char* what;
        bytes input;
        int32_t offset;
    } cases[] = {
        {"bad magic", {'K', 'E', 'L', 'B', 'O', 'N', 2, 1, 1, 0}, 5},
        {"no flags", {'K', 'E', 'L', 'B', 'I', 'N', 2}, 8},
        {"truncated varint", records({11, 0x80}), 13},
        {"truncated double", records({12, 0, 0}), 14},
        {"truncated u32", records({47, 1}), 13},
        {"C1 before a short form", records({0xC1, 0x81}), 12},
        {"C4 in codec mode", records({0xC4, 15, 0}), 11},
        {"id 0", records({0x00}), 11},
        {"logic! type byte", records({4}), 11},
        {"string L and 3 = 3", records({7, 3}), 12},
        {"typeset n 13", records({33, 13}), 12},
        {"tuple n 0", records({39 | 0x40, 0}), 12},
        {"tuple n 13", records({39 | 0x40, 13}), 12},
        {"image side 65536", records({53, 0x80, 0x80, 0x04, 1}), 12},
        {"block count past the bytes left", records({5, 0xFF, 0xFF, 0xFF, 0xFF, 0x07}), 12},
        {"string count past the bytes left", records({7, 0xFC, 0xFF, 0xFF, 0xFF, 0x07}), 12},
        {"image pixels past the bytes left", records({53, 0xFF, 0xFF, 0x03, 0xFF, 0xFF, 0x03}), 15},
        {"symbol without a table", records({15, 0}), 12},
        {"reference path of 0 steps", records({0xFF, 0}), 12},
        {"reference index out of range", records({0xFF, 1, 5}), 13},
        {"reference through an integer", records({5, 2, 0x81, 0xFF, 3, 0, 0, 0}), 18},
        {"string over a block", records({5, 2, 5, 0, 0xC1, 7, 2, 0, 0}), 16},
        {"date with F but no time", records({47 | 0x40, 0x80, 0x10, 0xA0, 0x0F}), 11},
        {"char past 10FFFF", records({10, 0x80, 0x80, 0xC4, 0x00}), 11},
        {"function spec not a block", records({24, 0, 0, 5, 0, 7, 0}), 16},
        {"native index 0", records({21, 0, 5, 0}), 12},
        {"action index 63", records({22, 63, 5, 0}), 12},
        {"error code outside the catalogue", records({34, 0xE7, 0x07}), 12},
        {"odd map count", records({40, 1, 0x81}), 12},
        {"map key of a bad type", records({40, 2, 5, 0, 0x81}), 13},
        {"head past the tail", records({5 | 0x40, 5, 1, 0x81}), 11},
        {"symbol offsets past the input", {'K', 'E', 'L', 'B', 'I', 'N', 2, 5, 1, 0, 1, 0x80, 0x80, 0x01, 0}, 12},
        {"head past a referenced block's tail", records({5, 2, 0x81, 0xC1, 5 | 0x40, 9, 1, 0}), 15},
        {"fixed: fewer than 8 bytes after the flags", {'K', 'E', 'L', 'B', 'I', 'N', 2, 0, 1, 0, 0, 0}, -1},
        {"fixed: records area past the input", {'K', 'E', 'L', 'B', 'I', 'N', 2, 0, 1, 0, 0, 0, 8, 0, 0, 0, 11, 0, 0, 0}, 17},
        {"fixed: truncated value", fixed_records({11}), 21},
        {"fixed: type 13", fixed_records({13}), 17},
        {"fixed: type 42", fixed_records({42}), 17},
        {"fixed: type 200", fixed_records({200}), 17},
        {"fixed: reference bit on an integer", fixed_records({11 | 1u << 19, 1}), 17},
        {"fixed: logic 2", fixed_records({4, 2}), 21},
        {"fixed: tuple count 0", fixed_records({39, 1, 0, 0}), 17},
        {"fixed: tuple count 13", fixed_records({39 | 13 << 8, 1, 0, 0}), 17},
        {"fixed: string unit 3", fixed_records({7 | 3 << 8, 0, 0}), 17},
        {"fixed: block count past the bytes left", fixed_records({5, 0, 0x7FFFFFFF}), 25},
        {"fixed: image pixels past the bytes left", fixed_records({53, 0, 0xFFFFFFFF}), 25},
        {"fixed: symbol without a table", fixed_records({15 | 1u << 25, 0, 0}), 21},
        {"fixed: reference path of 0 steps", fixed_records({255, 0}), 21},
        {"fixed: reference index out of range", fixed_records({255, 1, 5}), 25},
        {"fixed: standalone context", fixed_records({14, 0}), 17},
        {"fixed: function spec not a block", fixed_records({24, 0, 0, 0x2400000E, 0, 7, 0, 0}), 37},
        {"fixed: action index 63", fixed_records({22, 63, 5, 0, 0}), 21},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto [code, offset] = decode_error(c.input);
        if (c.offset < 0) {
            EXPECT_EQ(code, INVALID_DATA);
        } else {
            EXPECT_EQ(code, KB_INVALID);
            EXPECT_EQ(offset, c.offset);
        }
    }
}

TEST_F(KelbinTest, UnserialisableTypesRaiseAndTheNextEncodeIsRight) {
    for (kelbin::form how : forms) {
        cell* v = eval("reduce [1 none]");
        *block::ks_abs_at(v, 1) = cell{TYPE_EVENT, 0, 0, 0};
        cell* top = stack::top;
        uint32_t code = 0;
        try {
            kelbin::encode(v, how);
        } catch (const kel_exit&) {
            pending_code = 0;
            code = last_raised_error().code;
        }
        stack::top = top;
        EXPECT_EQ(code, NO_CODEC);
        cell* ok = eval("[a [b] \"c\"]");
        EXPECT_EQ(mold_all(decode(encode(ok, how))), "[a [b] \"c\"]");
    }
    EXPECT_EQ(decode_error(records({46})).first, NO_CODEC);
    EXPECT_EQ(decode_error(fixed_records({46})).first, NO_CODEC);
}

TEST_F(KelbinTest, DeepNestingGivesAnErrorNotAStackOverflow) {
    bytes deep = {'K', 'E', 'L', 'B', 'I', 'N', 2, 1, 1, 0x80, 0xDA, 0xC4, 0x09};
    for (int i = 0; i < 1000000; i++) {
        deep.push_back(5);
        deep.push_back(1);
    }
    deep.push_back(0x80);
    EXPECT_EQ(decode_error(deep).first, KB_INVALID);
    bytes fixed_deep = fixed_records({});
    for (int i = 0; i < 1000000; i++) fixed_deep.insert(fixed_deep.end(), {5, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0});
    fixed_deep.insert(fixed_deep.end(), {3, 0, 0, 0});
    uint32_t size = static_cast<uint32_t>(fixed_deep.size() - 16);
    std::memcpy(fixed_deep.data() + 12, &size, 4);
    EXPECT_EQ(decode_error(fixed_deep).first, KB_INVALID);
    cell* v = eval("b: copy [] loop 1000 [b: reduce [b]] b");
    for (kelbin::form how : forms) {
        cell* top = stack::top;
        uint32_t code = 0;
        try {
            kelbin::encode(v, how);
        } catch (const kel_exit&) {
            pending_code = 0;
            code = last_raised_error().code;
        }
        stack::top = top;
        EXPECT_EQ(code, TOO_DEEP);
    }
}

TEST_F(KelbinTest, CompressedInputGoesThroughTheLzDecoder) {
    cell* v = eval("s: copy \"\" loop 200 [append s \"kelbin \"] reduce [s s]");
    for (kelbin::form how : forms) {
        bytes plain = encode(v, how);
        bytes packed(plain.size() + 16);
        int64_t n = lz_compress(plain.data() + 8, plain.size() - 8, packed.data() + 8);
        ASSERT_GT(n, 0);
        packed.resize(static_cast<size_t>(n) + 8);
        std::copy(plain.begin(), plain.begin() + 8, packed.begin());
        packed[7] |= 2;
        EXPECT_EQ(mold_all(decode(packed)), mold_all(v));
        packed.resize(packed.size() - 3);
        EXPECT_EQ(decode_error(packed).first, KB_INVALID);
    }
}

// Boot images: define pairs set their words and leave no literal, a native leaves its spec
// block after it, and a load with keep-base leaves the literals where they were.
class BootImageTest : public KelbinTest {
protected:
    static bytes image(const char* defines, const char* literals) {
        cell* top = stack::top;
        cell* d = eval(defines);
        cell* l = eval(literals);
        cell* bin = kelbin::encode_boot(d, l);
        series_buffer* b = node_buffer(series_node(bin));
        bytes out(b->offset, b->tail);
        stack::top = top;
        return out;
    }
    static std::string literal(uint32_t n) {
        const cell* c = kelbin::literal_cell(n);
        if (!c) return "past the end";
        cell copy = *c;  // the block may move while mold runs
        return mold_all(&copy);
    }
};

TEST_F(BootImageTest, DefinesLeaveNoLiteral) {
    bytes first = image("[kb-boot-a 1 kb-boot-b [x y]]", "reduce [10 {s} :append]");
    EXPECT_EQ(first[6], 1);  // the boot image's version
    kelbin::load_boot(first.data(), first.size(), false);
    EXPECT_EQ(literal(0), "10");
    EXPECT_EQ(literal(1), "\"s\"");
    EXPECT_EQ(literal(2), mold_all(eval(":append")));
    EXPECT_EQ(TYPE_OF(kelbin::literal_cell(3)), TYPE_BLOCK);  // the native's spec
    EXPECT_EQ(literal(4), "past the end");
    EXPECT_EQ(mold_all(eval("reduce [kb-boot-a kb-boot-b]")), "[1 [x y]]");

    bytes second = image("[kb-boot-c 3]", "[99]");
    kelbin::load_boot(second.data(), second.size(), true);
    EXPECT_EQ(literal(0), "10");
    EXPECT_EQ(mold_all(eval("kb-boot-c")), "3");
    kelbin::load_boot(second.data(), second.size(), false);
    EXPECT_EQ(literal(0), "99");
}

// The define prefix belongs to the boot image alone.
TEST_F(BootImageTest, CodecModeRefusesTheImage) {
    bytes img = image("[kb-boot-d 4]", "[5]");
    EXPECT_EQ(decode_error(img).first, KB_INVALID);
}

// An error in a stage ends start-up with the stage's name and the status of an uncaught error.
TEST_F(BootImageTest, StageErrorEndsStartUp) {
    bytes img = image("[]", "[{01-fine.kel} [kb-boot-e: 1] {03-bad.kel} [1 / 0]]");
    EXPECT_EXIT(run_stages(img.data(), img.size()), ::testing::ExitedWithCode(254),
                "Start-up stage: 03-bad.kel\n.*Math Error: attempt to divide by zero");
}

TEST_F(BootImageTest, BadImageEndsTheProcess) {
    bytes bad = {'K', 'E', 'L', 'B', 'I', 'X', 1, 5, 0, 0};
    EXPECT_EXIT(kelbin::load_boot(bad.data(), bad.size(), false), ::testing::ExitedWithCode(254),
                "Error: Not a Kelbin file!");
    bytes corrupt = {'K', 'E', 'L', 'B', 'I', 'N', 1, 7, 0, 0, 0xFF, 0xFF};
    EXPECT_EXIT(kelbin::load_boot(corrupt.data(), corrupt.size(), false), ::testing::ExitedWithCode(254),
                "Error: Kelbin compressed data corrupted!");
}

}  // namespace
}  // namespace kel
