// Text values for the string, char and text comparison tests: built from UTF-8 and read
// back as UTF-8, with the text datatypes and their neighbours registered.
#pragma once
#include <string>

#include "datatypes/block.h"
#include "datatypes/char.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/text_compare.h"
#include "evaluator/actions.h"
#include "runtime/case_folding.h"
#include "runtime/error_catalog.h"
#include "runtime/unicode.h"
#include "tests/unit/runtime_fixture.h"

namespace kel::testing {

class TextTest : public RuntimeTest {
protected:
    static void SetUpTestSuite() { case_folding_init(); }
    void SetUp() override {
        RuntimeTest::SetUp();
        series::init();
        block::init();
        integer::init();
        float_::init();
        string::init();
        char_::init();
        // Refinement arguments count as given when they lie above the frame base.
        stack::arguments = stack::push_cell();
    }

    static cell* str(const std::string& utf8, uint32_t type = TYPE_STRING) {
        cell* c = load_string(reinterpret_cast<const uint8_t*>(utf8.data()), utf8.size(), nullptr, 0);
        set_type(c, type);
        return c;
    }
    static cell* chr(uint32_t cp) { return char_::push(cp); }
    static cell* num(int32_t n) {
        cell i = integer_cell(n);
        return stack::push(&i);
    }
    static cell* none() { return stack::push(&none_value); }

    // The characters from the head, as UTF-8.
    static std::string utf8(const cell* value) {
        std::string out;
        uint32_t n = string::ks_length(value);
        for (uint32_t i = 0; i < n; i++) {
            uint8_t bytes[4];
            size_t len = utf8_encode_char(string::char_at(value, series_head(value) + i), bytes);
            out.append(reinterpret_cast<char*>(bytes), len);
        }
        return out;
    }
    static uint32_t unit_of(const cell* value) { return string::buffer_of(value)->unit(); }

    static std::string molded(const cell* value, bool all = false) {
        cell* v = stack::push(value);
        cell* buffer = new_buffer();
        mold_dispatch(v, buffer, false, all, false, nullptr, 0, 0);
        return utf8(buffer);
    }
    static std::string formed(const cell* value) {
        cell* v = stack::push(value);
        cell* buffer = new_buffer();
        form_dispatch(v, buffer, nullptr, 0);
        return utf8(buffer);
    }
};

// Error codes: 100 * category + id.
inline uint32_t code_of(script_error id) { return 100 * ERR_SCRIPT + static_cast<uint32_t>(id); }
inline uint32_t code_of(math_error id) { return 100 * ERR_MATH + static_cast<uint32_t>(id); }
inline uint32_t code_of(access_error id) { return 100 * ERR_ACCESS + static_cast<uint32_t>(id); }
inline uint32_t code_of(internal_error id) { return 100 * ERR_INTERNAL + static_cast<uint32_t>(id); }

}  // namespace kel::testing
