// The text fixture plus the word family and the url!, file!, tag!, email! and ref! types,
// for the tests of the text datatypes derived from string!.
#pragma once
#include <string>
#include <vector>

#include "datatypes/context.h"
#include "datatypes/file.h"
#include "datatypes/symbol.h"
#include "datatypes/tag.h"
#include "datatypes/typeset.h"
#include "datatypes/url.h"
#include "datatypes/word.h"
#include "runtime/cycles.h"
#include "tests/unit/text_fixture.h"

namespace kel::testing {

class TextTypesTest : public TextTest {
protected:
    void SetUp() override {
        TextTest::SetUp();
        cycles_init();
        symbol::init();
        _context::init();
        word::init();
        issue::init();
        typeset::init();
        symbol::table_init();
        _context::global_init();
        words_init();
        refinements_init();
        url::init();
        file::init();
        tag::init();
        email::init();
        ref::init();
    }
    void TearDown() override {
        url::hooks = {};
        file::simple_io = {};
        collector_enabled = false;
        global_context = 0;
        symbol_index = 0;
        symbol_table = 0;
        load_type_word = nullptr;
        _context::fire_on_set = nullptr;
        for (auto& record : type_names) record.word = cell{};
        TextTest::TearDown();
    }

    static cell* word_of(const char* name, uint32_t type = TYPE_WORD) {
        cell w = word::retype(word::load(name), type);
        return stack::push(&w);
    }
    static cell* issue_of(const char* name) { return issue::make_at(stack::push_cell(), name); }
    static void set_global(const char* name, const cell* value) {
        cell w = word::load(name);
        *word::value_at_in_node(w.w1, w.w3) = *value;
    }

    // A block on the stack holding copies of the cells.
    static cell* block_of(std::initializer_list<const cell*> cells) {
        return block_of(std::vector<const cell*>(cells));
    }
    static cell* block_of(const std::vector<const cell*>& cells) {
        cell* block = stack::push_cell();
        set_series_value(block, TYPE_BLOCK, alloc_cells(cells.size() + 1), 0);
        for (const cell* c : cells) {
            cell held = *c;
            *alloc_tail(block) = held;
        }
        return block;
    }

    static std::string molded_part(const cell* value, int32_t part, int32_t* left) {
        cell* v = stack::push(value);
        cell* buffer = new_buffer();
        cell* arg = stack::push(&none_value);  // present: above the frame base
        *left = mold_dispatch(v, buffer, false, false, false, arg, part, 0);
        return utf8(buffer);
    }

    template <uint32_t S, class... A>
    static auto act(cell* value, A... args) {
        return get_action_ptr_by_type<S>(TYPE_OF(value))(value, args...);
    }
};

}  // namespace kel::testing
