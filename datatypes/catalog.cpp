#include "datatypes/catalog.h"

#include <cstring>
#include <iterator>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/object.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/error_catalog.h"
#include "runtime/stack.h"

namespace kel {

cell system_object{TYPE_NONE, 0, 0, 0};

namespace catalog {

namespace {

enum name : uint32_t {
    N_CATALOG, N_ERRORS, N_STATE, N_STACK_TRACE, N_SOURCE_FILES, N_STANDARD, N_ERROR, N_CALLBACKS, N_BITS,
    N_CODE, N_TYPE, N_ARG1, N_ARG2, N_ARG3, N_COUNT
};
const char* const names[N_COUNT] = {"catalog",  "errors", "state",     "stack-trace", "source-files",
                                    "standard", "error",  "callbacks", "bits",        "code",
                                    "type",     "arg1",   "arg2",      "arg3"};
uint32_t symbols[N_COUNT];

constexpr const char* error_fields[] = {"code", "type", "id", "arg1", "arg2", "arg3", "near", "where", "stack", "files"};

void mark_system() { collector_mark_values(&system_object, &system_object + 1); }

cell* field(const cell* object, name n) {
    if (TYPE_OF(object) != TYPE_OBJECT) return nullptr;
    int32_t i = object::field_index(object, symbols[n]);
    return i < 0 ? nullptr : object::get_values(object) + i;
}

cell* system_field(name first, name second) {
    cell* o = field(&system_object, first);
    return o ? field(o, second) : nullptr;
}

cell* new_object(uint32_t slots) {
    cell* o = object::make_at(stack::push_cell(), slots);
    o->w2 = static_cast<uint32_t>(object::next_class_id());
    object::refresh_owner(o);
    return o;
}

void add(cell* object, uint32_t symbol, const cell* value) { _context::put_value(object->w1, symbol, value); }

void add(cell* object, const char* field_name, const cell* value) { add(object, symbol::make(field_name), value); }

// arg1, arg2 or arg3 of a message template, interned once.
uint32_t arg_symbol(uint32_t arg) { return symbols[arg == 1 ? N_ARG1 : arg == 2 ? N_ARG2 : N_ARG3]; }

cell* push_text(const char* text) {
    return load_string_push(reinterpret_cast<const uint8_t*>(text), std::strlen(text), 0);
}

// The message as the catalogue holds it: a string, a template block or the word arg1.
cell* push_message(uint32_t category, uint32_t id) {
    auto items = error_message_items(category, id);
    switch (error_message_form(category, id)) {
        case message_form::string:
            return push_text(items[0].text);
        case message_form::word: {
            cell w = _context::add_global_word(arg_symbol(items[0].arg), true, true);
            return stack::push(&w);
        }
        case message_form::block:
            break;
    }
    cell* block = block::push_only(static_cast<int32_t>(items.size()));
    for (const error_item& item : items) {
        if (item.text) {
            block::ks_append(block, push_text(item.text));
            stack::pop(1);
            continue;
        }
        cell* w = word::make_in(block, arg_symbol(item.arg));
        if (item.get_word) set_type(w, TYPE_GET_WORD);
    }
    return block;
}

void build_errors(cell* errors) {
    for (uint32_t c = 0; c < error_category_count(); c++) {
        cell* mark = stack::top;
        cell* category = new_object(2 + error_id_count(c));
        cell code = integer_value(static_cast<int32_t>(100 * c));
        add(category, symbols[N_CODE], &code);
        add(category, symbols[N_TYPE], push_text(error_category_title(c)));
        for (uint32_t id = 0; id < error_id_count(c); id++) {
            add(category, error_id_word(c, id), push_message(c, id));
            stack::pop(1);
        }
        add(errors, error_category_word(c), category);
        stack::top = mark;
    }
}

}  // namespace

void init() {
    static bool rooted = false;
    if (!rooted) {
        collector_add_mark_callback(mark_system);
        rooted = true;
    }
    system_object = none_value;
    for (uint32_t i = 0; i < N_COUNT; i++) symbols[i] = symbol::make(names[i]);
    cell* mark = stack::top;
    cell* system = new_object(3);

    cell* catalog = new_object(1);
    cell* errors = new_object(error_category_count());
    build_errors(errors);
    add(catalog, "errors", errors);
    add(system, "catalog", catalog);

    cell* state = new_object(3);
    add(state, "last-error", &none_value);
    cell depth = integer_value(1);
    add(state, "stack-trace", &depth);
    add(state, "source-files", block::push_only(4));
    add(system, "state", state);

    cell* standard = new_object(1);
    cell* error = new_object(static_cast<uint32_t>(std::size(error_fields)));
    for (const char* f : error_fields) add(error, f, &none_value);
    add(standard, "error", error);
    add(system, "standard", standard);

    system_object = *system;
    _context::put_value(global_context, runtime_symbols[SYM_SYSTEM], system);
    stack::top = mark;
}

cell* errors_object() {
    cell* e = system_field(N_CATALOG, N_ERRORS);
    return e && TYPE_OF(e) == TYPE_OBJECT ? e : nullptr;
}

node_id errors() {
    cell* e = system_field(N_CATALOG, N_ERRORS);
    return e && TYPE_OF(e) == TYPE_OBJECT ? e->w1 : 0;
}

cell* error_prototype() {
    cell* e = system_field(N_STANDARD, N_ERROR);
    return e && TYPE_OF(e) == TYPE_OBJECT ? e : nullptr;
}

cell* stack_trace() {
    cell* c = system_field(N_STATE, N_STACK_TRACE);
    return c ? c : const_cast<cell*>(&none_value);
}

cell* source_files() {
    cell* c = system_field(N_STATE, N_SOURCE_FILES);
    return c ? c : const_cast<cell*>(&none_value);
}

uint32_t callback_bits() {
    cell* callbacks = system_field(N_STATE, N_CALLBACKS);
    cell* bits = callbacks ? field(callbacks, N_BITS) : nullptr;
    return bits && TYPE_OF(bits) == TYPE_INTEGER ? static_cast<uint32_t>(bits->w2) : 0;
}

}  // namespace catalog
}  // namespace kel
