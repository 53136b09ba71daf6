#include "datatypes/word.h"

#include <cstring>
#include <string>

#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/lexer.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/transcode.h"
#include "runtime/collector.h"
#include "runtime/error_catalog.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace kel {

uint32_t runtime_symbols[SYM_COUNT];
cell runtime_words[W_COUNT];
cell runtime_global_words[GW_COUNT];
cell runtime_refinements[REF_COUNT];

namespace {

#define KEL_NAME_ITEM(id, name) name,
const char* const symbol_names[] = {KEL_RUNTIME_SYMBOLS(KEL_NAME_ITEM)};
const char* const word_names[] = {KEL_RUNTIME_WORDS(KEL_NAME_ITEM)};
#undef KEL_NAME_ITEM
#define KEL_SYMBOL_ITEM(id) SYM_##id,
const runtime_symbol global_word_symbols[] = {KEL_RUNTIME_GLOBAL_WORDS(KEL_SYMBOL_ITEM)};
#undef KEL_SYMBOL_ITEM
const char* const refinement_names[REF_COUNT] = {"local", "extern", "compare", "part", "skip", "with"};

// Words held outside any series: their context references move with the collector.
void mark_runtime_words() {
    if (!global_context) return;
    for (uint32_t t = 1; t <= highest_type; t++) collector_mark_values(&type_names[t].word, &type_names[t].word + 1);
    collector_mark_values(runtime_words, runtime_words + W_COUNT);
    collector_mark_values(runtime_global_words, runtime_global_words + GW_COUNT);
}

void load_name_word(const char* name, cell* target) { *target = word::load(name); }

constexpr uint32_t NO_SLOT = static_cast<uint32_t>(-1);

// Appends the symbol's name, character by character; the count appended.
int32_t append_name(cell* buffer, uint32_t symbol) {
    size_t n;
    const uint8_t* p = symbol::name_bytes(symbol, &n);
    std::string name(reinterpret_cast<const char*>(p), n);  // appending may move the name
    const uint8_t* at = reinterpret_cast<const uint8_t*>(name.data());
    const uint8_t* end = at + n;
    series_buffer* b = node_buffer(series_node(buffer));
    int32_t count = 0;
    while (at < end) {
        int32_t cp;
        at = unicode::fast_decode_utf8_char(at, cp);
        b = string::append_char(b, cp < 0 ? 0xFFFD : static_cast<uint32_t>(cp));
        count++;
    }
    return count;
}

int32_t mold_with_sigil(cell* value, cell* buffer, int32_t part, char before, char after) {
    if (before) string::concat_bytes(buffer, &before, 1);
    int32_t count = append_name(buffer, value->w2);
    if (after) string::concat_bytes(buffer, &after, 1);
    return part - count - 1;
}

// A word of the global context from the first value loaded from text, which must be of the
// word family; its sigils go.
cell* word_of_token(int32_t type, const cell* token, cell* result) {
    if (type <= 0 || !any_word_type_q(static_cast<uint32_t>(type))) fire(script_error::invalid_chars);
    return word::make_at(token->w2, result);
}

cell* word_from_string(cell* spec) {
    cell* token = stack::push_cell();
    int32_t type = transcode_string(token, spec, -1, true, true, false, false, nullptr);
    if (type > 0 && any_word_type_q(static_cast<uint32_t>(type)))
        transcode_string(token, spec, -1, true, true, true, false, nullptr);
    word_of_token(type, token, spec);
    stack::pop(1);
    return spec;
}

cell* word_from_char(cell* spec) {
    uint8_t text[4];
    size_t size = utf8_encode_char(spec->w2, text);
    cell* token = stack::push_cell();
    int32_t type = lexer_scan(token, text, size, true, true, false, false, nullptr);
    if (type > 0 && any_word_type_q(static_cast<uint32_t>(type)))
        lexer_scan(token, text, size, true, true, true, false, nullptr);
    word_of_token(type, token, spec);
    stack::pop(1);
    return spec;
}

}  // namespace

void words_init() {
    collector_add_mark_callback(mark_runtime_words);
    load_type_word = load_name_word;
    datatype::names_init();
    for (uint32_t i = 0; i < SYM_COUNT; i++) runtime_symbols[i] = symbol::make(symbol_names[i]);
    for (uint32_t i = 0; i < GW_COUNT; i++)
        runtime_global_words[i] = _context::global_word_for_symbol(runtime_symbols[global_word_symbols[i]]);
    for (uint32_t i = 0; i < W_COUNT; i++) runtime_words[i] = word::load(word_names[i]);
}

void refinements_init() {
    for (uint32_t i = 0; i < REF_COUNT; i++)
        runtime_refinements[i] = cell{TYPE_REFINEMENT, 0, symbol::make(refinement_names[i]), NO_SLOT};
}

namespace word {

void init() {
    register_datatype(TYPE_WORD, TYPE_SYMBOL, "word!", {
        entry<ACT_MAKE>(make), 0, 0, entry<ACT_TO>(make), entry<ACT_FORM>(form), entry<ACT_MOLD>(mold), 0, 0,
        entry<ACT_COMPARE>(compare), 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, entry<ACT_INDEX_Q>(index_q), 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0,
    });
    struct subtype {
        uint32_t type;
        const char* name;
        mold_fn mold;
        action_entry index;
    };
    const subtype subtypes[] = {
        {TYPE_LIT_WORD, "lit-word!", lit_word::mold, INHERIT},
        {TYPE_SET_WORD, "set-word!", set_word::mold, INHERIT},
        {TYPE_GET_WORD, "get-word!", get_word::mold, INHERIT},
        {TYPE_REFINEMENT, "refinement!", refinement::mold, nullptr},
    };
    for (const subtype& s : subtypes) {
        register_datatype(s.type, TYPE_WORD, s.name, {
            INHERIT, 0, 0, INHERIT, INHERIT, entry<ACT_MOLD>(s.mold), 0, 0, INHERIT, 0,
            0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
            0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
            0, 0, 0, s.index, 0, 0, 0, 0, 0, 0,
            0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
            0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
            0, 0,
        });
    }
}

cell* make_at(uint32_t symbol, cell* target) {
    int32_t index = _context::add_word(global_context, symbol);
    *target = cell{TYPE_WORD, global_context, symbol, static_cast<uint32_t>(index)};
    return target;
}

cell load(const char* name) { return _context::add_global_word(symbol::make(name), true, true); }

cell* load_in(const cell* block, const char* name) { return make_in(block, symbol::make(name)); }

cell* make_in(const cell* block, uint32_t symbol) {
    int32_t index = _context::add_word(global_context, symbol);
    cell* c = alloc_tail(block);
    *c = cell{TYPE_WORD, global_context, symbol, static_cast<uint32_t>(index)};
    return c;
}

cell* push_global(uint32_t symbol) {
    int32_t index = _context::add_word(global_context, symbol);
    cell* c = stack::push_cell();
    *c = cell{TYPE_WORD, global_context, symbol, static_cast<uint32_t>(index)};
    return c;
}

cell* push(const cell* word) { return stack::push(word); }

cell* word_at_in_node(node_id ctx, uint32_t index) { return ctx_key_word(ctx_cell(ctx), index); }

namespace {

// Key words may be shared with other contexts: the copy handed out names this one.
cell word_in(node_id ctx, uint32_t index) {
    cell w = *word_at_in_node(ctx, index);
    w.w1 = ctx;
    return w;
}

}  // namespace

cell* push_in(node_id ctx, uint32_t index) {
    cell w = word_in(ctx, index);
    return stack::push(&w);
}

cell word_for_symbol(node_id ctx, uint32_t symbol) {
    int32_t index = _context::find_word(ctx, symbol, false);
    if (index >= 0) return word_in(ctx, static_cast<uint32_t>(index));
    return _context::global_word_for_symbol(symbol);
}

cell* value_at_in_node(node_id ctx, uint32_t index) { return _context::values(ctx_cell(ctx)) + index; }

cell* push_value_at(node_id ctx, uint32_t index) {
    cell* values = _context::values(ctx_cell(ctx));
    if (!values) {
        cell w = word_in(ctx, index);
        fire(script_error::not_defined, &w);
    }
    return stack::push(values + index);
}

cell* get(const cell* word) {
    const cell* value = _context::get(word);
    if (TYPE_OF(value) == TYPE_UNSET) fire(script_error::no_value, word);
    return stack::push(value);
}

void set_value_from_stack(node_id ctx, uint32_t index) {
    cell* c = ctx_cell(ctx);
    cell* values = _context::values(c);
    if (!values) {
        cell w = word_in(ctx, index);
        fire(script_error::not_defined, &w);
    }
    if (!(c->header & CTX_ON_STACK) && ctx_kind(c) == CTX_OBJECT) mark_field_set(c, index);
    values[index] = *stack::top_cell();
}

void set_value_keep_old(node_id ctx, uint32_t index) {
    cell* values = _context::values(ctx_cell(ctx));
    if (!values) {
        cell w = word_in(ctx, index);
        fire(script_error::not_defined, &w);
    }
    stack::push(values + index);
    cell* c = ctx_cell(ctx);
    if (!(c->header & CTX_ON_STACK) && ctx_kind(c) == CTX_OBJECT) mark_field_set(c, index);
    values[index] = stack::top[-2];
}

void set_any_from_args() {
    cell* args = stack::arguments;
    _context::set(args, args + 1);
    args[0] = args[1];
}

void set_from_args() {
    cell* args = stack::arguments;
    if (TYPE_OF(args + 1) == TYPE_UNSET) fire(script_error::need_value, args);
    set_any_from_args();
}

void get_from_args() { *stack::arguments = *_context::get(stack::arguments); }

cell* get_symbol(const cell* word) { return symbol::get(word->w2); }

cell* push_spelling(const cell* word) {
    uint32_t symbol = word->w2;
    symbol::ensure_string(symbol);
    cell* c = stack::push_cell();
    set_series_value(c, TYPE_STRING, symbol::record(symbol)->w2, 0);
    return c;
}

bool any_type_word_q(const cell* word) {
    return symbol::resolve(word->w2) == sym(SYM_ANY_TYPE);
}

const cell* make(cell*, cell* spec, uint32_t type) {
    switch (TYPE_OF(spec)) {
        case TYPE_DATATYPE:
            *spec = type_names[spec->w1].word;
            break;
        case TYPE_LOGIC:
            make_at(runtime_symbols[spec->w1 ? SYM_TRUE : SYM_FALSE], spec);
            break;
        case TYPE_STRING:
            word_from_string(spec);
            break;
        case TYPE_CHAR:
            word_from_char(spec);
            break;
        case TYPE_WORD:
        case TYPE_SET_WORD:
        case TYPE_LIT_WORD:
        case TYPE_GET_WORD:
            break;
        case TYPE_REFINEMENT:
        case TYPE_ISSUE: {
            // Scanning only: nothing allocates, so the name stays put.
            size_t size, consumed = 0;
            const uint8_t* name = symbol::name_bytes(spec->w2, &size);
            int32_t token = lexer_scan(nullptr, name, size, true, true, false, false, &consumed);
            if (consumed != size || !(token >= TYPE_WORD && token <= TYPE_GET_WORD))
                raise_bad_to_arg(type, spec);
            _context::bind_word(global_context, spec);
            break;
        }
        default:
            raise_bad_to_arg(type, spec);
    }
    spec->header = type;
    return spec;
}

int32_t form(cell* value, cell* buffer, cell*, int32_t part) { return part - append_name(buffer, value->w2); }

int32_t mold(cell* value, cell* buffer, bool, bool, bool, cell*, int32_t part, int32_t) {
    return part - append_name(buffer, value->w2);
}

int32_t compare(cell* value1, cell* value2, int32_t op) {
    uint32_t t1 = TYPE_OF(value1);
    uint32_t t2 = TYPE_OF(value2);
    if ((t2 == TYPE_ISSUE && t1 != TYPE_ISSUE) || !any_word_type_q(t2)) return INCOMPARABLE;
    bool word_and_lit = (t1 == TYPE_WORD && t2 == TYPE_LIT_WORD) || (t1 == TYPE_LIT_WORD && t2 == TYPE_WORD);
    bool same_symbol = symbol::resolve(value1->w2) == symbol::resolve(value2->w2);
    switch (op) {
        case COMP_SAME:
            return value1->w2 == value2->w2 && value1->w1 == value2->w1 && t1 == t2 ? 0 : 1;
        case COMP_STRICT_MATCH:
            if (word_and_lit) return value1->w2 == value2->w2 ? 0 : 1;
            [[fallthrough]];
        case COMP_STRICT_EQUAL:
            return t1 == t2 && value1->w2 == value2->w2 ? 0 : 1;
        case COMP_MATCH:
            return (word_and_lit || t1 == t2) && same_symbol ? 0 : 1;
        case COMP_EQUAL:
        case COMP_NOT_EQUAL:
        case COMP_FIND:
            return same_symbol ? 0 : 1;
        default:
            return symbol::compare_names(value1->w2, value2->w2, op);
    }
}

void index_q() {
    cell* word = stack::arguments;
    int32_t index = static_cast<int32_t>(word->w3);
    *word = index < 0 ? cell{TYPE_NONE, 0, 0, 0} : cell{TYPE_INTEGER, 0, static_cast<uint32_t>(index + 1), 0};
}

}  // namespace word

namespace get_word {
cell* get(const cell* word) { return stack::push(_context::get(word)); }
int32_t mold(cell* value, cell* buffer, bool, bool, bool, cell*, int32_t part, int32_t) {
    return mold_with_sigil(value, buffer, part, ':', 0);
}
}  // namespace get_word

namespace set_word {
int32_t mold(cell* value, cell* buffer, bool, bool, bool, cell*, int32_t part, int32_t) {
    return mold_with_sigil(value, buffer, part, 0, ':');
}
}  // namespace set_word

namespace lit_word {
int32_t mold(cell* value, cell* buffer, bool, bool, bool, cell*, int32_t part, int32_t) {
    return mold_with_sigil(value, buffer, part, '\'', 0);
}
}  // namespace lit_word

namespace refinement {
int32_t mold(cell* value, cell* buffer, bool, bool, bool, cell*, int32_t part, int32_t) {
    return mold_with_sigil(value, buffer, part, '/', 0);
}

cell* load_in(const cell* block, const char* name) {
    uint32_t symbol = symbol::make(name);
    cell* c = alloc_tail(block);
    *c = cell{TYPE_REFINEMENT, 0, symbol, NO_SLOT};
    return c;
}
}  // namespace refinement

namespace issue {

void init() {
    register_datatype(TYPE_ISSUE, TYPE_WORD, "issue!", {
        entry<ACT_MAKE>(make), 0, 0, entry<ACT_TO>(make), INHERIT, entry<ACT_MOLD>(mold), 0, 0,
        entry<ACT_COMPARE>(compare), 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0,
    });
}

cell* make_at(cell* target, const char* name) {
    uint32_t symbol = symbol::make(name);
    *target = cell{TYPE_ISSUE, global_context, symbol, NO_SLOT};
    return target;
}

cell* make_in(const cell* block, const char* name) {
    uint32_t symbol = symbol::make(name);
    cell* c = alloc_tail(block);
    *c = cell{TYPE_ISSUE, global_context, symbol, NO_SLOT};
    return c;
}

cell* push(const cell* word) { return word::retype(stack::push(word), TYPE_ISSUE); }

const cell* make(cell* proto, cell* spec, uint32_t type) {
    uint32_t symbol;
    switch (TYPE_OF(spec)) {
        case TYPE_STRING:
            symbol = symbol::make_from_string(spec);
            break;
        case TYPE_CHAR: {
            uint8_t text[4];
            symbol = symbol::make_from_bytes(text, utf8_encode_char(spec->w2, text));
            break;
        }
        default:
            if (!any_word_type_q(TYPE_OF(spec))) return word::make(proto, spec, type);
            spec->header = type;
            // An issue is never bound to a slot.
            if (type == TYPE_ISSUE) spec->w3 = NO_SLOT;
            return spec;
    }
    *spec = cell{type, global_context, symbol, NO_SLOT};
    return spec;
}

int32_t mold(cell* value, cell* buffer, bool, bool, bool, cell*, int32_t part, int32_t) {
    return mold_with_sigil(value, buffer, part, '#', 0);
}

int32_t compare(cell* value1, cell* value2, int32_t op) {
    if (TYPE_OF(value2) != TYPE_ISSUE) return INCOMPARABLE;
    return word::compare(value1, value2, op);
}

}  // namespace issue
}  // namespace kel
