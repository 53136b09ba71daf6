// Function, native and op values built from block text: the word fixture plus blocks,
// strings, integers and the callable datatypes, with a few type words set as the boot
// would set them. Words are global words; refinements are unbound.
#pragma once
#include <cstring>
#include <memory>
#include <string>

#include "datatypes/block.h"
#include "datatypes/function.h"
#include "datatypes/integer.h"
#include "datatypes/native.h"
#include "datatypes/paren.h"
#include "datatypes/path.h"
#include "datatypes/series.h"
#include "runtime/ownership.h"
#include "tests/unit/series_fixture.h"
#include "tests/unit/words_fixture.h"

namespace kel::testing {

class FunctionTest : public WordsTest {
protected:
    void SetUp() override {
        saved_actions_.reset(new action_entry[TYPE_ROW * TYPE_ROW]);
        std::memcpy(saved_actions_.get(), type_actions, sizeof(action_entry) * TYPE_ROW * TYPE_ROW);
        saved_names_.reset(new type_name_record[TYPE_ROW]);
        std::memcpy(static_cast<void*>(saved_names_.get()), type_names, sizeof(type_name_record) * TYPE_ROW);
        saved_highest_ = highest_type;
        WordsTest::SetUp();
        series::init();
        block::init();
        paren::init();
        path::init();
        integer::init();
        string::init();
        native_datatype::init();
        action_datatype::init();
        op::init();
        function::init();
        routine::init();
        ownership::init();
        for (const char* name : {"integer!", "string!", "block!", "word!"}) {
            cell w = global_word(name);
            cell type{TYPE_DATATYPE, 0, 0, 0};
            for (uint32_t t = 1; t <= highest_type; t++)
                if (type_names[t].name && std::strcmp(type_names[t].name, name) == 0) type.w1 = t;
            _context::set(&w, &type);
        }
        cell w = global_word("number!");
        cell numbers{TYPE_TYPESET, 0, 0, 0};
        typeset_add(&numbers, TYPE_INTEGER);
        _context::set(&w, &numbers);
    }
    void TearDown() override {
        std::memset(action_entries, 0, sizeof action_entries);
        std::memset(native_entries, 0, sizeof native_entries);
        native_fill_index = 1;
        ownership_table = 0;
        cycles_reset();
        WordsTest::TearDown();
        std::memcpy(type_actions, saved_actions_.get(), sizeof(action_entry) * TYPE_ROW * TYPE_ROW);
        std::memcpy(static_cast<void*>(type_names), saved_names_.get(), sizeof(type_name_record) * TYPE_ROW);
        highest_type = saved_highest_;
    }

    // Pushes the value the text denotes (a block for several values or brackets).
    static cell* load(const std::string& text) { return load_text(text, real_word); }

    // Pushes the single value the text denotes (a string, a number, a word).
    static cell* value(const std::string& text) {
        cell* block = load("[" + text + "]");
        return stack::push(series_cell(block->w2, 0));
    }
    // A function made as `func` makes it: validated, then pushed.
    static cell* func(const std::string& spec, const std::string& body) {
        cell* s = load(spec);
        cell* b = load(body);
        uint32_t flags = function::validate_spec(s);
        function::push(s, b, 0, 0, 0, flags);
        *s = *stack::top_cell();
        stack::top = s + 1;
        return s;
    }
    // make (proto) spec through the type's make entry.
    static const cell* make(uint32_t type, cell* spec) {
        cell proto{TYPE_DATATYPE, type, 0, 0};
        return make_dispatch(stack::push(&proto), spec, type);
    }
    static uint32_t internal_code(internal_error id) { return error_code(ERR_INTERNAL, static_cast<uint32_t>(id)); }

private:
    static cell real_word(uint32_t type, const std::string& name) {
        uint32_t symbol = sym(name.c_str());
        if (type == TYPE_REFINEMENT) return cell{TYPE_REFINEMENT, 0, symbol, static_cast<uint32_t>(-1)};
        cell w;
        word::make_at(symbol, &w);
        set_type(&w, type);
        return w;
    }

    std::unique_ptr<action_entry[]> saved_actions_;
    std::unique_ptr<type_name_record[]> saved_names_;
    uint32_t saved_highest_ = 0;
};

}  // namespace kel::testing
