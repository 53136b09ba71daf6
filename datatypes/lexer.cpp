// The lexer's scan loop, output buffer, structure scanners and syntax errors.
#include "datatypes/lexer.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/date.h"
#include "datatypes/map.h"
#include "datatypes/money_amount.h"
#include "datatypes/number_scan.h"
#include "datatypes/point.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/time.h"
#include "datatypes/url.h"
#include "runtime/collector.h"
#include "runtime/error_catalog.h"
#include "runtime/exits.h"
#include "runtime/float_text.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace kel {

lexer_state* lexer_current_state = nullptr;
lexer_event_hook_fn lexer_event_hook = nullptr;
cell* lexer_cells = nullptr;
uint32_t lexer_cells_capacity = 0;
lexer_handler lexer_scanners[TOKEN_CLASSES];
lexer_handler lexer_loaders[TOKEN_CLASSES];

namespace {

constexpr uint32_t LEXER_CELLS_INITIAL = 1000;
constexpr size_t EXCERPT_BYTES = 30;

// An open series sits in the output as a triple! marker: w1 the enclosing marker's index,
// w2 the series type (a point marker keeps its comma count above the type byte), w3 the
// byte offset of the opening character.
constexpr uint32_t MARKER_COMMA_SHIFT = 8;


inline uint32_t marker_kind(const cell* marker) { return marker->w2 & 0xFF; }

inline uint32_t innermost_kind(const lexer_state* s) {
    return s->cells_parent == LEXER_NO_PARENT ? 0 : marker_kind(lexer_cells + s->cells_parent);
}

inline uint32_t byte_class(uint8_t byte) { return lexer_char_classes[byte] & 0xFF; }

// An event names a token without a type by its class: -(class + 1).
inline int32_t event_type(const lexer_state* s, uint32_t k) {
    return s->token_type ? s->token_type : -static_cast<int32_t>(k + 1);
}

// Runs a handler under the lexer's own catch; true when a scan-only error ended it.
template <class F>
inline bool lexer_catch(lexer_state* s, bool load, F&& f) {
    s->load = load;
    return catch_exit(THROW_LEXER, f) != 0;
}

inline bool run_handler(lexer_handler h, lexer_state* s, const uint8_t* start, const uint8_t* end,
                        uint32_t flags, bool load) {
    return lexer_catch(s, load, [&] { h(s, start, end, flags, load); });
}

// One UTF-8 character at p (p < end): its code point, and p moved past it. A malformed
// sequence gives an impossible code point and moves one byte.
uint32_t next_code_point(const uint8_t*& p, const uint8_t* end) {
    uint32_t b = *p++;
    if (b < 0xC0) return b;
    uint32_t extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : 1;
    if (static_cast<size_t>(end - p) < extra) return 0xFFFFFFFF;
    uint32_t cp = b & (0x3F >> extra);
    for (uint32_t i = 0; i < extra; i++) {
        if ((p[i] & 0xC0) != 0x80) return 0xFFFFFFFF;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    p += extra;
    return cp;
}

// The first byte at or after p that does not begin a Unicode blank.
const uint8_t* skip_unicode_blanks(const uint8_t* p, const uint8_t* end) {
    while (p < end && *p >= 0xC2) {
        const uint8_t* q = p;
        if (!unicode_blank_q(next_code_point(q, end))) break;
        p = q;
    }
    return p;
}

// The first Unicode blank in [p, end), or end.
const uint8_t* find_unicode_blank(const uint8_t* p, const uint8_t* end) {
    while (p < end) {
        if (*p < 0xC2) {
            p++;
            continue;
        }
        const uint8_t* q = p;
        if (unicode_blank_q(next_code_point(q, end))) return p;
        p = q;
    }
    return end;
}

void grow_cells() {
    uint32_t capacity = lexer_cells_capacity ? lexer_cells_capacity * 2 : LEXER_CELLS_INITIAL;
    void* moved = capacity > lexer_cells_capacity
                      ? std::realloc(lexer_cells, static_cast<size_t>(capacity) * sizeof(cell))
                      : nullptr;
    if (!moved) fire(internal_error::no_memory);
    lexer_cells = static_cast<cell*>(moved);
    lexer_cells_capacity = capacity;
}

// --- Series markers ------------------------------------------------------------------

void push_marker(lexer_state* s, uint32_t kind, const uint8_t* opening) {
    uint32_t index = s->cells_end;
    cell* m = lexer_alloc_cell(s);
    m->header = (m->header & CELL_NEW_LINE) | TYPE_TRIPLE;
    m->w1 = s->cells_parent;
    m->w2 = kind;
    m->w3 = static_cast<uint32_t>(opening - s->text_start);
    s->cells_parent = index;
}

inline bool closes_q(uint32_t closing, uint32_t marker) {
    return closing == marker || (closing == TYPE_BLOCK && marker == TYPE_MAP) ||
           (closing == TYPE_SET_PATH && marker == TYPE_PATH) ||
           (closing == TYPE_PAREN && marker == TYPE_POINT2D);
}

// A paren that took commas: a point when it holds one number per coordinate.
void close_point(lexer_state* s, uint32_t index, const uint8_t* at) {
    cell* m = lexer_cells + index;
    uint32_t commas = m->w2 >> MARKER_COMMA_SHIFT;
    uint32_t type = commas > 1 ? TYPE_POINT3D : TYPE_POINT2D;
    uint32_t count = s->cells_end - index - 1;
    if (s->make_values) {
        bool numbers = count == commas + 1 && count <= 3;
        for (uint32_t i = 0; numbers && i < count; i++) {
            uint32_t t = TYPE_OF(m + 1 + i);
            numbers = t == TYPE_INTEGER || t == TYPE_FLOAT;
        }
        if (!numbers) lexer_throw_error(s, s->text_start + m->w3, at + 1, static_cast<int32_t>(type));
    }
    uint32_t enclosing = m->w1;
    cell point{type | (m->header & ~0xFFu), 0, 0, 0};
    for (uint32_t i = 0; s->make_values && i < count; i++) {
        const cell* c = m + 1 + i;
        set_point_component(&point, i, TYPE_OF(c) == TYPE_INTEGER ? static_cast<int32_t>(c->w2)
                                                                  : cell_float(c));
    }
    *m = point;
    s->cells_parent = enclosing;
    s->cells_end = index + 1;
    s->token_type = static_cast<int32_t>(type);
    s->start_state = any_path_q(innermost_kind(s)) ? STATE_PATH : STATE_START;
}

// Replaces the innermost marker by the series of the cells above it.
void close_series(lexer_state* s, uint32_t closing, const uint8_t* at) {
    if (s->cells_parent == LEXER_NO_PARENT) {
        s->closer = static_cast<int32_t>(closing);
        lexer_throw_error(s, at, at, LEXER_MISSING);
    }
    uint32_t index = s->cells_parent;
    const cell* marker = lexer_cells + index;
    uint32_t kind = marker_kind(marker);
    if (!closes_q(closing, kind)) {
        s->closer = static_cast<int32_t>(kind);
        lexer_throw_error(s, at, at, LEXER_MISSING);
    }
    if ((s->event_mask & LEXER_EVENT_CLOSE) &&
        !fire_lexer_event(s, LEXER_EVENT_CLOSE, static_cast<int32_t>(kind), nullptr, at, at)) {
        return;
    }
    marker = lexer_cells + index;  // the callback may have loaded more
    if (kind == TYPE_POINT2D) return close_point(s, index, at);
    if (closing == TYPE_SET_PATH) {
        kind = TYPE_SET_PATH;
    }
    uint32_t count = s->cells_end - index - 1;
    if (kind == TYPE_MAP && s->make_values) {
        const cell* first = lexer_cells + index + 1;
        bool keys_valid = count % 2 == 0;
        for (uint32_t i = 0; keys_valid && i < count; i += 2)
            keys_valid = map::valid_key_type_q(TYPE_OF(first + i));
        if (!keys_valid) lexer_throw_error(s, s->text_start + marker->w3, at + 1, TYPE_MAP);
    }
    node_id node = 0;
    if (s->make_values) {
        node = alloc_cells(count);  // may collect: the output cells are roots
        series_buffer* b = node_buffer(node);
        std::memcpy(b->offset, lexer_cells + index + 1, count * sizeof(cell));
        b->tail = b->offset + count * sizeof(cell);
    }
    cell* m = lexer_cells + index;
    uint32_t enclosing = m->w1;
    uint32_t flags = m->header & ~0xFFu;
    if (kind == TYPE_MAP && s->make_values) {
        set_series_value(m, TYPE_BLOCK, node, 0);
        map::make_over_block(m);  // the block is output, so rooted
    } else {
        set_series_value(m, kind, node, 0);
    }
    m->header |= flags;
    s->cells_parent = enclosing;
    s->cells_end = index + 1;
    s->token_type = static_cast<int32_t>(kind);
    s->start_state = any_path_q(innermost_kind(s)) ? STATE_PATH : STATE_START;
}

// --- Structure scanners ----------------------------------------------------------------

void scan_end(lexer_state* s, const uint8_t*, const uint8_t*, uint32_t, bool) {
    s->text_pos = s->text_end;
}

void scan_bad(lexer_state* s, const uint8_t* start, const uint8_t* end, uint32_t, bool) {
    uint32_t type = lexer_type_table[static_cast<uint32_t>(s->previous_state)];
    if (s->start_state == STATE_BRACED) start = s->braced_start;
    if (type == TYPE_BLOCK || type == TYPE_PAREN || any_path_q(type)) start = nullptr;
    lexer_throw_error(s, start, end, type ? static_cast<int32_t>(type) : LEXER_BAD_CHAR);
}

// "(" followed by a number list up to a comma starts a point literal, scanned as one token.
bool point_literal_q(const lexer_state* s) {
    const uint8_t* p = s->text_pos + 1;
    if (s->text_end - p < 3) return false;
    while (p < s->text_end && lexer_point_chars[*p]) p++;
    return p == s->text_end || *p == ',';
}

void scan_open(lexer_state* s, const uint8_t*, const uint8_t* end, uint32_t, bool) {
    const uint8_t* opening = s->text_pos;
    bool paren = *opening == '(';
    if (paren && point_literal_q(s)) {
        s->line_marks = s->line_count;
        s->token_type = 0;
        s->start_state = STATE_POINT;
        s->text_pos++;
        return;
    }
    if (innermost_kind(s) == TYPE_POINT2D) lexer_throw_error(s, opening, end, TYPE_POINT2D);
    uint32_t kind = paren ? TYPE_PAREN : TYPE_BLOCK;
    s->text_pos++;
    if (!fire_lexer_event(s, LEXER_EVENT_OPEN, static_cast<int32_t>(kind), nullptr, opening, opening))
        return;
    push_marker(s, kind, opening);
    s->start_state = STATE_START;
}

// The byte is consumed before the event, so that a callback may move the position.
void scan_map_open(lexer_state* s, const uint8_t* start, const uint8_t*, uint32_t, bool) {
    s->text_pos++;
    if (!fire_lexer_event(s, LEXER_EVENT_OPEN, TYPE_MAP, nullptr, start, start)) return;
    push_marker(s, TYPE_MAP, start);
    s->start_state = STATE_START;
}

// The closing byte is consumed unless the close event moved the position.
void scan_block_close(lexer_state* s, const uint8_t*, const uint8_t*, uint32_t, bool) {
    const uint8_t* at = s->text_pos;
    close_series(s, TYPE_BLOCK, at);
    if (s->text_pos == at) s->text_pos++;
}

void scan_paren_close(lexer_state* s, const uint8_t*, const uint8_t*, uint32_t, bool) {
    const uint8_t* at = s->text_pos;
    close_series(s, TYPE_PAREN, at);
    if (s->text_pos == at) s->text_pos++;
}

void scan_braced_open(lexer_state* s, const uint8_t*, const uint8_t*, uint32_t flags, bool) {
    const uint8_t* opening = s->text_pos++;
    if (s->braced_depth == 0) {
        if (!fire_lexer_event(s, LEXER_EVENT_OPEN, TYPE_STRING, nullptr, opening, opening)) return;
        s->braced_start = opening;
        s->braced_flags = 0;
        s->braced_new_line = s->line_count >= 1;
    }
    s->braced_depth++;
    s->braced_flags |= flags;
    s->start_state = STATE_BRACED;
}

// A value that a scanner loads itself, under the scan and load events of its token: a
// false scan makes nothing, a false load removes the value again.
void load_under_events(lexer_state* s, uint32_t k, const uint8_t* start, const uint8_t* end,
                       uint32_t flags, const uint8_t* token_start, const uint8_t* token_end) {
    int32_t type = s->value_type;
    if (!fire_lexer_event(s, LEXER_EVENT_SCAN, type, nullptr, token_start, token_end)) return;
    uint32_t before = s->cells_end;
    lexer_loaders[k](s, start, end, flags, true);
    if ((s->event_mask & LEXER_EVENT_LOAD) && s->cells_end > before &&
        !fire_lexer_event(s, LEXER_EVENT_LOAD, type, lexer_cells + s->cells_end - 1, token_start,
                          token_end))
        s->cells_end = before;
}

// At depth 0: the close event, then the string under its scan and load events.
void scan_braced_close(lexer_state* s, const uint8_t*, const uint8_t*, uint32_t flags, bool load) {
    const uint8_t* closing = s->text_pos++;
    s->braced_flags |= flags;
    if (--s->braced_depth > 0) {
        if (s->text_pos == s->text_end) lexer_throw_error(s, s->braced_start, closing, TYPE_STRING);
        return;
    }
    s->start_state = STATE_START;
    const uint8_t* start = s->braced_start;
    if (!fire_lexer_event(s, LEXER_EVENT_CLOSE, TYPE_STRING, nullptr, closing, closing)) return;
    s->value_type = TYPE_STRING;
    if (!load) {
        (void)fire_lexer_event(s, LEXER_EVENT_SCAN, TYPE_STRING, nullptr, start, closing + 1);
        return;
    }
    s->line_count = s->braced_new_line ? 1 : 0;
    load_under_events(s, TOKEN_QUOTED_STRING, start + 1, closing, s->braced_flags, start,
                      closing + 1);
}

// The first segment is a word; the "/" after it is consumed and segments follow.
void scan_path_sep(lexer_state* s, const uint8_t* start, const uint8_t* end, uint32_t flags,
                   bool load) {
    uint32_t kind = *start == '\'' ? TYPE_LIT_PATH : *start == ':' ? TYPE_GET_PATH : TYPE_PATH;
    const uint8_t* separator = s->text_pos;
    (void)fire_lexer_event(s, LEXER_EVENT_OPEN, static_cast<int32_t>(kind), nullptr, start, start);
    push_marker(s, kind, start);
    if (load) {
        s->value_type = TYPE_WORD;
        load_under_events(s, TOKEN_WORD, start + (kind != TYPE_PATH), end, flags, start, end);
    }
    s->start_state = STATE_PATH;
    if (s->text_pos == separator) s->text_pos++;
}

// After a path segment: "/" goes on to the next one, anything else closes the path, a ":"
// making it a set-path!.
void path_end_check(lexer_state* s) {
    const uint8_t* p = s->text_pos;
    const uint8_t* end = s->text_end;
    if (p < end && *p == '/') {
        if (p + 1 == end) lexer_throw_error(s, nullptr, p, TYPE_PATH);
        s->text_pos++;
        return;
    }
    if (p < end && *p == ':') {
        if (innermost_kind(s) != TYPE_PATH) {
            lexer_throw_error(s, nullptr, p, static_cast<int32_t>(innermost_kind(s)));
        }
        if (p + 1 < end && p[1] == '/') lexer_throw_error(s, nullptr, p, TYPE_PATH);
        s->text_pos++;
        close_series(s, TYPE_SET_PATH, p);
        return;
    }
    close_series(s, innermost_kind(s), p);
}

inline uint8_t ascii_lower(uint8_t c) { return c >= 'A' && c <= 'Z' ? c | 0x20 : c; }

bool same_name_q(const uint8_t* text, size_t length, const char* name, size_t name_length) {
    if (name_length != length) return false;
    for (size_t i = 0; i < length; i++)
        if (ascii_lower(text[i]) != ascii_lower(static_cast<uint8_t>(name[i]))) return false;
    return true;
}

bool same_name_q(const uint8_t* text, size_t length, const char* name) {
    return same_name_q(text, length, name, std::strlen(name));
}

// "#(name)": a logic, none or unset value, or a datatype by its name with or without "!".
void scan_construct(lexer_state* s, const uint8_t* start, const uint8_t*, uint32_t, bool load) {
    const uint8_t* name = start + 2;
    size_t length = static_cast<size_t>(s->text_pos - name);
    cell value{};
    if (same_name_q(name, length, "true") || same_name_q(name, length, "false")) {
        value = cell{TYPE_LOGIC, *name == 't' || *name == 'T' ? 1u : 0u, 0, 0};
    } else if (same_name_q(name, length, "none")) {
        value = cell{TYPE_NONE, 0, 0, 0};
    } else if (same_name_q(name, length, "unset")) {
        value = cell{TYPE_UNSET, 0, 0, 0};
    } else {
        for (uint32_t t = 1; t <= highest_type && !value.header; t++) {
            const type_name_record& r = type_names[t];
            if (!r.name) continue;
            if (same_name_q(name, length, r.name) || same_name_q(name, length, r.name, r.length))
                value = cell{TYPE_DATATYPE, t, 0, 0};
        }
        if (!value.header) lexer_throw_error(s, start, s->text_pos, LEXER_MALCONSTRUCT);
    }
    s->text_pos++;
    s->token_type = static_cast<int32_t>(TYPE_OF(&value));
    if (load) {
        cell* c = lexer_alloc_cell(s);
        value.header |= c->header & CELL_NEW_LINE;
        *c = value;
    }
}

void scan_comment(lexer_state*, const uint8_t*, const uint8_t*, uint32_t, bool) {}

// A comma turns the paren it stands in into a point; each further one adds a coordinate.
void scan_comma(lexer_state* s, const uint8_t*, const uint8_t* end, uint32_t, bool) {
    uint32_t kind = innermost_kind(s);
    if (kind != TYPE_PAREN && kind != TYPE_POINT2D)
        lexer_throw_error(s, s->text_pos, end, TYPE_POINT2D);
    cell* m = lexer_cells + s->cells_parent;
    m->w2 = TYPE_POINT2D | (((m->w2 >> MARKER_COMMA_SHIFT) + 1) << MARKER_COMMA_SHIFT);
    s->text_pos++;
}

// --- Word-like tokens ------------------------------------------------------------------

// A word ends at its first Unicode blank; its sigils give its kind.
void scan_word(lexer_state* s, const uint8_t* start, const uint8_t* end, uint32_t flags, bool) {
    if (flags & (CHARFLAG_WIDE2 | CHARFLAG_WIDE4)) {
        end = find_unicode_blank(start, end);
        s->text_pos = s->token_end = end;
    }
    if (start == end) return;  // only blanks: the loop skips such a word
    int32_t kind = TYPE_WORD;
    const uint8_t* last = end - 1;
    // Only after skipped blanks can a sigil stand alone here.
    if (end - start == 1 && (*start == ':' || *start == '\'')) lexer_throw_error(s, start, end, kind);
    if (*start == '\'') {
        kind = TYPE_LIT_WORD;
        if (end - start > 1 && *last == ':') lexer_throw_error(s, start, end, TYPE_LIT_WORD);
    } else if (*start == ':' && end - start > 1) {
        kind = TYPE_GET_WORD;
    } else if (*last == ':' && end - start > 1) {
        kind = TYPE_SET_WORD;
        last--;
    }
    if (flags & CHARFLAG_COLON) {
        for (const uint8_t* p = start + 1; p <= last; p++)
            if (*p == ':') lexer_throw_error(s, start, end, kind);
    }
    s->token_type = kind;
    s->value_type = kind;
}

void scan_issue(lexer_state* s, const uint8_t* start, const uint8_t* end, uint32_t, bool) {
    if (end - start < 2) lexer_throw_error(s, start, end, TYPE_ISSUE);
}

void scan_quoted_string(lexer_state* s, const uint8_t*, const uint8_t*, uint32_t, bool) {
    s->text_pos++;  // the closing quote
}

// --- Loaders ---------------------------------------------------------------------------
// Each checks its whole token first and appends its value only with load, so a failing
// loader leaves nothing behind.

[[noreturn]] inline void bad(lexer_state* s, const uint8_t* start, const uint8_t* end,
                             uint32_t type) {
    lexer_throw_error(s, start, end, static_cast<int32_t>(type));
}

// Appends the value, keeping the new-line mark of the output cell.
inline void emit(lexer_state* s, const cell& value) {
    cell* c = lexer_alloc_cell(s);
    uint32_t mark = c->header & CELL_NEW_LINE;
    *c = value;
    c->header |= mark;
}

inline bool hex_digit_q(uint8_t c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
inline uint32_t hex_value(uint8_t c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; }

// The escape after a "^" at p; p moves past it. False for an invalid escape.
bool decode_escape(const uint8_t*& p, const uint8_t* end, uint32_t& cp) {
    if (p == end) return false;
    uint8_t c = *p;
    if (c != '(') {
        switch (c) {
            case '"': cp = '"'; break;
            case '-': cp = '\t'; break;
            case '/': cp = '\n'; break;
            case '^': cp = '^'; break;
            case '{': cp = '{'; break;
            case '}': cp = '}'; break;
            case '~': cp = 0x7F; break;
            case '@': cp = 0; break;
            default:
                if (c >= 'a' && c <= 'z') cp = c - 'a' + 1;
                else if (c >= 'A' && c <= '_') cp = c - 'A' + 1;
                else if (c < 0x80) cp = c;
                else {
                    size_t len = 0;
                    int32_t v = utf8_check_char(p, static_cast<size_t>(end - p), len);
                    if (v < 0) return false;
                    cp = static_cast<uint32_t>(v);
                    p += len;
                    return true;
                }
        }
        p++;
        return true;
    }
    const uint8_t* q = p + 1;
    static const struct {
        const char* name;
        uint32_t cp;
    } names[] = {{"null", 0},  {"back", 8}, {"tab", 9},    {"line", 10},
                 {"page", 12}, {"esc", 27}, {"del", 127}};
    size_t n = 0;
    while (q + n < end && hex_digit_q(q[n]) && n < 7) n++;
    if (n >= 1 && n <= 6 && q + n < end && q[n] == ')') {
        uint32_t v = 0;
        for (size_t i = 0; i < n; i++) v = v << 4 | hex_value(q[i]);
        if (v > 0x10FFFF) return false;
        cp = v;
        p = q + n + 1;
        return true;
    }
    for (const auto& e : names) {
        size_t len = std::strlen(e.name);
        if (static_cast<size_t>(end - q) > len && q[len] == ')' && same_name_q(q, len, e.name, len)) {
            cp = e.cp;
            p = q + len + 1;
            return true;
        }
    }
    return false;
}

// Hex digits in a "^(...)" escape: the unit the string needs for it (a name needs 1).
uint32_t escape_unit(const uint8_t* p, const uint8_t* end) {
    size_t n = 0;
    while (p + n < end && hex_digit_q(p[n])) n++;
    if (p + n == end || p[n] != ')') return 1;
    return n > 4 ? 4 : n > 2 ? 2 : 1;
}

// The code points of the last decoded text; reused, so a token costs no allocation here.
std::vector<uint32_t> text_scratch;

// Decodes UTF-8 (and escapes, with carets) into text_scratch; unit grows to what the
// escapes need. False at an invalid sequence or escape.
bool decode_text(const uint8_t* p, const uint8_t* end, bool carets, uint32_t& unit) {
    text_scratch.clear();
    while (p < end) {
        uint32_t cp = *p;
        if (cp < 0x80) {
            p++;
            if (cp == '^' && carets) {
                if (p < end && *p == '(') unit = std::max(unit, escape_unit(p + 1, end));
                if (!decode_escape(p, end, cp)) return false;
            }
        } else {
            size_t len = 0;
            int32_t v = utf8_check_char(p, static_cast<size_t>(end - p), len);
            if (v < 0) return false;
            cp = static_cast<uint32_t>(v);
            p += len;
        }
        text_scratch.push_back(cp);
    }
    return true;
}

uint32_t unit_of_flags(uint32_t flags) {
    return flags & CHARFLAG_WIDE4 ? 4 : flags & CHARFLAG_WIDE2 ? 2 : 1;
}

// A text value of the type from the decoded code points.
void load_decoded(lexer_state* s, bool load, uint32_t type, uint32_t unit) {
    if (!load) return;
    for (uint32_t cp : text_scratch) {
        if (cp > 0xFFFF) unit = 4;
        else if (cp > 0xFF && unit == 1) unit = 2;
    }
    size_t count = text_scratch.size();
    node_id node = alloc_series(count ? count : 1, unit, 0);  // output cells are roots
    series_buffer* b = node_buffer(node);
    for (size_t i = 0; i < count; i++) string::put_char(b->offset + i * unit, unit, text_scratch[i]);
    b->tail = b->offset + count * unit;
    cell value{};
    set_series_value(&value, type, node, 0);
    emit(s, value);
}

// A text value of the type from [start, end); errors name the type.
void load_text(lexer_state* s, const uint8_t* start, const uint8_t* end, uint32_t flags, bool load,
               uint32_t type, bool carets, const uint8_t* error_start) {
    uint32_t unit = unit_of_flags(flags);
    if (!decode_text(start, end, carets && (flags & CHARFLAG_CIRCUMFLEX), unit))
        bad(s, error_start, end, type);
    load_decoded(s, load, type, unit);
}

// Files and urls: "%XX" escapes decoded, an escaped UTF-8 sequence giving its character.
// The escapes are decoded from the characters as read: loading the bytes as external text
// would drop a leading byte-order mark.
void load_escaped_text(lexer_state* s, const uint8_t* start, const uint8_t* end, uint32_t flags,
                       bool load, uint32_t type, const uint8_t* error_start) {
    load_text(s, start, end, flags, load, type, false, error_start);
    if (!load || !(flags & CHARFLAG_PERCENT)) return;
    cell* read = lexer_cells + s->cells_end - 1;  // output cells are roots and stay put here
    cell* decoded = string::make_at(stack::push_cell(), string::ks_length(read));
    url::decode_string(read, decoded);
    read->w1 = decoded->w1;
    read->w2 = decoded->w2;
    read->w3 = decoded->w3;
    stack::pop(1);
}

// "..." or, from a multi-line string's close, its content.
void load_string(lexer_state* s, const uint8_t* start, const uint8_t* end, uint32_t flags, bool load) {
    const uint8_t* from = s->value_type == TYPE_STRING ? start - 1 : start;
    if (s->value_type != TYPE_STRING) start++;  // the opening quote
    load_text(s, start, end, flags, load, TYPE_STRING, true, from);
}

// A word's name without its sigils, and its kind.
void load_word(lexer_state* s, const uint8_t* start, const uint8_t* end, uint32_t, bool load) {
    uint32_t kind = s->value_type > 0 ? static_cast<uint32_t>(s->value_type) : uint32_t{TYPE_WORD};
    if (start == end) return;  // blanks only: nothing to load
    const uint8_t* name = start;
    const uint8_t* name_end = end;
    if (kind == TYPE_LIT_WORD || kind == TYPE_GET_WORD) name++;
    else if (kind == TYPE_SET_WORD) name_end--;
    if (!load) return;
    uint32_t symbol = symbol::make_from_bytes(name, static_cast<size_t>(name_end - name));
    emit(s, cell{kind, 0, symbol, 0xFFFFFFFF});
}

void load_issue(lexer_state* s, const uint8_t* start, const uint8_t* end, uint32_t, bool load) {
    if (end - start < 2) bad(s, start, end, TYPE_ISSUE);
    if (!load) return;
    uint32_t symbol = symbol::make_from_bytes(start + 1, static_cast<size_t>(end - start - 1));
    emit(s, cell{TYPE_ISSUE, 0, symbol, 0xFFFFFFFF});
}

// "/" alone is a word; "/x" a refinement, unless the second character is a sigil.
void load_refinement(lexer_state* s, const uint8_t* start, const uint8_t* end, uint32_t, bool load) {
    size_t length = static_cast<size_t>(end - start);
    uint32_t kind = TYPE_REFINEMENT;
    const uint8_t* name = start + 1;
    const uint8_t* name_end = end;
    if (length == 1) {
        kind = TYPE_WORD;
        name = start;
    } else if (length == 2 && (*start != '/' || start[1] == ':')) {
        name = start[1] == ':' ? start : start + 1;
        name_end = name + 1;
        kind = *start == '\'' ? TYPE_LIT_WORD : *start == ':' ? TYPE_GET_WORD
               : start[1] == ':' ? TYPE_SET_WORD : TYPE_WORD;
    } else if (*start != '/') {
        bad(s, start, end, TYPE_REFINEMENT);
    }
    if (!load) return;
    uint32_t symbol = symbol::make_from_bytes(name, static_cast<size_t>(name_end - name));
    emit(s, cell{kind, 0, symbol, 0xFFFFFFFF});
}

void load_float_text(lexer_state* s, const uint8_t* start, const uint8_t* end, bool load,
                     uint32_t type, int shift);

void load_integer(lexer_state* s, const uint8_t* start, const uint8_t* end, uint32_t, bool load) {
    uint32_t digits = 0;
    for (const uint8_t* p = start; p < end; p++) {
        if (*p == '\'' && p + 1 < end && p[1] == '\'') bad(s, start, end, TYPE_INTEGER);
        digits += *p >= '0' && *p <= '9';
    }
    int32_t error = 0;
    int32_t value = 0;
    if (end - start == 1) {
        value = *start - '0';
    } else if (digits <= 10) {
        value = scan_integer(start, static_cast<uint32_t>(end - start), 1, error);
        if (error == SCAN_INVALID) bad(s, start, end, TYPE_INTEGER);
    }
    if (digits > 10 || error == SCAN_OVERFLOW) {
        s->token_type = TYPE_FLOAT;
        return load_float_text(s, start, end, load, TYPE_FLOAT, 0);
    }
    if (load) emit(s, cell{TYPE_INTEGER, 0, static_cast<uint32_t>(value), 0});
}

void load_hex(lexer_state* s, const uint8_t* start, const uint8_t* end, uint32_t, bool load) {
    size_t n = static_cast<size_t>(end - start) - 1;  // the final "h"
    if (n < 2 || n > 8) bad(s, start, end, TYPE_INTEGER);
    uint32_t value = 0;
    for (size_t i = 0; i < n; i++) {
        if (!hex_digit_q(start[i])) bad(s, start, end, TYPE_INTEGER);
        value = value << 4 | hex_value(start[i]);
    }
    if (load) emit(s, cell{TYPE_INTEGER, 0, value, 0});
}

constexpr size_t FLOAT_TEXT_LIMIT = 312;

// The float syntax, "'" separators dropped, then the shared conversion with the shift. An
// overflow reads as infinity of its sign, as the text-to-float conversion gives it.
bool parse_float(const uint8_t* start, const uint8_t* end, int shift, double& value) {
    size_t length = static_cast<size_t>(end - start);
    const char* text = reinterpret_cast<const char*>(start);
    if (length > FLOAT_TEXT_LIMIT || !float_syntax_q(text, text + length)) return false;
    char digits[FLOAT_TEXT_LIMIT];
    size_t n = 0;
    for (size_t i = 0; i < length; i++)
        if (text[i] != '\'') digits[n++] = text[i];
    std::ptrdiff_t unread = 0;
    value = parse_float_text(digits, digits + n, shift, unread);
    return unread == 0;
}

// [sign] "1.#" then NaN or Inf, in any letter case.
bool parse_special_float(const uint8_t* start, const uint8_t* end, double& value) {
    const uint8_t* p = start;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    if (end - p != 6 || p[0] != '1' || p[1] != '.' || p[2] != '#') return false;
    if (same_name_q(p + 3, 3, "nan")) {
        uint64_t bits = 0x7FF8000000000000ull;
        std::memcpy(&value, &bits, sizeof value);
        return true;
    }
    if (!same_name_q(p + 3, 3, "inf")) return false;
    value = negative ? -HUGE_VAL : HUGE_VAL;
    return true;
}

void load_float_text(lexer_state* s, const uint8_t* start, const uint8_t* end, bool load,
                     uint32_t type, int shift) {
    double value = 0;
    if (!parse_float(start, end, shift, value)) bad(s, start, end, type);
    if (!load) return;
    cell c{type, 0, 0, 0};
    set_cell_float(&c, value);
    emit(s, c);
}

void load_float(lexer_state* s, const uint8_t* start, const uint8_t* end, uint32_t, bool load) {
    load_float_text(s, start, end, load, TYPE_FLOAT, 0);
}

void load_special(lexer_state* s, const uint8_t* start, const uint8_t* end, bool load, uint32_t type) {
    double value = 0;
    if (!parse_special_float(start, end, value)) bad(s, start, end, type);
    if (!load) return;
    cell c{type, 0, 0, 0};
    set_cell_float(&c, value);
    emit(s, c);
}

// An overflowing percent is infinite, so 1.#INF% and its kin read back what mold writes.
void load_percent(lexer_state* s, const uint8_t* start, const uint8_t* end, uint32_t, bool load) {
    s->text_pos++;  // the "%"
    if (std::find(start, end, '#') != end) return load_special(s, start, end, load, TYPE_PERCENT);
    load_float_text(s, start, end, load, TYPE_PERCENT, -2);
}

void load_float_special(lexer_state* s, const uint8_t* start, const uint8_t* end, uint32_t,
                        bool load) {
    load_special(s, start, end, load, TYPE_FLOAT);
}

void load_tuple(lexer_state* s, const uint8_t* start, const uint8_t* end, uint32_t, bool load) {
    uint32_t parts = 1;
    for (const uint8_t* p = start; p < end; p++) {
        if (*p != '.') continue;
        if (p == start || p + 1 == end || p[1] == '.') bad(s, start, end, TYPE_TUPLE);
        parts++;
    }
    cell c{};
    int32_t error = 0;
    if (parts < 3) bad(s, start, end, TYPE_TUPLE);
    scan_tuple(start, static_cast<uint32_t>(end - start), 1, error, &c);
    if (error) bad(s, start, end, TYPE_TUPLE);
    if (load) emit(s, c);
}

void load_time(lexer_state* s, const uint8_t* start, const uint8_t* end, uint32_t, bool load) {
    double seconds = 0;
    for (const uint8_t* p = start; p < end; p++)
        if (*p == ',' || *p == 'e' || *p == 'E') bad(s, start, end, TYPE_TIME);
    if (!scan_time(start, static_cast<size_t>(end - start), &seconds)) bad(s, start, end, TYPE_TIME);
    if (!load) return;
    cell c{TYPE_TIME, 0, 0, 0};
    set_cell_float(&c, seconds);
    emit(s, c);
}

void load_date(lexer_state* s, const uint8_t* start, const uint8_t* end, uint32_t, bool load) {
    cell c{};
    if (!scan_date(start, static_cast<size_t>(end - start), &c)) bad(s, start, end, TYPE_DATE);
    if (load) emit(s, c);
}

void load_money(lexer_state* s, const uint8_t* start, const uint8_t* end, uint32_t, bool load) {
    cell c{};
    for (const uint8_t* p = start; p < end; p++)
        if (*p == ',') bad(s, start, end, TYPE_MONEY);
    if (!scan_money(start, static_cast<size_t>(end - start), &c)) bad(s, start, end, TYPE_MONEY);
    if (load) emit(s, c);
}

// #"x": one character or one escape.
void load_char(lexer_state* s, const uint8_t* start, const uint8_t* end, uint32_t flags, bool load) {
    s->text_pos++;  // the closing quote
    uint32_t unit = 1;
    if (end - start < 3 || !decode_text(start + 2, end, flags & CHARFLAG_CIRCUMFLEX, unit) ||
        text_scratch.size() != 1)
        bad(s, start, end + 1, TYPE_CHAR);
    if (load) emit(s, cell{TYPE_CHAR, 0, text_scratch[0], 0});
}

// %name, or %"quoted name" with carets.
void load_file(lexer_state* s, const uint8_t* start, const uint8_t* end, uint32_t flags, bool load) {
    if (start + 1 < end && start[1] == '"') {
        if (s->previous_state != 8) bad(s, start, end, TYPE_FILE);
        s->text_pos++;
        return load_text(s, start + 2, end, flags, load, TYPE_FILE, true, start);
    }
    load_escaped_text(s, start + 1, end, flags, load, TYPE_FILE, start);
}

void load_url(lexer_state* s, const uint8_t* start, const uint8_t* end, uint32_t flags, bool load) {
    if (*start == ':') bad(s, start, end, TYPE_GET_WORD);
    if (*start == '\'') bad(s, start, end, TYPE_LIT_WORD);
    load_escaped_text(s, start, end, flags, load, TYPE_URL, start);
}

void load_email(lexer_state* s, const uint8_t* start, const uint8_t* end, uint32_t flags, bool load) {
    load_text(s, start, end, flags, load, TYPE_EMAIL, false, start);
}

void load_ref(lexer_state* s, const uint8_t* start, const uint8_t* end, uint32_t flags, bool load) {
    load_text(s, start + 1, end, flags, load, TYPE_REF, false, start);
}

void load_tag(lexer_state* s, const uint8_t* start, const uint8_t* end, uint32_t flags, bool load) {
    s->text_pos++;  // the ">"
    if (*start != '<') bad(s, start, end, TYPE_TAG);
    load_text(s, start + 1, end, flags, load, TYPE_TAG, false, start);
}

inline bool base64_digit_q(uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

// #{...}, 2#{...}, 16#{...}, 64#{...}: blanks, line breaks and comments between digits.
void load_binary(lexer_state* s, const uint8_t* start, const uint8_t* end, uint32_t, bool load) {
    s->text_pos++;  // the "}"
    const uint8_t* hash = start;
    while (*hash != '#') hash++;
    size_t prefix = static_cast<size_t>(hash - start);
    int32_t base = prefix == 0 ? 16 : same_name_q(start, prefix, "16") ? 16
                 : same_name_q(start, prefix, "2") ? 2 : same_name_q(start, prefix, "64") ? 64 : 0;
    if (!base) bad(s, start, end + 1, TYPE_BINARY);
    std::string digits;
    for (const uint8_t* p = hash + 2; p < end; p++) {
        uint8_t c = *p;
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        if (c == ';') {
            while (p + 1 < end && p[1] != '\n') p++;
            continue;
        }
        bool valid = base == 16 ? hex_digit_q(c) : base == 2 ? c == '0' || c == '1'
                   : base64_digit_q(c) || (c == '=' && !digits.empty());
        if (!valid || (base == 64 && !digits.empty() && digits.back() == '=' && c != '='))
            bad(s, p, end + 1, TYPE_BINARY);
        digits += static_cast<char>(c);
    }
    size_t n = digits.size();
    if ((base == 16 && n % 2) || (base == 2 && n % 8) || (base == 64 && n % 4 == 1))
        bad(s, start, end + 1, TYPE_BINARY);
    if (!load) return;
    cell* text = load_string_push(reinterpret_cast<const uint8_t*>(digits.data()), n, 0);
    cell* out = stack::push_cell();
    bool decoded = binary::decode(base, text, out) != nullptr;
    cell value = *out;
    stack::pop(2);
    if (!decoded) bad(s, start, end + 1, TYPE_BINARY);
    emit(s, value);
}

// Two integers around the first "x".
void load_pair(lexer_state* s, const uint8_t* start, const uint8_t* end, uint32_t, bool load) {
    const uint8_t* x = start + 1;
    while (x < end && *x != 'x' && *x != 'X') x++;
    for (const uint8_t* p = start; p < end; p++)
        if (*p == '.') bad(s, start, end, TYPE_PAIR);
    int32_t error = 0;
    int32_t h = scan_integer(start, static_cast<uint32_t>(x - start), 1, error);
    if (error || x == end) bad(s, start, end, TYPE_PAIR);
    int32_t v = scan_integer(x + 1, static_cast<uint32_t>(end - x - 1), 1, error);
    if (error) bad(s, start, end, TYPE_PAIR);
    if (load) emit(s, cell{TYPE_PAIR, 0, static_cast<uint32_t>(h), static_cast<uint32_t>(v)});
}

inline bool blank_byte_q(uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// One coordinate between blanks: a float, or a "#" form read as a special float.
bool point_coordinate(const uint8_t* p, const uint8_t* end, double& value) {
    while (p < end && blank_byte_q(*p)) p++;
    while (end > p && blank_byte_q(end[-1])) end--;
    if (p == end) return false;
    if (std::memchr(p, '#', static_cast<size_t>(end - p))) return parse_special_float(p, end, value);
    return parse_float(p, end, 0, value);
}

// "(x, y)" or "(x, y, z)", the token from after the "(" to the ")": float coordinates.
void load_point(lexer_state* s, const uint8_t* start, const uint8_t* end, uint32_t, bool load) {
    s->line_count = s->line_marks;
    s->start_state = STATE_START;
    double xyz[3] = {};
    uint32_t n = 0;
    const uint8_t* from = start;
    for (const uint8_t* p = start;; p++) {
        if (p < end && *p != ',') continue;
        uint32_t type = n < 2 ? TYPE_POINT2D : TYPE_POINT3D;
        if (n == 3 || !point_coordinate(from, p, xyz[n])) bad(s, start - 1, end, type);
        n++;
        if (p == end) break;
        from = p + 1;
    }
    uint32_t type = n == 3 ? TYPE_POINT3D : TYPE_POINT2D;
    s->token_type = static_cast<int32_t>(type);
    if (n < 2 || s->text_pos == s->text_end || *s->text_pos != ')') bad(s, start - 1, end, type);
    s->text_pos++;
    if (!load) return;
    cell c{type, 0, 0, 0};
    for (uint32_t i = 0; i < n; i++) set_point_component(&c, i, xyz[i]);
    emit(s, c);
}

// n leading "%" need "}" and n "%": a shorter close seen by the automaton is not the end.
void load_raw_string(lexer_state* s, const uint8_t* start, const uint8_t* end, uint32_t flags,
                     bool load) {
    size_t opening = 0;
    while (start + opening < end && start[opening] == '%') opening++;
    size_t closing = 0;
    while (end - closing > start && end[-1 - static_cast<ptrdiff_t>(closing)] == '%') closing++;
    if (closing < opening) {
        const uint8_t* p = s->text_pos;
        const uint8_t* found = nullptr;
        for (; static_cast<size_t>(s->text_end - p) > opening; p++) {
            if (*p == '\n') s->line++;  // the automaton did not walk this part
            if (*p != '}') continue;
            size_t n = 0;
            while (n < opening && p[1 + n] == '%') n++;
            if (n == opening) {
                found = p;
                break;
            }
        }
        if (!found) lexer_throw_error(s, start, s->text_end, TYPE_STRING);
        s->text_pos = s->token_end = found + 1 + opening;
        return load_text(s, start + opening + 1, found, flags, load, TYPE_STRING, false, start);
    }
    load_text(s, start + opening + 1, end - closing - 1, flags, load, TYPE_STRING, false, start);
}

constexpr lexer_handler_pair handler_pairs[TOKEN_CLASSES] = {
    {scan_end, nullptr},                      // TOKEN_END
    {scan_bad, nullptr},                      // TOKEN_BAD
    {scan_open, nullptr},                     // TOKEN_BLOCK_OPEN
    {scan_block_close, nullptr},              // TOKEN_BLOCK_CLOSE
    {scan_open, nullptr},                     // TOKEN_PAREN_OPEN
    {scan_paren_close, nullptr},              // TOKEN_PAREN_CLOSE
    {scan_braced_open, nullptr},              // TOKEN_BRACED_OPEN
    {scan_braced_close, nullptr},             // TOKEN_BRACED_CLOSE
    {scan_map_open, nullptr},                 // TOKEN_MAP_OPEN
    {scan_path_sep, nullptr},                 // TOKEN_PATH_SEP
    {scan_construct, nullptr},                // TOKEN_CONSTRUCT
    {scan_comment, nullptr},                  // TOKEN_COMMENT
    {scan_comma, nullptr},                    // TOKEN_COMMA
    {scan_quoted_string, load_string},       // TOKEN_QUOTED_STRING
    {scan_word, load_word},                // TOKEN_WORD
    {scan_issue, load_issue},               // TOKEN_ISSUE
    {nullptr, load_integer},                  // TOKEN_INTEGER
    {nullptr, load_refinement},               // TOKEN_REFINEMENT
    {nullptr, load_char},                     // TOKEN_CHAR
    {nullptr, load_file},                     // TOKEN_FILE
    {nullptr, load_binary},                   // TOKEN_BINARY
    {nullptr, load_percent},                  // TOKEN_PERCENT
    {nullptr, load_float},                    // TOKEN_FLOAT
    {nullptr, load_float_special},            // TOKEN_FLOAT_SPECIAL
    {nullptr, load_tuple},                    // TOKEN_TUPLE
    {nullptr, load_date},                     // TOKEN_DATE
    {nullptr, load_pair},                     // TOKEN_PAIR
    {nullptr, load_point},                    // TOKEN_POINT
    {nullptr, load_time},                     // TOKEN_TIME
    {nullptr, load_money},                    // TOKEN_MONEY
    {nullptr, load_tag},                      // TOKEN_TAG
    {nullptr, load_url},                      // TOKEN_URL
    {nullptr, load_email},                    // TOKEN_EMAIL
    {nullptr, load_hex},                      // TOKEN_HEX
    {nullptr, load_raw_string},               // TOKEN_RAW_STRING
    {nullptr, load_ref},                      // TOKEN_REF
};

// --- Syntax errors ---------------------------------------------------------------------

// A scan stopped by its callback keeps what it made: open blocks and parens are closed
// over their contents, path markers dropped.
void close_open_series(lexer_state* s) {
    if (!s->make_values) {
        s->cells_parent = LEXER_NO_PARENT;
        return;
    }
    while (s->cells_parent != LEXER_NO_PARENT) {
        uint32_t index = s->cells_parent;
        uint32_t kind = marker_kind(lexer_cells + index);
        s->cells_parent = lexer_cells[index].w1;
        if (any_path_q(kind)) {
            std::memmove(lexer_cells + index, lexer_cells + index + 1,
                         (s->cells_end - index - 1) * sizeof(cell));
            s->cells_end--;
            continue;
        }
        uint32_t count = s->cells_end - index - 1;
        node_id node = alloc_cells(count);  // may collect: the output cells are roots
        series_buffer* b = node_buffer(node);
        std::memcpy(b->offset, lexer_cells + index + 1, count * sizeof(cell));
        b->tail = b->offset + count * sizeof(cell);
        cell* m = lexer_cells + index;
        uint32_t flags = m->header & ~0xFFu;
        set_series_value(m, kind == TYPE_PAREN || kind == TYPE_POINT2D ? TYPE_PAREN : TYPE_BLOCK,
                         node, 0);
        m->header |= flags;
        s->cells_end = index + 1;
    }
}

// From start: whole characters, stopping before a line break, at the end, or once 30 bytes
// are taken.
std::string error_excerpt(const uint8_t* start, const uint8_t* end) {
    const uint8_t* p = start;
    while (p < end && *p != '\n' && static_cast<size_t>(p - start) < EXCERPT_BYTES) {
        const uint8_t* q = p;
        next_code_point(q, end);
        p = q;
    }
    return std::string(reinterpret_cast<const char*>(start), static_cast<size_t>(p - start));
}

uint32_t missing_char(const lexer_state* s, int32_t closer, int32_t type) {
    uint8_t at = 0;
    if (type == LEXER_MISSING) {
        if (s->text_pos < s->text_end) at = *s->text_pos;
        else if (s->text_pos > s->text_start) at = s->text_pos[-1];
    }
    if (closer == TYPE_BLOCK || closer == TYPE_MAP) return at == ']' ? '[' : ']';
    if (closer == TYPE_PAREN || closer == TYPE_POINT2D) return at == ')' ? '(' : ')';
    return 0;
}

// A string! of the UTF-8 text at the narrowest unit that holds its characters; a byte
// that begins no valid sequence stands for itself.
cell* push_text(const std::string& text) {
    std::vector<uint32_t> chars;
    uint32_t widest = 0;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(text.data());
    const uint8_t* end = p + text.size();
    while (p < end) {
        const uint8_t* q = p;
        uint32_t cp = next_code_point(q, end);
        if (cp > 0x10FFFF) cp = *p;
        p = q;
        chars.push_back(cp);
        if (cp > widest) widest = cp;
    }
    uint32_t unit = widest > 0xFFFF ? 4 : widest > 0xFF ? 2 : 1;
    cell* c = stack::push_cell();
    node_id node = alloc_series(chars.empty() ? 1 : chars.size(), unit, 0);
    set_series_value(c, TYPE_STRING, node, 0);
    series_buffer* b = node_buffer(node);
    for (size_t i = 0; i < chars.size(); i++) {
        uint8_t* at = b->offset + i * unit;
        if (unit == 1) *at = static_cast<uint8_t>(chars[i]);
        else if (unit == 2) *reinterpret_cast<uint16_t*>(at) = static_cast<uint16_t>(chars[i]);
        else *reinterpret_cast<uint32_t*>(at) = chars[i];
    }
    b->tail = b->offset + chars.size() * unit;
    return c;
}

}  // namespace

void lexer_fill_handler_tables(const lexer_handler_pair (&pairs)[TOKEN_CLASSES]) {
    for (uint32_t k = 0; k < TOKEN_CLASSES; k++) {
        lexer_scanners[k] = pairs[k].scanner;
        lexer_loaders[k] = pairs[k].loader;
    }
}

void lexer_mark_gc() {
    for (lexer_state* s = lexer_current_state; s; s = s->nested_state)
        collector_mark_values(lexer_cells + s->cells_start, lexer_cells + s->cells_end);
}

void lexer_init() {
    if (!lexer_cells) {
        grow_cells();
        collector_add_mark_callback(lexer_mark_gc);
    }
    lexer_fill_handler_tables(handler_pairs);
}

cell* lexer_alloc_cell(lexer_state* state) {
    if (state->cells_end >= lexer_cells_capacity) grow_cells();
    cell* c = lexer_cells + state->cells_end++;
    *c = cell{TYPE_UNSET | (state->line_count >= 1 ? CELL_NEW_LINE : 0), 0, 0, 0};
    return c;
}

bool fire_lexer_event(lexer_state* s, uint32_t event, int32_t type, const cell* value,
                      const uint8_t* start, const uint8_t* end) {
    if (!(s->event_mask & event) || !lexer_event_hook) return true;
    if (event == LEXER_EVENT_SCAN && type == LEXER_MALCONSTRUCT) {
        event = LEXER_EVENT_ERROR;
        type = TYPE_ERROR;
    }
    if ((type == TYPE_POINT2D || type == TYPE_POINT3D) && start > s->text_start && start[-1] == '(')
        start--;
    if (event == LEXER_EVENT_PRESCAN) {
        if (start == s->text_pos && start < s->text_end && *start == '(' && point_literal_q(s))
            return true;
        if (s->start_state == STATE_BRACED && type <= 0) start = s->braced_start;
    }
    return lexer_event_hook(s, event, type, value, start, end);
}

void lexer_throw_error(lexer_state* s, const uint8_t* start, const uint8_t* end,
                       int32_t type) {
    int32_t closer = s->closer;
    s->closer = 0;
    if (!s->load) {
        s->token_type = TYPE_ERROR;
        raise_exit(THROW_LEXER);
    }
    if (!start) {
        start = s->cells_parent == LEXER_NO_PARENT
                    ? s->text_pos
                    : s->text_start + lexer_cells[s->cells_parent].w3;
    }
    if (s->event_mask & LEXER_EVENT_ERROR) {
        int32_t reported = type >= 1                ? type
                           : closer >= 1            ? closer
                           : s->token_type >= 1     ? s->token_type
                           : s->value_type >= 1     ? s->value_type
                                                    : int32_t{TYPE_ERROR};
        if (!fire_lexer_event(s, LEXER_EVENT_ERROR, reported, nullptr, start, end)) {
            close_open_series(s);
            raise_exit(THROW_LEXER);
        }
    }
    if (any_path_q(static_cast<uint32_t>(closer))) type = LEXER_BAD_CHAR;
    cell* base = stack::top;
    cell* line = push_text("(line " + std::to_string(s->line) + ")");
    cell* excerpt = push_text(error_excerpt(start, s->text_end));
    cell l = *line;
    cell x = *excerpt;
    stack::top = base;  // nothing allocates from here on
    switch (type) {
        case LEXER_BAD_CHAR:
            fire(syntax_error::bad_char, &l, &x);
        case LEXER_MALCONSTRUCT:
            fire(syntax_error::malconstruct, &l, &x);
        case LEXER_MISSING:
        case LEXER_MISSING_AT_END: {
            cell c{TYPE_CHAR, 0, missing_char(s, closer, type), 0};
            fire(syntax_error::missing, &l, &c, &x);
        }
        default: {
            cell t{TYPE_DATATYPE, static_cast<uint32_t>(type), 0, 0};
            fire(syntax_error::invalid, &l, &t, &x);
        }
    }
}

void lexer_scan_loop(lexer_state* s, bool one, bool prescan) {
    const uint8_t* const text_end = s->text_end;
    const uint8_t* const transitions = lexer_transitions.data();
    do {
        uint32_t state = static_cast<uint32_t>(s->start_state);
        uint32_t flags = 0;
        uint32_t skip = 0;
        int32_t line = s->line;
        const uint8_t* p = s->text_pos;
        const uint8_t* const start = p;
        uint32_t next;
        for (;;) {
            if (p == text_end) {
                next = transitions[state * LEXER_CLASSES + CHAR_END];
                break;
            }
            uint32_t entry = lexer_char_classes[*p];
            uint32_t cls = entry & 0xFF;
            flags |= entry;
            next = transitions[state * LEXER_CLASSES + cls];
            skip += lexer_skip_table[next];
            if (next >= LEXER_FINAL) break;
            line += lexer_line_table[cls];
            state = next;
            p++;
        }
        flags &= ~0xFFu;
        const uint8_t* token_start = start + skip;
        s->text_pos = p;
        s->token_end = p;
        // Only the breaks before the token mark it: a binary, tag or raw string may span lines.
        s->line_count = line == s->line ? 0 : static_cast<int32_t>(std::count(start, token_start, '\n'));
        s->line = line;
        s->previous_state = static_cast<int32_t>(state);
        s->value_type = -1;
        s->token_type = lexer_type_table[next];
        uint32_t k = next - LEXER_FINAL;

        if (k == TOKEN_WORD && (flags & (CHARFLAG_WIDE2 | CHARFLAG_WIDE4))) {
            token_start = skip_unicode_blanks(token_start, p);
            if (token_start == p) {
                if (p < text_end) continue;
                k = TOKEN_END;
                s->token_type = 0;
            }
        }

        if (s->event_mask & LEXER_EVENT_PRESCAN) {
            bool go = fire_lexer_event(s, LEXER_EVENT_PRESCAN, event_type(s, k), nullptr,
                                       token_start, p);
            if (s->text_pos != p) continue;  // moved by the callback: resume there
            if (!go) {  // step over the token
                if (k >= TOKEN_QUOTED_STRING) {
                    lexer_handler h = lexer_scanners[k] ? lexer_scanners[k] : lexer_loaders[k];
                    (void)run_handler(h, s, token_start, p, flags, false);
                } else if (p < text_end && k != TOKEN_COMMENT) {
                    s->text_pos = p + 1;
                }
                continue;
            }
        }

        if (prescan) {
            // A value token inside a series or path does not end the prescan: its handler
            // still settles where it ends (a point literal also leaves its entry state).
            bool last = s->cells_end == s->cells_start && s->start_state != STATE_PATH;
            if (k <= TOKEN_QUOTED_STRING || !last) {
                lexer_handler h = lexer_scanners[k] ? lexer_scanners[k] : lexer_loaders[k];
                if (run_handler(h, s, token_start, p, flags, false)) return;
            }
        } else {
            // Values are loaded only in a scan that makes them, whatever its mode.
            bool keep = s->make_values;
            lexer_handler scanner = lexer_scanners[k];
            if (k >= TOKEN_QUOTED_STRING) {
                if (!s->make_values || scanner) {
                    // Without values, a loader-only class runs its loader just to check.
                    if (run_handler(scanner ? scanner : lexer_loaders[k], s, token_start, p, flags,
                                    s->make_values))
                        return;
                }
            } else if (run_handler(scanner, s, token_start, p, flags, s->make_values)) {
                return;
            }
            if ((s->event_mask & LEXER_EVENT_SCAN) && k >= TOKEN_COMMENT &&
                !fire_lexer_event(s, LEXER_EVENT_SCAN, event_type(s, k), nullptr, token_start,
                                  s->token_end)) {
                keep = false;
            }
            if (keep && lexer_loaders[k]) {
                uint32_t before = s->cells_end;
                s->load = true;
                lexer_loaders[k](s, token_start, s->token_end, flags, true);
                if ((s->event_mask & LEXER_EVENT_LOAD) && s->cells_end > before &&
                    !fire_lexer_event(s, LEXER_EVENT_LOAD, s->token_type,
                                      lexer_cells + s->cells_end - 1, token_start, s->token_end)) {
                    s->cells_end = before;
                }
            }
        }

        if (s->start_state == STATE_PATH && k != TOKEN_PATH_SEP && k != TOKEN_BAD &&
            lexer_catch(s, s->make_values, [s] { path_end_check(s); }))
            return;

        if ((one || prescan) && s->token_type > 0 && s->start_state != STATE_PATH &&
            s->start_state != STATE_BRACED && k != TOKEN_PATH_SEP) {
            uint32_t made = s->cells_end - s->cells_start;
            if (made == 0 ||
                (made == 1 && TYPE_OF(lexer_cells + s->cells_start) != TYPE_TRIPLE))
                return;
        }
        s->previous_class = s->token_type;
    } while (s->text_pos < text_end);
}

int32_t lexer_scan(cell* out, const uint8_t* bytes, size_t length, bool one, bool scan,
                   bool make_values, bool wrap, size_t* consumed, const cell* callback,
                   uint32_t event_mask, const cell* source, cell* into, uint32_t source_base) {
    if (!lexer_cells) lexer_init();  // a datatype may load text before start-up ends
    lexer_state s{};
    s.source_base = s.mapped_index = source_base;
    s.callback = callback;
    s.event_mask = callback ? event_mask : 0;
    s.source = source;
    s.into = into;
    s.text_start = s.text_pos = s.token_end = s.mapped_pos = bytes;
    s.text_end = bytes + length;
    s.line = 1;
    s.value_type = -1;
    s.cells_parent = LEXER_NO_PARENT;
    s.make_values = scan && make_values;
    lexer_state* outer = lexer_current_state;
    while (outer && outer->nested_state) outer = outer->nested_state;
    s.enclosing_state = outer;
    s.cells_start = s.cells_end = outer ? outer->cells_end : 0;
    if (outer) outer->nested_state = &s;
    else lexer_current_state = &s;
    struct unlink {
        lexer_state* outer;
        ~unlink() {
            if (outer) outer->nested_state = nullptr;
            else lexer_current_state = nullptr;
        }
    } guard{outer};

    if (!catch_exit(THROW_LEXER, [&] { lexer_scan_loop(&s, one, !scan); }) &&
        s.cells_parent != LEXER_NO_PARENT) {
        s.closer = static_cast<int32_t>(innermost_kind(&s));
        (void)lexer_catch(&s, s.make_values,
                          [&] { lexer_throw_error(&s, nullptr, s.text_end, LEXER_MISSING_AT_END); });
    }
    if (s.make_values) {
        uint32_t made = s.cells_end - s.cells_start;
        if (one && made == 1 && !wrap && !into) {
            *out = lexer_cells[s.cells_start];
        } else if (into) {
            for (uint32_t i = 0; i < made; i++) {
                cell* c = alloc_tail_buffer(node_buffer(series_node(into)));  // may collect
                *c = lexer_cells[s.cells_start + i];
            }
            *out = *into;
        } else {
            node_id node = alloc_cells(made);  // may collect: the output cells are roots
            series_buffer* b = node_buffer(node);
            std::memcpy(b->offset, lexer_cells + s.cells_start, made * sizeof(cell));
            b->tail = b->offset + made * sizeof(cell);
            set_series_value(out, TYPE_BLOCK, node, 0);
        }
    }
    if (consumed) *consumed = static_cast<size_t>(s.text_pos - s.text_start);
    return s.token_type;
}

}  // namespace kel
