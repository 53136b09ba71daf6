// The number fixture with time! and date! registered, symbols for field words, and
// builders for blocks, dates and the path, pick and conversion entries.
#pragma once
#include <cstring>
#include <initializer_list>
#include <string>

#include "datatypes/date.h"
#include "datatypes/symbol.h"
#include "datatypes/time.h"
#include "number_fixture.h"
#include "runtime/case_folding.h"

namespace kel::testing {

class TimeTest : public NumberTest {
protected:
    void SetUp() override {
        NumberTest::SetUp();
        time::init();
        date::init();
        case_folding_init();
        symbol::init();
        symbol::table_init();
    }
    void TearDown() override {
        collector_enabled = false;
        symbol_index = 0;
        symbol_table = 0;
        NumberTest::TearDown();
    }

    // An unbound word! of the name.
    static cell word(const char* name) {
        return cell{TYPE_WORD, 0, symbol::make(name), ~0u};
    }

    // A block! on the stack holding the values.
    static cell* block(std::initializer_list<cell> values) {
        cell* b = stack::push_cell();
        set_series_value(b, TYPE_BLOCK, alloc_cells(values.size() + 1), 0);
        for (const cell& v : values) *alloc_tail(b) = v;
        return b;
    }

    // Slot 0 of a new frame made from spec by make or to.
    static cell convert(uint32_t slot, uint32_t type, const cell& spec) {
        stack::arguments = stack::top;
        cell* proto = stack::push_cell();
        *proto = cell{TYPE_DATATYPE, type, 0, 0};
        cell* s = stack::push(&spec);
        const cell* r = slot == ACT_MAKE ? make_dispatch(proto, s, type) : to_dispatch(proto, s, type);
        return *r;
    }

    // Reads (value null) or sets a field through the path entry; returns the result.
    static cell path(cell& parent, const cell& element, const cell* value = nullptr) {
        cell e = element;
        return *get_action_ptr_by_type<ACT_EVAL_PATH>(TYPE_OF(&parent))(
            &parent, &e, const_cast<cell*>(value), nullptr, nullptr, nullptr, -1, false, false,
            true, false);
    }

    static cell pick(cell value, const cell& index) {
        cell i = index;
        int32_t n = TYPE_OF(&i) == TYPE_INTEGER ? static_cast<int32_t>(i.w2) : 0;
        return *get_action_ptr_by_type<ACT_PICK>(TYPE_OF(&value))(&value, n, &i);
    }

};

inline cell duration(double seconds) { return float_cell(TYPE_TIME, seconds); }

inline bool date_text(const char* text, cell* out) {
    return scan_date(reinterpret_cast<const uint8_t*>(text), std::strlen(text), out);
}

// A date literal.
inline cell dt(const char* text) {
    cell c{};
    EXPECT_TRUE(date_text(text, &c)) << text;
    return c;
}

}  // namespace kel::testing
