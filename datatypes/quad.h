// Maps an image onto a four-corner quadrilateral (rotated, skewed or perspective-like) and
// resamples it bilinearly into a new pixel buffer: the inverse mapping goes by the ratios
// of a target pixel's distances to opposite edges, not by a projective inverse.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel::quad {

struct point {
    float x, y;
};
// Corners top-left, top-right, bottom-right, bottom-left; edge k runs from k to k + 1.
struct corners {
    point c[4];
};

// A new (malloc'd, zeroed outside the quad) buffer of the quad's bounding box, whose
// placement goes to the four outs; null when the source is empty, a corner is not finite
// or the box is empty. The box is clamped to 65535 on each side.
uint32_t* quad_transform(const uint32_t* source, int32_t width, int32_t height, const corners& quad,
                         int32_t& out_x, int32_t& out_y, int32_t& out_width, int32_t& out_height);
// True unless the point lies on the outer side of an edge: edges are inside.
bool point_in_quad_q(const corners& quad, double x, double y);
// Copies the rectangle, clipped to the source, tightly packed; false (nothing copied) when
// its start lies outside the source.
bool copy_pixel_rect(const uint32_t* source, int32_t width, int32_t height, int32_t x, int32_t y,
                     int32_t w, int32_t h, uint32_t* destination);
void quad_flip_x(corners& quad, float u);
void quad_flip_y(corners& quad, float v);

// The image (or its crop rectangle, a pair! x×y plus a pair! size, or none) mapped onto the
// corners that `count` pair! or point2D! cells from `points` give: one (top-left), two
// (top-left, bottom-right), three (top-left, top-right, bottom-left) or four (top-left,
// top-right, bottom-left, bottom-right). The result cell gets the new image, or none; a
// mirrored axis gives its out size negated.
void image_transform_quad(cell* image, const cell* crop_at, const cell* crop_size, const cell* points,
                          int32_t count, int32_t& out_x, int32_t& out_y, int32_t& out_width,
                          int32_t& out_height, cell* result);

}  // namespace kel::quad
