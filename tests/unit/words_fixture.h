// The runtime fixture plus symbols, the global context and the word family, set up in
// the runtime's own order with the collector on.
#pragma once
#include "datatypes/context.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "runtime/case_folding.h"
#include "runtime/cycles.h"
#include "runtime/error_catalog.h"
#include "runtime_fixture.h"

namespace kel::testing {

class WordsTest : public RuntimeTest {
protected:
    void SetUp() override {
        RuntimeTest::SetUp();
        case_folding_init();
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
    }
    void TearDown() override {
        collector_enabled = false;
        global_context = 0;
        symbol_index = 0;
        symbol_table = 0;
        load_type_word = nullptr;
        _context::fire_on_set = nullptr;
        for (auto& record : type_names) record.word = cell{};
        RuntimeTest::TearDown();
    }

    // A type's name without its actions, for types whose module is not linked in here.
    static void name_type(uint32_t type, const char* name) {
        register_datatype(type, 0, name, {
            0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
            0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
            0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        });
    }

    static uint32_t script_code(script_error id) { return error_code(ERR_SCRIPT, static_cast<uint32_t>(id)); }
    static uint32_t sym(const char* name) { return symbol::make(name); }
    static std::string name_of(uint32_t symbol) { return symbol::name_c_string(symbol); }

    // A block value on the stack holding the given cells.
    static cell* push_block(std::initializer_list<cell> cells) {
        cell* items = stack::top;  // rooted while the block is made
        for (const cell& c : cells) stack::push(&c);
        cell* block = stack::push_cell();
        set_series_value(block, TYPE_BLOCK, alloc_cells(cells.size() + 1), 0);
        for (cell* c = items; c < block; c++) *alloc_tail(block) = *c;
        return block;
    }
    static cell global_word(const char* name) { return word::load(name); }

    // The value is copied to the stack first: it may sit in a buffer that molding moves.
    static std::string molded(const cell* value, bool only = false) {
        cell* v = stack::push(value);
        cell* buffer = new_buffer();
        mold_dispatch(v, buffer, only, false, false, nullptr, 1000, 0);
        return text_of(buffer);
    }
    static std::string formed(const cell* value) {
        cell* v = stack::push(value);
        cell* buffer = new_buffer();
        form_dispatch(v, buffer, nullptr, 1000);
        return text_of(buffer);
    }
};

}  // namespace kel::testing
