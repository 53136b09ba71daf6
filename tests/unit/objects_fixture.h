// The words fixture plus blocks, strings, integers, objects, errors and the system
// pieces the runtime reads (so raised errors are error! values), with stand-ins for the
// interpreter: a spec evaluator that assigns literal values to set-words, and a handler
// caller that records each event.
#pragma once
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/catalog.h"
#include "datatypes/error.h"
#include "datatypes/integer.h"
#include "datatypes/object.h"
#include "datatypes/paren.h"
#include "datatypes/path.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "runtime/ownership.h"
#include "tests/unit/words_fixture.h"

namespace kel::testing {

struct handler_event {
    std::string name;          // the frame's name
    std::vector<cell> args;    // arguments and locals placeholders
};

class ObjectsTest : public WordsTest {
protected:
    static inline std::vector<handler_event> events;

    void SetUp() override {
        saved_actions_.reset(new action_entry[TYPE_ROW * TYPE_ROW]);
        std::memcpy(saved_actions_.get(), type_actions, sizeof(action_entry) * TYPE_ROW * TYPE_ROW);
        saved_names_.reset(new type_name_record[TYPE_ROW]);
        std::memcpy(static_cast<void*>(saved_names_.get()), type_names, sizeof(type_name_record) * TYPE_ROW);
        saved_highest_ = highest_type;
        series::init();
        block::init();
        paren::init();
        path::init();
        string::init();
        integer::init();
        object::init();
        error::init();
        WordsTest::SetUp();
        ownership::init();
        catalog::init();
        events.clear();
        object::evaluate = assign_literals;
        object::call_handler = record_event;
    }
    void TearDown() override {
        object::evaluate = nullptr;
        object::call_handler = nullptr;
        ownership::on_deep_change = nullptr;
        ownership_table = 0;
        system_object = none_value;
        last_error = none_value;
        cycles_reset();
        WordsTest::TearDown();
        std::memcpy(type_actions, saved_actions_.get(), sizeof(action_entry) * TYPE_ROW * TYPE_ROW);
        std::memcpy(static_cast<void*>(type_names), saved_names_.get(), sizeof(type_name_record) * TYPE_ROW);
        highest_type = saved_highest_;
    }

    // Each run of set-words takes the value after it, as evaluating the block would.
    static void assign_literals(cell* block) {
        root_cell b(*block);
        for (int32_t i = 0; i < block::ks_length_q(&b.value);) {
            if (TYPE_OF(block::ks_head(&b.value) + i) != TYPE_SET_WORD) {
                i++;
                continue;
            }
            int32_t end = i;
            while (end < block::ks_length_q(&b.value) && TYPE_OF(block::ks_head(&b.value) + end) == TYPE_SET_WORD) end++;
            cell* value = stack::push(end < block::ks_length_q(&b.value) ? block::ks_head(&b.value) + end : &none_value);
            for (; i < end; i++) {
                cell* word = stack::push(block::ks_head(&b.value) + i);
                _context::set(word, value);
                stack::pop(1);
            }
            stack::pop(1);
        }
    }

    static void record_event(cell*, uint32_t name, cell* args) {
        events.push_back({symbol::name_c_string(name), std::vector<cell>(args, stack::top)});
    }

    // Values written as the test loader of the series tests would: built from cells here.
    static cell* str(const char* text) {
        cell* s = string::make_at(stack::push_cell(), 16);
        string::concat_cstr(s, text);
        return s;
    }
    static cell* integer(int32_t n) {
        cell c = integer_value(n);
        return stack::push(&c);
    }
    static cell set_word(const char* name) { return word::retype(global_word(name), TYPE_SET_WORD); }
    static cell lit(const cell* c) { return *c; }

    // make object! from a block of set-words and values.
    static cell* make_object(std::initializer_list<cell> spec, cell* proto = nullptr) {
        cell* block = push_block(spec);
        cell* p = proto ? proto : datatype::push(TYPE_OBJECT);
        return const_cast<cell*>(object::make(p, block, TYPE_OBJECT));
    }

    // A function value whose spec is the words given (/local as "/local"); its body an
    // empty block.
    static cell* function_value(std::initializer_list<const char*> spec_words) {
        cell* spec = block::push_only(4);
        for (const char* w : spec_words) {
            if (w[0] == '/') refinement::load_in(spec, w + 1);
            else word::load_in(spec, w);
        }
        cell* more = block::push_only(5);
        cell* body = block::push_only(1);
        block::ks_append(more, body);
        for (int i = 0; i < 4; i++) block::ks_append(more, &unset_value);
        cell* f = stack::push_cell();
        *f = cell{TYPE_FUNCTION, 0, series_node(spec), series_node(more)};
        return f;
    }

    static cell* field(cell* object, const char* name) {
        cell w = global_word(name);
        return object::get_field(object, &w);
    }

    static uint32_t code_of(const cell* error) { return error::get_field(error, error::FIELD_CODE)->w2; }

private:
    std::unique_ptr<action_entry[]> saved_actions_;
    std::unique_ptr<type_name_record[]> saved_names_;
    uint32_t saved_highest_ = 0;
};

}  // namespace kel::testing
