#include "io/json.h"

#include <string>
#include <unordered_map>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/float.h"
#include "datatypes/map.h"
#include "datatypes/number_scan.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/transcode.h"
#include "datatypes/word.h"
#include "io/text_cells.h"
#include "runtime/exits.h"
#include "runtime/float_text.h"
#include "runtime/stack.h"

namespace kel::json {

namespace {

// Deeper nesting is left to the grammar, which reports it its own way.
constexpr int DEPTH_LIMIT = 512;
// Longer number texts are past what the lexer reads.
constexpr size_t NUMBER_LIMIT = 300;

bool not_word_char(uint32_t c) {
    switch (c) {
        case '/': case '\\': case '^': case ',': case '[': case ']': case '(': case ')':
        case '{': case '}': case '"': case '#': case '%': case '$': case '@': case ':':
        case ';': case '\n': case 0xA0: case ' ': case '\t': case '\r': case '<': case '>':
            return true;
        default:
            return false;
    }
}

bool word_key_q(const std::u32string& key) {
    if (key.empty()) return false;
    uint32_t first = key[0];
    if (not_word_char(first) || (first >= '0' && first <= '9') || first == '\'') return false;
    for (size_t i = 1; i < key.size(); i++)
        if (not_word_char(key[i])) return false;
    return true;
}

int hex_digit(uint32_t c) {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
    return -1;
}

template <class T>
class decoder {
public:
    explicit decoder(text_cells::source<T> in) : in_(in) {}

    bool document(cell* out) {
        skip_ws();
        if (!value(out, 0)) return false;
        skip_ws();
        return at_ == in_.size();
    }

private:
    text_cells::source<T> in_;
    size_t at_ = 0;
    std::u32string text_;
    std::unordered_map<std::u32string, uint32_t> key_symbols_;

    uint32_t peek() const { return at_ < in_.size() ? in_[at_] : 0xFFFFFFFF; }

    void skip_ws() {
        while (at_ < in_.size()) {
            uint32_t c = in_[at_];
            if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return;
            at_++;
        }
    }

    bool literal(const char* word) {
        size_t i = 0;
        for (; word[i]; i++)
            if (at_ + i >= in_.size() || in_[at_ + i] != static_cast<uint8_t>(word[i])) return false;
        at_ += i;
        return true;
    }

    bool value(cell* out, int depth) {
        switch (peek()) {
            case '"':
                if (!string_text()) return false;
                text_cells::make_string(out, reinterpret_cast<const uint32_t*>(text_.data()), text_.size());
                in_.refresh();
                return true;
            case '{':
                return container(out, depth, true);
            case '[':
                return container(out, depth, false);
            case 't':
                *out = cell{TYPE_LOGIC, 1, 0, 0};
                return literal("true");
            case 'f':
                *out = cell{TYPE_LOGIC, 0, 0, 0};
                return literal("false");
            case 'n':
                *out = none_value;
                return literal("null");
            default:
                return number(out);
        }
    }

    // The text between the quotes with its escapes decoded into text_.
    bool string_text() {
        text_.clear();
        at_++;
        while (at_ < in_.size()) {
            uint32_t c = in_[at_++];
            if (c == '"') return true;
            if (c < 0x20) return false;
            if (c != '\\') {
                text_.push_back(static_cast<char32_t>(c));
                continue;
            }
            if (at_ >= in_.size()) return false;
            c = in_[at_++];
            switch (c) {
                case '"': case '\\': case '/': text_.push_back(static_cast<char32_t>(c)); break;
                case 'b': text_.push_back(U'\b'); break;
                case 'f': text_.push_back(U'\f'); break;
                case 'n': text_.push_back(U'\n'); break;
                case 'r': text_.push_back(U'\r'); break;
                case 't': text_.push_back(U'\t'); break;
                case 'u': {
                    int32_t unit = hex_unit(at_);
                    if (unit < 0) return false;
                    at_ += 4;
                    // A high surrogate without its low half raises in the grammar's decoding.
                    if (unit >= 0xD800 && unit <= 0xDBFF) {
                        if (at_ + 6 > in_.size() || in_[at_] != '\\' || in_[at_ + 1] != 'u') return false;
                        int32_t low = hex_unit(at_ + 2);
                        if (low < 0xDC00 || low > 0xDFFF) return false;
                        at_ += 6;
                        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                    }
                    text_.push_back(static_cast<char32_t>(unit));
                    break;
                }
                default:
                    return false;
            }
        }
        return false;
    }

    int32_t hex_unit(size_t from) const {
        if (from + 4 > in_.size()) return -1;
        int32_t unit = 0;
        for (size_t i = from; i < from + 4; i++) {
            int d = hex_digit(in_[i]);
            if (d < 0) return -1;
            unit = unit << 4 | d;
        }
        return unit;
    }

    bool digits() {
        size_t from = at_;
        while (at_ < in_.size() && in_[at_] >= '0' && in_[at_] <= '9') at_++;
        return at_ > from;
    }

    // Read as the lexer reads the same text: short integers exactly, anything longer or
    // with a fraction or exponent through the float conversion unless it fits an integer.
    bool number(cell* out) {
        size_t from = at_;
        if (peek() == '-') at_++;
        if (peek() == '0') at_++;
        else if (!digits()) return false;
        bool fraction = false;
        if (peek() == '.' && at_ + 1 < in_.size() && in_[at_ + 1] >= '0' && in_[at_ + 1] <= '9') {
            at_++;
            digits();
            fraction = true;
        }
        if (peek() == 'e' || peek() == 'E') {
            size_t mark = at_++;
            if (peek() == '+' || peek() == '-') at_++;
            if (digits()) fraction = true;
            else at_ = mark;
        }
        size_t length = at_ - from;
        if (length > NUMBER_LIMIT) return false;
        char text[NUMBER_LIMIT];
        for (size_t i = 0; i < length; i++) text[i] = static_cast<char>(in_[from + i]);
        size_t digit_count = length - (text[0] == '-');
        if (!fraction && digit_count <= 10) {
            int32_t error = 0;
            int32_t n = scan_integer(reinterpret_cast<const uint8_t*>(text), static_cast<uint32_t>(length), 1, error);
            if (error == 0) {
                *out = integer_value(n);
                return true;
            }
            if (error != SCAN_OVERFLOW) return false;
        }
        if (!float_syntax_q(text, text + length)) return false;
        std::ptrdiff_t unread = 0;
        double d = parse_float_text(text, text + length, 0, unread);
        if (unread != 0) return false;
        *out = cell{TYPE_FLOAT, 0, 0, 0};
        set_cell_float(out, d);
        return true;
    }

    // The symbol `to word!` gives the key, 0 when it would raise instead.
    uint32_t key_symbol() {
        auto found = key_symbols_.find(text_);
        if (found != key_symbols_.end()) return found->second;
        cell* saved = stack::top;
        cell* source = text_cells::make_string(stack::push_cell(), reinterpret_cast<const uint32_t*>(text_.data()), text_.size());
        cell* token = stack::push_cell();
        uint32_t symbol = 0;
        uint32_t code = catch_exit(THROW_ERROR, [&] {
            int32_t type = transcode_string(token, source, -1, true, true, false, false, nullptr);
            if (type <= 0 || !any_word_type_q(static_cast<uint32_t>(type))) return;
            transcode_string(token, source, -1, true, true, true, false, nullptr);
            symbol = token->w2;
        });
        stack::top = saved;
        if (code) symbol = 0;
        key_symbols_.emplace(text_, symbol);
        return symbol;
    }

    bool key(cell* out) {
        if (peek() != '"' || !string_text()) return false;
        bool done = key_value(out);
        in_.refresh();
        return done;
    }

    bool key_value(cell* out) {
        if (!word_key_q(text_)) {
            text_cells::make_string(out, reinterpret_cast<const uint32_t*>(text_.data()), text_.size());
            return true;
        }
        uint32_t symbol = key_symbol();
        if (!symbol) return false;
        word::make_at(symbol, out);
        return true;
    }

    // An object's keys and values are gathered in a block that then becomes the map.
    bool container(cell* out, int depth, bool object) {
        if (depth >= DEPTH_LIMIT) return false;
        at_++;
        cell* saved = stack::top;
        cell* items = block::push_only(8);
        cell* item = stack::push_cell();
        in_.refresh();
        uint32_t close = object ? '}' : ']';
        skip_ws();
        if (peek() != close) {
            for (;;) {
                if (object) {
                    if (!key(item)) return false;
                    block::ks_append(items, item);
                    in_.refresh();
                    skip_ws();
                    if (peek() != ':') return false;
                    at_++;
                    skip_ws();
                }
                if (!value(item, depth + 1)) return false;
                block::ks_append(items, item);
                in_.refresh();
                skip_ws();
                if (peek() != ',') break;
                at_++;
                skip_ws();
            }
            if (peek() != close) return false;
        }
        at_++;
        if (object) {
            map::make_over_block(items);
            in_.refresh();
        }
        *out = *items;
        stack::top = saved;
        return true;
    }
};

// Nothing allocates while the value is walked: the text grows in a C++ buffer and
// becomes a string! at the end.
class encoder {
public:
    encoder(const cell* indent, bool ascii) : ascii_(ascii) {
        if (TYPE_OF(indent) != TYPE_STRING) return;
        pretty_ = true;
        series_buffer* b = string::buffer_of(indent);
        for (uint32_t i = series_head(indent); i < string::ks_buffer_length(indent); i++)
            indent_.push_back(string::get_char(b->offset + size_t{i} * b->unit(), b->unit()));
    }

    bool value(const cell* v, int depth) {
        switch (TYPE_OF(v)) {
            case TYPE_NONE:
                put("null");
                return true;
            case TYPE_LOGIC:
                put(v->w1 ? "true" : "false");
                return true;
            case TYPE_INTEGER:
                put(std::to_string(static_cast<int32_t>(v->w2)).c_str());
                return true;
            case TYPE_FLOAT: {
                // Infinities and NaN are molded by the Kel writer.
                double d = cell_float(v);
                if (d - d != 0.0) return false;
                put(float_::form_float(d, FORM_FLOAT));
                return true;
            }
            case TYPE_STRING:
                text(v);
                return true;
            case TYPE_BLOCK:
                return depth < DEPTH_LIMIT && array(v, depth);
            case TYPE_MAP:
                return depth < DEPTH_LIMIT && object(v, depth);
            default:
                return false;
        }
    }

    void result(cell* out) { text_cells::make_string(out, out_.data(), out_.size()); }

private:
    bool ascii_;
    bool pretty_ = false;
    int level_ = 0;
    std::vector<uint32_t> indent_;
    std::vector<uint32_t> out_;

    void put(const char* s) {
        while (*s) out_.push_back(static_cast<uint8_t>(*s++));
    }
    void put(uint32_t c) { out_.push_back(c); }

    void hex4(uint32_t n) {
        static const char digits[] = "0123456789ABCDEF";
        put("\\u");
        for (int shift = 12; shift >= 0; shift -= 4) put(static_cast<uint32_t>(digits[(n >> shift) & 15]));
    }

    bool normal(uint32_t c) const {
        if (ascii_) return c >= 32 && c <= 127 && c != '"' && c != '\\';
        return c >= 32 && c != '"' && c != '\\' && (c < 0xD800 || c > 0xDFFF);
    }

    void text(const cell* v) {
        series_buffer* b = string::buffer_of(v);
        uint32_t unit = b->unit();
        put('"');
        for (uint32_t i = series_head(v); i < string::ks_buffer_length(v); i++)
            character(string::get_char(b->offset + size_t{i} * unit, unit));
        put('"');
    }

    void character(uint32_t c) {
        if (normal(c)) {
            put(c);
            return;
        }
        switch (c) {
            case '"': put("\\\""); break;
            case '\\': put("\\\\"); break;
            case '\b': put("\\b"); break;
            case '\f': put("\\f"); break;
            case '\n': put("\\n"); break;
            case '\r': put("\\r"); break;
            case '\t': put("\\t"); break;
            default:
                if (c > 0xFFFF) {
                    hex4(0xD800 + ((c - 0x10000) >> 10));
                    hex4(0xDC00 + ((c - 0x10000) & 1023));
                } else {
                    hex4(c);
                }
        }
    }

    // Between items: a comma, and in pretty form a line feed and the indent.
    void separate(bool first) {
        if (!first) put(',');
        if (!pretty_) return;
        put('\n');
        for (int i = 0; i < level_; i++) out_.insert(out_.end(), indent_.begin(), indent_.end());
    }

    void open(char bracket) {
        put(static_cast<uint32_t>(bracket));
        level_++;
    }

    void close(char bracket) {
        level_--;
        if (pretty_) {
            put('\n');
            for (int i = 0; i < level_; i++) out_.insert(out_.end(), indent_.begin(), indent_.end());
        }
        put(static_cast<uint32_t>(bracket));
    }

    bool array(const cell* v, int depth) {
        series_buffer* b = series::buffer_of(v);
        const cell* item = b->cells() + series_head(v);
        const cell* tail = b->cells_tail();
        if (item >= tail) {
            put("[]");
            return true;
        }
        open('[');
        for (bool first = true; item < tail; item++, first = false) {
            separate(first);
            if (!value(item, depth + 1)) return false;
        }
        close(']');
        return true;
    }

    // Word keys are written as their names, string keys as strings; other keys are
    // molded by the Kel writer.
    bool object(const cell* v, int depth) {
        series_buffer* b = series::buffer_of(v);
        const cell* entry = b->cells() + series_head(v);
        const cell* tail = b->cells_tail();
        bool first = true;
        for (; entry + 1 < tail; entry += 2) {
            if (TYPE_OF(entry + 1) == 0) continue;
            if (first) open('{');
            separate(first);
            first = false;
            uint32_t type = TYPE_OF(entry);
            if (type == TYPE_STRING) {
                text(entry);
            } else if (type == TYPE_SET_WORD) {
                name(entry->w2);
            } else {
                return false;
            }
            put(':');
            if (pretty_) put(' ');
            if (!value(entry + 1, depth + 1)) return false;
        }
        if (first) put("{}");
        else close('}');
        return true;
    }

    void name(uint32_t symbol) {
        size_t length = 0;
        const uint8_t* p = symbol::name_bytes(symbol, &length);
        const uint8_t* end = p + length;
        put('"');
        while (p < end) {
            uint32_t c = *p++;
            int more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
            if (more) c &= 0x3F >> more;
            for (; more > 0 && p < end; more--) c = c << 6 | (*p++ & 0x3F);
            character(c);
        }
        put('"');
    }
};

}  // namespace

bool decode(const cell* text, cell* out) {
    cell* saved = stack::top;
    cell* result = stack::push_cell();
    bool done = text_cells::with_source(text, [&](auto in) { return decoder(in).document(result); });
    if (done) *out = *result;
    stack::top = saved;
    return done;
}

bool encode(const cell* value, const cell* indent, bool ascii, cell* out) {
    encoder writer(indent, ascii);
    if (!writer.value(value, 0)) return false;
    writer.result(out);
    return true;
}

}  // namespace kel::json
