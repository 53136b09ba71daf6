// The series actions that text values and binaries share: each must keep a binary a
// byte series (never widened, bytes never folded) and widen text buffers as they need.
#include <string>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/money.h"
#include "runtime/cycles.h"
#include "tests/unit/text_fixture.h"

namespace kel::testing {
namespace {

class TextSeries : public TextTest {
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
    // The whole series from its first element: hex digits for a binary, else UTF-8.
    static std::string whole(const cell* value) {
        cell all = *value;
        all.w1 = 0;
        if (TYPE_OF(value) != TYPE_BINARY) return utf8(&all);
        std::string out;
        for (uint32_t i = 0; i < binary::ks_length_q(&all); i++) out += byte_to_hex(binary::ks_head(&all)[i]);
        return out;
    }
};

TEST_F(TextSeries, TakeGivesTheElementAsItsValue) {
    cell* b = bin("8001");
    const cell* taken = string::take(b, nullptr, false, false);
    EXPECT_EQ(TYPE_OF(taken), TYPE_INTEGER);
    EXPECT_EQ(taken->w2, 0x80u);
    taken = string::take(b, nullptr, false, true);
    EXPECT_EQ(TYPE_OF(taken), TYPE_INTEGER);
    EXPECT_EQ(taken->w2, 1u);
    EXPECT_EQ(TYPE_OF(string::take(b, nullptr, false, false)), TYPE_NONE);

    cell* part = num(1);
    taken = string::take(bin("FF02"), part, false, false);
    EXPECT_EQ(TYPE_OF(taken), TYPE_BINARY);
    EXPECT_EQ(whole(taken), "FF");
}

TEST_F(TextSeries, SwapNeverWidensABinary) {
    struct row {
        cell* first;
        cell* second;
        uint32_t error;
        const char* first_after;
        const char* second_after;
    } rows[] = {
        {bin("41"), str("éx"), 0, "E9", "Ax"},
        {str("éx"), bin("41"), 0, "Ax", "E9"},
        {bin("41"), str("€x"), code_of(script_error::invalid_arg), "41", "€x"},
        {str("€x"), bin("41"), code_of(script_error::invalid_arg), "€x", "41"},
        {bin("4142"), bin("FF"), 0, "FF42", "41"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::string(r.first_after) + " / " + r.second_after);
        EXPECT_EQ(raised_code([&] { string::swap(r.first, r.second); }), r.error);
        EXPECT_EQ(whole(r.first), r.first_after);
        EXPECT_EQ(whole(r.second), r.second_after);
        for (cell* v : {r.first, r.second})
            EXPECT_TRUE(TYPE_OF(v) != TYPE_BINARY || unit_of(v) == 1u);
    }
}

TEST_F(TextSeries, PokeStoresTheLowByteInABinary) {
    struct row {
        cell* value;
        uint32_t error;
        const char* bytes;
    } rows[] = {
        {num(255), 0, "00FF00"},
        {num(0x1AB), 0, "00AB00"},
        {num(-1), 0, "00FF00"},
        {chr('A'), 0, "004100"},
        {chr(0x20AC), 0, "00AC00"},
        {str("A"), code_of(script_error::invalid_arg), "000000"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.bytes);
        cell* b = bin("000000");
        cell* index = num(2);
        EXPECT_EQ(raised_code([&] { series::poke(b, 2, r.value, index); }), r.error);
        EXPECT_EQ(whole(b), r.bytes);
        EXPECT_EQ(unit_of(b), 1u);
    }
}

TEST_F(TextSeries, PokeWidensAString) {
    struct row {
        const char* text;
        cell* value;
        uint32_t error;
        const char* result;
        uint32_t unit;
    } rows[] = {
        {"abc", chr(0xE9), 0, "aéc", 1},
        {"abc", chr(0x20AC), 0, "a€c", 2},
        {"abc", chr(0x1F600), 0, "a😀c", 4},
        {"a€c", chr(0x1F600), 0, "a😀c", 4},
        {"abc", num(65), code_of(script_error::invalid_arg), "abc", 1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.result);
        cell* s = str(r.text, TYPE_FILE);
        cell* index = num(2);
        EXPECT_EQ(raised_code([&] { series::poke(s, 2, r.value, index); }), r.error);
        EXPECT_EQ(whole(s), r.result);
        EXPECT_EQ(unit_of(s), r.unit);
    }
}

TEST_F(TextSeries, MoveBetweenWidths) {
    struct row {
        cell* source;
        cell* target;
        int32_t target_head;
        int32_t part;
        uint32_t error;
        const char* source_after;
        const char* target_after;
        uint32_t target_unit;
    } rows[] = {
        {str("é€x"), str("ab"), 1, 2, 0, "x", "aé€b", 2},
        {str("abc"), str("€"), 0, 2, 0, "c", "ab€", 2},
        {str("😀a"), str("bc"), 2, 5, 0, "", "bc😀a", 4},
        {str("éa"), str("€", TYPE_FILE), 1, 1, 0, "a", "€é", 2},
        {str("ab"), bin("FF"), 0, 1, 0, "b", "61FF", 1},
        {str("€a"), bin("FF"), 0, 1, code_of(script_error::move_bad), "€a", "FF", 1},
        {bin("41"), str("€"), 0, 1, code_of(script_error::move_bad), "41", "€", 2},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.target_after);
        r.target->w1 = static_cast<uint32_t>(r.target_head);
        cell* part = num(r.part);
        EXPECT_EQ(raised_code([&] { series::move(r.source, r.target, part); }), r.error);
        EXPECT_EQ(whole(r.source), r.source_after);
        EXPECT_EQ(whole(r.target), r.target_after);
        EXPECT_EQ(series_head(r.target), static_cast<uint32_t>(r.target_head));
        EXPECT_EQ(unit_of(r.target), r.target_unit);
    }
}

TEST_F(TextSeries, ABinarySortsByByteValue) {
    cell* b = bin("61416242");
    string::sort(b, false, nullptr, nullptr, nullptr, false, false, true);
    EXPECT_EQ(whole(b), "41426162");
    cell* records = bin("6101410262034203");
    string::sort(records, false, num(2), nullptr, nullptr, false, true, false);
    EXPECT_EQ(whole(records), "6203610142034102");
}

}  // namespace
}  // namespace kel::testing
