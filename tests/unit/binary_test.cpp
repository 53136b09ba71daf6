#include <random>
#include <string>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/money.h"
#include "runtime/cycles.h"
#include "tests/unit/text_fixture.h"
#include "tests/unit/words_fixture.h"

namespace kel::testing {
namespace {

class BinaryTest : public TextTest {
protected:
    void SetUp() override {
        TextTest::SetUp();
        cycles_init();
        money::init();
        binary::init();
    }

    static cell* bin(const std::string& hex) {
        std::vector<uint8_t> bytes;
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        return binary::load(bytes.data(), bytes.size());
    }
    // The bytes from the head as hex digits.
    static std::string hex(const cell* value) {
        std::string out;
        const uint8_t* p = binary::ks_head(value);
        for (uint32_t i = 0; i < binary::ks_length_q(value); i++) out += byte_to_hex(p[i]);
        return out;
    }
    static std::string whole_hex(const cell* value) {
        cell whole = *value;
        whole.w1 = 0;
        return hex(&whole);
    }
    static cell* block_of(std::initializer_list<const cell*> items) {
        cell* block = stack::push_cell();
        set_series_value(block, TYPE_BLOCK, alloc_cells(4), 0);
        for (const cell* item : items) *alloc_tail(block) = *item;
        return block;
    }
    static cell* tuple(std::initializer_list<uint8_t> bytes) {
        cell t{static_cast<uint32_t>(TYPE_TUPLE | bytes.size() << 19), 0, 0, 0};
        std::copy(bytes.begin(), bytes.end(), reinterpret_cast<uint8_t*>(&t.w1));
        return stack::push(&t);
    }
    static cell* flt(uint32_t type, double d) {
        cell f = float_cell(type, d);
        return stack::push(&f);
    }
    static std::string molded_at(cell* value, bool flat, int32_t indent) {
        cell* buffer = new_buffer();
        mold_dispatch(value, buffer, false, false, flat, nullptr, 1 << 20, indent);
        return utf8(buffer);
    }
    // Runs a frame action on two arguments and answers slot 0.
    template <class F>
    static cell frame(cell* a, cell* b, F action) {
        cell* saved = stack::arguments;
        stack::arguments = stack::push(a);
        stack::push(b);
        action();
        cell result = *stack::arguments;
        stack::arguments = saved;
        return result;
    }
};

TEST_F(BinaryTest, RegisteredUnderString) {
    EXPECT_STREQ(type_names[TYPE_BINARY].name, "binary!");
    EXPECT_EQ(type_action(TYPE_BINARY, ACT_FIND), type_action(TYPE_STRING, ACT_FIND));
    EXPECT_EQ(type_action(TYPE_BINARY, ACT_LENGTH_Q), type_action(TYPE_SERIES, ACT_LENGTH_Q));
    EXPECT_EQ(type_action(TYPE_BINARY, ACT_ADD), nullptr);
}

TEST_F(BinaryTest, ToBinary) {
    cell* moved = bin("0102");
    moved->w1 = 1;
    struct row {
        cell* value;
        const char* bytes;
    } rows[] = {
        {num(1), "00000001"},
        {num(-1), "FFFFFFFF"},
        {flt(TYPE_FLOAT, 1.0), "3FF0000000000000"},
        {flt(TYPE_PERCENT, 0.5), "3FE0000000000000"},
        {str("é"), "C3A9"},
        {str("a😀", TYPE_FILE), "61F09F9880"},
        {chr(0x20AC), "E282AC"},
        {tuple({1, 2, 255}), "0102FF"},
        {moved, "02"},
        {block_of({num(1), num(-1), chr('a'), str("bc"), bin("FF")}), "01FF616263FF"},
        {block_of({block_of({num(7)}), tuple({9, 9, 9})}), "07090909"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.bytes);
        cell* proto = stack::push_cell();
        EXPECT_EQ(TYPE_OF(to_dispatch(proto, r.value, TYPE_BINARY)), TYPE_BINARY);
        EXPECT_EQ(hex(proto), r.bytes);
    }
}

TEST_F(BinaryTest, ToBinaryRefusals) {
    cell* proto = stack::push_cell();
    cell logic{TYPE_LOGIC, 1, 0, 0};
    struct row {
        cell* value;
        uint32_t code;
    } rows[] = {
        {stack::push(&none_value), code_of(script_error::bad_to_arg)},
        {stack::push(&logic), code_of(script_error::bad_to_arg)},
        {block_of({num(256)}), code_of(script_error::invalid_arg)},
        {block_of({num(1), &logic}), code_of(script_error::bad_to_arg)},
    };
    for (const row& r : rows)
        EXPECT_EQ(raised_code([&] { to_dispatch(proto, r.value, TYPE_BINARY); }), r.code);

    // A block holding itself ends at the cycle stack's depth, not in a crash.
    cell* self = block_of({num(1)});
    *alloc_tail(self) = *self;
    EXPECT_EQ(raised_code([&] { to_dispatch(proto, self, TYPE_BINARY); }),
              code_of(internal_error::too_deep));
}

TEST_F(BinaryTest, Make) {
    cell* proto = stack::push_cell();
    make_dispatch(proto, num(100), TYPE_BINARY);
    EXPECT_EQ(TYPE_OF(proto), TYPE_BINARY);
    EXPECT_EQ(binary::ks_length_q(proto), 0u);
    EXPECT_GE(binary::buffer_of(proto)->size, 100u);
    make_dispatch(proto, str("ab"), TYPE_BINARY);
    EXPECT_EQ(hex(proto), "6162");
    EXPECT_EQ(raised_code([&] { make_dispatch(proto, num(-1), TYPE_BINARY); }),
              code_of(script_error::out_of_range));
    cell money{TYPE_MONEY, 0, 0, 0};
    EXPECT_EQ(raised_code([&] { make_dispatch(proto, stack::push(&money), TYPE_BINARY); }),
              code_of(script_error::bad_make_arg));
}

TEST_F(BinaryTest, FromBinary) {
    struct row {
        const char* bytes;
        int32_t integer;
    } rows[] = {{"0102", 258}, {"", 0}, {"FFFFFFFF", -1}, {"0000000102", 1}, {"80", 128}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.bytes);
        cell* proto = stack::push_cell();
        to_dispatch(proto, bin(r.bytes), TYPE_INTEGER);
        EXPECT_EQ(TYPE_OF(proto), TYPE_INTEGER);
        EXPECT_EQ(int_of(proto), r.integer);
    }
    cell* proto = stack::push_cell();
    to_dispatch(proto, bin("C3A9"), TYPE_STRING);
    EXPECT_EQ(utf8(proto), "é");
    to_dispatch(proto, bin("E282AC41"), TYPE_CHAR);
    EXPECT_EQ(proto->w2, 0x20ACu);
}

TEST_F(BinaryTest, AppendAndInsert) {
    struct row {
        const char* start;
        uint32_t head;
        cell* value;
        int32_t part;
        int32_t dup;
        bool append_q;
        const char* bytes;
        uint32_t result_head;
    } rows[] = {
        {"", 0, num(255), -1, 1, true, "FF", 0},
        {"", 0, num(-1), -1, 1, true, "FF", 0},
        {"", 0, num(-128), -1, 1, true, "80", 0},
        {"0102", 1, bin("03"), -1, 1, true, "010203", 0},
        {"", 0, bin("AB"), -1, 3, true, "ABABAB", 0},
        {"", 0, bin("AABBCC"), 2, 1, true, "AABB", 0},
        {"", 0, str("été"), 3, 1, true, "C3A974", 0},
        {"", 0, tuple({1, 2, 3, 4}), 2, 1, true, "0102", 0},
        {"", 0, block_of({num(1), num(2), num(3)}), 2, 1, true, "0102", 0},
        {"", 0, chr(0xE9), -1, 2, true, "C3A9C3A9", 0},
        {"0304", 0, bin("0102"), -1, 1, false, "01020304", 2},
        {"0104", 1, bin("0203"), -1, 2, false, "010203020304", 5},
        {"0102", 2, num(3), -1, 1, false, "010203", 3},
        {"0102", 9, num(3), -1, 1, false, "010203", 3},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.bytes);
        cell* b = bin(r.start);
        b->w1 = r.head;
        const cell* result = binary::append(b, r.value, r.part, false, r.dup, r.append_q);
        EXPECT_EQ(series_head(result), r.result_head);
        EXPECT_EQ(whole_hex(result), r.bytes);
    }
    cell* b = bin("");
    for (int32_t n : {256, -129})
        EXPECT_EQ(raised_code([&] { binary::append(b, num(n), -1, false, 1, true); }),
                  code_of(script_error::invalid_arg));
    cell logic{TYPE_LOGIC, 1, 0, 0};
    EXPECT_EQ(raised_code([&] { binary::append(b, stack::push(&logic), -1, false, 1, true); }),
              code_of(script_error::bad_to_arg));
    EXPECT_EQ(raised_code([&] { binary::append(b, bin("ABCD"), -1, false, INT32_MAX, true); }),
              code_of(internal_error::no_memory));
    EXPECT_EQ(hex(b), "");
}

TEST_F(BinaryTest, AppendAndInsertFromItsOwnBuffer) {
    cell* b = bin("010203");
    binary::append(b, b, -1, false, 1, true);
    EXPECT_EQ(hex(b), "010203010203");
    cell* middle = stack::push(b);
    middle->w1 = 1;
    cell* source = stack::push(b);
    binary::append(middle, source, 2, false, 1, false);
    EXPECT_EQ(whole_hex(b), "0101020203010203");
    // Growth past many doublings keeps every byte.
    cell* grown = bin("");
    for (int i = 0; i < 3000; i++) binary::append(grown, num(i & 0xFF), -1, false, 1, true);
    EXPECT_EQ(binary::ks_length_q(grown), 3000u);
    EXPECT_EQ(binary::ks_head(grown)[2999], uint8_t{2999 & 0xFF});
}

TEST_F(BinaryTest, Change) {
    cell logic{TYPE_LOGIC, 1, 0, 0};
    struct row {
        const char* start;
        uint32_t head;
        cell* value;
        int32_t part;
        int32_t dup;
        const char* bytes;
        uint32_t result_head;
    } rows[] = {
        {"0102030405", 1, bin("AABB"), -1, 1, "01AABB0405", 3},
        {"0102030405", 1, bin("AA"), 3, 1, "01AA05", 2},
        {"0102030405", 1, bin("AABBCC"), 1, 1, "01AABBCC030405", 4},
        {"010203", 0, num(9), -1, 2, "090903", 2},
        {"010203", 2, bin("AABB"), -1, 1, "0102AABB", 4},
        {"0102", 2, num(3), -1, 1, "010203", 3},
        {"0102", 0, stack::push(&logic), -1, 1, "74727565", 4},
        {"0102", 0, num(7), 0, 1, "070102", 1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.bytes);
        cell* b = bin(r.start);
        b->w1 = r.head;
        const cell* result = binary::change(b, r.value, r.part, false, r.dup);
        EXPECT_EQ(series_head(result), r.result_head);
        EXPECT_EQ(whole_hex(result), r.bytes);
    }
    // The value shares the buffer: its bytes are read before they move.
    cell* b = bin("01020304");
    cell* tail_part = stack::push(b);
    tail_part->w1 = 2;
    binary::change(b, tail_part, 1, false, 1);
    EXPECT_EQ(whole_hex(b), "0304020304");
}

TEST_F(BinaryTest, Trim) {
    struct row {
        const char* start;
        uint32_t head;
        bool head_q, tail_q, all;
        cell* with;
        const char* bytes;
    } rows[] = {
        {"000001000200", 0, false, false, false, nullptr, "010002"},
        {"000001000200", 0, true, false, false, nullptr, "01000200"},
        {"000001000200", 0, false, true, false, nullptr, "0000010002"},
        {"000001000200", 0, false, false, true, nullptr, "0102"},
        {"FF00FF0001", 1, false, false, false, nullptr, "FF0001"},
        {"0102030102", 0, false, false, false, bin("0102"), "03"},
        {"0102030102", 0, false, false, true, num(2), "010301"},
        {"416242", 0, false, false, false, str("B"), "4162"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.bytes);
        cell* b = bin(r.start);
        b->w1 = r.head;
        // The /with argument lies above the frame base: it counts as given.
        const cell* result = binary::trim(b, r.head_q, r.tail_q, false, false, r.all, r.with);
        EXPECT_EQ(series_head(result), r.head);
        EXPECT_EQ(whole_hex(result), r.head ? std::string("FF") + r.bytes : std::string(r.bytes));
    }
    cell* b = bin("00");
    EXPECT_EQ(raised_code([&] { binary::trim(b, false, false, true, false, false, nullptr); }),
              code_of(internal_error::not_done));
    EXPECT_EQ(raised_code([&] { binary::trim(b, false, false, false, true, false, nullptr); }),
              code_of(internal_error::not_done));
}

TEST_F(BinaryTest, Compare) {
    cell* shared = bin("0102");
    cell* later = stack::push(shared);
    later->w1 = 1;
    struct row {
        cell* a;
        cell* b;
        int32_t op;
        int32_t result;
    } rows[] = {
        {bin("01"), bin("0100"), COMP_EQUAL, 1},
        {bin("01"), bin("0100"), COMP_LESSER, -1},
        {bin("02"), bin("0100"), COMP_GREATER, 1},
        {bin("80"), bin("7F"), COMP_LESSER, 1},
        {bin("AB"), bin("AB"), COMP_STRICT_EQUAL, 0},
        {bin(""), bin(""), COMP_EQUAL, 0},
        {shared, shared, COMP_SAME, 0},
        {bin("0102"), shared, COMP_SAME, 1},
        {later, bin("02"), COMP_EQUAL, 0},
        {bin("01"), str("a"), COMP_EQUAL, INCOMPARABLE},
    };
    for (const row& r : rows) EXPECT_EQ(binary::compare(r.a, r.b, r.op), r.result);

    struct match_row {
        const char* a;
        const char* b;
        int32_t op;
        int32_t result;
    } matches[] = {
        {"010203", "0102", COMP_EQUAL, 0},
        {"0102", "010203", COMP_EQUAL, 1},
        {"010203", "02", COMP_EQUAL, -1},
        {"01", "", COMP_EQUAL, 0},
        {"01", "", COMP_FIND, 0},
        {"01", "", COMP_LESSER, 1},
    };
    for (const match_row& m : matches)
        EXPECT_EQ(binary::compare_bytes(bin(m.a), bin(m.b), m.op, true), m.result) << m.a << " " << m.b;
}

TEST_F(BinaryTest, BitwiseActions) {
    struct row {
        const char* a;
        const char* b;
        void (*action)();
        const char* bytes;
    } rows[] = {
        {"0F", "FFFF", binary::and_, "0F00"},
        {"0F", "F000FF", binary::or_, "FF00FF"},
        {"F000FF", "0F", binary::or_, "FF00FF"},
        {"FF0F", "0FFF01", binary::xor_, "F0F001"},
        {"", "", binary::and_, ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.bytes);
        cell* a = bin(r.a);
        cell result = frame(a, bin(r.b), r.action);
        EXPECT_EQ(hex(&result), r.bytes);
        EXPECT_NE(series_node(&result), series_node(a));
    }
    EXPECT_EQ(raised_code([&] { frame(bin("01"), num(1), binary::and_); }),
              code_of(script_error::invalid_arg));

    cell* b = bin("00F0FF");
    cell* alias = stack::push(b);
    alias->w1 = 1;
    binary::complement(alias);
    EXPECT_EQ(whole_hex(b), "000F00");
}

TEST_F(BinaryTest, MoldAndForm) {
    std::string thirty_one(62, 'A');
    std::string sixty_four(128, 'B');
    struct row {
        cell* value;
        bool flat;
        int32_t indent;
        const char* text;
    } rows[] = {
        {bin(""), false, 0, "#{}"},
        {bin("00FF7A"), false, 0, "#{00FF7A}"},
        {bin(std::string(60, '1')), false, 0, "#{111111111111111111111111111111111111111111111111111111111111}"},
        {bin(thirty_one), false, 0, "#{\n    AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\n}"},
        {bin(thirty_one), true, 0, "#{AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA}"},
        {bin(thirty_one), false, 1,
         "#{\n        AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\n    }"},
        {bin(sixty_four), false, 0,
         "#{\n    BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBB\n"
         "    BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBB\n    }"},
    };
    for (const row& r : rows) EXPECT_EQ(molded_at(r.value, r.flat, r.indent), r.text);

    EXPECT_EQ(formed(bin(thirty_one)), molded(bin(thirty_one)));

    // /part: each byte spends two characters of the budget.
    cell* buffer = new_buffer();
    int32_t rest = mold_dispatch(bin("0102030405"), buffer, true, false, false, stack::top_cell(), 4, 0);
    EXPECT_EQ(utf8(buffer), "0102");
    EXPECT_EQ(rest, 0);
}

TEST_F(BinaryTest, Encoders) {
    struct row {
        int32_t base;
        std::vector<uint8_t> bytes;
        const char* text;
    } rows[] = {
        {64, {'a'}, "YQ=="},
        {64, {'a', 'b'}, "YWI="},
        {64, {'a', 'b', 'c'}, "YWJj"},
        {64, {}, ""},
        {64, {0xFB, 0xFF}, "+/8="},
        {58, {0}, "1"},
        {58, {0, 1}, "12"},
        {58, {'h', 'e', 'l', 'l', 'o'}, "Cn8eVZg"},
        {16, {0x0F, 0xA0}, "0FA0"},
        {2, {'a', 'b'}, "0110000101100010"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        cell* out = stack::push_cell();
        binary::encode(r.base, r.bytes.data(), r.bytes.size(), out);
        EXPECT_EQ(TYPE_OF(out), TYPE_STRING);
        EXPECT_EQ(utf8(out), r.text);
    }
    cell* out = stack::push_cell();
    EXPECT_EQ(raised_code([&] { binary::encode(10, nullptr, 0, out); }), code_of(script_error::invalid_arg));
    // The size check runs before the input is read.
    EXPECT_EQ(raised_code([&] { binary::encode_2(nullptr, size_t{1} << 28, out); }),
              code_of(script_error::too_long));
}

TEST_F(BinaryTest, Decoders) {
    struct row {
        int32_t base;
        const char* text;
        const char* bytes;  // null: invalid
    } rows[] = {
        {64, "YQ==", "61"},
        {64, "YQ", ""},
        {64, "Y===", nullptr},
        {64, "YWJj", "616263"},
        {64, "YW\tI=trailing", "6162"},
        {64, " Y W ' J j\r\n", "616263"},
        {64, "YWJj; a comment\nYQ==", "61626361"},
        {64, "YW*j", nullptr},
        {64, "YWJjé", nullptr},
        {64, "YWJj€", nullptr},
        {58, "1", "00"},
        {58, "12", "0001"},
        {58, "Cn8eVZg", "68656C6C6F"},
        {58, "Cn8e VZg", "68656C6C6F"},
        {58, "12é0", "0001"},
        {58, "10", nullptr},
        {16, "0F 1", "0F"},
        {16, "0f\na0", "0FA0"},
        {16, "0G", nullptr},
        {16, "ab;cd\nef", "ABEF"},
        {2, "0101", nullptr},
        {2, "01100001 01100010", "6162"},
        {2, "0110000x", nullptr},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        cell* out = stack::push_cell();
        cell* result = binary::decode(r.base, str(r.text), out);
        if (!r.bytes) {
            EXPECT_EQ(result, nullptr);
            continue;
        }
        ASSERT_EQ(result, out);
        EXPECT_EQ(hex(out), r.bytes);
    }
    cell* text = str("xYQ==");
    text->w1 = 1;
    EXPECT_EQ(hex(binary::decode_64(text, stack::push_cell())), "61");
    EXPECT_EQ(raised_code([&] { binary::decode(8, text, stack::push_cell()); }),
              code_of(script_error::invalid_arg));
}

TEST_F(BinaryTest, CodecsRoundTrip) {
    std::mt19937 generator(7);
    for (size_t n : {1u, 2u, 3u, 31u, 100u}) {
        std::vector<uint8_t> bytes(n);
        for (uint8_t& b : bytes) b = static_cast<uint8_t>(generator());
        bytes[0] = n == 31 ? 0 : bytes[0];  // a leading zero byte for base 58
        for (int32_t base : {2, 16, 58, 64}) {
            SCOPED_TRACE(base);
            cell* text = binary::encode(base, bytes.data(), bytes.size(), stack::push_cell());
            cell* back = binary::decode(base, text, stack::push_cell());
            ASSERT_NE(back, nullptr);
            const uint8_t* p = binary::ks_head(back);
            EXPECT_EQ(std::vector<uint8_t>(p, p + binary::ks_length_q(back)), bytes);
        }
    }
}

TEST_F(BinaryTest, ByteApi) {
    cell* b = binary::make_at(stack::push_cell(), 0);
    const uint8_t abc[] = {'a', 'b', 'c'};
    binary::ks_append(b, abc, 3);
    binary::ks_append_int(b, 0x01020304);
    EXPECT_EQ(hex(b), "61626301020304");
    binary::ks_insert(b, 1, abc, 2);
    EXPECT_EQ(hex(b), "6161626263" "01020304");
    EXPECT_FALSE(binary::ks_skip(b, 8));
    EXPECT_TRUE(binary::ks_next(b));
    EXPECT_TRUE(binary::ks_skip(b, 1));  // past the tail: stays
    EXPECT_TRUE(binary::ks_tail_q(b));
    b->w1 = 7;
    binary::ks_overwrite(b, 3, abc, 2);  // beyond the tail: the gap is zeros
    EXPECT_EQ(whole_hex(b), "6161626263010203" "0400" "6162");
    binary::ks_clear(b);
    EXPECT_EQ(whole_hex(b), "61616262630102");
    b->w1 = 0;
    EXPECT_EQ(binary::head_byte(b), 'a');

    EXPECT_EQ(binary::to_byte(num(0x1FF)), 0xFF);
    EXPECT_EQ(binary::to_byte(chr(0x20AC)), 0xAC);
    EXPECT_EQ(raised_code([&] { binary::to_byte(str("a")); }), code_of(script_error::invalid_arg));

    EXPECT_TRUE(binary::match_head_q(bin("C3A9FF"), str("é")));
    EXPECT_FALSE(binary::match_head_q(bin("E9"), str("é")));
    EXPECT_TRUE(binary::match_head_q(bin("41"), chr('A')));
    EXPECT_FALSE(binary::match_head_q(bin(""), chr('A')));
    EXPECT_TRUE(binary::match_head_q(bin("0102"), bin("01")));

    // Bit 0x80 of byte 0 is member 0; past the bits, the complement flag answers.
    cell* bits = stack::push_cell();
    set_series_value(bits, TYPE_BITSET, alloc_bytes_filled(1, 0), 0);
    series_buffer* sb = node_buffer(series_node(bits));
    sb->offset[0] = 0x40;
    sb->tail = sb->offset + 1;
    EXPECT_TRUE(binary::head_in_bitset_q(bin("01"), bits));
    EXPECT_FALSE(binary::head_in_bitset_q(bin("00"), bits));
    EXPECT_FALSE(binary::head_in_bitset_q(bin("41"), bits));
    node_buffer(series_node(bits))->flags |= BITSET_NOT;
    EXPECT_TRUE(binary::head_in_bitset_q(bin("41"), bits));
    EXPECT_EQ(hex(to_dispatch(stack::push_cell(), bits, TYPE_BINARY)), "40");

    cell* block = stack::push_cell();
    set_series_value(block, TYPE_BLOCK, alloc_cells(1), 0);
    binary::make_in(block, 8);
    binary::load_in(abc, 3, stack::push_cell());
    cell* inside = stack::push(node_buffer(series_node(block))->cells());
    EXPECT_EQ(TYPE_OF(inside), TYPE_BINARY);
    EXPECT_EQ(binary::ks_length_q(inside), 0u);
}

// Issues need the symbol table: their names are read as base 16.
class BinaryIssueTest : public WordsTest {
protected:
    void SetUp() override {
        WordsTest::SetUp();
        series::init();
        string::init();
        binary::init();
    }
};

TEST_F(BinaryIssueTest, IssueNamesAreBase16) {
    cell* issue = stack::push_cell();
    *issue = cell{TYPE_ISSUE, 0, symbol::make("0fA0"), static_cast<uint32_t>(-1)};
    cell* proto = stack::push_cell();
    to_dispatch(proto, issue, TYPE_BINARY);
    const uint8_t* p = binary::ks_head(proto);
    EXPECT_EQ(std::vector<uint8_t>(p, p + binary::ks_length_q(proto)), (std::vector<uint8_t>{0x0F, 0xA0}));
    issue->w2 = symbol::make("zz");
    EXPECT_EQ(raised_code([&] { to_dispatch(proto, issue, TYPE_BINARY); }),
              100 * ERR_SCRIPT + static_cast<uint32_t>(script_error::invalid_data));
}

}  // namespace
}  // namespace kel::testing
