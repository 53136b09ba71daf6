// Text read from a string! into a plain buffer, and string! values made from code points:
// the native codec loops work on these so that a collection never moves what they read.
#pragma once
#include <cstdint>
#include <cstring>

#include "datatypes/string.h"
#include "runtime/cell.h"

namespace kel::text_cells {

// A text value's characters from its head, read in place. Anything that allocates may
// move the buffer: refresh() after it.
template <class T>
class source {
public:
    explicit source(const cell* text) : text_(text), length_(string::ks_length(text)) { refresh(); }
    void refresh() { chars_ = reinterpret_cast<const T*>(string::buffer_of(text_)->offset) + series_head(text_); }
    size_t size() const { return length_; }
    uint32_t operator[](size_t i) const { return chars_[i]; }
    const T* data() const { return chars_; }

private:
    const cell* text_;
    size_t length_;
    const T* chars_ = nullptr;
};

// f(source<T>) with the text's own character width.
template <class F>
auto with_source(const cell* text, F&& f) {
    switch (string::buffer_of(text)->unit()) {
        case 1: return f(source<uint8_t>(text));
        case 2: return f(source<uint16_t>(text));
        default: return f(source<uint32_t>(text));
    }
}

// A new string! in `out` (a cell that stays put) holding the code points, in the
// narrowest unit they fit.
template <class T>
cell* make_string(cell* out, const T* cps, size_t n) {
    uint32_t widest = 0;
    if constexpr (sizeof(T) > 1)
        for (size_t i = 0; i < n; i++) widest |= cps[i];
    uint32_t unit = widest <= 0xFF ? 1 : widest <= 0xFFFF ? 2 : 4;
    string::make_at_unit(out, static_cast<uint32_t>(n), unit);
    series_buffer* b = string::buffer_of(out);
    uint8_t* p = b->offset;
    if constexpr (sizeof(T) == 1) {
        if (n) std::memcpy(p, cps, n);
    } else if (unit == 1) {
        for (size_t i = 0; i < n; i++) p[i] = static_cast<uint8_t>(cps[i]);
    } else {
        for (size_t i = 0; i < n; i++) string::put_char(p + i * unit, unit, cps[i]);
    }
    b->tail = p + n * unit;
    return out;
}

}  // namespace kel::text_cells
