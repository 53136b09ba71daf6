// image!: a two-dimensional series of pixels. w1 the head (pixel index, row by row), w2 the
// node of the image record (0 for an empty image), w3 the size, width | height << 16.
//
// The record is a 24-byte byte series; the pixels themselves are one malloc'd buffer owned
// by the record's handle slot (kind "image"), freed when the collector sweeps the handle.
// Pixels are 32-bit words 0xAARRGGBB (bytes B, G, R, A in memory), A = opacity, rows top
// down with no padding. The language sees them as tuples r.g.b.t, t = 255 - A.
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"

namespace kel::image {

// Record flags: the pixels exist; they were written since they were last read out whole.
constexpr uint32_t PIXELS_VALID = 0x01;
constexpr uint32_t PIXELS_WRITTEN = 0x02;

// Sides are 16 bits each.
constexpr uint32_t SIDE_MAX = 65535;

struct record {
    uint32_t flags;
    uint32_t current;  // bitmaps of a platform store: unused, our pixels are always current
    uint32_t pixel;
    uint32_t size;
    uint32_t handle;
    uint32_t device;  // the drawing backend's copy, once there is a backend
};

inline uint32_t width_of(const cell* value) { return value->w3 & 0xFFFF; }
inline uint32_t height_of(const cell* value) { return value->w3 >> 16; }
inline size_t pixel_count(const cell* value) { return size_t{width_of(value)} * height_of(value); }

void init();

// A zeroed (or uninitialised) pixel buffer of w x h, counted toward the collector's trigger;
// may collect. Above the series limit: internal/no-memory.
uint32_t* alloc_pixels(uint32_t w, uint32_t h, bool zeroed);
// Makes a record owning the pixels (freed on every path) and writes an image at index 0
// into `out`, a cell that stays put; w or h of 0 gives an image without record.
cell* make_record(cell* out, uint32_t* pixels, uint32_t w, uint32_t h);
// A new image at index 0 on the argument stack.
cell* push(uint32_t* pixels, uint32_t w, uint32_t h);

// The pixels of an image with a record; a write lock marks them written. An image without
// record cannot be locked: access/bad-media.
struct pixel_lock {
    pixel_lock(const cell* image, bool write);
    uint32_t* pixels;
};

// The language's view of a pixel word, and back (a 3-byte tuple is opaque).
uint32_t pixel_from_tuple(const cell* tuple);

// Codec entry points. encode: format 0 BMP, 1 PNG, 2 GIF, 3 JPEG, 4 TIFF into a binary! in
// `destination` (a stack cell is pushed when null); another format prints "Cannot find image
// encoder" and leaves it untouched. decode: a binary! through load_binary, a file! read
// whole. load_binary: none for an unknown signature, else a new image pushed.
const cell* encode(cell* image, cell* destination, int32_t format);
const cell* decode(cell* data);
const cell* load_binary(cell* binary);

// plane: 0 alpha, 1 rgb, 2 argb.
cell* extract_data(cell* image, int32_t plane);
void set_data(cell* image, cell* value, int32_t plane);
// One round of foreach: the loop words (a block, or one word when count is 0) take the
// pixels from the head; false at the tail.
bool foreach_next(cell* words, cell* image, int32_t count);

const cell* make(cell* proto, cell* spec, uint32_t type);
const cell* to(cell* proto, cell* spec, uint32_t type);
int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
const cell* eval_path(cell* parent, cell* element, cell* value, cell* path, cell* prev_value,
                      cell* prev_element, int32_t index, bool case_q, bool get_q, bool tail_q,
                      bool evt_q);
int32_t compare(cell* value1, cell* value2, int32_t op);
const cell* change(cell* series, cell* value, int32_t part, bool only, int32_t dup);
const cell* copy(cell* value, cell* result, cell* part, bool deep, cell* types);
int32_t length_q(cell* value);
const cell* pick(cell* value, int32_t index, cell* index_cell);
const cell* poke(cell* value, int32_t index, cell* new_value, cell* index_cell);
void at();
void next();
void skip();
void tail();
void tail_q();

}  // namespace kel::image
