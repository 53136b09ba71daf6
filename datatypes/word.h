// The word family: word!, set-word!, lit-word!, get-word!, refinement! and issue! share
// one layout: w1 the bound context's node (0 for an unbound refinement), w2 the symbol id
// as written, w3 the slot index (-1 when not bound to a slot; always -1 for an issue!).
//
// Also the runtime's own symbols and words, loaded once the global context exists.
#pragma once
#include <cstddef>
#include <cstdint>

#include "datatypes/symbol.h"
#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kel {

inline bool any_word_type_q(uint32_t type) { return type >= TYPE_WORD && type <= TYPE_ISSUE; }

// Name lists, in loading order.
#define KEL_RUNTIME_SYMBOLS(X) \
    X(SPEC, "spec") \
    X(BODY, "body") \
    X(WORDS, "words") \
    X(CLASS, "class") \
    X(LOGIC, "logic!") \
    X(INTEGER, "integer!") \
    X(CHAR, "char!") \
    X(FLOAT, "float!") \
    X(PERCENT, "percent!") \
    X(ANY_TYPE, "any-type!") \
    X(EXIT, "exit") \
    X(RETURN, "return") \
    X(WINDOWS, "Windows") \
    X(SYLLABLE, "Syllable") \
    X(MACOS, "macOS") \
    X(LINUX, "Linux") \
    X(NETBSD, "NetBSD") \
    X(REPEAT, "repeat") \
    X(FOREACH, "foreach") \
    X(MAP_EACH, "map-each") \
    X(REMOVE_EACH, "remove-each") \
    X(BREAK, "break") \
    X(COPY, "copy") \
    X(FAIL, "fail") \
    X(INTO, "into") \
    X(QUOTE, "quote") \
    X(CASE, "case") \
    X(REJECT, "reject") \
    X(SKIP, "skip") \
    X(SOME, "some") \
    X(THRU, "thru") \
    X(NONE, "none") \
    X(REMOVE, "remove") \
    X(WHILE, "while") \
    X(INSERT, "insert") \
    X(ONLY, "only") \
    X(COLLECT, "collect") \
    X(KEEP, "keep") \
    X(PICK, "pick") \
    X(AHEAD, "ahead") \
    X(AFTER, "after") \
    X(SELF, "self") \
    X(VALUES, "values") \
    X(OWNER, "owner") \
    X(OWNED, "owned") \
    X(EVENTS_Q, "events?") \
    X(TRUE, "true") \
    X(FALSE, "false") \
    X(TYPE, "type") \
    X(FACE, "face") \
    X(WINDOW, "window") \
    X(OFFSET, "offset") \
    X(FLAG, "flag") \
    X(CODE, "code") \
    X(PICKED, "picked") \
    X(FLAGS, "flags") \
    X(AWAY_Q, "away?") \
    X(CTRL_Q, "ctrl?") \
    X(SHIFT_Q, "shift?") \
    X(DOWN_Q, "down?") \
    X(MID_DOWN_Q, "mid-down?") \
    X(ALT_DOWN_Q, "alt-down?") \
    X(AUX_DOWN_Q, "aux-down?") \
    X(ORIENTATION, "orientation") \
    X(POST, "post") \
    X(HEAD, "head") \
    X(SIZE, "size") \
    X(ALPHA, "alpha") \
    X(ARGB, "argb") \
    X(DATE, "date") \
    X(YEAR, "year") \
    X(MONTH, "month") \
    X(ZONE, "zone") \
    X(ISOWEEK, "isoweek") \
    X(WEEK, "week") \
    X(WEEKDAY, "weekday") \
    X(YEARDAY, "yearday") \
    X(JULIAN, "julian") \
    X(TIME, "time") \
    X(HOUR, "hour") \
    X(MINUTE, "minute") \
    X(SECOND, "second") \
    X(TIMEZONE, "timezone") \
    X(AMOUNT, "amount") \
    X(USER, "user") \
    X(HOST, "host") \
    X(SYSTEM, "system") \
    X(SYSTEM_GLOBAL, "system-global") \
    X(STACK, "stack") \
    X(TRACE, "trace") \
    X(NO_TRACE, "no-trace")
#define KEL_RUNTIME_WORDS(X) \
    X(BACK, "back") \
    X(FIND, "find") \
    X(HEAD, "head") \
    X(HEAD_Q, "head?") \
    X(INDEX_Q, "index?") \
    X(LENGTH_Q, "length?") \
    X(NEXT, "next") \
    X(PICK, "pick") \
    X(SKIP, "skip") \
    X(SELECT, "select") \
    X(TAIL, "tail") \
    X(TAIL_Q, "tail?") \
    X(CHANGE, "change") \
    X(CHANGED, "changed") \
    X(CLEAR, "clear") \
    X(CLEARED, "cleared") \
    X(SET_PATH, "set-path") \
    X(APPEND, "append") \
    X(APPENDED, "appended") \
    X(MOVE, "move") \
    X(MOVED, "moved") \
    X(POKE, "poke") \
    X(POKED, "poked") \
    X(PUT_ED, "put-ed") \
    X(REMOVED, "removed") \
    X(RANDOM, "random") \
    X(RANDOMIZED, "randomized") \
    X(REVERSE, "reverse") \
    X(REVERSED, "reversed") \
    X(SORT, "sort") \
    X(SORTED, "sorted") \
    X(SWAP, "swap") \
    X(SWAPED, "swaped") \
    X(TAKE, "take") \
    X(TAKEN, "taken") \
    X(TRIM, "trim") \
    X(TRIMMED, "trimmed") \
    X(INSERTED, "inserted") \
    X(UPPERCASE, "uppercase") \
    X(LOWERCASE, "lowercase") \
    X(CHECKSUM, "checksum") \
    X(PUSH, "push") \
    X(FETCH, "fetch") \
    X(MATCH, "match") \
    X(ITERATE, "iterate") \
    X(PAREN, "paren") \
    X(ANON, "<anon>") \
    X(BODY, "<body>") \
    X(NOT_FOUND, "<not-found>") \
    X(SUBTRACT, "subtract") \
    X(DIVIDE, "divide") \
    X(ON_PARSE_EVENT, "on-parse-event") \
    X(ON_CHANGE, "on-change*") \
    X(ON_DEEP_CHANGE, "on-deep-change*") \
    X(TYPE, "type") \
    X(CATCH, "catch") \
    X(NAME, "name") \
    X(MULTIPLY, "multiply") \
    X(BROWSE, "browse") \
    X(OPEN, "open") \
    X(CREATE, "create") \
    X(CLOSE, "close") \
    X(DELETE, "delete") \
    X(MODIFY, "modify") \
    X(QUERY, "query") \
    X(READ, "read") \
    X(RENAME, "rename") \
    X(UPDATE, "update") \
    X(WRITE, "write") \
    X(PRESCAN, "prescan") \
    X(SCAN, "scan") \
    X(LOAD, "load") \
    X(ERROR, "error") \
    X(COMMENT, "comment") \
    X(INIT, "init") \
    X(EXEC, "exec") \
    X(CALL, "call") \
    X(RETURN, "return") \
    X(ENTER, "enter") \
    X(EXIT, "exit") \
    X(PROLOG, "prolog") \
    X(EPILOG, "epilog") \
    X(THROW, "throw") \
    X(EXPR, "expr") \
    X(INTERP_CALLBACK, "<interp-callback>") \
    X(LEXER_CALLBACK, "<lexer-callback>") \
    X(PARSE_CALLBACK, "<parse-callback>") \
    X(COMPARE_CALLBACK, "<compare-callback>") \
    X(NOTE, "note") \
    X(SYNTAX, "syntax") \
    X(SCRIPT, "script") \
    X(MATH, "math") \
    X(ACCESS, "access") \
    X(USER, "user") \
    X(INTERNAL, "internal") \
    X(INVALID_ERROR, "invalid-error") \
    X(LOCAL, "local") \
    X(APPLIED, "<applied>")
#define KEL_RUNTIME_GLOBAL_WORDS(X) \
    X(WINDOWS) \
    X(SYLLABLE) \
    X(MACOS) \
    X(LINUX) \
    X(NETBSD) \
    X(THRU) \
    X(INTO) \
    X(REMOVE) \
    X(WHILE) \
    X(COLLECT) \
    X(KEEP) \
    X(AHEAD) \
    X(NONE) \
    X(REMOVE_EACH) \
    X(SOME) \
    X(COPY) \
    X(INSERT) \
    X(QUOTE) \
    X(REJECT) \
    X(CASE)

#define KEL_ENUM_ITEM(id, ...) SYM_##id,
enum runtime_symbol : uint32_t { KEL_RUNTIME_SYMBOLS(KEL_ENUM_ITEM) SYM_COUNT };
#undef KEL_ENUM_ITEM
#define KEL_ENUM_ITEM(id, ...) W_##id,
enum runtime_word : uint32_t { KEL_RUNTIME_WORDS(KEL_ENUM_ITEM) W_COUNT };
#undef KEL_ENUM_ITEM
#define KEL_ENUM_ITEM(id) GW_##id,
enum runtime_global_word : uint32_t { KEL_RUNTIME_GLOBAL_WORDS(KEL_ENUM_ITEM) GW_COUNT };
#undef KEL_ENUM_ITEM
enum runtime_refinement : uint32_t { REF_LOCAL, REF_EXTERN, REF_COMPARE, REF_PART, REF_SKIP, REF_WITH, REF_COUNT };

// Filled by words_init and refinements_init; the words stay collector roots.
extern uint32_t runtime_symbols[SYM_COUNT];
extern cell runtime_words[W_COUNT];
extern cell runtime_global_words[GW_COUNT];
extern cell runtime_refinements[REF_COUNT];

// A runtime symbol as words compare it (canonical spelling).
inline uint32_t sym(runtime_symbol s) { return symbol::resolve(runtime_symbols[s]); }

// Once the global context exists: type names become words, then the runtime's words.
void words_init();
void refinements_init();

namespace word {

// Registers word!, set-word!, lit-word!, get-word! and refinement!.
void init();

// A word of the global context, adding the symbol (unset) when missing.
cell* make_at(uint32_t symbol, cell* target);
// The global word of the name, matching case-insensitively and keeping the spelling.
cell load(const char* name);
// Append to a block value (the block cell is read before allocating).
cell* load_in(const cell* block, const char* name);
cell* make_in(const cell* block, uint32_t symbol);
cell* push_global(uint32_t symbol);
cell* push(const cell* word);

// Slot access by context node and index, as compiled references use it.
cell* push_in(node_id ctx, uint32_t index);
cell* word_at_in_node(node_id ctx, uint32_t index);
cell word_for_symbol(node_id ctx, uint32_t symbol);
cell* value_at_in_node(node_id ctx, uint32_t index);
cell* push_value_at(node_id ctx, uint32_t index);
// Pushes the word's value; script/no-value when it is unset.
cell* get(const cell* word);
void set_value_from_stack(node_id ctx, uint32_t index);
// Pushes the old value first: the top two cells are then the new and the old value.
void set_value_keep_old(node_id ctx, uint32_t index);
// Frame: slot 0 the word, slot 1 the value; the value is the result.
void set_from_args();

cell* get_symbol(const cell* word);
// A string! sharing the symbol's name buffer.
cell* push_spelling(const cell* word);
bool any_type_word_q(const cell* word);

const cell* make(cell* proto, cell* spec, uint32_t type);
int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
int32_t compare(cell* value1, cell* value2, int32_t op);
void index_q();

// What the per-type operations share: the base operation, then the type.
inline cell* retype(cell* word, uint32_t type) {
    set_type(word, type);
    return word;
}
inline cell retype(cell word, uint32_t type) {
    set_type(&word, type);
    return word;
}
// Frame: as set_from_args without the unset check.
void set_any_from_args();
// Frame: slot 0 gets the value of its word.
void get_from_args();

}  // namespace word

namespace get_word {
// Pushes the word's value, unset allowed.
cell* get(const cell* word);
}

namespace issue {
void init();
cell* make_at(cell* target, const char* name);
cell* make_in(const cell* block, const char* name);
cell* push(const cell* word);
const cell* make(cell* proto, cell* spec, uint32_t type);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
int32_t compare(cell* value1, cell* value2, int32_t op);
}  // namespace issue

namespace refinement {
// Unbound: no context, no slot.
cell* load_in(const cell* block, const char* name);
}

#define KEL_WORD_SUBTYPE(ns, TYPE)                                                              \
    namespace ns {                                                                              \
    inline cell* make_in(const cell* block, const char* name) {                                 \
        return word::retype(word::load_in(block, name), TYPE);                                  \
    }                                                                                           \
    inline cell* push(const cell* w) { return word::retype(word::push(w), TYPE); }              \
    inline cell* push_in(node_id ctx, uint32_t index) {                                         \
        return word::retype(word::push_in(ctx, index), TYPE);                                   \
    }                                                                                           \
    inline void set_from_args() { word::set_any_from_args(); }                                 \
    int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg,          \
                 int32_t part, int32_t indent);                                                 \
    }
KEL_WORD_SUBTYPE(set_word, TYPE_SET_WORD)
KEL_WORD_SUBTYPE(lit_word, TYPE_LIT_WORD)
KEL_WORD_SUBTYPE(get_word, TYPE_GET_WORD)
KEL_WORD_SUBTYPE(refinement, TYPE_REFINEMENT)
#undef KEL_WORD_SUBTYPE

namespace set_word {
inline cell load(const char* name) { return word::retype(word::load(name), TYPE_SET_WORD); }
inline void get_from_args() { word::get_from_args(); }
}  // namespace set_word
namespace lit_word {
inline cell load(const char* name) { return word::retype(word::load(name), TYPE_LIT_WORD); }
inline void get_from_args() { word::get_from_args(); }
}  // namespace lit_word
namespace get_word {
inline cell load(const char* name) { return word::retype(word::load(name), TYPE_GET_WORD); }
}  // namespace get_word
namespace refinement {
inline void get_from_args() { word::get_from_args(); }
}  // namespace refinement

}  // namespace kel
