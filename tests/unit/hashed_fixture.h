// Words, numbers, strings and blocks with map! and hash! registered, and small builders
// for the values their tests need. Every value built here lives on the argument stack.
#pragma once
#include <string>

#include "datatypes/block.h"
#include "datatypes/char.h"
#include "datatypes/float.h"
#include "datatypes/hash.h"
#include "datatypes/integer.h"
#include "datatypes/map.h"
#include "datatypes/paren.h"
#include "datatypes/series.h"
#include "runtime/hashtable.h"
#include "tests/unit/words_fixture.h"

namespace kel::testing {

class HashedTest : public WordsTest {
protected:
    void SetUp() override {
        WordsTest::SetUp();
        series::init();
        block::init();
        paren::init();
        string::init();
        integer::init();
        float_::init();
        char_::init();
        map::init();
        hash::init();
        // Refinement arguments count as given when they lie above the frame base.
        stack::arguments = stack::push_cell();
    }

    static cell* w(const char* name, uint32_t type = TYPE_WORD) {
        cell c = word::retype(word::load(name), type);
        return stack::push(&c);
    }
    static cell* i(int32_t n) {
        cell c = integer_cell(n);
        return stack::push(&c);
    }
    static cell* f(double d) {
        cell c = float_cell(TYPE_FLOAT, d);
        return stack::push(&c);
    }
    static cell* s(const std::string& text) {
        return load_string(reinterpret_cast<const uint8_t*>(text.data()), text.size(), nullptr, 0);
    }
    static cell* none() { return stack::push(&none_value); }
    // A block of the given values (already on the stack).
    static cell* blk(std::initializer_list<const cell*> items) {
        cell* b = block::push_only(static_cast<int32_t>(items.size()));
        for (const cell* item : items) block::ks_append(b, item);
        return b;
    }
    static cell* push(const cell* value) { return stack::push(value); }

    static std::string mold(const cell* value, bool only = false, bool flat = false) {
        cell* v = stack::push(value);
        cell* buffer = new_buffer();
        mold_dispatch(v, buffer, only, false, flat, nullptr, 100000, 0);
        return text_of(buffer);
    }
    static std::string form(const cell* value) {
        cell* v = stack::push(value);
        cell* buffer = new_buffer();
        form_dispatch(v, buffer, nullptr, 100000);
        return text_of(buffer);
    }
    static cell* make(uint32_t type, const cell* spec) {
        return push(make_dispatch(push(spec), push(spec), type));
    }
    static cell* to(uint32_t type, const cell* spec) {
        return push(to_dispatch(push(spec), push(spec), type));
    }
    static bool equal(cell* a, cell* b, int32_t op = COMP_EQUAL) { return actions::compare(a, b, op); }

    template <uint32_t S, class... A>
    static auto act(cell* value, A... args) {
        return get_action_ptr_by_type<S>(TYPE_OF(value))(value, args...);
    }
};

}  // namespace kel::testing
