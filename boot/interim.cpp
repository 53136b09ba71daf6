#include "boot/interim.h"

#include <cstring>
#include <utility>

#include "boot/boot_text.h"
#include "boot/error_catalog.h"
#include "boot/script.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/handle.h"
#include "datatypes/native.h"
#include "datatypes/registry.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "evaluator/stack.h"
#include "io/compress.h"
#include "io/http.h"
#include "runtime/collector.h"
#include "runtime/exits.h"

namespace kel {

namespace {


template <size_t... I>
void register_without_actions(uint32_t type, const char* name, std::index_sequence<I...>) {
    register_datatype(type, 0, name, {(static_cast<void>(I), action_entry{nullptr})...});
}

const boot_text_file& boot_file(const char* name) {
    for (uint32_t i = 0; i < boot_text_file_count; i++)
        if (std::strcmp(boot_text_files[i].name, name) == 0) return boot_text_files[i];
    runtime_assert_failed();
}

cell* push_boot_text(const boot_text_file& file) {
    cell* block = stack::push(&none_value);
    load_global_text(block, file.text, file.length);
    return block;
}

void set_global(const char* name, const cell* value) {
    cell* saved = stack::top;
    cell* v = stack::push(value);
    cell* w = stack::push_cell();
    *w = word::load(name);
    _context::set(w, v);
    stack::top = saved;
}

bool is_word(const cell* c, uint32_t type, const char* name) {
    return TYPE_OF(c) == type && symbol::resolve(c->w2) == symbol::resolve(symbol::find_cstr(name));
}

// Datatypes whose modules are still to come. The specs name them, so their words exist
// with the others; they have no actions until their modules register them.
constexpr struct {
    uint32_t type;
    const char* name;
} coming_types[] = {
    {TYPE_EVENT, "event!"},
};

// What the boot image defines first: the datatype words, then none, true and false.
void define_core_values() {
    for (const auto& coming : coming_types)
        if (!type_names[coming.type].name) register_without_actions(coming.type, coming.name, std::make_index_sequence<ACTIONS_COUNT>{});
    for (uint32_t t = 1; t <= highest_type; t++) {
        if (!type_names[t].name) continue;
        cell type{TYPE_DATATYPE, t, 0, 0};
        set_global(type_names[t].name, &type);
    }
    set_global("none", &none_value);
    cell truth{TYPE_LOGIC, 1, 0, 0}, falsity{TYPE_LOGIC, 0, 0, 0};
    set_global("true", &truth);
    set_global("false", &falsity);
}

// `make` does not exist before these are made: each `name: make action! [spec index]`
// of specs.kel is read as data and made by its datatype directly.
void define_actions_and_natives() {
    cell* specs = push_boot_text(boot_file("specs.kel"));
    for (int32_t i = series::head_of(specs); i + 4 <= series::buffer_length(specs); i += 4) {
        cell* saved = stack::top;
        cell* def = block::ks_abs_at(specs, i);
        KEL_ASSERT(TYPE_OF(def) == TYPE_SET_WORD && is_word(def + 1, TYPE_WORD, "make") &&
                   TYPE_OF(def + 2) == TYPE_WORD && TYPE_OF(def + 3) == TYPE_BLOCK);
        cell* word = stack::push(def);
        cell* spec = stack::push(def + 3);
        uint32_t type = _context::get(def + 2)->w1;
        KEL_ASSERT(type == TYPE_NATIVE || type == TYPE_ACTION);
        const cell* made = type == TYPE_NATIVE ? native_datatype::make(nullptr, spec, type)
                                               : action_datatype::make(nullptr, spec, type);
        _context::set(word, made);
        stack::top = saved;
    }
    stack::pop(1);
}

// One typeset expression of the typesets stage: `make typeset! [types]`, `union a b`, or
// the word of a typeset made before. Types this build lacks are left out.
cell typeset_expression(cell* items, int32_t& i) {
    cell* c = items + i++;
    if (is_word(c, TYPE_WORD, "union")) {
        cell a = typeset_expression(items, i);
        cell b = typeset_expression(items, i);
        return cell{TYPE_TYPESET, a.w1 | b.w1, a.w2 | b.w2, a.w3 | b.w3};
    }
    cell result{TYPE_TYPESET, 0, 0, 0};
    if (is_word(c, TYPE_WORD, "make")) {
        cell* types = items + i + 1;
        i += 2;
        KEL_ASSERT(TYPE_OF(types) == TYPE_BLOCK);
        series_buffer* b = series::buffer_of(types);
        for (cell* t = b->cells() + series_head(types); t < b->cells_tail(); t++) {
            cell* value = _context::get(t);
            if (TYPE_OF(value) == TYPE_DATATYPE) typeset_add(&result, value->w1);
        }
        return result;
    }
    cell* value = _context::get(c);
    KEL_ASSERT(TYPE_OF(value) == TYPE_TYPESET);
    return *value;
}

// The specs name typesets that their stage defines only later: the same ones are made
// here first, from that stage's own text, as data.
void define_spec_typesets() {
    cell* stage = push_boot_text(boot_file("stages/04-typesets.kel"));
    int32_t i = series::head_of(stage), end = series::buffer_length(stage);
    while (i < end) {
        cell* items = block::ks_abs_at(stage, 0);
        KEL_ASSERT(TYPE_OF(items + i) == TYPE_SET_WORD);
        cell* word = stack::push(items + i++);
        cell* value = stack::push_cell();
        *value = typeset_expression(items, i);
        _context::set(word, value);
        stack::pop(2);
    }
    stack::pop(1);
}

}  // namespace

void define_boot_words() {
    init_compression_words();
    install_compression_natives();
    install_http();
    define_core_values();
    define_actions_and_natives();
    define_spec_typesets();
    set_global("null-handle", handle::push_null());
    stack::pop(1);
}

}  // namespace kel
