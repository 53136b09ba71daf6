#include "datatypes/image.h"

#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/file.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "platform/files.h"
#include "platform/imaging.h"
#include "runtime/collector.h"
#include "runtime/console.h"
#include "runtime/error_catalog.h"
#include "runtime/handle_table.h"
#include "runtime/ownership.h"
#include "runtime/stack.h"

namespace kel::image {

namespace {

int handle_kind = 0;
cell scratch;  // a picked pixel or a size; the dispatcher copies it at once

struct free_pixels {
    void operator()(uint32_t* p) const { std::free(p); }
};
using owned_pixels = std::unique_ptr<uint32_t, free_pixels>;

void release_record(uintptr_t object) { std::free(reinterpret_cast<void*>(object)); }

record* record_of(node_id node) { return reinterpret_cast<record*>(node_buffer(node)->offset); }
uint32_t* pixels_of(node_id node) {
    return reinterpret_cast<uint32_t*>(handle_at(static_cast<int32_t>(record_of(node)->handle)).object);
}

// The record keeps its pixels alive: the handle is marked with it, and the pixels count as
// live memory for the collector's next budget.
void mark_image(cell* value) {
    if (value->w2 && collector_mark_node(&value->w2)) {
        handle_mark(static_cast<int32_t>(record_of(value->w2)->handle), 0);
        collector_add_live_bytes(pixel_count(value) * 4);
    }
}

cell* set_image(cell* out, node_id node, uint32_t w, uint32_t h) {
    *out = cell{TYPE_IMAGE, 0, node, w | h << 16};
    return out;
}

cell* tuple_of(uint32_t word) {
    uint32_t r = (word >> 16) & 0xFF, g = (word >> 8) & 0xFF, b = word & 0xFF, t = 255 - (word >> 24);
    scratch = cell{TYPE_TUPLE | 4u << tuple::COUNT_SHIFT, r | g << 8 | b << 16 | t << 24, 0, 0};
    return &scratch;
}

// A pair size checked for the packed form: negative sides count as 0.
void size_of_pair(const cell* pair, uint32_t& w, uint32_t& h) {
    int32_t x = static_cast<int32_t>(pair->w2), y = static_cast<int32_t>(pair->w3);
    if (x > static_cast<int32_t>(SIDE_MAX) || y > static_cast<int32_t>(SIDE_MAX))
        fire(script_error::out_of_range, pair);
    w = static_cast<uint32_t>(std::max(x, 0));
    h = static_cast<uint32_t>(std::max(y, 0));
}

// rgb and alpha: binary! cells that stay put, or null; color: a tuple! or null.
cell* make_from_data(cell* out, uint32_t w, uint32_t h, const cell* rgb, const cell* alpha,
                     const cell* color) {
    if (w == 0 || h == 0) return set_image(out, 0, w, h);
    uint32_t* pixels = alloc_pixels(w, h, false);
    size_t n = size_t{w} * h;
    if (color) {
        std::fill(pixels, pixels + n, pixel_from_tuple(color));
    } else {
        const uint8_t* c = rgb ? binary::ks_head(rgb) : nullptr;
        size_t triples = rgb ? binary::ks_length_q(rgb) / 3 : 0;
        const uint8_t* a = alpha ? binary::ks_head(alpha) : nullptr;
        size_t alphas = alpha ? binary::ks_length_q(alpha) : 0;
        for (size_t i = 0; i < n; i++) {
            uint32_t opacity = i < alphas ? 255u - a[i] : 255u;
            uint32_t colour = i < triples ? uint32_t{c[3 * i]} << 16 | uint32_t{c[3 * i + 1]} << 8 | c[3 * i + 2]
                                          : 0xFFFFFFu;
            pixels[i] = opacity << 24 | colour;
        }
    }
    return make_record(out, pixels, w, h);
}

// A rectangle of the image (already clipped by the caller) as a new image into `out`.
cell* crop(const cell* image, cell* out, uint32_t x, uint32_t y, int64_t cw, int64_t ch) {
    if (cw < 1 || ch < 1 || !image->w2) return set_image(out, 0, 0, 0);
    uint32_t w = width_of(image);
    uint32_t* pixels = alloc_pixels(static_cast<uint32_t>(cw), static_cast<uint32_t>(ch), false);
    const uint32_t* from = pixels_of(image->w2);
    for (int64_t row = 0; row < ch; row++)
        std::memcpy(pixels + row * cw, from + (y + row) * size_t{w} + x, static_cast<size_t>(cw) * 4);
    return make_record(out, pixels, static_cast<uint32_t>(cw), static_cast<uint32_t>(ch));
}

// --- Positions ---------------------------------------------------------------------------

// The pixel index an index value designates, base 1 (pick, poke, at) or 0 (skip); `out` tells
// whether it lies outside the pixels. The result is clamped to 0..pixels.
int64_t position(const cell* image, const cell* index, int32_t base, bool& out) {
    int64_t w = width_of(image), h = height_of(image), total = w * h;
    int64_t offset;
    out = false;
    if (TYPE_OF(index) == TYPE_PAIR) {
        int64_t x = static_cast<int32_t>(index->w2), y = static_cast<int32_t>(index->w3);
        if (base == 1) {
            out = x < 1 || x > w || y < 1 || y > h;
            offset = (y > 0 ? y - 1 : y) * w + x;
        } else {
            out = x < 0 || x >= w || y < 0 || y >= h;
            offset = y * w + x;
        }
    } else if (TYPE_OF(index) == TYPE_INTEGER) {
        offset = static_cast<int32_t>(index->w2);
    } else {
        fire(script_error::invalid_arg, index);
    }
    if (base == 1 && offset <= 0) {
        if (offset == 0) out = true;
        base = 0;
    }
    int64_t p = int64_t{series_head(image)} + offset - base;
    int64_t clamped = std::clamp<int64_t>(p, 0, total);
    if (clamped != p) out = true;
    return clamped;
}

// A pixel position for pick and poke, or -1. Callers inside the runtime may give the index
// as a number alone.
int64_t pixel_position(const cell* image, int32_t number, const cell* index) {
    cell given = integer_value(number);
    bool out;
    int64_t p = position(image, index ? index : &given, 1, out);
    return out || p >= static_cast<int64_t>(pixel_count(image)) ? -1 : p;
}

void head_to(int64_t head) { stack::arguments->w1 = static_cast<uint32_t>(head); }

// --- Text --------------------------------------------------------------------------------

void append_hex(std::string& text, uint32_t byte) {
    static const char digits[] = "0123456789ABCDEF";
    text += digits[byte >> 4];
    text += digits[byte & 15];
}

bool word_is(const cell* word, const char* name) {
    return symbol::resolve(word->w2) == symbol::resolve(symbol::find_cstr(name));
}

// The tuple (or integer, lowest byte first) as four bytes r, g, b, t.
void value_bytes(const cell* value, uint8_t (&bytes)[4]) {
    if (TYPE_OF(value) == TYPE_INTEGER) {
        for (int i = 0; i < 4; i++) bytes[i] = static_cast<uint8_t>(value->w2 >> (8 * i));
        return;
    }
    const uint8_t* b = tuple::bytes_of(value);
    for (int i = 0; i < 3; i++) bytes[i] = b[i];
    bytes[3] = tuple::count_of(value) >= 4 ? b[3] : 0;
}

}  // namespace

void init() {
    const action_entry I = INHERIT;
    register_datatype(TYPE_IMAGE, TYPE_SERIES, "image!", {
        entry<ACT_MAKE>(make), 0, 0, entry<ACT_TO>(to), entry<ACT_FORM>(form),
        entry<ACT_MOLD>(mold), entry<ACT_EVAL_PATH>(eval_path), 0, entry<ACT_COMPARE>(compare), 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, entry<ACT_AT>(at), I, entry<ACT_CHANGE>(change), 0, entry<ACT_COPY>(copy),
        0, I, I, I, 0, entry<ACT_LENGTH_Q>(length_q), 0, entry<ACT_NEXT>(next),
        entry<ACT_PICK>(pick), entry<ACT_POKE>(poke),
        0, 0, 0, 0, 0, entry<ACT_SKIP>(skip), 0, entry<ACT_TAIL>(tail), entry<ACT_TAIL_Q>(tail_q), 0,
        0, 0, 0, 0, I, 0, 0, 0, 0, 0, 0, 0,
    });
    handle_kind = register_handle_kind("image", release_record);
    collector_register_marker(TYPE_IMAGE, mark_image);
    // Pixel buffers of megabytes come and go with the collections: malloc keeps freed ones
    // for the next image instead of returning them to the system, whose fresh pages fault
    // in one by one (fifty times slower for a loop of 4 MB images).
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
}

uint32_t* alloc_pixels(uint32_t w, uint32_t h, bool zeroed) {
    size_t bytes = size_t{w} * h * 4;
    if (bytes > SERIES_MAX_DATA) fire(internal_error::no_memory);
#ifdef KEL_GC_STRESS
    collector_collect_if_enabled();
#endif
    memory.allocated += bytes;
    collector_collect_if_due();
    void* p = imaging::alloc_pixel_memory(bytes, zeroed);
    if (!p) fire(internal_error::no_memory);
    return static_cast<uint32_t*>(p);
}

cell* make_record(cell* out, uint32_t* pixels, uint32_t w, uint32_t h) {
    owned_pixels owned(pixels);
    if (w == 0 || h == 0) return set_image(out, 0, w, h);
    node_id node = alloc_bytes(sizeof(record));
    series_buffer* b = node_buffer(node);
    b->tail = b->offset + sizeof(record);
    int32_t handle = handle_new(reinterpret_cast<uintptr_t>(owned.release()), static_cast<uint32_t>(handle_kind));
    *record_of(node) = record{PIXELS_VALID, 0, 0, w | h << 16, static_cast<uint32_t>(handle), 0};
    return set_image(out, node, w, h);
}

cell* push(uint32_t* pixels, uint32_t w, uint32_t h) {
    owned_pixels owned(pixels);
    cell* out = stack::push(&none_value);
    return make_record(out, owned.release(), w, h);
}

pixel_lock::pixel_lock(const cell* image, bool write) {
    if (!image->w2) fire(access_error::bad_media);
    if (write) record_of(image->w2)->flags |= PIXELS_WRITTEN;
    pixels = pixels_of(image->w2);
}

uint32_t pixel_from_tuple(const cell* tuple) {
    uint8_t b[4];
    value_bytes(tuple, b);
    return uint32_t(255 - b[3]) << 24 | uint32_t{b[0]} << 16 | uint32_t{b[1]} << 8 | b[2];
}

// --- Codecs ------------------------------------------------------------------------------

const cell* encode(cell* image, cell* destination, int32_t format) {
    if (image->w3 == 0) fire(access_error::bad_media);
    if (!destination) destination = stack::push(&none_value);
    if (format < imaging::IMAGE_BMP || format > imaging::IMAGE_TIFF) {
        static const char message[] = "Cannot find image encoder";
        write_latin1_line(message, sizeof message - 1);
        return destination;
    }
    if (!width_of(image) || !height_of(image)) return binary::load_in(nullptr, 0, destination);
    pixel_lock lock(image, false);
    auto deliver = [&](const uint8_t* bytes, size_t n) { binary::load_in(bytes, n, destination); };
    if (!imaging::encode(static_cast<imaging::image_format>(format), lock.pixels, width_of(image), height_of(image),
                         deliver))
        fire(access_error::bad_media);
    return destination;
}

namespace {

// The format a buffer's signature names, or -1.
int32_t sniff(const uint8_t* p, size_t n) {
    auto starts = [&](std::initializer_list<uint8_t> signature) {
        return n >= signature.size() && std::equal(signature.begin(), signature.end(), p);
    };
    if (starts({0x89, 'P', 'N', 'G'})) return imaging::IMAGE_PNG;
    if (starts({0xFF, 0xD8, 0xFF})) return imaging::IMAGE_JPEG;
    if (starts({'B', 'M'})) return imaging::IMAGE_BMP;
    if (starts({'G', 'I', 'F', '8', '9', 'a'})) return imaging::IMAGE_GIF;
    if (starts({'I', 'I', 0x2A, 0}) || starts({'M', 'M', 0, 0x2A})) return imaging::IMAGE_TIFF;
    return -1;
}

// Decodes bytes held outside the collected heap into a new image pushed on the stack; none
// for an unknown signature, null when the data is broken.
const cell* decode_bytes(const uint8_t* bytes, size_t n) {
    int32_t format = sniff(bytes, n);
    if (format < 0) return &none_value;
    imaging::bitmap decoded;
    if (!imaging::decode(static_cast<imaging::image_format>(format), bytes, n, SERIES_MAX_DATA, decoded))
        return nullptr;
    owned_pixels owned(decoded.pixels);
    memory.allocated += size_t{decoded.width} * decoded.height * 4;
    cell* result = push(owned.release(), decoded.width, decoded.height);
    collector_collect_if_due();
    return result;
}

}  // namespace

const cell* load_binary(cell* binary) {
    // The bytes are copied out first: decoding allocates, and the buffer may move.
    std::vector<uint8_t> bytes(binary::ks_head(binary), binary::ks_tail(binary));
    const cell* result = decode_bytes(bytes.data(), bytes.size());
    if (!result) fire(access_error::bad_media);
    return result;
}

const cell* decode(cell* data) {
    if (TYPE_OF(data) == TYPE_BINARY) return load_binary(data);
    std::vector<uint8_t> bytes;
    int fd = file_open_read(file::to_OS_path(data));
    bool read = fd >= 0 && file_read_to_end(fd, bytes);
    if (fd >= 0) file_close(fd);
    if (!read) fire(access_error::cannot_open, data);
    const cell* result = decode_bytes(bytes.data(), bytes.size());
    if (!result || TYPE_OF(result) != TYPE_IMAGE) fire(access_error::cannot_open, data);
    return result;
}

// --- Planes ------------------------------------------------------------------------------

cell* extract_data(cell* image, int32_t plane) {
    static constexpr uint32_t widths[] = {1, 3, 4};
    size_t n = pixel_count(image);
    cell* out = stack::push(&none_value);
    binary::make_at(out, static_cast<uint32_t>(n * widths[plane]));
    if (n == 0) return out;
    pixel_lock lock(image, false);
    series_buffer* b = binary::buffer_of(out);
    uint8_t* p = b->offset;
    for (size_t i = 0; i < n; i++) {
        uint32_t word = lock.pixels[i];
        if (plane == 0) {
            *p++ = static_cast<uint8_t>(255 - (word >> 24));
        } else if (plane == 1) {
            *p++ = static_cast<uint8_t>(word >> 16);
            *p++ = static_cast<uint8_t>(word >> 8);
            *p++ = static_cast<uint8_t>(word);
        } else {
            std::memcpy(p, &word, 4);
            p += 4;
        }
    }
    b->tail = p;
    return out;
}

void set_data(cell* image, cell* value, int32_t plane) {
    uint32_t type = TYPE_OF(value);
    if (type != TYPE_BINARY && type != TYPE_TUPLE && type != TYPE_INTEGER)
        fire(script_error::invalid_arg, value);
    size_t n = pixel_count(image);
    if (n > 0) {
        pixel_lock lock(image, true);
        uint32_t* px = lock.pixels;
        if (type == TYPE_BINARY) {
            const uint8_t* p = binary::ks_head(value);
            size_t len = binary::ks_length_q(value);
            if (plane == 2) {
                std::memcpy(px, p, std::min(4 * n, len));
            } else if (plane == 1) {
                for (size_t i = 0, m = std::min(n, len / 3); i < m; i++, p += 3)
                    px[i] = (px[i] & 0xFF000000) | uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
            } else {
                for (size_t i = 0, m = std::min(n, len); i < m; i++)
                    px[i] = (px[i] & 0xFFFFFF) | uint32_t(255 - p[i]) << 24;
            }
        } else {
            uint8_t b[4];
            value_bytes(value, b);
            uint32_t colour = uint32_t{b[0]} << 16 | uint32_t{b[1]} << 8 | b[2];
            for (size_t i = 0; i < n; i++) {
                if (plane == 2) px[i] = uint32_t(255 - b[3]) << 24 | colour;
                else if (plane == 1) px[i] = (px[i] & 0xFF000000) | colour;
                else px[i] = (px[i] & 0xFFFFFF) | uint32_t(255 - b[0]) << 24;
            }
        }
    }
    ownership::check(image, owner_action::poke, static_cast<int32_t>(series_head(image)), 0);
}

bool foreach_next(cell* words, cell* image, int32_t count) {
    int64_t head = series_head(image), total = static_cast<int64_t>(pixel_count(image));
    if (head >= total) return false;
    int32_t n = std::max(count, 1);
    for (int32_t i = 0; i < n; i++) {
        cell* word = stack::push(count == 0 ? words : block::ks_abs_at(words, series::head_of(words) + i));
        cell* value = stack::push(head + i < total ? tuple_of(pixels_of(image->w2)[head + i]) : &none_value);
        _context::set(word, value);
        stack::pop(2);
    }
    image->w1 += static_cast<uint32_t>(n);
    return true;
}

// --- Actions -----------------------------------------------------------------------------

const cell* make(cell* proto, cell* spec, uint32_t type) {
    uint32_t w, h;
    if (TYPE_OF(spec) == TYPE_PAIR) {
        size_of_pair(spec, w, h);
        return make_from_data(proto, w, h, nullptr, nullptr, nullptr);
    }
    if (TYPE_OF(spec) != TYPE_BLOCK) return to(proto, spec, type);
    int32_t head = series::head_of(spec), len = series::buffer_length(spec) - head;
    if (len <= 0) {
        if (TYPE_OF(proto) == TYPE_IMAGE) return copy(proto, proto, nullptr, false, nullptr);
        fire(script_error::invalid_arg, spec);
    }
    // The data goes on the stack: making the pixels may collect.
    cell* items[3] = {};
    for (int32_t i = 0; i < std::min(len, 3); i++) items[i] = stack::push(block::ks_abs_at(spec, head + i));
    if (TYPE_OF(items[0]) != TYPE_PAIR) fire(script_error::invalid_arg, items[0]);
    if (items[1] && TYPE_OF(items[1]) != TYPE_BINARY && TYPE_OF(items[1]) != TYPE_TUPLE)
        fire(script_error::invalid_arg, items[1]);
    if (items[2] && TYPE_OF(items[2]) != TYPE_BINARY) fire(script_error::invalid_arg, items[2]);
    size_of_pair(items[0], w, h);
    bool fill = items[1] && TYPE_OF(items[1]) == TYPE_TUPLE;
    return make_from_data(proto, w, h, fill ? nullptr : items[1], items[2], fill ? items[1] : nullptr);
}

const cell* to(cell* proto, cell* spec, uint32_t) {
    if (TYPE_OF(spec) == TYPE_IMAGE) return copy(spec, proto, nullptr, false, nullptr);
    raise_bad_to_arg(TYPE_IMAGE, spec);
}

int32_t mold(cell* value, cell* buffer, bool only, bool, bool flat, cell* arg, int32_t part,
             int32_t indent) {
    bool limited = refinement_q(arg);
    std::string text;
    auto line_break = [&](int32_t level) {
        text += '\n';
        text.append(4 * static_cast<size_t>(std::max(level, 0)), ' ');
    };
    if (!only) text += "make image! [";
    text += std::to_string(width_of(value)) + "x" + std::to_string(height_of(value));
    if (!value->w2) {
        text += " #{}";
    } else {
        pixel_lock lock(value, false);
        size_t total = pixel_count(value), head = std::min<size_t>(series_head(value), total);
        size_t n = total - head;
        const uint32_t* px = lock.pixels + head;
        bool long_data = n * 3 >= 31;
        int64_t budget = part - static_cast<int64_t>(text.size());
        auto section = [&](bool alpha) {
            text += alpha ? " #{" : " #{";
            if (alpha || (long_data && !flat)) line_break(indent + 1);
            for (size_t i = 0; i < n && !(limited && budget <= 0); i++) {
                uint32_t word = px[i];
                if (alpha) {
                    append_hex(text, 255 - (word >> 24));
                    budget -= 2;
                } else {
                    append_hex(text, (word >> 16) & 0xFF);
                    append_hex(text, (word >> 8) & 0xFF);
                    append_hex(text, word & 0xFF);
                    budget -= 6;
                }
                if (!flat && (i + 1) % 10 == 0 && i + 1 < n) line_break(indent + 1);
            }
            if (alpha || (long_data && !flat)) line_break(indent);
            text += '}';
        };
        section(false);
        if (std::any_of(px, px + n, [](uint32_t word) { return word >> 24 != 255; })) section(true);
    }
    if (!only) text += ']';
    string::concat_bytes(buffer, text.data(), text.size());
    return part - static_cast<int32_t>(std::min<size_t>(text.size(), INT32_MAX));
}

int32_t form(cell* value, cell* buffer, cell* arg, int32_t part) {
    return mold(value, buffer, false, false, false, arg, part, 0);
}

const cell* eval_path(cell* parent, cell* element, cell* value, cell* path, cell*, cell*, int32_t,
                      bool, bool, bool, bool) {
    uint32_t type = TYPE_OF(element);
    if (type == TYPE_INTEGER || type == TYPE_PAIR) {
        if (!value) return pick(parent, 0, element);
        return poke(parent, 0, value, element);
    }
    if (type == TYPE_WORD) {
        int32_t plane = word_is(element, "alpha") ? 0 : word_is(element, "rgb") ? 1 : word_is(element, "argb") ? 2 : -1;
        if (plane >= 0) {
            if (!value) return extract_data(parent, plane);
            set_data(parent, value, plane);
            return value;
        }
        if (word_is(element, "size") && !value) {
            scratch = cell{TYPE_PAIR, 0, width_of(parent), height_of(parent)};
            return &scratch;
        }
    }
    fire(script_error::invalid_path, path, element);
}

int32_t compare(cell* value1, cell* value2, int32_t op) {
    if (TYPE_OF(value2) != TYPE_IMAGE) return INCOMPARABLE;
    bool same = value1->w2 == value2->w2 && value1->w1 == value2->w1;
    if (op == COMP_SAME) return same ? 0 : -1;
    if (same && (op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL)) return 0;
    if (op != COMP_EQUAL && op != COMP_NOT_EQUAL && op != COMP_STRICT_EQUAL && op != COMP_SORT &&
        op != COMP_CASE_SORT && op != COMP_FIND)
        return INCOMPARABLE;
    size_t n1 = pixel_count(value1), n2 = pixel_count(value2);
    if (n1 != n2) return n1 < n2 ? -1 : 1;
    if (n1 == 0) return 0;
    pixel_lock a(value1, false), b(value2, false);
    return compare_sign(std::memcmp(a.pixels, b.pixels, n1 * 4));
}

const cell* change(cell* series, cell* value, int32_t part, bool, int32_t dup) {
    if (part >= 2 || dup >= 2) fire(internal_error::not_done);
    int64_t head = series_head(series), total = static_cast<int64_t>(pixel_count(series));
    int32_t at = static_cast<int32_t>(head);
    if (TYPE_OF(value) == TYPE_TUPLE) {
        if (head >= total) return series;
        ownership::check(series, owner_action::change, at, 1);
        pixel_lock(series, true).pixels[head] = pixel_from_tuple(value);
        series->w1++;
        ownership::check(series, owner_action::changed, at, 1);
        return series;
    }
    if (TYPE_OF(value) != TYPE_IMAGE) raise_invalid_type(TYPE_OF(value));
    if (head >= total || !value->w2) return series;
    ownership::check(series, owner_action::change, at, 1);
    int64_t w = width_of(series), h = height_of(series);
    int64_t sw = width_of(value), sh = height_of(value);
    int64_t x0 = head % w, y0 = head / w;
    int64_t cols = std::min(sw, w - x0), rows = std::min(sh, h - y0);
    uint32_t* to = pixel_lock(series, true).pixels;
    const uint32_t* from = pixel_lock(value, false).pixels;
    for (int64_t row = 0; row < rows; row++)
        std::memmove(to + (y0 + row) * w + x0, from + row * sw, static_cast<size_t>(cols) * 4);
    series->w1 = static_cast<uint32_t>((y0 + rows - 1) * w + std::min(x0 + sw, w));
    ownership::check(series, owner_action::changed, at, static_cast<int32_t>(cols * rows));
    return series;
}

const cell* copy(cell* value, cell* result, cell* part, bool, cell*) {
    int64_t w = width_of(value), h = height_of(value);
    if (w == 0 || h == 0) return set_image(result, 0, 0, 0);
    int64_t head = std::min<int64_t>(series_head(value), w * h);
    int64_t x = head % w, y = head / w;
    if (!refinement_q(part)) return crop(value, result, static_cast<uint32_t>(x), static_cast<uint32_t>(y), w - x, h - y);
    if (TYPE_OF(part) == TYPE_INTEGER) fire(internal_error::not_done);
    if (TYPE_OF(part) == TYPE_PAIR) {
        int64_t pw = static_cast<int32_t>(part->w2), ph = static_cast<int32_t>(part->w3);
        if (pw > 0 && ph > 0 && head < w * h)
            return crop(value, result, static_cast<uint32_t>(x), static_cast<uint32_t>(y), std::min(pw, w - x),
                        std::min(ph, h - y));
        if (pw < 0 && ph < 0 && head > 0) {
            // A rectangle ending at the head.
            int64_t ex = x == 0 ? w : x, ey = y < h ? y + 1 : y;
            int64_t cw = std::min(-pw, ex), ch = std::min(-ph, ey);
            return crop(value, result, static_cast<uint32_t>(ex - cw), static_cast<uint32_t>(ey - ch), cw, ch);
        }
        return set_image(result, 0, 0, 0);
    }
    if (TYPE_OF(part) == TYPE_IMAGE && part->w2 == value->w2) {
        // Between two positions: the earlier pixel is the top-left corner, included; the
        // later one the bottom-right corner, excluded (the tail stands for the far corner).
        int64_t other = std::min<int64_t>(series_head(part), w * h);
        int64_t from = std::min(head, other), until = std::max(head, other);
        int64_t x1 = from % w, y1 = from / w;
        int64_t x2 = until == w * h ? w : until % w, y2 = until == w * h ? h : until / w;
        return crop(value, result, static_cast<uint32_t>(x1), static_cast<uint32_t>(y1), x2 - x1, y2 - y1);
    }
    cell word = cell{TYPE_WORD, 0, symbol::find_cstr("part"), 0};
    fire(script_error::invalid_refine_arg, &word, part);
}

int32_t length_q(cell* value) { return static_cast<int32_t>(pixel_count(value)); }

const cell* pick(cell* value, int32_t index, cell* index_cell) {
    int64_t p = pixel_position(value, index, index_cell);
    if (p < 0) return &none_value;
    return tuple_of(pixel_lock(value, false).pixels[p]);
}

const cell* poke(cell* value, int32_t index, cell* new_value, cell* index_cell) {
    int64_t p = pixel_position(value, index, index_cell);
    if (p < 0) fire(script_error::out_of_range, index_cell);
    if (TYPE_OF(new_value) != TYPE_TUPLE) fire(script_error::invalid_arg, new_value);
    pixel_lock(value, true).pixels[p] = pixel_from_tuple(new_value);
    ownership::check(value, owner_action::poke, static_cast<int32_t>(p), 1);
    return new_value;
}

void at() {
    bool out;
    head_to(position(stack::arguments, stack::arguments + 1, 1, out));
}

void skip() {
    bool out;
    head_to(position(stack::arguments, stack::arguments + 1, 0, out));
}

void next() {
    cell* value = stack::arguments;
    if (series_head(value) < pixel_count(value)) value->w1++;
}

void tail() { head_to(static_cast<int64_t>(pixel_count(stack::arguments))); }

void tail_q() { logic::box(series_head(stack::arguments) >= pixel_count(stack::arguments)); }

}  // namespace kel::image
