// Pairs, points, tuples and triples with the number types they compute with; frames on the
// argument stack as the action entries see them.
#pragma once
#include <initializer_list>
#include <string>

#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/pair.h"
#include "datatypes/percent.h"
#include "datatypes/point.h"
#include "datatypes/triple.h"
#include "datatypes/tuple.h"
#include "evaluator/actions.h"
#include "runtime/error_catalog.h"
#include "words_fixture.h"

namespace kel::testing {

class GeometryTest : public WordsTest {
protected:
    void SetUp() override {
        WordsTest::SetUp();
        integer::init();
        float_::init();
        percent::init();
        pair::init();
        point2D::init();
        point3D::init();
        tuple::init();
        triple::init();
    }

    static cell pair_of(int32_t x, int32_t y) {
        return cell{TYPE_PAIR, 0, static_cast<uint32_t>(x), static_cast<uint32_t>(y)};
    }
    static cell point_of(double x, double y) {
        cell c{TYPE_POINT2D, 0, 0, 0};
        return *point2D::set(&c, x, y);
    }
    static cell point_of(double x, double y, double z) {
        cell c{TYPE_POINT3D, 0, 0, 0};
        return *point3D::make_at(&c, x, y, z);
    }
    static cell tuple_of(std::initializer_list<int> bytes) {
        cell c{TYPE_TUPLE | static_cast<uint32_t>(bytes.size()) << tuple::COUNT_SHIFT, 0, 0, 0};
        uint8_t* b = tuple::bytes_of(&c);
        for (int v : bytes) *b++ = static_cast<uint8_t>(v);
        return c;
    }
    static cell word_of(const char* name) { return cell{TYPE_WORD, 0, symbol::make(name), ~0u}; }
    static cell money_of() { return cell{TYPE_MONEY, 0, 0, 0}; }

    static cell* pushed(const cell& c) { return stack::push(&c); }

    // A fresh frame holding the arguments; slot 0 is the result.
    static cell* frame(std::initializer_list<cell> args) {
        stack::top = stack::arguments = stack::bottom;
        for (const cell& c : args) stack::push(&c);
        return stack::arguments;
    }

    // A block on the stack (so it stays rooted) holding the items.
    static cell* block_of(std::initializer_list<cell> items) {
        cell* b = stack::push_cell();
        set_series_value(b, TYPE_BLOCK, alloc_cells(items.size() + 1), 0);
        for (const cell& c : items) *kel::alloc_tail(b) = c;
        return b;
    }

    static std::string form_of(const cell& value) {
        cell* v = stack::push(&value);
        cell* out = new_buffer();
        form_dispatch(v, out, nullptr, 1000);
        return text_of(out);
    }

    // The frame action of the slot on left and right, formed.
    static std::string math(uint32_t slot, const cell& left, const cell& right) {
        frame({left, right});
        reinterpret_cast<frame_fn>(type_action(TYPE_OF(&left), slot))();
        return form_of(*stack::arguments);
    }

    // Text of the result, or "error <code>" when one is raised.
    template <class F>
    static std::string outcome(F&& f) {
        std::string text;
        uint32_t code = raised_code([&] { text = f(); });
        return code ? "error " + std::to_string(code) : text;
    }
};

inline std::string error_text(script_error e) {
    return "error " + std::to_string(error_code(ERR_SCRIPT, static_cast<uint32_t>(e)));
}
inline std::string error_text(math_error e) {
    return "error " + std::to_string(error_code(ERR_MATH, static_cast<uint32_t>(e)));
}
inline std::string error_text(syntax_error e) {
    return "error " + std::to_string(error_code(ERR_SYNTAX, static_cast<uint32_t>(e)));
}

}  // namespace kel::testing
