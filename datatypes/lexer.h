// The lexer: UTF-8 source text to values.
//
// Every byte maps to one of 40 character classes; an automaton of 65 states walks the
// bytes of one token until it reaches a final state (66 and up), which names the token's
// class. A final transition does not consume its byte. Each token class then runs its
// scanner (structure: series, paths, multi-line strings) and/or its loader (the value).
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

enum char_class : uint8_t {
    CHAR_SPACE,
    CHAR_NEWLINE,
    CHAR_DIGIT19,
    CHAR_DIGIT0,
    CHAR_LBRACKET,
    CHAR_RBRACKET,
    CHAR_LPAREN,
    CHAR_RPAREN,
    CHAR_LBRACE,
    CHAR_RBRACE,
    CHAR_DQUOTE,
    CHAR_HASH,
    CHAR_APOSTROPHE,
    CHAR_COLON_SIGN,
    CHAR_LETTER_X,
    CHAR_LETTER_T,
    CHAR_LETTER_H,
    CHAR_LETTER_E,
    CHAR_LETTER_UPPER_E,
    CHAR_HEXLETTER,
    CHAR_UPPER_HEXLETTER,
    CHAR_SLASH_SIGN,
    CHAR_BACKSLASH,
    CHAR_LESS_THAN,
    CHAR_GREATER_THAN,
    CHAR_EQUALS,
    CHAR_PERCENT_SIGN,
    CHAR_COMMA_SIGN,
    CHAR_SEMICOLON,
    CHAR_AT_SIGN,
    CHAR_PERIOD,
    CHAR_DOLLAR,
    CHAR_PLUS_SIGN,
    CHAR_MINUS_SIGN,
    CHAR_CIRCUMFLEX,
    CHAR_CONTROL,
    CHAR_CONTINUATION,
    CHAR_OTHER,
    CHAR_INVALID,
    CHAR_END,
};

// Flag bits of a class entry; the loop ORs them over a token's bytes.
constexpr uint32_t CHARFLAG_PERCENT = 0x00040000;
constexpr uint32_t CHARFLAG_GREATER_THAN = 0x00080000;
constexpr uint32_t CHARFLAG_LESS_THAN = 0x00100000;
constexpr uint32_t CHARFLAG_SIGN = 0x00200000;
constexpr uint32_t CHARFLAG_HASH = 0x00800000;
constexpr uint32_t CHARFLAG_EXPONENT = 0x01000000;
constexpr uint32_t CHARFLAG_APOSTROPHE = 0x02000000;
constexpr uint32_t CHARFLAG_COLON = 0x04000000;
constexpr uint32_t CHARFLAG_COMMA = 0x08000000;
constexpr uint32_t CHARFLAG_PERIOD = 0x10000000;
constexpr uint32_t CHARFLAG_CIRCUMFLEX = 0x20000000;
constexpr uint32_t CHARFLAG_WIDE2 = 0x40000000;
constexpr uint32_t CHARFLAG_WIDE4 = 0x80000000;

enum token_class : uint8_t {
    TOKEN_END,
    TOKEN_BAD,
    TOKEN_BLOCK_OPEN,
    TOKEN_BLOCK_CLOSE,
    TOKEN_PAREN_OPEN,
    TOKEN_PAREN_CLOSE,
    TOKEN_BRACED_OPEN,
    TOKEN_BRACED_CLOSE,
    TOKEN_MAP_OPEN,
    TOKEN_PATH_SEP,
    TOKEN_CONSTRUCT,
    TOKEN_COMMENT,
    TOKEN_COMMA,
    TOKEN_QUOTED_STRING,
    TOKEN_WORD,
    TOKEN_ISSUE,
    TOKEN_INTEGER,
    TOKEN_REFINEMENT,
    TOKEN_CHAR,
    TOKEN_FILE,
    TOKEN_BINARY,
    TOKEN_PERCENT,
    TOKEN_FLOAT,
    TOKEN_FLOAT_SPECIAL,
    TOKEN_TUPLE,
    TOKEN_DATE,
    TOKEN_PAIR,
    TOKEN_POINT,
    TOKEN_TIME,
    TOKEN_MONEY,
    TOKEN_TAG,
    TOKEN_URL,
    TOKEN_EMAIL,
    TOKEN_HEX,
    TOKEN_RAW_STRING,
    TOKEN_REF,
};

constexpr uint32_t LEXER_CLASSES = 40;
constexpr uint32_t LEXER_STATES = 65;
constexpr uint32_t LEXER_FINAL = 66;          // first final state: token class = state - 66
constexpr uint32_t LEXER_TABLE_STATES = 104;  // rows of the per-state tables
constexpr uint32_t TOKEN_CLASSES = 36;

// Entry states that scanners set for the next token.
constexpr int32_t STATE_START = 0;
constexpr int32_t STATE_BRACED = 4;  // inside a multi-line string
constexpr int32_t STATE_POINT = 35;  // after the "(" of a point literal
constexpr int32_t STATE_PATH = 59;   // a path segment

// Per byte: the class in the low byte, CHARFLAG_* bits above.
extern const std::array<uint32_t, 256> lexer_char_classes;
// next = lexer_transitions[state * LEXER_CLASSES + class]
extern const std::array<uint8_t, LEXER_STATES * LEXER_CLASSES> lexer_transitions;
// Per state: 1 where a transition into it makes the byte a leading blank.
extern const std::array<uint8_t, LEXER_TABLE_STATES> lexer_skip_table;
// Per class: added to the line counter for a consumed byte.
extern const std::array<uint8_t, LEXER_CLASSES> lexer_line_table;
// Per state: the datatype id the state stands for, 0 for none.
extern const std::array<uint8_t, LEXER_TABLE_STATES> lexer_type_table;
// Per class: 1 where the byte ends a path.
extern const std::array<uint8_t, LEXER_CLASSES> lexer_path_delimiters;
// Per byte: 1 where the byte may appear in a point literal before its first comma.
extern const std::array<uint8_t, 256> lexer_point_chars;

// Code points that end a word and are skipped like blanks.
bool unicode_blank_q(uint32_t cp);

// Result of a syntax error raised without a datatype to name.
constexpr int32_t LEXER_BAD_CHAR = -1;
constexpr int32_t LEXER_MALCONSTRUCT = -2;
constexpr int32_t LEXER_MISSING = -3;
constexpr int32_t LEXER_MISSING_AT_END = -4;

// Output cell index meaning "no open series".
constexpr uint32_t LEXER_NO_PARENT = 0xFFFFFFFF;

// One running scan. Output positions are indexes into the shared output buffer, so growth
// of the buffer needs no rebasing. The text must not move while the scan runs.
struct lexer_state {
    lexer_state* nested_state;
    lexer_state* enclosing_state;
    uint32_t cells_start;
    uint32_t cells_parent;  // innermost open series marker, or LEXER_NO_PARENT
    uint32_t cells_end;
    const uint8_t* text_start;
    const uint8_t* text_end;
    const uint8_t* text_pos;
    const uint8_t* token_end;
    int32_t line;
    int32_t line_count;
    int32_t value_type;
    int32_t token_type;
    int32_t start_state;
    int32_t previous_state;
    int32_t closer;
    int32_t previous_class;
    const uint8_t* braced_start;
    int32_t braced_depth;
    uint32_t braced_flags;
    bool braced_new_line;  // the opening "{" followed a line break
    int32_t line_marks;
    bool make_values;
    bool load;  // load? of the handler running now: errors raise only when set
    uint32_t event_mask;    // events the callback asked for; 0 without a callback
    const cell* callback;   // on the argument stack, which never moves
    const cell* source;     // the string! or binary! scanned, or null
    cell* into;             // a block! to append the values to, or null
    // Source index of text_start, and the last text position mapped to a source index,
    // so that a run of events counts characters only between tokens.
    uint32_t source_base;
    const uint8_t* mapped_pos;
    uint32_t mapped_index;
};

// Callback events, each a bit of the event mask.
constexpr uint32_t LEXER_EVENT_PRESCAN = 1;
constexpr uint32_t LEXER_EVENT_SCAN = 2;
constexpr uint32_t LEXER_EVENT_LOAD = 4;
constexpr uint32_t LEXER_EVENT_OPEN = 8;
constexpr uint32_t LEXER_EVENT_CLOSE = 16;
constexpr uint32_t LEXER_EVENT_ERROR = 32;
constexpr uint32_t LEXER_EVENTS_ALL = 0x3F;

// Runs the callback (Kel code) for one event; installed at start-up. type: a datatype id,
// 0 for none, or -k for item k of the exit-state names. value: the new value for a load
// event, else null; start and end: the token's bytes. It may move state->text_pos (within
// the text) to resume scanning there. True to go on.
using lexer_event_hook_fn = bool (*)(lexer_state* state, uint32_t event, int32_t type,
                                     const cell* value, const uint8_t* start, const uint8_t* end);
extern lexer_event_hook_fn lexer_event_hook;

// True when the event is not asked for or the callback lets the scan go on.
bool fire_lexer_event(lexer_state* state, uint32_t event, int32_t type, const cell* value,
                      const uint8_t* start, const uint8_t* end);

// The outermost running scan; nested scans chain behind it.
extern lexer_state* lexer_current_state;

// The output cell buffer shared by all scans.
extern cell* lexer_cells;
extern uint32_t lexer_cells_capacity;

// Scanners and loaders share one signature; they report through the state.
using lexer_handler = void (*)(lexer_state* state, const uint8_t* start, const uint8_t* end,
                               uint32_t flags, bool load);
struct lexer_handler_pair {
    lexer_handler scanner;
    lexer_handler loader;
};
extern lexer_handler lexer_scanners[TOKEN_CLASSES];
extern lexer_handler lexer_loaders[TOKEN_CLASSES];
void lexer_fill_handler_tables(const lexer_handler_pair (&pairs)[TOKEN_CLASSES]);

// Once at start-up: the output buffer, the handler tables, the collector hook.
void lexer_init();

// The next output cell (growing the buffer): unset!, new-line marked after a line break.
cell* lexer_alloc_cell(lexer_state* state);

// one: stop after the first complete top-level value; prescan: stop at the first token
// that has a type, making nothing.
void lexer_scan_loop(lexer_state* state, bool one, bool prescan);

// Marks the output cells of every running scan.
void lexer_mark_gc();

// Scan-only handlers (load false) end the step through THROW_LEXER with token-type
// error!; otherwise the syntax error is raised. start null: from the innermost opening.
[[noreturn]] void lexer_throw_error(lexer_state* state, const uint8_t* start,
                                    const uint8_t* end, int32_t type);

// Scans length bytes, which must not move while it runs (not in collected memory). one:
// one top-level value; scan false: prescan mode; values are made only with scan and
// make_values, into out (the value alone for one without wrap, else a block, or appended to
// the into block). consumed gets the bytes taken. callback with its event mask: see the
// hook; callback, source and into on the argument stack; source_base: the source index of
// the first byte. Returns the type of the last token (error! when a scan-only step failed,
// 0 when there was none).
int32_t lexer_scan(cell* out, const uint8_t* bytes, size_t length, bool one, bool scan,
                   bool make_values, bool wrap, size_t* consumed, const cell* callback = nullptr,
                   uint32_t event_mask = 0, const cell* source = nullptr, cell* into = nullptr,
                   uint32_t source_base = 0);

}  // namespace kel
