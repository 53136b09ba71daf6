#include "datatypes/file.h"

#include <algorithm>

#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/url.h"
#include "runtime/error_catalog.h"
#include "runtime/heap.h"
#include "runtime/os.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace kel::file {

services simple_io{};

namespace {

// The characters that force quotes around a molded path: the general escape set without
// DEL, and those that end a plain file when read (parens, ":" and "@"); nothing above 126.
inline bool needs_quotes_q(uint32_t c) {
    return c <= 126 && (url::escaped_q(0, static_cast<uint8_t>(c)) || c == '(' || c == ')' ||
                        c == ':' || c == '@');
}

template <class F>
F service(F fn) {
    if (!fn) fire(internal_error::feature_na);
    return fn;
}

inline cell* absent_as_null(cell* arg) { return refinement_q(arg) ? arg : nullptr; }

}  // namespace

void to_local_path(cell* value, cell* destination, bool prefix_current_dir) {
    string::ks_head(value);
    bool relative = string::ks_length(value) == 0 || string::char_at(value, series_head(value)) != '/';
    if (prefix_current_dir && relative) {
        string::concat_value(destination, get_current_dir());
        stack::pop(1);
    }
    string::concatenate(destination, value, -1, 0, true, string::CONCAT_APPEND);
}

const char* to_OS_path(cell* value) {
    if (string::find_char(value, 0) >= 0) fire(access_error::cannot_open, value);
    return to_utf8(value);
}

cell* get_current_dir() {
    size_t length = 0;
    char* dir = os_get_current_dir(&length);
    cell* result = load_string_push(reinterpret_cast<const uint8_t*>(dir ? dir : ""), length, 0);
    if (dir) heap_free(dir);
    uint32_t n = string::ks_length(result);
    if (n > 0 && string::char_at(result, n - 1) != '/') string::append_char(string::buffer_of(result), '/');
    return result;
}

cell* load(const uint8_t* bytes, size_t length, int32_t encoding) {
    cell* result = load_string_push(bytes, length, encoding);
    set_type(result, TYPE_FILE);
    return result;
}

void init() {
    const action_entry I = INHERIT;
    register_datatype(TYPE_FILE, TYPE_URL, "file!", {
        I, 0, 0, I, I, entry<ACT_MOLD>(mold), I, 0, I, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, I, I, I, I, I, I,
        I, I, I, I, I, I, I, I, I, I,
        0, I, I, I, I, I, I, I, I, I,
        0, 0, 0, entry<ACT_DELETE>(delete_), I, 0, 0, entry<ACT_QUERY>(query),
        entry<ACT_READ>(read), entry<ACT_RENAME>(rename),
        0, entry<ACT_WRITE>(write),
    });
}

int32_t mold(cell* value, cell* buffer, bool, bool all, bool, cell* arg, int32_t part, int32_t) {
    string::ks_head(value);
    uint32_t n = string::ks_length(value);
    if (refinement_q(arg)) n = std::min(n, static_cast<uint32_t>(std::max(part, 0)));
    uint32_t h = series_head(value);
    bool quoted = n == 0;
    for (uint32_t i = 0; i < n && !quoted; i++) quoted = needs_quotes_q(string::char_at(value, h + i));
    if (!quoted) {
        string::concat_cstr(buffer, "%");
        string::concatenate(buffer, value, static_cast<int32_t>(n), 0, true, string::CONCAT_APPEND);
        return part - static_cast<int32_t>(n) - 1;
    }
    // The quoted form reads escapes, so it writes them as a string does; but its token ends
    // at the first quote whatever stands before it, so a quote is written by its code.
    uint32_t before = string::ks_length(buffer);
    series_buffer* out = string::append_char(string::buffer_of(buffer), '%');
    out = string::append_char(out, '"');
    for (uint32_t i = 0; i < n; i++) {
        uint32_t c = string::char_at(value, h + i);
        if (c != '"') {
            out = string::mold_char(out, c, all, false);
            continue;
        }
        for (char e : {'^', '(', '2', '2', ')'}) out = string::append_char(out, static_cast<uint8_t>(e));
    }
    string::append_char(out, '"');
    return part - static_cast<int32_t>(string::ks_length(buffer) - before);
}

const cell* delete_(cell* value) {
    return service(simple_io.delete_)(value) ? &true_value : &false_value;
}

const cell* query(cell* value) { return service(simple_io.query)(value); }

const cell* read(cell* source, cell* part, cell* seek, bool binary, bool lines, bool, cell* as) {
    if (refinement_q(as)) fire(internal_error::not_done);
    return service(simple_io.read)(source, absent_as_null(part), absent_as_null(seek), binary, lines);
}

const cell* rename(cell* from, cell* to) {
    return service(simple_io.rename)(from, to) ? &true_value : &false_value;
}

const cell* write(cell* destination, cell* data, bool binary, bool lines, bool, bool append,
                  cell* part, cell* seek, cell* allow, cell* as) {
    if (refinement_q(allow) || refinement_q(as)) fire(internal_error::not_done);
    return service(simple_io.write)(destination, data, absent_as_null(part), absent_as_null(seek),
                                    binary, append, lines);
}

}  // namespace kel::file
