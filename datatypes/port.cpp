#include "datatypes/port.h"

#include <initializer_list>

#include "datatypes/context.h"
#include "datatypes/logic.h"
#include "datatypes/object.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/error_catalog.h"
#include "runtime/stack.h"

namespace kel::port {

namespace {

constexpr uint32_t PORT_CLASS = 2;

// The field of an object or port, null when it has none. Making the symbol may allocate,
// so the object is read after it.
cell* field_of(const cell* object, const char* name) {
    uint32_t symbol = symbol::make(name);
    uint32_t t = TYPE_OF(object);
    if (t != TYPE_OBJECT && t != TYPE_PORT) return nullptr;
    int32_t i = object::field_index(object, symbol);
    return i < 0 ? nullptr : object::get_values(object) + i;
}

// A copy of system/<group>/<name> (system/<group> without a name) pushed on the argument
// stack, none when missing.
cell* push_system_field(const char* group, const char* name = nullptr) {
    cell* c = stack::push(&none_value);
    symbol::make(group);
    if (name) symbol::make(name);
    const cell* system = _context::value_of_symbol(global_context, runtime_symbols[SYM_SYSTEM]);
    const cell* f = system ? field_of(system, group) : nullptr;
    if (f && name) f = field_of(f, name);
    if (f) *c = *f;
    return c;
}

const cell* logic(bool b) { return b ? &true_value : &false_value; }
// A refinement argument as the actor receives it: the argument, or none when absent.
const cell* given(const cell* arg) { return refinement_q(arg) ? arg : &none_value; }
// A count passed negative when absent.
cell count_or_none(int32_t n) { return n < 0 ? none_value : integer_value(n); }

// Runs the actor's function of that name on the port and the values; answers its result
// in a new stack cell. The function's frame is filled up with none past the values.
const cell* forward(cell* port, const char* action, std::initializer_list<const cell*> values) {
    uint32_t name = symbol::make(action);
    cell* out = stack::push(&none_value);
    cell* actor = field_of(port, "actor");
    if (!actor || TYPE_OF(actor) != TYPE_OBJECT) fire(access_error::invalid_port);
    int32_t i = object::field_index(actor, name);
    if (i < 0 || TYPE_OF(object::get_values(actor) + i) != TYPE_FUNCTION) fire(access_error::no_port_action);
    cell* fn = stack::push(object::get_values(actor) + i);
    cell* args = stack::push(port);
    for (const cell* v : values) stack::push(v);
    uint32_t slots = ctx_slot_count(ctx_cell(fn->w1));
    while (static_cast<uint32_t>(stack::top - args) < slots) stack::push(&none_value);
    stack::top = args + slots;
    object::call_handler(fn, name, args);
    *out = *args;
    stack::top = out + 1;
    return out;
}

// Frame actions: the port in slot 0, with or without the second argument.
void forward_frame(const char* action, bool second) {
    cell* a = stack::arguments;
    *a = second ? *forward(a, action, {a + 1}) : *forward(a, action, {});
}

void at() { forward_frame("at", true); }
void skip() { forward_frame("skip", true); }
void back() { forward_frame("back", false); }
void head() { forward_frame("head", false); }
void head_q() { forward_frame("head?", false); }
void index_q() { forward_frame("index?", false); }
void next() { forward_frame("next", false); }
void tail() { forward_frame("tail", false); }
void tail_q() { forward_frame("tail?", false); }

const cell* clear(cell* port) { return forward(port, "clear", {}); }
const cell* create(cell* port) { return forward(port, "create", {}); }
const cell* close(cell* port) { return forward(port, "close", {}); }
const cell* delete_(cell* port) { return forward(port, "delete", {}); }
const cell* query(cell* port) { return forward(port, "query", {}); }
const cell* update(cell* port) { return forward(port, "update", {}); }

int32_t length_q(cell* port) {
    const cell* n = forward(port, "length?", {});
    return TYPE_OF(n) == TYPE_INTEGER ? int_of(n) : -1;
}

const cell* pick(cell* port, int32_t, cell* index) { return forward(port, "pick", {index}); }
const cell* poke(cell* port, int32_t, cell* value, cell* index) { return forward(port, "poke", {index, value}); }

const cell* insert(cell* port, cell* value, int32_t part, bool only, int32_t dup, bool append) {
    cell p = count_or_none(part), d = count_or_none(dup >= 2 ? dup : -1);
    return forward(port, append ? "append" : "insert",
                   {value, logic(part >= 0), &p, logic(only), logic(dup >= 2), &d});
}

const cell* change(cell* port, cell* value, int32_t part, bool only, int32_t dup) {
    cell p = count_or_none(part), d = count_or_none(dup >= 2 ? dup : -1);
    return forward(port, "change", {value, logic(part >= 0), &p, logic(only), logic(dup >= 2), &d});
}

const cell* find(cell* port, cell* value, cell* part, bool only, bool case_q, bool same, bool any,
                 cell* with, cell* skip, bool last, bool reverse, bool tail, bool match) {
    return forward(port, "find",
                   {value, logic(refinement_q(part)), given(part), logic(only), logic(case_q), logic(same),
                    logic(any), logic(refinement_q(with)), given(with), logic(refinement_q(skip)), given(skip),
                    logic(last), logic(reverse), logic(tail), logic(match)});
}

const cell* select(cell* port, cell* value, cell* part, bool only, bool case_q, bool same, bool any,
                   cell* with, cell* skip, bool last, bool reverse) {
    return forward(port, "select",
                   {value, logic(refinement_q(part)), given(part), logic(only), logic(case_q), logic(same),
                    logic(any), logic(refinement_q(with)), given(with), logic(refinement_q(skip)), given(skip),
                    logic(last), logic(reverse)});
}

const cell* move(cell* port, cell* target, cell* part) {
    return forward(port, "move", {target, logic(refinement_q(part)), given(part)});
}

const cell* copy(cell* port, cell* result, cell* part, bool deep, cell* types) {
    *result = *forward(port, "copy", {logic(refinement_q(part)), given(part), logic(deep),
                                      logic(refinement_q(types)), given(types)});
    return result;
}

const cell* remove(cell* port, cell* part, cell*) {
    return forward(port, "remove", {logic(refinement_q(part)), given(part)});
}

const cell* reverse(cell* port, cell* part, cell*) {
    return forward(port, "reverse", {logic(refinement_q(part)), given(part)});
}

const cell* take(cell* port, cell* part, bool deep, bool last) {
    return forward(port, "take", {logic(refinement_q(part)), given(part), logic(deep), logic(last)});
}

const cell* trim(cell* port, bool head, bool tail, bool auto_q, bool lines, bool all, cell* with) {
    return forward(port, "trim", {logic(head), logic(tail), logic(auto_q), logic(lines), logic(all),
                                  logic(refinement_q(with)), given(with)});
}

const cell* sort(cell* port, bool case_q, cell* skip, cell* compare, cell* part, bool all, bool reverse,
                 bool stable) {
    return forward(port, "sort", {logic(case_q), logic(refinement_q(skip)), given(skip),
                                  logic(refinement_q(compare)), given(compare), logic(refinement_q(part)),
                                  given(part), logic(all), logic(reverse), logic(stable)});
}

const cell* swap(cell* port, cell* other) { return forward(port, "swap", {other}); }
const cell* rename(cell* port, cell* name) { return forward(port, "rename", {name}); }

const cell* put(cell* port, cell* key, cell* value, bool case_q) {
    return forward(port, "put", {key, value, logic(case_q)});
}

const cell* modify(cell* port, cell* field, cell* value, bool case_q) {
    return forward(port, "modify", {field, value, logic(case_q)});
}

const cell* open(cell* port, bool new_q, bool read, bool write, bool seek, cell* allow) {
    return forward(port, "open", {logic(new_q), logic(read), logic(write), logic(seek),
                                  logic(refinement_q(allow)), given(allow)});
}

// The copy between open and close, with the /part argument when given.
const cell* copy_and_close(cell* port, cell* part) {
    cell* result = stack::push_cell();
    copy(port, result, part, false, nullptr);
    close(port);
    return result;
}

const cell* read(cell* port, cell* part, cell* seek, bool, bool, bool, cell*) {
    open(port, false, false, false, refinement_q(seek), nullptr);
    return copy_and_close(port, part);
}

const cell* write(cell* port, cell* data, bool, bool, bool, bool, cell* part, cell* seek, cell*, cell*) {
    open(port, false, false, true, refinement_q(seek), nullptr);
    int32_t n = refinement_q(part) && TYPE_OF(part) == TYPE_INTEGER ? int_of(part) : -1;
    insert(port, data, n, false, 1, false);
    return copy_and_close(port, nullptr);
}

int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part, int32_t indent) {
    return object::mold_as(value, buffer, only, all, flat, arg, part, indent, "make port! [");
}

int32_t form(cell* value, cell* buffer, cell* arg, int32_t part) {
    return mold(value, buffer, false, false, false, arg, part, 0);
}

}  // namespace

void init() {
    const action_entry I = INHERIT;
    register_datatype(TYPE_PORT, TYPE_OBJECT, "port!", {
        entry<ACT_MAKE>(make), 0, I, 0, entry<ACT_FORM>(form), entry<ACT_MOLD>(mold), I, 0, I, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, entry<ACT_APPEND>(insert), entry<ACT_AT>(at), entry<ACT_BACK>(back),
        entry<ACT_CHANGE>(change), entry<ACT_CLEAR>(clear), entry<ACT_COPY>(copy),
        entry<ACT_FIND>(find), entry<ACT_HEAD>(head), entry<ACT_HEAD_Q>(head_q),
        entry<ACT_INDEX_Q>(index_q), entry<ACT_INSERT>(insert), entry<ACT_LENGTH_Q>(length_q),
        entry<ACT_MOVE>(move), entry<ACT_NEXT>(next), entry<ACT_PICK>(pick), entry<ACT_POKE>(poke),
        entry<ACT_PUT>(put), entry<ACT_REMOVE>(remove), entry<ACT_REVERSE>(reverse),
        entry<ACT_SELECT>(select), entry<ACT_SORT>(sort), entry<ACT_SKIP>(skip), entry<ACT_SWAP>(swap),
        entry<ACT_TAIL>(tail), entry<ACT_TAIL_Q>(tail_q), entry<ACT_TAKE>(take),
        entry<ACT_TRIM>(trim), entry<ACT_CREATE>(create), entry<ACT_CLOSE>(close),
        entry<ACT_DELETE>(delete_), entry<ACT_MODIFY>(modify), entry<ACT_OPEN>(open), 0,
        entry<ACT_QUERY>(query), entry<ACT_READ>(read), entry<ACT_RENAME>(rename),
        entry<ACT_UPDATE>(update), entry<ACT_WRITE>(write),
    });
}

const cell* make(cell*, cell* spec, uint32_t) {
    cell* spec_object = stack::push(spec);
    if (TYPE_OF(spec) != TYPE_OBJECT) {
        cell* parts = push_system_field("standard", "url-parts");
        if (TYPE_OF(parts) != TYPE_OBJECT) fire(internal_error::not_done);
        *spec_object = *object::make(parts, spec, TYPE_OBJECT);
    }
    if (object::field_count(spec_object) < 1 || !any_word_q(TYPE_OF(object::get_values(spec_object))))
        fire(access_error::no_scheme, spec);
    cell* scheme = stack::push(object::get_values(spec_object));
    cell* proto = push_system_field("standard", "port");
    if (TYPE_OF(proto) != TYPE_OBJECT) fire(internal_error::not_done);
    cell* port = stack::push_cell();
    object::copy_core(proto, port, false, nullptr, false);
    set_type(port, TYPE_PORT);
    port->w2 = PORT_CLASS;
    object::refresh_owner(port);
    if (cell* f = field_of(port, "spec")) *f = *spec_object;
    if (cell* f = field_of(port, "scheme")) *f = *scheme;
    cell* schemes = push_system_field("schemes");
    cell* found = nullptr;
    if (TYPE_OF(schemes) == TYPE_BLOCK) {
        series_buffer* b = series::buffer_of(schemes);
        uint32_t wanted = symbol::resolve(scheme->w2);
        for (cell* c = b->cells() + series_head(schemes); c + 1 < b->cells_tail() && !found; c += 2)
            if (any_word_q(TYPE_OF(c)) && symbol::resolve(c->w2) == wanted) found = stack::push(c + 1);
    }
    if (!found) fire(access_error::unknown_scheme, spec);
    if (TYPE_OF(found) == TYPE_OBJECT) {
        cell* actor = stack::push(&none_value);
        if (cell* f = field_of(found, "actor")) *actor = *f;
        if (TYPE_OF(actor) != TYPE_OBJECT && TYPE_OF(actor) != TYPE_HANDLE) fire(access_error::invalid_actor, spec);
        if (cell* f = field_of(port, "actor")) *f = *actor;
    }
    return port;
}

}  // namespace kel::port
