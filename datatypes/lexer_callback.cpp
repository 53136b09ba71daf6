#include "datatypes/lexer_callback.h"

#include "datatypes/context.h"
#include "datatypes/function.h"
#include "datatypes/lexer.h"
#include "datatypes/logic.h"
#include "datatypes/object.h"
#include "datatypes/pair.h"
#include "datatypes/series.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/error_catalog.h"
#include "runtime/stack.h"

namespace kel {

namespace {

// In event bit order.
constexpr const char* EVENT_NAMES[] = {"prescan", "scan", "load", "open", "close", "error"};
constexpr uint32_t EVENT_COUNT = 6;

// Item k of the exit-state names (k from 1): a datatype, or a word.
struct exit_state {
    uint32_t type;
    const char* word;
};
constexpr exit_state EXIT_STATES[] = {
    {0, "eof"},          {TYPE_ERROR, nullptr},   {TYPE_BLOCK, nullptr},   {TYPE_BLOCK, nullptr},
    {TYPE_PAREN, nullptr}, {TYPE_PAREN, nullptr}, {TYPE_STRING, nullptr},  {TYPE_STRING, nullptr},
    {TYPE_MAP, nullptr}, {TYPE_PATH, nullptr},    {TYPE_DATATYPE, nullptr}, {0, "comment"},
    {TYPE_STRING, nullptr}, {TYPE_WORD, nullptr}, {TYPE_ISSUE, nullptr},   {TYPE_INTEGER, nullptr},
    {TYPE_REFINEMENT, nullptr}, {TYPE_CHAR, nullptr}, {TYPE_FILE, nullptr}, {TYPE_BINARY, nullptr},
    {TYPE_PERCENT, nullptr}, {TYPE_FLOAT, nullptr}, {TYPE_FLOAT, nullptr}, {TYPE_TUPLE, nullptr},
    {TYPE_DATE, nullptr}, {TYPE_PAIR, nullptr},   {TYPE_TIME, nullptr},    {TYPE_MONEY, nullptr},
    {TYPE_TAG, nullptr}, {TYPE_URL, nullptr},     {TYPE_EMAIL, nullptr},   {0, "hex"},
    {0, "rawstring"},    {TYPE_REF, nullptr},
};
constexpr int32_t EXIT_STATE_COUNT = sizeof EXIT_STATES / sizeof EXIT_STATES[0];

inline cell unbound_word(const char* name) {
    return cell{TYPE_WORD, 0, symbol::make(name), 0xFFFFFFFF};
}

}  // namespace

cell lexer_type_value(int32_t type) {
    if (type > 0) return cell{TYPE_DATATYPE, static_cast<uint32_t>(type), 0, 0};
    if (type == 0 || -type > EXIT_STATE_COUNT) return none_value;
    const exit_state& e = EXIT_STATES[-type - 1];
    return e.word ? unbound_word(e.word) : cell{TYPE_DATATYPE, e.type, 0, 0};
}

namespace {

inline bool continuation_q(uint8_t byte) { return (byte & 0xC0) == 0x80; }

bool binary_source_q(const lexer_state* s) { return !s->source || TYPE_OF(s->source) == TYPE_BINARY; }

// The source index of a text position: bytes for a binary!, characters for a string!,
// counted from the position mapped last.
uint32_t source_index(lexer_state* s, const uint8_t* at) {
    if (binary_source_q(s)) return s->source_base + static_cast<uint32_t>(at - s->text_start);
    uint32_t index = s->mapped_index;
    for (const uint8_t* p = s->mapped_pos; p < at; p++) index += !continuation_q(*p);
    for (const uint8_t* p = at; p < s->mapped_pos; p++) index -= !continuation_q(*p);
    s->mapped_pos = at;
    s->mapped_index = index;
    return index;
}

// The text position of a source index, kept within the text and on a character start.
const uint8_t* text_position(lexer_state* s, uint32_t index) {
    if (binary_source_q(s)) {
        size_t size = static_cast<size_t>(s->text_end - s->text_start);
        size_t offset = index > s->source_base ? index - s->source_base : 0;
        return s->text_start + (offset < size ? offset : size);
    }
    const uint8_t* p = s->mapped_pos;
    uint32_t at = s->mapped_index;
    for (; at < index && p < s->text_end; at++)
        do p++; while (p < s->text_end && continuation_q(*p));
    for (; at > index && p > s->text_start; at--)
        do p--; while (p > s->text_start && continuation_q(*p));
    s->mapped_pos = p;
    s->mapped_index = at;
    return p;
}

uint32_t event_bit_index(uint32_t event) {
    uint32_t i = 0;
    while (event >>= 1) i++;
    return i;
}

// The callback runs as a function call under a frame named <lexer-callback>: arguments
// event, input, type, line and token, the rest of its slots none. A change of the input's
// index moves the scan there.
bool call_lexer_callback(lexer_state* s, uint32_t event, int32_t type, const cell* value,
                         const uint8_t* start, const uint8_t* end) {
    if (TYPE_OF(s->callback) != TYPE_FUNCTION) fire(internal_error::routines);
    // Copied before anything allocates: a nested scan may move the output buffer.
    cell token = value ? *value : cell{};
    uint32_t from = source_index(s, start);
    uint32_t to = source_index(s, end);
    bool at_start = event == LEXER_EVENT_OPEN || (event == LEXER_EVENT_PRESCAN && type <= 0);
    uint32_t index = at_start ? from : to;

    cell* base = stack::top;
    cell* args = stack::push_cell();
    *args = unbound_word(EVENT_NAMES[event_bit_index(event)]);
    cell* input = stack::push(s->source ? s->source : &none_value);
    if (s->source) input->w1 = index;
    *stack::push_cell() = lexer_type_value(type);
    *stack::push_cell() = integer_value(s->line);
    cell* last = stack::push_cell();
    if (value) *last = token;
    else pair::make_at(last, static_cast<int32_t>(from + 1), static_cast<int32_t>(to + 1));
    uint32_t slots = ctx_slot_count(ctx_cell(s->callback->w1));
    for (uint32_t i = 5; i < slots; i++) stack::push(&none_value);
    cell fn = *s->callback;
    object::call_handler(&fn, runtime_words[W_LEXER_CALLBACK].w2, args);

    bool go = value_true_q(args, false, nullptr);
    if (s->source && TYPE_OF(input) == TYPE_OF(s->source) &&
        series_node(input) == series_node(s->source) && series_head(input) != index)
        s->text_pos = text_position(s, series_head(input));
    stack::top = base;
    return go;
}

}  // namespace

uint32_t lexer_callback_events(const cell* callback) {
    if (TYPE_OF(callback) != TYPE_FUNCTION) return LEXER_EVENTS_ALL;
    uint32_t names[EVENT_COUNT];
    for (uint32_t i = 0; i < EVENT_COUNT; i++) names[i] = symbol::find_cstr(EVENT_NAMES[i]);
    const cell* body = more_at(callback, MORE_BODY);
    if (TYPE_OF(body) != TYPE_BLOCK) return LEXER_EVENTS_ALL;
    series_buffer* b = node_buffer(series_node(body));
    const cell* first = b->cells() + series_head(body);
    if (first >= b->cells_tail() || TYPE_OF(first) != TYPE_BLOCK) return LEXER_EVENTS_ALL;
    uint32_t mask = 0;
    series_buffer* filter = node_buffer(series_node(first));
    for (const cell* c = filter->cells() + series_head(first); c < filter->cells_tail(); c++) {
        if (TYPE_OF(c) != TYPE_WORD) continue;
        for (uint32_t i = 0; i < EVENT_COUNT; i++)
            if (symbol::resolve(c->w2) == names[i]) mask |= 1u << i;
    }
    return mask;
}

void lexer_callback_init() { lexer_event_hook = call_lexer_callback; }

}  // namespace kel
