// The interpreter fixture plus the natives of words, values, output and comparison, the
// scalar and container types they build, and a value hook that records what print shows.
#pragma once
#include <string>
#include <vector>

#include "datatypes/file.h"
#include "datatypes/hash.h"
#include "datatypes/map.h"
#include "datatypes/money.h"
#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "datatypes/tuple.h"
#include "datatypes/url.h"
#include "evaluator/comparison.h"
#include "evaluator/values.h"
#include "runtime/output_hooks.h"
#include "tests/unit/interp_fixture.h"

namespace kel::testing {

class ValuesTest : public InterpTest {
protected:
    static inline std::vector<std::string> printed;

    void SetUp() override {
        InterpTest::SetUp();
        try { setup_values(); } catch (const kel_exit&) { FAIL() << "setup: " << error_name() << " " << error_text(); }
    }
    void TearDown() override {
        output_hooks_unregister(record_print, nullptr);
        natives::print_buffer = none_value;
        InterpTest::TearDown();
    }

    void setup_values() {
        uint32_t known = highest_type;
        hash::init();
        map::init();
        pair::init();
        tuple::init();
        url::init();
        file::init();
        money::init();
        point2D::init();
        point3D::init();
        for (uint32_t t = known + 1; t <= highest_type; t++) {
            if (!type_names[t].name) continue;
            cell type{TYPE_DATATYPE, t, 0, 0};
            set_global(type_names[t].name, &type);
        }
        for (uint32_t t : {TYPE_HASH, TYPE_MAP, TYPE_PAIR, TYPE_TUPLE, TYPE_URL, TYPE_FILE, TYPE_MONEY, TYPE_POINT2D,
                           TYPE_POINT3D}) {
            cell type{TYPE_DATATYPE, t, 0, 0};
            set_global(type_names[t].name, &type);
        }
        cell all{TYPE_TYPESET, ~0u, ~0u, ~0u};
        set_global("any-type!", &all);
        natives::print_buffer_init();
        printed.clear();
        dyn_print::add(record_print, nullptr);

        struct entry {
            const char* name;
            const char* spec;
            int32_t index;
            native_code code;
        };
        static const entry entries[] = {
            {"get", "[word /any /case]", 21, natives::get},
            {"set", "[word value [any-type!] /any /case /only /some]", 22, natives::set},
            {"print", "[value]", 23, natives::print},
            {"prin", "[value]", 24, natives::prin},
            {"equal?", "[value1 [any-type!] value2 [any-type!]]", 25, natives::equal_q},
            {"not-equal?", "[value1 [any-type!] value2 [any-type!]]", 26, natives::not_equal_q},
            {"strict-equal?", "[value1 [any-type!] value2 [any-type!]]", 27, natives::strict_equal_q},
            {"lesser?", "[value1 [any-type!] value2 [any-type!]]", 28, natives::lesser_q},
            {"greater?", "[value1 [any-type!] value2 [any-type!]]", 29, natives::greater_q},
            {"lesser-or-equal?", "[value1 [any-type!] value2 [any-type!]]", 30, natives::lesser_or_equal_q},
            {"greater-or-equal?", "[value1 [any-type!] value2 [any-type!]]", 31, natives::greater_or_equal_q},
            {"same?", "[value1 [any-type!] value2 [any-type!]]", 32, natives::same_q},
            {"not", "[value [any-type!]]", 33, natives::not_},
            {"type?", "[value [any-type!] /word]", 34, natives::type_q},
            {"reduce", "[value [any-type!] /into out]", 35, natives::reduce},
            {"compose", "[value /deep /only /into out]", 36, natives::compose},
            {"stats", "[/show /info]", 37, natives::stats},
            {"bind", "[word context /copy]", 38, natives::bind},
            {"in", "[object word]", 39, natives::in},
            {"construct", "[block /with object /only]", 68, natives::construct},
            {"value?", "[value]", 69, natives::value_q},
            {"uppercase", "[string /part limit]", 71, natives::uppercase},
            {"lowercase", "[string /part limit]", 72, natives::lowercase},
            {"as-pair", "[x y]", 73, natives::as_pair},
            {"as-point2D", "[x y]", 74, natives::as_point2D},
            {"as-point3D", "[x y z]", 75, natives::as_point3D},
            {"as-money", "[currency amount]", 76, natives::as_money},
            {"extend", "[obj spec /case]", 83, natives::extend},
            {"size?", "[file]", 101, natives::size_q},
        };
        for (const entry& e : entries) {
            native_entries[e.index - 1] = e.code;
            define_native(e.name, e.spec, e.index);
        }
        native_entries[19] = stand_in_do;
        define_native("do", "[value /expand /next position]", 20);
        define_action("head", "[series]", ACT_HEAD);
        define_action("find", "[series value /part length /only /case /same /any /with wild /skip size /last "
                              "/reverse /tail /match]", ACT_FIND);
        define_op("=", "equal?");
        define_op("<", "lesser?");
    }

    // do of a block, as the control-flow module calls it.
    static int32_t stand_in_do(bool, const int32_t* refinements) {
        cell* position = refinement_given(refinements, 1) ? stack::arguments + refinements[1] : nullptr;
        return natives::do_block_value(stack::arguments, refinement_given(refinements, 0), position);
    }

    static void record_print(const cell* formed, bool new_line) {
        printed.push_back(text_of(formed) + (new_line ? "\n" : ""));
    }
};

}  // namespace kel::testing
