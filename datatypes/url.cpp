#include "datatypes/url.h"

#include <algorithm>
#include <string>
#include <vector>

#include "datatypes/dispatch.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "runtime/error_catalog.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace kel::url {

services hooks{};

namespace {

struct escape_table {
    bool escaped[128]{};
    constexpr escape_table(const char* marks) {
        for (int c = 0; c < 0x20; c++) escaped[c] = true;
        escaped[0x7F] = true;
        for (const char* p = marks; *p; p++) escaped[static_cast<uint8_t>(*p)] = true;
    }
};

constexpr escape_table strict_table{" !\"#$%&'()*+,/:;<=>?@[\\]^`{|}"};
constexpr escape_table general_table{" \"%;<>[\\]^`{|}"};
constexpr escape_table mold_table{" \"%;<>[\\]^`{|}()"};


// The characters from the head: a private copy, so writing into any buffer is safe.
std::vector<uint32_t> chars_of(cell* value) {
    string::ks_head(value);
    uint32_t n = string::ks_length(value);
    std::vector<uint32_t> chars(n);
    for (uint32_t i = 0; i < n; i++) chars[i] = string::char_at(value, series_head(value) + i);
    return chars;
}

// A character of a url's scheme that mold writes as it is: the scheme is read as a word,
// where "%" cannot stand, so only what would end the word is escaped there.
inline bool raw_in_scheme_q(uint32_t cp) {
    return cp >= 0x80 || cp == '^' || cp == '`' || cp == '|' || cp == '>';
}

// The escaped text of the characters from the head; at most limit characters when limit is
// not negative. For mold, the scheme before the first ":" keeps what a word may hold.
std::u32string escaped_text(cell* value, uint32_t mode, int64_t limit) {
    std::u32string out;
    uint8_t bytes[4];
    std::vector<uint32_t> chars = chars_of(value);
    bool in_scheme = mode == ESCAPE_MOLD && std::find(chars.begin(), chars.end(), ':') != chars.end();
    for (uint32_t cp : chars) {
        if (limit >= 0 && static_cast<int64_t>(out.size()) >= limit) break;
        if (cp == ':') in_scheme = false;
        if (in_scheme && raw_in_scheme_q(cp)) {
            out.push_back(cp);
            continue;
        }
        size_t n = utf8_encode_char(cp, bytes);
        for (size_t i = 0; i < n; i++) {
            uint32_t length = 0;
            const char* text = encode_byte(mode, bytes + i, length);
            out.append(text, text + length);
        }
    }
    if (limit >= 0 && static_cast<int64_t>(out.size()) > limit) out.resize(static_cast<size_t>(limit));
    return out;
}

void append_text(cell* target, const std::u32string& text) {
    series_buffer* b = string::buffer_of(target);
    for (char32_t cp : text) b = string::append_char(b, cp);
}

// Forms element i from the block's head into the buffer; the element is copied first, as
// forming may move the block's buffer.
void form_element(const cell* block, uint32_t i, cell* buffer) {
    cell* held = stack::push(series::buffer_of(block)->cells() + series_head(block) + i);
    form_dispatch(held, buffer, nullptr, 0);
    stack::pop(1);
}

cell* push_element(const cell* block, uint32_t i) {
    return stack::push(series::buffer_of(block)->cells() + series_head(block) + i);
}

bool http_q(const cell* locator) { return string::starts_with_cstr_q(locator, "http"); }

// A port action, or internal/feature-na while port! is not registered.
template <uint32_t S>
action_fn<S> port_action() {
    action_entry e = type_action(TYPE_PORT, S);
    if (!e) fire(internal_error::feature_na);
    return reinterpret_cast<action_fn<S>>(e);
}

cell* push_method(const char* name) {
    cell method = word::load(name);
    return stack::push(&method);
}

// The HTTP request; no response raises access/no-connect.
const cell* request(cell* method, cell* locator, cell* headers, cell* body, bool binary, bool lines,
                    bool info) {
    if (!hooks.read_url) fire(internal_error::feature_na);
    const cell* result = hooks.read_url(method, locator, headers, body, binary, lines, info);
    if (TYPE_OF(result) == TYPE_NONE) fire(access_error::no_connect, locator);
    return result;
}

}  // namespace

bool escaped_q(uint32_t mode, uint8_t byte) {
    if (byte >= 0x80) return true;
    return (mode == ESCAPE_STRICT ? strict_table : mode == ESCAPE_MOLD ? mold_table : general_table)
        .escaped[byte];
}

bool decode_escape(const uint8_t* address, uint8_t& byte) {
    if (address[0] != '%') return false;
    int8_t high = hex_digit_value(address[1]);
    if (high < 0) return false;
    int8_t low = hex_digit_value(address[2]);
    if (low < 0) return false;
    byte = static_cast<uint8_t>(16 * high + low);
    return true;
}

void decode_string(cell* source, cell* target) {
    std::vector<uint32_t> chars = chars_of(source);
    size_t n = chars.size();
    // The escape at character i, when one stands there.
    auto escape_at = [&](size_t i, uint8_t& byte) {
        if (i + 2 >= n) return false;
        uint8_t text[3];
        for (int k = 0; k < 3; k++) text[k] = chars[i + k] < 0x80 ? static_cast<uint8_t>(chars[i + k]) : 0;
        return decode_escape(text, byte);
    };
    node_id node = series_node(target);
    for (size_t i = 0; i < n;) {
        uint8_t bytes[4];
        uint32_t cp = chars[i];
        size_t step = 1;
        if (escape_at(i, bytes[0])) {
            cp = bytes[0];
            step = 3;
            size_t want = static_cast<size_t>(utf8_lead_length(bytes[0]));
            size_t got = 1;
            while (got < want && escape_at(i + 3 * got, bytes[got])) got++;
            size_t length = 0;
            // A sequence with a bad continuation keeps its lead byte as a character.
            int32_t decoded = want && got == want ? utf8_check_char(bytes, want, length) : -1;
            if (decoded >= 0) {
                cp = static_cast<uint32_t>(decoded);
                step = 3 * want;
            }
        }
        string::append_char(node_buffer(node), cp);
        i += step;
    }
}

const char* encode_byte(uint32_t mode, const uint8_t* address, uint32_t& length) {
    static char text[4] = "%";
    if (!escaped_q(mode, *address)) {
        length = 1;
        return reinterpret_cast<const char*>(address);
    }
    const char* hex = byte_to_hex(*address);
    text[1] = hex[0];
    text[2] = hex[1];
    length = 3;
    return text;
}

void encode_string(cell* source, cell* target, uint32_t mode) {
    append_text(target, escaped_text(source, mode, -1));
}

cell* load_decoded(const uint8_t* bytes, size_t length) {
    cell* loaded = load_string_push(bytes, length, 0);
    cell* decoded = string::make_at(stack::push_cell(), static_cast<uint32_t>(string::ks_length(loaded)));
    decode_string(loaded, decoded);
    *loaded = *decoded;
    stack::pop(1);
    return loaded;
}

cell* make_port(cell* locator, bool open_q, bool new_q, bool read, bool write, bool seek,
                cell* allow) {
    if (!hooks.parse_url) fire(internal_error::feature_na);
    cell* port = stack::push(hooks.parse_url(locator));
    if (TYPE_OF(port) != TYPE_OBJECT) fire(script_error::invalid_arg, locator);
    cell* proto = stack::push_cell();
    *proto = cell{TYPE_DATATYPE, TYPE_PORT, 0, 0};
    *port = *port_action<ACT_MAKE>()(proto, port, TYPE_PORT);
    stack::pop(1);
    if (open_q) (void)port_action<ACT_OPEN>()(port, new_q, read, write, seek, allow);
    return port;
}

void init() {
    const action_entry I = INHERIT;
    register_datatype(TYPE_URL, TYPE_STRING, "url!", {
        entry<ACT_MAKE>(make), 0, 0, entry<ACT_TO>(to), I, entry<ACT_MOLD>(mold),
        entry<ACT_EVAL_PATH>(eval_path), 0, I, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, I, I, I, I, I, I,
        I, I, I, I, I, I, I, I, I, I,
        0, I, I, I, I, I, I, I, I, I,
        0, 0, 0, 0, I, entry<ACT_OPEN>(open), 0, 0, entry<ACT_READ>(read), 0,
        0, entry<ACT_WRITE>(write),
    });
}

const cell* make(cell* proto, cell* spec, uint32_t type) {
    uint32_t st = TYPE_OF(spec);
    if (st == TYPE_BLOCK || st == TYPE_PAREN || st == TYPE_HASH) return to(proto, spec, type);
    return string::make(proto, spec, type);
}

const cell* to(cell* proto, cell* spec, uint32_t type) {
    uint32_t st = TYPE_OF(spec);
    if (type != TYPE_URL || (st != TYPE_BLOCK && st != TYPE_PAREN && st != TYPE_HASH))
        return string::to(proto, spec, type);
    uint32_t n = static_cast<uint32_t>(series::length(spec));
    if (n == 0) raise_bad_to_arg(TYPE_URL, spec);
    string::make_at(proto, 32);
    form_element(spec, 0, proto);
    string::concat_cstr(proto, "://");
    if (n > 1) form_element(spec, 1, proto);
    uint32_t i = 2;
    if (n > 2 && TYPE_OF(series::buffer_of(spec)->cells() + series_head(spec) + 2) == TYPE_INTEGER) {
        string::concat_cstr(proto, ":");
        form_element(spec, 2, proto);
        i = 3;
    }
    for (; i < n; i++) {
        bool issue = TYPE_OF(series::buffer_of(spec)->cells() + series_head(spec) + i) == TYPE_ISSUE;
        string::concat_cstr(proto, issue ? "#" : "/");
        form_element(spec, i, proto);
    }
    set_type(proto, TYPE_URL);
    return proto;
}

int32_t mold(cell* value, cell* buffer, bool, bool, bool, cell* arg, int32_t part, int32_t) {
    int64_t limit = refinement_q(arg) ? std::max(part, 0) : -1;
    std::u32string text = escaped_text(value, ESCAPE_MOLD, limit);
    append_text(buffer, text);
    return part - static_cast<int32_t>(text.size());
}

const cell* eval_path(cell* parent, cell* element, cell* value, cell*, cell*, cell*, int32_t, bool,
                      bool, bool, bool) {
    if (value) fire(script_error::bad_path_set, element, value);
    string::ks_head(parent);
    cell* result = series::copy_range(parent, stack::push_cell(), static_cast<int32_t>(series_head(parent)),
                                      static_cast<int32_t>(string::ks_length(parent)));
    cell* selector = TYPE_OF(element) == TYPE_GET_WORD ? get_word::get(element) : element;
    cell* text = string::make_at(stack::push_cell(), 16);
    form_dispatch(selector, text, nullptr, 0);
    uint32_t length = string::ks_length(result);
    bool ends = length > 0 && string::char_at(result, length - 1) == '/';
    bool starts = string::ks_length(text) > 0 && string::char_at(text, 0) == '/';
    if (ends && starts)
        text->w1 = 1;
    else if (!ends && !starts)
        string::append_char(string::buffer_of(result), '/');
    string::concat_value(result, text);
    stack::top = result + 1;
    return result;
}

const cell* open(cell* locator, bool new_q, bool read, bool write, bool seek, cell* allow) {
    return make_port(locator, true, new_q, read, write, seek, allow);
}

const cell* read(cell* source, cell* part, cell* seek, bool binary, bool lines, bool info, cell* as) {
    if (!http_q(source)) {
        cell* port = make_port(source, false, false, false, false, false, nullptr);
        return port_action<ACT_READ>()(port, part, seek, binary, lines, info, as);
    }
    if (refinement_q(part) || refinement_q(seek) || refinement_q(as)) fire(internal_error::not_done);
    cell* method = push_method("get");
    cell* none = stack::push(&none_value);
    return request(method, source, none, none, binary, lines, info);
}

const cell* write(cell* destination, cell* data, bool binary, bool lines, bool info, bool append,
                  cell* part, cell* seek, cell* allow, cell* as) {
    if (!http_q(destination)) {
        cell* port = make_port(destination, false, false, false, false, false, nullptr);
        return port_action<ACT_WRITE>()(port, data, binary, lines, info, append, part, seek, allow, as);
    }
    if (refinement_q(seek) || refinement_q(allow) || refinement_q(as)) fire(internal_error::not_done);
    cell* headers = stack::push(&none_value);
    cell* body = stack::push(&none_value);
    cell* method;
    bool has_body = true;
    if (TYPE_OF(data) == TYPE_BLOCK) {
        uint32_t n = static_cast<uint32_t>(series::length(data));
        has_body = n > 2;
        if (n == 0) {
            method = push_method("get");
        } else {
            method = push_element(data, 0);
            if (TYPE_OF(method) != TYPE_WORD) fire(script_error::invalid_arg, method);
        }
        if (n > 1) {
            *headers = *push_element(data, 1);
            stack::pop(1);
            if (TYPE_OF(headers) != TYPE_BLOCK) fire(script_error::invalid_arg, headers);
        }
        if (has_body) {
            *body = *push_element(data, 2);
            stack::pop(1);
        }
    } else {
        method = push_method("post");
        *body = *data;
    }
    uint32_t bt = TYPE_OF(body);
    if (has_body && bt != TYPE_BLOCK && bt != TYPE_STRING && bt != TYPE_BINARY)
        fire(script_error::invalid_arg, body);
    return request(method, destination, headers, body, binary, lines, info);
}

}  // namespace kel::url
