#include "runtime/error_catalog.h"

#include <algorithm>
#include <initializer_list>
#include <iterator>

namespace kel {

namespace {

constexpr size_t max_items = 6;

struct error_entry {
    const char* word;
    message_form form;
    uint8_t count;
    error_item items[max_items];
};

struct error_category_entry {
    const char* word;
    const char* title;
    std::span<const error_entry> ids;
};

constexpr error_entry entry(const char* id, message_form form, std::initializer_list<error_item> items) {
    error_entry e{id, form, static_cast<uint8_t>(items.size()), {}};
    std::copy(items.begin(), items.end(), e.items);
    return e;
}
constexpr error_entry str(const char* id, const char* text) { return entry(id, message_form::string, {text}); }
constexpr error_entry tpl(const char* id, std::initializer_list<error_item> items) {
    return entry(id, message_form::block, items);
}
constexpr error_entry word(const char* id, error_item arg) { return entry(id, message_form::word, {arg}); }

// :arg1 :arg2 :arg3 as get-words, arg1 arg2 as plain words.
constexpr error_item G1{1, true}, G2{2, true}, G3{3, true};
constexpr error_item W1{1, false}, W2{2, false};

constexpr error_entry throw_ids[] = {
    str("break", "no loop to break"),
    str("return", "return or exit not in function"),
    tpl("throw", {"no catch for throw:", G1}),
    str("continue", "no loop to continue"),
    str("while-cond", "BREAK/CONTINUE cannot be used in WHILE condition block"),
};

constexpr error_entry note_ids[] = {
    tpl("no-load", {"cannot load: ", G1}),
};

constexpr error_entry syntax_ids[] = {
    tpl("invalid", {G1, "invalid", G2, "at", G3}),
    tpl("missing", {G1, "missing", G2, "at", G3}),
    tpl("no-header", {"script is missing a Kel header:", G1}),
    tpl("no-ks-header", {"script is missing a Kel/System header:", G1}),
    tpl("bad-header", {"script header is not valid:", G1}),
    tpl("malconstruct", {G1, "invalid construction spec at", G2}),
    tpl("bad-char", {G1, "invalid character at", G2}),
};

constexpr error_entry script_ids[] = {
    tpl("no-value", {G1, "has no value"}),
    tpl("need-value", {G1, "needs a value"}),
    tpl("not-defined", {G1, "word is not bound to a context"}),
    tpl("not-in-context", {"context for", G1, "is not available"}),
    tpl("no-arg", {G1, "is missing its", G2, "argument"}),
    tpl("expect-arg", {G1, "does not allow", G2, "for its", G3, "argument"}),
    tpl("expect-val", {"expected", G1, "not", G2}),
    tpl("expect-type", {G1, G2, "field must be of type", G3}),
    tpl("cannot-use", {"cannot use", G1, "on", G2, "value"}),
    tpl("invalid-arg", {"invalid argument:", G1}),
    tpl("invalid-type", {G1, "type is not allowed here"}),
    tpl("invalid-type-spec", {"invalid type specifier:", G1}),
    tpl("invalid-key-type", {"invalid key type:", G1}),
    tpl("invalid-op", {"invalid operator:", G1}),
    tpl("no-op-arg", {G1, "operator is missing an argument"}),
    str("bad-op-spec", "making an op! requires a function with only 2 arguments and no lit/get-word on left argument"),
    tpl("invalid-data", {"data not in correct format:", G1}),
    tpl("invalid-part", {"invalid /part count:", G1}),
    str("not-same-type", "values must be of the same type"),
    tpl("not-same-class", {"cannot coerce", G1, "to", G2}),
    tpl("not-related", {"incompatible argument for", G1, "of", G2}),
    tpl("bad-func-def", {"invalid function definition:", G1}),
    tpl("bad-func-arg", {"function argument", G1, "is not valid"}),
    tpl("bad-func-extern", {"invalid /extern value:", G1}),
    tpl("no-refine", {G1, "has no refinement called", G2}),
    str("bad-refines", "incompatible or invalid refinements"),
    tpl("bad-refine", {"invalid refinement value:", G1}),
    tpl("dup-refine", {"duplicate refinement usage in:", G1}),
    tpl("word-first", {"path must start with a word:", G1}),
    str("empty-path", "cannot evaluate an empty path value"),
    tpl("unset-path", {G2, "is unset in path", G1}),
    tpl("invalid-path", {"cannot access", G2, "in path", G1}),
    tpl("invalid-path-set", {"unsupported type in", G1, "set-path"}),
    tpl("invalid-path-get", {"unsupported type in", G1, "get-path"}),
    tpl("bad-path-type", {G3, "returned a", G2, "value, so", G1, "could not be accessed"}),
    tpl("bad-path-type2", {"path element >", G1, "< does not apply to", G2, "type"}),
    tpl("bad-path-set", {"cannot set", G2, "in path", G1}),
    tpl("bad-field-set", {"cannot set", G1, "field to", G2, "datatype"}),
    tpl("dup-vars", {"duplicate variable specified:", G1}),
    str("past-end", "out of range or past end"),
    str("missing-arg", "missing a required argument or refinement"),
    tpl("out-of-range", {"value out of range:", G1}),
    str("invalid-chars", "contains invalid characters"),
    tpl("invalid-compare", {"cannot compare", G1, "with", G2}),
    tpl("wrong-type", {"datatype assertion failed for:", G1}),
    tpl("invalid-refine-arg", {"invalid", G1, "argument:", G2}),
    tpl("type-limit", {G1, "overflow/underflow"}),
    tpl("size-limit", {"maximum limit reached:", G1}),
    str("no-return", "block did not return a value"),
    str("throw-usage", "invalid use of a thrown error value"),
    tpl("locked-word", {"protected word - cannot modify:", G1}),
    str("protected", "protected value or series - cannot modify"),
    tpl("bad-bad", {G1, "error:", G2}),
    tpl("bad-make-arg", {"cannot MAKE", G1, "from:", G2}),
    tpl("bad-to-arg", {"cannot MAKE/TO", G1, "from:", G2}),
    str("invalid-months", "invalid system/locale/month list"),
    tpl("invalid-spec-field", {"invalid", G1, "field in spec block"}),
    tpl("missing-spec-field", {G1, "not found in spec block"}),
    tpl("move-bad", {"Cannot MOVE elements from", G1, "to", G2}),
    str("too-long", "Content too long"),
    tpl("invalid-char", {"Invalid char! value:", G1}),
    tpl("bad-loop-series", {"Loop series changed to invalid value:", G1}),
    tpl("wrong-denom", {G1, "not same denomination as", G2}),
    tpl("bad-denom", {"invalid denomination:", G1}),
    tpl("invalid-obj-evt", {"invalid object event handler:", G1}),
    tpl("parse-rule", {"PARSE - invalid rule or usage of rule:", G1}),
    tpl("parse-end", {"PARSE - unexpected end of rule after:", G1}),
    tpl("parse-invalid-ref", {"PARSE - get-word refers to a different series!", G1}),
    tpl("parse-block", {"PARSE - input must be of any-block! type:", G1}),
    str("parse-unsupported", "PARSE - matching by datatype not supported for any-string! input"),
    tpl("parse-infinite", {"PARSE - infinite recursion at rule: [", G1, "]"}),
    str("parse-stack", "PARSE - stack limit reached"),
    str("parse-keep", "PARSE - KEEP is used without a wrapping COLLECT"),
    str("parse-into-bad", "PARSE - COLLECT INTO/AFTER invalid series! argument"),
    str("parse-into-type", "PARSE - COLLECT INTO/AFTER expects a series! of compatible datatype"),
    tpl("draw-invalid", {"DRAW - invalid input at:", G1}),
    tpl("draw-infinite", {"DRAW - infinite recursion at:", G1}),
    tpl("invalid-data-facet", {"invalid DATA facet content", G1}),
    tpl("face-type", {"VIEW - invalid face type:", G1}),
    str("not-window", "VIEW - expected a window root face"),
    str("bad-window", "VIEW - a window face cannot be nested in another window"),
    str("not-linked", "VIEW - face not linked to a window"),
    tpl("not-event-type", {"VIEW - not a valid event type", G1}),
    tpl("invalid-facet-type", {"VIEW - invalid rate value:", G1}),
    tpl("vid-invalid-syntax", {"VID - invalid syntax at:", G1}),
    tpl("rtd-invalid-syntax", {"RTD - invalid syntax at:", G1}),
    tpl("rtd-no-match", {"RTD - opening/closing tag not matching for:", G1}),
    str("react-bad-func", "REACT - /LINK option requires a function! as argument"),
    str("react-not-enough", "REACT - reactive functions must accept at least 2 arguments"),
    str("react-no-match", "REACT - objects block length must match reaction function arg count"),
    str("react-bad-obj", "REACT - target can only contain object values"),
    tpl("react-gctx", {"REACT - word", G1, "is not a reactor's field"}),
    tpl("lib-invalid-arg", {"LIBKEL - invalid argument for", G1}),
    tpl("kb-invalid-record", {"KELBIN - invalid record at index", G1}),
};

constexpr error_entry math_ids[] = {
    str("zero-divide", "attempt to divide by zero"),
    str("overflow", "math or number overflow"),
    str("positive", "positive number required"),
};

constexpr error_entry access_ids[] = {
    tpl("cannot-open", {"cannot open:", G1}),
    tpl("cannot-close", {"cannot close:", G1}),
    tpl("invalid-utf8", {"invalid UTF-8 encoding:", G1}),
    tpl("not-open", {"port is not open:", G1}),
    tpl("no-connect", {"cannot connect:", G1, "reason: timeout"}),
    tpl("no-scheme", {"missing port scheme:", G1}),
    tpl("unknown-scheme", {"scheme is unknown:", G1}),
    tpl("invalid-spec", {"invalid spec or options:", G1}),
    tpl("invalid-port", {"invalid port object (invalid field values)"}),
    tpl("invalid-actor", {"invalid port actor (must be handle or object)"}),
    str("no-port-action", "port action not supported"),
    tpl("no-create", {"cannot create:", G1}),
    tpl("no-codec", {"cannot decode or encode (no codec):", G1}),
    tpl("bad-media", {"bad media data (corrupt image, sound, video)"}),
    tpl("invalid-cmd", {"invalid port command:", G1}),
};

constexpr error_entry user_ids[] = {
    word("message", W1),
};

constexpr error_entry internal_ids[] = {
    tpl("bad-path", {"bad path:", W1}),
    tpl("not-here", {W1, "not supported on your system"}),
    str("no-memory", "not enough memory"),
    str("wrong-mem", "failed to release memory"),
    str("stack-overflow", "stack overflow"),
    tpl("limit-hit", {"internal limit reached:", G1}),
    str("too-deep", "block or paren series is too deep to process"),
    str("no-cycle", "circular reference not allowed"),
    str("feature-na", "feature not available"),
    str("not-done", "reserved for future use (or not yet implemented)"),
    tpl("invalid-error", {"invalid error object field value:", G1}),
    str("routines", "routines require compilation, from OS shell: `kel -r <script.kel>`"),
    str("kel-system", "contains Kel/System code which requires compilation"),
    tpl("deprecated", {W1, "is DEPRECATED, please use", W2, "instead"}),
};

constexpr error_category_entry categories[] = {
    {"throw", "Throw Error", throw_ids},
    {"note", "note", note_ids},
    {"syntax", "Syntax Error", syntax_ids},
    {"script", "Script Error", script_ids},
    {"math", "Math Error", math_ids},
    {"access", "Access Error", access_ids},
    {"reserved1", "Reserved1 Error", {}},
    {"reserved2", "Reserved2 Error", {}},
    {"user", "User Error", user_ids},
    {"internal", "Internal Error", internal_ids},
};

const error_entry* find_entry(uint32_t category, uint32_t id) {
    if (category >= std::size(categories) || id >= categories[category].ids.size()) return nullptr;
    return &categories[category].ids[id];
}

}  // namespace

uint32_t error_category_count() { return std::size(categories); }

const char* error_category_word(uint32_t category) {
    return category < std::size(categories) ? categories[category].word : nullptr;
}

const char* error_category_title(uint32_t category) {
    return category < std::size(categories) ? categories[category].title : nullptr;
}

uint32_t error_id_count(uint32_t category) {
    return category < std::size(categories) ? categories[category].ids.size() : 0;
}

const char* error_id_word(uint32_t category, uint32_t id) {
    const error_entry* e = find_entry(category, id);
    return e ? e->word : nullptr;
}

message_form error_message_form(uint32_t category, uint32_t id) {
    const error_entry* e = find_entry(category, id);
    return e ? e->form : message_form::string;
}

std::span<const error_item> error_message_items(uint32_t category, uint32_t id) {
    const error_entry* e = find_entry(category, id);
    if (!e) return {};
    return {e->items, e->count};
}

std::string format_error_message(uint32_t category, uint32_t id, const std::string args[3]) {
    std::string out;
    bool first = true;
    for (const error_item& item : error_message_items(category, id)) {
        if (!first) out += ' ';
        first = false;
        out += item.text ? item.text : args[item.arg - 1];
    }
    return out;
}

}  // namespace kel
