// Blocks written as text for the series tests: a small loader, and stand-ins for the
// integer!, float!, word and string! datatypes until those land (their form, mold and
// compare only). Every value built here lives on the argument stack.
#pragma once
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/paren.h"
#include "datatypes/path.h"
#include "datatypes/series.h"
#include "evaluator/actions.h"
#include "runtime/cycles.h"
#include "runtime/ownership.h"
#include "tests/unit/runtime_fixture.h"

namespace kel::testing {

// Owner notifications seen by the owner that own() gives a series.
struct owner_call {
    owner_action action;
    int32_t index;
    int32_t count;
};
extern std::vector<owner_call> owner_calls;

std::vector<std::string>& symbol_names();
uint32_t symbol(const std::string& name);

// The loader behind SeriesTest::load, for fixtures with their own words: make_word gives
// the cell of a word token (its type and name).
using word_builder = cell (*)(uint32_t type, const std::string& name);
cell* load_text(const std::string& text, word_builder make_word);

class SeriesTest : public RuntimeTest {
public:
    void SetUp() override;
    void TearDown() override;

    // Pushes the value the text denotes (a block for several values or brackets).
    static cell* load(const std::string& text);
    static cell* word(const std::string& name, uint32_t type = TYPE_WORD) {
        cell w{type, 0, symbol(name), static_cast<uint32_t>(-1)};  // unbound
        return stack::push(&w);
    }
    static cell* integer(int32_t n) {
        cell i = integer_value(n);
        return stack::push(&i);
    }
    static cell* push(const cell& c) { return stack::push(&c); }

    static std::string mold(const cell* value, bool only = false, bool flat = false,
                            int32_t part = INT32_MAX) {
        cell* top = stack::top;
        cell* v = stack::push(value);
        cell* buffer = new_buffer();
        mold_dispatch(v, buffer, only, false, flat, nullptr, part, 0);
        std::string text = text_of(buffer);
        stack::top = top;
        return text;
    }
    static std::string form(const cell* value, int32_t part = INT32_MAX) {
        cell* top = stack::top;
        cell* v = stack::push(value);
        cell* buffer = new_buffer();
        form_dispatch(v, buffer, nullptr, part);
        std::string text = text_of(buffer);
        stack::top = top;
        return text;
    }
    // The whole series from its first element.
    static std::string whole(const cell* value) {
        cell all = *value;
        all.w1 = 0;
        return mold(&all);
    }

    // Starts a frame holding the given values (slot 0 first) and returns its base.
    static cell* frame(std::initializer_list<const cell*> values) {
        cell* base = stack::top;
        for (const cell* v : values) stack::push(v);
        stack::arguments = base;
        return base;
    }
    // A refinement's argument, pushed above the frame base.
    static cell* refine(const cell& value) { return stack::push(&value); }

    template <uint32_t S, class... A>
    static auto act(cell* series, A... args) {
        return get_action_ptr_by_type<S>(TYPE_OF(series))(series, args...);
    }

    // Gives the series an owner whose deep-change calls land in owner_calls.
    static void own(const cell* series) {
        cell owner{TYPE_OBJECT, 0, 0, alloc_cells(1)};
        cell field{TYPE_NONE, 0, 0, 0};
        ownership::mark_owned(series, &owner, &field);
    }

private:
    std::unique_ptr<action_entry[]> saved_actions_;
    std::unique_ptr<type_name_record[]> saved_names_;
    uint32_t saved_highest_ = 0;
};

}  // namespace kel::testing
