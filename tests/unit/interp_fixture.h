// The objects fixture plus the lexer, the function types, the action and native tables
// and the interpreter: scripts are written as text, loaded and evaluated.
//
// The natives of the control-flow and comparison modules are stand-ins here: `if`, a
// counting `loop` that catches break and continue as every loop does, and `>`.
#pragma once
#include <string>
#include <vector>

#include "datatypes/char.h"
#include "datatypes/float.h"
#include "datatypes/function.h"
#include "datatypes/lexer.h"
#include "datatypes/logic.h"
#include "datatypes/native.h"
#include "datatypes/transcode.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "evaluator/throw.h"
#include "runtime/stack.h"
#include "tests/unit/objects_fixture.h"

namespace kel::testing {

class InterpTest : public ObjectsTest {
protected:
    void SetUp() override {
        try { setup_all(); } catch (const kel_exit&) { FAIL() << "setup: " << error_name() << " " << error_text(); }
    }
    void setup_all() {
        ObjectsTest::SetUp();
        float_::init();
        char_::init();
        native_datatype::init();
        action_datatype::init();
        op::init();
        function::init();
        lexer_init();
        register_actions();
        register_natives();
        interpreter_init();
        // What the boot image and the first stage define.
        for (uint32_t t = 1; t <= highest_type; t++) {
            if (!type_names[t].name) continue;
            cell type{TYPE_DATATYPE, t, 0, 0};
            set_global(type_names[t].name, &type);
        }
        set_global("none", &none_value);
        cell truth{TYPE_LOGIC, 1, 0, 0}, falsity{TYPE_LOGIC, 0, 0, 0};
        set_global("true", &truth);
        set_global("false", &falsity);
        native_entries[0] = stand_in_if;
        native_entries[7] = stand_in_loop;
        native_entries[28] = stand_in_greater;

        define_native("try", "[block [block!] /all /keep]", 70);
        define_native("catch", "[block [block!] /name word [word! block!]]", 82);
        define_native("throw", "[value /name word [word!]]", 81);
        define_native("break", "[/return value]", 77);
        define_native("continue", "[]", 78);
        define_native("exit", "[]", 79);
        define_native("return", "[value]", 80);
        define_native("if", "[cond block [block!]]", 1);
        define_native("loop", "[count [integer!] body [block!]]", 8);
        define_native("greater?", "[value1 value2]", 29);
        define_action("make", "[type spec]", ACT_MAKE);
        define_action("add", "[value1 [integer! float!] value2 [integer! float!]]", ACT_ADD);
        define_action("subtract", "[value1 value2]", ACT_SUBTRACT);
        define_action("multiply", "[value1 value2]", ACT_MULTIPLY);
        define_action("divide", "[value1 value2]", ACT_DIVIDE);
        define_action("abs", "[value]", ACT_ABSOLUTE);
        define_action("append", "[series value /part length /only /dup count]", ACT_APPEND);
        define_action("length?", "[series]", ACT_LENGTH_Q);
        define_action("next", "[series]", ACT_NEXT);
        define_action("form", "[value /part limit]", ACT_FORM);
        define_action("mold", "[value /only /all /flat /part limit]", ACT_MOLD);
        define_action("copy", "[value /part length /deep /types kind]", ACT_COPY);
        define_action("pick", "[series index]", ACT_PICK);
        define_op("+", "add");
        define_op("-", "subtract");
        define_op("*", "multiply");
        define_op("/", "divide");
        define_op(">", "greater?");
    }
    void TearDown() override {
        lexer_event_hook = nullptr;
        near_position = nullptr;
        stack::ctop = stack::cbottom;
        ObjectsTest::TearDown();
    }

    // The text as a block, its words bound to the global context as a script's are.
    static cell* load(const std::string& text) {
        cell* out = stack::push_cell();
        load_text(out, reinterpret_cast<const uint8_t*>(text.data()), text.size());
        std::vector<uint32_t> symbols;
        collect_symbols(out, symbols);
        for (uint32_t s : symbols) _context::add_word(global_context, s);
        _context::bind(out, global_context, false);
        return out;
    }
    static void collect_symbols(const cell* block, std::vector<uint32_t>& symbols) {
        series_buffer* b = node_buffer(series_node(block));
        for (cell* c = b->cells() + series_head(block); c < b->cells_tail(); c++) {
            if (TYPE_OF(c) >= TYPE_WORD && TYPE_OF(c) <= TYPE_GET_WORD) symbols.push_back(c->w2);
            else if (any_block_q(TYPE_OF(c))) collect_symbols(c, symbols);
        }
    }

    static void set_global(const char* name, const cell* value) {
        cell* w = stack::push(&none_value);
        *w = word::load(name);
        _context::set(w, value);
        stack::pop(1);
    }

    static void define_native(const char* name, const char* spec, int32_t index, uint32_t type = TYPE_NATIVE) {
        cell* saved = stack::top;
        cell* parts = load(spec);
        *parts = *block::ks_head(parts);
        cell n = integer_value(index);
        cell* made = block::push_only(2);
        block::ks_append(made, parts);
        block::ks_append(made, &n);
        const cell* value = type == TYPE_NATIVE ? native_datatype::make(nullptr, made, type)
                                                : action_datatype::make(nullptr, made, type);
        set_global(name, value);
        stack::top = saved;
    }
    static void define_action(const char* name, const char* spec, int32_t slot) {
        define_native(name, spec, slot, TYPE_ACTION);
    }
    static void define_op(const char* name, const char* of) {
        cell* saved = stack::top;
        cell w = word::load(of);
        cell* f = stack::push(_context::get(&w));
        set_global(name, op::make(nullptr, f, TYPE_OP));
        stack::top = saved;
    }

    // The script's value molded, "error category/id", or "exit <code>" for an exit that
    // left the script.
    static std::string run(const std::string& text) {
        cell* saved_top = stack::top;
        call_frame* saved_ctop = stack::ctop;
        cell* saved_arguments = stack::arguments;
        std::string out;
        try {
            cell* block = load(text);
            uint32_t code = eval_block(block, false);
            out = code ? "exit " + std::to_string(code) : molded(stack::top - 1);
        } catch (const kel_exit& e) {
            pending_code = 0;
            out = "error " + error_name();
        }
        stack::top = saved_top;
        stack::ctop = saved_ctop;
        stack::arguments = saved_arguments;
        return out;
    }

    static std::string error_name() {
        uint32_t code = last_raised_error().code;
        return std::string(error_category_word(code / 100)) + "/" + error_id_word(code / 100, code % 100);
    }

    // The error raised last, formed as the console shows it.
    static std::string error_text() {
        cell* saved = stack::top;
        cell* e = stack::push(&last_error);
        std::string text = formed(e);
        stack::top = saved;
        return text;
    }

private:
    static int32_t stand_in_if(bool, const int32_t*) {
        if (!value_true_q(stack::arguments, false, nullptr)) {
            *stack::arguments = none_value;
            return 0;
        }
        return eval_block(stack::arguments + 1, true);
    }
    // As every loop: a loop frame, break and continue taken, any other exit passed on.
    static int32_t stand_in_loop(bool, const int32_t*) {
        cell* base = stack::arguments;
        int32_t count = int_of(base);
        *base = none_value;
        for (int32_t i = 0; i < count; i++) {
            stack::top = base + 2;
            stack::mark_loop(&runtime_words[W_BODY]);
            uint32_t code = catch_code([base] { return eval_block(base + 1, true); });
            if (code == THROW_BREAK) {
                stack::unwind_last();
                break;
            }
            if (code && code != THROW_CONTINUE) return code;
            stack::unwind_last();
        }
        stack::keep();
        return 0;
    }
    static int32_t stand_in_greater(bool, const int32_t*) {
        compare_to_logic(COMP_GREATER);
        return 0;
    }
};

}  // namespace kel::testing
