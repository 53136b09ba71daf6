#include "runtime/unicode.h"

#include <cstring>

#include "runtime/collector.h"
#include "runtime/error_catalog.h"
#include "runtime/exits.h"

namespace kel {

const uint16_t cp1251_table[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};

namespace {

constexpr int RUNTIME_BAD_UNIT = 101;

[[noreturn]] void bad_unit() { runtime_error_exit(RUNTIME_BAD_UNIT, 0); }

[[noreturn]] void raise_invalid_char(uint32_t cp) {
    cell arg{TYPE_INTEGER, cp, 0, 0};
    fire(script_error::invalid_char, &arg);
}

constexpr size_t round16(size_t n) { return (n + 15) & ~size_t{15}; }

// Makes room for `bytes` from the buffer's offset; an expansion moves the offset to the
// data start.
series_buffer* ensure_room(series_buffer* buffer, size_t bytes) {
    if (static_cast<size_t>(buffer->offset - buffer->data()) + bytes > buffer->size)
        buffer = expand_series(buffer, round16(bytes));
    return buffer;
}

void set_unit(series_buffer* buffer, uint32_t unit) {
    buffer->flags = (buffer->flags & ~SERIES_UNIT_MASK) | unit;
}

// Characters of a text value from its head, cut to `limit` when it is not negative.
struct text_run {
    const uint8_t* begin;
    size_t count;
    uint32_t unit;
};

text_run value_run(const cell* value, int64_t limit) {
    series_buffer* buffer = node_buffer(series_node(value));
    uint32_t unit = buffer->unit();
    if (unit != 1 && unit != 2 && unit != 4) bad_unit();
    size_t total = buffer->used_bytes() / unit;
    size_t head = series_head(value);
    if (head > total) head = total;
    size_t count = total - head;
    if (limit >= 0 && static_cast<size_t>(limit) < count) count = static_cast<size_t>(limit);
    return {buffer->offset + head * unit, count, unit};
}

// Calls f with the run's characters as a typed pointer.
template <class F>
auto with_units(const text_run& run, F&& f) {
    switch (run.unit) {
        case 1: return f(run.begin);
        case 2: return f(reinterpret_cast<const uint16_t*>(run.begin));
        case 4: return f(reinterpret_cast<const uint32_t*>(run.begin));
    }
    bad_unit();
}

template <class T>
uint8_t* encode_utf8_units(const T* src, size_t n, uint8_t* out, bool crlf) {
    for (size_t i = 0; i < n; i++) {
        uint32_t cp = src[i];
        if (cp < 0x80) {
            if (crlf && cp == '\n') *out++ = '\r';
            *out++ = static_cast<uint8_t>(cp);
        } else {
            out += utf8_encode_char(cp, out);
        }
    }
    return out;
}

// Null when a code point above U+10FFFF is met.
template <class T>
uint16_t* encode_utf16_units(const T* src, size_t n, uint16_t* out, bool crlf) {
    if constexpr (sizeof(T) == 2) {
        if (!crlf) {
            std::memcpy(out, src, n * 2);
            return out + n;
        }
    }
    for (size_t i = 0; i < n; i++) {
        uint32_t cp = src[i];
        if constexpr (sizeof(T) == 4) {
            if (cp > 0xFFFF) {
                if (cp > 0x10FFFF) return nullptr;
                out += utf16_encode_char(cp, out);
                continue;
            }
        }
        if (crlf && cp == '\n') *out++ = '\r';
        *out++ = static_cast<uint16_t>(cp);
    }
    return out;
}

inline uint32_t utf16_unit_at(const uint8_t* text, size_t k) {
    uint16_t u;
    std::memcpy(&u, text + 2 * k, 2);
    return u;
}

// One automaton run that stops at end; only the length matters to the callers.
inline const uint8_t* skip_sequence(const uint8_t* p, const uint8_t* end) {
    uint32_t state = utf8_transitions[utf8_classes[*p++]];
    while (state > UTF8_REJECT && p < end) state = utf8_transitions[state + utf8_classes[*p++]];
    return p;
}

// A load's source and destination, held across allocations: a collection may move their
// buffers and renumber their nodes.
struct load_roots {
    root_node source;
    root_node dest;
    const uint8_t* raw;
    size_t start;
    explicit load_roots(byte_source bytes)
        : source(bytes.node, false), dest(0, false), raw(bytes.raw), start(bytes.start) {}
    const uint8_t* source_address() const {
        return source.node ? node_buffer(source.node)->offset + start : raw;
    }
};

enum class run_end { done, wide, short_input, invalid };

// Stores the code points of src[i..count) at out[pos..] while they fit T; the caller has
// made room for one unit per byte left. Utf8 selects the decoder: UTF-8 or Windows-1251.
template <class T, bool Utf8>
run_end store_run(const uint8_t* src, size_t count, size_t& i, T* out, size_t& pos, bool cr,
                  uint32_t& wide) {
    constexpr uint32_t max = sizeof(T) == 1 ? 0xFF : sizeof(T) == 2 ? 0xFFFF : 0xFFFFFFFF;
    size_t k = i, n = pos;
    run_end end = run_end::done;
    constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    while (k < count) {
        // Eight ASCII bytes (and no CR to handle) at a time.
        if (count - k >= 8) {
            uint64_t w;
            std::memcpy(&w, src + k, 8);
            uint64_t x = w ^ (ones * '\r');
            if (!(w & highs) && !(cr && ((x - ones) & ~x & highs))) {
                if constexpr (sizeof(T) == 1) std::memcpy(out + n, &w, 8);
                else for (size_t j = 0; j < 8; j++) out[n + j] = src[k + j];
                k += 8;
                n += 8;
                continue;
            }
        }
        uint32_t b = src[k];
        if (b < 0x80) {
            k++;
            if (b == '\r' && cr) {
                if (k < count && src[k] == '\n') continue;  // the LF comes next
                b = '\n';
            }
            out[n++] = static_cast<T>(b);
            continue;
        }
        uint32_t cp;
        if constexpr (Utf8) {
            size_t len;
            int32_t got = utf8_check_char(src + k, count - k, len);
            if (got < 0) {
                end = got == UTF8_SHORT ? run_end::short_input : run_end::invalid;
                break;
            }
            cp = static_cast<uint32_t>(got);
            k += len;
        } else {
            cp = cp1251_table[b - 0x80];
            k++;
        }
        if (cp > max) {
            wide = cp;
            end = run_end::wide;
            break;
        }
        out[n++] = static_cast<T>(cp);
    }
    i = k;
    pos = n;
    return end;
}

// Loads src[i..count) into the buffer from its offset, widening it when a wider code point
// arrives. The buffer has room for one unit per byte.
template <bool Utf8>
node_id load_units(load_roots& roots, size_t count, size_t i, size_t* left, bool cr) {
    size_t pos = 0;
    for (;;) {
        series_buffer* buffer = node_buffer(roots.dest.node);
        const uint8_t* s = roots.source_address();
        uint32_t wide = 0;
        run_end end;
        switch (buffer->unit()) {
            case 1: end = store_run<uint8_t, Utf8>(s, count, i, buffer->offset, pos, cr, wide); break;
            case 2:
                end = store_run<uint16_t, Utf8>(s, count, i, reinterpret_cast<uint16_t*>(buffer->offset),
                                                pos, cr, wide);
                break;
            case 4:
                end = store_run<uint32_t, Utf8>(s, count, i, reinterpret_cast<uint32_t*>(buffer->offset),
                                                pos, cr, wide);
                break;
            default: bad_unit();
        }
        buffer->tail = buffer->offset + pos * buffer->unit();
        // A cut sequence nobody carries over is invalid input, not text to drop silently.
        if (end == run_end::invalid || (end == run_end::short_input && !left))
            raise_invalid_utf8(s + i, count - i);
        if (end != run_end::wide) {
            if (left) *left = end == run_end::short_input ? count - i : 0;
            return roots.dest.node;
        }
        // Room first, so widening needs no expansion of its own.
        uint32_t unit = wide > 0xFFFF ? 4 : 2;
        buffer = ensure_room(buffer, (pos + 1 + count - i) * unit);
        if (buffer->unit() == 1)
            buffer = unit == 2 ? widen_1_to_2(buffer) : widen_1_to_4(buffer);
        else
            buffer = widen_2_to_4(buffer);
        if (unit == 2) {
            uint16_t u = static_cast<uint16_t>(wide);
            std::memcpy(buffer->offset + pos * 2, &u, 2);
        } else {
            std::memcpy(buffer->offset + pos * 4, &wide, 4);
        }
        pos++;
    }
}

template <class From, class To>
series_buffer* widen(series_buffer* buffer) {
    size_t used = buffer->used_bytes() / sizeof(From);
    buffer = ensure_room(buffer, used * sizeof(To) + sizeof(To));
    // From the tail backwards, so no unit is overwritten before it is read.
    uint8_t* p = buffer->offset;
    for (size_t k = used; k-- > 0;) {
        From narrow;
        std::memcpy(&narrow, p + k * sizeof(From), sizeof narrow);
        To wide = narrow;
        std::memcpy(p + k * sizeof(To), &wide, sizeof wide);
    }
    buffer->tail = p + used * sizeof(To);
    set_unit(buffer, sizeof(To));
    return buffer;
}

// The destination of a load: the value's buffer with room for `count` units of its own unit
// (or of `unit` when given), or a new buffer.
node_id load_destination(cell* value, size_t count, uint32_t unit) {
    if (!value) return alloc_series(count ? count : 1, unit ? unit : 1, 0);
    series_buffer* buffer = node_buffer(series_node(value));
    if (!unit) unit = buffer->unit();
    buffer = ensure_room(buffer, (count ? count : 1) * unit);
    set_unit(buffer, unit);
    buffer->tail = buffer->offset;
    return buffer->node;
}

}  // namespace

// ---- Decoding

size_t utf8_count_chars(const uint8_t* p, const uint8_t* end) {
    size_t n = 0;
    while (p < end) {
        p = *p < 0x80 ? p + 1 : skip_sequence(p, end);
        n++;
    }
    return n;
}

const uint8_t* utf8_skip_chars(const uint8_t* p, const uint8_t* end, size_t n) {
    for (; n > 0 && p < end; n--) p = *p < 0x80 ? p + 1 : skip_sequence(p, end);
    return p;
}

int32_t utf8_decode_checked(const uint8_t* p, size_t& n) {
    if (n == 0) return UTF8_SHORT;
    size_t len = 0;
    int32_t cp = utf8_check_char(p, n, len);
    if (cp == UTF8_INVALID) raise_invalid_utf8(p, n);
    if (cp >= 0) n = len;
    return cp;
}

void raise_invalid_utf8(const uint8_t* p, size_t n) {
    // Copied before allocating: p may point into a buffer the collector moves.
    uint8_t bytes[4];
    size_t k = n < 4 ? n : 4;
    std::memcpy(bytes, p, k);
    node_id node = alloc_bytes(k);
    series_buffer* buffer = node_buffer(node);
    std::memcpy(buffer->offset, bytes, k);
    buffer->tail = buffer->offset + k;
    root_cell arg;
    set_series_value(&arg.value, TYPE_BINARY, node, 0);
    fire(access_error::invalid_utf8, &arg.value);
}

// ---- Sizing and encoding

size_t utf8_char_size(uint32_t cp) {
    if (cp < 0x80) return 1;
    if (cp < 0x800) return 2;
    if (cp < 0x10000) return 3;
    if (cp <= 0x10FFFF) return 4;
    raise_invalid_char(cp);
}

size_t utf8_size_of_units(const uint8_t* begin, const uint8_t* end, uint32_t unit) {
    text_run run{begin, static_cast<size_t>(end - begin) / (unit ? unit : 1), unit};
    return with_units(run, [&](auto* src) {
        size_t bytes = 0;
        for (size_t i = 0; i < run.count; i++) bytes += utf8_char_size(src[i]);
        return bytes;
    });
}

size_t utf8_encode_char(uint32_t cp, uint8_t* out) {
    if (cp < 0x80) {
        out[0] = static_cast<uint8_t>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<uint8_t>(0xC0 | (cp >> 6));
        out[1] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<uint8_t>(0xE0 | (cp >> 12));
        out[1] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        return 3;
    }
    if (cp > 0x10FFFF) raise_invalid_char(cp);
    out[0] = static_cast<uint8_t>(0xF0 | (cp >> 18));
    out[1] = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
    return 4;
}

size_t utf8_encode_char_limited(uint32_t cp, uint8_t* out, size_t left) {
    uint8_t bytes[4];
    size_t n = utf8_encode_char(cp, bytes);
    if (n > left) n = left;
    std::memcpy(out, bytes, n);
    return n;
}

size_t utf16_encode_char(uint32_t cp, uint16_t* out) {
    if (cp < 0x10000) {
        out[0] = static_cast<uint16_t>(cp);
        return 1;
    }
    if (cp > 0x10FFFF) return 0;
    out[0] = static_cast<uint16_t>(0xD800 + ((cp - 0x10000) >> 10));
    out[1] = static_cast<uint16_t>(0xDC00 + (cp & 0x3FF));
    return 2;
}

uint32_t utf16_unit_needed(const uint8_t* text, size_t units) {
    uint32_t unit = 1;
    for (size_t k = 0; k < units; k++) {
        uint8_t high = text[2 * k + 1];
        if (high >= 0xD8 && high <= 0xDF) return 4;
        if (high) unit = 2;
    }
    return unit;
}

size_t utf16_size_of(const uint8_t* begin, const uint8_t* end, uint32_t unit) {
    text_run run{begin, static_cast<size_t>(end - begin) / (unit ? unit : 1), unit};
    return with_units(run, [&](auto* src) {
        size_t extra = 0;
        for (size_t i = 0; i < run.count; i++)
            if (src[i] == '\n' || src[i] > 0xFFFF) extra += 2;
        return extra;
    });
}

void ascii_to_utf16(const char* text, uint16_t* out) {
    while (*text) *out++ = static_cast<uint8_t>(*text++);
    *out = 0;
}

// ---- Export

uint8_t* string_cache_buffer(cell* value, size_t bytes) {
    if (value->w3 == 0) {
        node_id node = alloc_bytes(bytes);
        value->w3 = node;
        return node_buffer(node)->offset;
    }
    series_buffer* buffer = ensure_room(node_buffer(value->w3), bytes);
    return buffer->offset;
}

node_id to_utf8_cache(cell* value, int64_t limit, size_t* length, bool crlf) {
    text_run run = value_run(value, limit);
    // Room for the widest form of every character, or for CR LF in place of an LF.
    size_t per_char = run.unit == 4 ? 4 : run.unit + 1;
    uint8_t* out = string_cache_buffer(value, per_char * (run.count + 1));
    run = value_run(value, limit);  // the allocation may have moved the text
    uint8_t* end = with_units(run, [&](auto* src) { return encode_utf8_units(src, run.count, out, crlf); });
    *end = 0;
    if (length) *length = static_cast<size_t>(end - out);
    return value->w3;
}

char* to_utf8_lines(cell* value, int64_t limit, size_t* length, bool crlf) {
    return reinterpret_cast<char*>(node_buffer(to_utf8_cache(value, limit, length, crlf))->offset);
}

char* to_utf8(cell* value, int64_t limit, size_t* length) {
    return to_utf8_lines(value, limit, length, false);
}

size_t write_utf8(const cell* value, uint8_t* dest, int64_t limit, bool terminate) {
    text_run run = value_run(value, limit);
    uint8_t* end = with_units(run, [&](auto* src) { return encode_utf8_units(src, run.count, dest, false); });
    if (terminate) *end = 0;
    return static_cast<size_t>(end - dest);
}

size_t write_utf8_limited(const cell* value, uint8_t* dest, size_t capacity, int64_t limit,
                          bool terminate) {
    text_run run = value_run(value, limit > 0 ? limit : -1);
    if (terminate && capacity == 0) return 0;
    size_t room = terminate ? capacity - 1 : capacity;
    uint8_t* out = dest;
    with_units(run, [&](auto* src) {
        for (size_t i = 0; i < run.count && room > 0; i++) {
            size_t n = utf8_encode_char_limited(src[i], out, room);
            out += n;
            room -= n;
        }
        return 0;
    });
    if (terminate) *out = 0;
    return static_cast<size_t>(out - dest);
}

uint16_t* to_utf16_cache(cell* value, int64_t limit, size_t* units, bool crlf) {
    text_run run = value_run(value, limit);
    size_t bytes = 2 * run.count + 2 + utf16_size_of(run.begin, run.begin + run.count * run.unit, run.unit);
    auto* out = reinterpret_cast<uint16_t*>(string_cache_buffer(value, bytes));
    run = value_run(value, limit);
    uint16_t* end = with_units(run, [&](auto* src) { return encode_utf16_units(src, run.count, out, crlf); });
    if (!end) return nullptr;
    *end = 0;
    if (units) *units = static_cast<size_t>(end - out);
    return out;
}

uint16_t* to_utf16(cell* value) { return to_utf16_cache(value, -1, nullptr, OS_CRLF_LINES); }

// ---- Import

node_id load_utf8(byte_source bytes, size_t count, node_id node, size_t* left, bool cr) {
    load_roots roots(bytes);
    roots.dest.node = node;
    if (node) {
        series_buffer* buffer = node_buffer(node);
        ensure_room(buffer, (count ? count : 1) * buffer->unit());
    } else {
        roots.dest.node = alloc_series(count ? count : 1, 1, 0);
    }
    const uint8_t* s = roots.source_address();
    size_t start = count > 2 && s[0] == 0xEF && s[1] == 0xBB && s[2] == 0xBF ? 3 : 0;
    return load_units<true>(roots, count, start, left, cr);
}

node_id load_utf8_into(byte_source bytes, size_t count, cell* value, size_t* left) {
    return load_utf8(bytes, count, series_node(value), left, false);
}

node_id load_utf8_new(byte_source bytes, size_t count) {
    return load_utf8(bytes, count, 0, nullptr, false);
}

node_id load_utf16le(byte_source text, size_t units, cell* value, bool cr) {
    if (!text.present() && value) text = byte_source::series(value->w3, 0);
    load_roots roots(text);
    uint32_t unit = utf16_unit_needed(roots.source_address(), units);
    node_id node = load_destination(value, units, value || units ? unit : 2);
    series_buffer* buffer = node_buffer(node);
    const uint8_t* s = roots.source_address();
    uint8_t* out = buffer->offset;
    size_t pos = 0;
    switch (unit) {
        case 1:
            for (size_t k = 0; k < units; k++) {
                uint8_t low = s[2 * k];
                if (!(cr && low == '\r')) out[pos++] = low;
            }
            break;
        case 2:
            if (!cr) {
                std::memcpy(out, s, units * 2);
                pos = units;
                break;
            }
            for (size_t k = 0; k < units; k++) {
                uint16_t u = static_cast<uint16_t>(utf16_unit_at(s, k));
                if (u != '\r') std::memcpy(out + 2 * pos++, &u, 2);
            }
            break;
        case 4:
            for (size_t k = 0; k < units; k++) {
                uint32_t u = utf16_unit_at(s, k);
                if (cr && u == '\r') continue;
                if (u >= 0xD800 && u <= 0xDBFF) {
                    uint32_t low = k + 1 < units ? utf16_unit_at(s, k + 1) : 0;
                    if (low >= 0xDC00 && low <= 0xDFFF) {
                        u = (((u & 0x3FF) << 10) | (low & 0x3FF)) + 0x10000;
                        k++;
                    } else {
                        u = 0xFFFD;  // an unpaired high surrogate
                    }
                }
                std::memcpy(out + 4 * pos++, &u, 4);
            }
            break;
    }
    buffer->tail = out + pos * buffer->unit();
    return node;
}

node_id load_cp1251(byte_source bytes, size_t count, cell* value, bool cr) {
    if (!bytes.present() && value) bytes = byte_source::series(value->w3, 0);
    load_roots roots(bytes);
    roots.dest.node = load_destination(value, count, 0);
    return load_units<false>(roots, count, 0, nullptr, cr);
}

series_buffer* widen_1_to_2(series_buffer* buffer) { return widen<uint8_t, uint16_t>(buffer); }
series_buffer* widen_1_to_4(series_buffer* buffer) { return widen<uint8_t, uint32_t>(buffer); }
series_buffer* widen_2_to_4(series_buffer* buffer) { return widen<uint16_t, uint32_t>(buffer); }

}  // namespace kel
