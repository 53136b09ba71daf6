// A fresh memory manager and argument stack per test, with the smallest datatypes
// registered.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/logic.h"
#include "datatypes/none.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/unset.h"
#include "runtime/collector.h"
#include "runtime/exits.h"
#include "runtime/heap.h"
#include "runtime/memory.h"
#include "runtime/stack.h"

namespace kel::testing {

class RuntimeTest : public ::testing::Test {
protected:
    void SetUp() override {
        init_memory();
        stack::init();
        datatype::init();
        unset::init();
        none::init();
        logic::init();
        // Collections may now run inside any allocation (at every one in the stress build).
        collector_enabled = true;
    }
    void TearDown() override {
        collector_enabled = false;
        argument_stack = 0;
        heap_free(node_buffer(argument_stack));
        free_all_node_frames();
    }

    // A new empty string on the stack, as the form and mold entries make it.
    static cell* new_buffer() { return string::make_at(stack::push_cell(), 16); }

    static std::string text_of(const cell* s) {
        series_buffer* b = node_buffer(series_node(s));
        return std::string(reinterpret_cast<const char*>(b->offset) + series_head(s),
                           string::ks_length(s));
    }
};

// The code of the error f raises, or 0 when it returns.
template <class F>
uint32_t raised_code(F&& f) {
    try {
        f();
    } catch (const kel_exit& e) {
        EXPECT_EQ(e.code, THROW_ERROR);
        pending_code = 0;
        return last_raised_error().code;
    }
    return 0;
}

inline cell integer_cell(int32_t n) { return cell{TYPE_INTEGER, 0, static_cast<uint32_t>(n), 0}; }
inline cell float_cell(uint32_t type, double d) {
    cell c{type, 0, 0, 0};
    set_cell_float(&c, d);
    return c;
}

}  // namespace kel::testing
