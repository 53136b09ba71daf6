#include "datatypes/quad.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "datatypes/image.h"
#include "datatypes/point.h"

namespace kel::quad {

namespace {

struct vec {
    double x, y;
};
vec difference(point a, point b) { return {double{b.x} - a.x, double{b.y} - a.y}; }
double length(vec v) { return std::sqrt(v.x * v.x + v.y * v.y); }
vec normalise(vec v) {
    double l = length(v);
    return {v.x / l, v.y / l};
}
double cross(vec a, vec b) { return a.x * b.y - a.y * b.x; }

// A float box edge as an integer, NaN and infinities already refused.
int32_t truncate_clamped(double d, double low, double high) {
    return static_cast<int32_t>(std::clamp(d, low, high));
}

point point_of(const cell* c) {
    if (TYPE_OF(c) == TYPE_PAIR)
        return {static_cast<float>(static_cast<int32_t>(c->w2)), static_cast<float>(static_cast<int32_t>(c->w3))};
    return {point_component(c, 0), point_component(c, 1)};
}

}  // namespace

bool point_in_quad_q(const corners& quad, double x, double y) {
    for (int k = 0; k < 4; k++) {
        point a = quad.c[k], b = quad.c[(k + 1) % 4];
        if (cross({x - a.x, y - a.y}, difference(a, b)) > 0.0) return false;
    }
    return true;
}

bool copy_pixel_rect(const uint32_t* source, int32_t width, int32_t height, int32_t x, int32_t y,
                     int32_t w, int32_t h, uint32_t* destination) {
    if (x < 0 || y < 0 || x >= width || y >= height) return false;
    w = std::min(w, width - x);
    h = std::min(h, height - y);
    for (int32_t row = 0; row < h; row++)
        std::memcpy(destination + size_t(row) * w, source + size_t(y + row) * width + x, size_t(w) * 4);
    return true;
}

void quad_flip_x(corners& quad, float u) {
    for (point& p : quad.c) p.x = 2 * u - p.x;
}

void quad_flip_y(corners& quad, float v) {
    for (point& p : quad.c) p.y = 2 * v - p.y;
}

uint32_t* quad_transform(const uint32_t* source, int32_t width, int32_t height, const corners& quad,
                         int32_t& out_x, int32_t& out_y, int32_t& out_width, int32_t& out_height) {
    out_x = out_y = out_width = out_height = 0;
    if (width < 1 || height < 1) return nullptr;
    double min_x = 3.4028234663852886e+38, min_y = min_x, max_x = -min_x, max_y = -min_x;
    for (const point& p : quad.c) {
        if (!std::isfinite(p.x) || !std::isfinite(p.y)) return nullptr;
        min_x = std::min<double>(min_x, p.x);
        min_y = std::min<double>(min_y, p.y);
        max_x = std::max<double>(max_x, p.x);
        max_y = std::max<double>(max_y, p.y);
    }
    out_x = truncate_clamped(min_x, INT32_MIN, INT32_MAX);
    out_y = truncate_clamped(min_y, INT32_MIN, INT32_MAX);
    out_width = truncate_clamped(max_x - min_x, 0, image::SIDE_MAX);
    out_height = truncate_clamped(max_y - min_y, 0, image::SIDE_MAX);
    if (out_width == 0 || out_height == 0) return nullptr;
    auto* out = static_cast<uint32_t*>(std::calloc(size_t(out_width) * out_height, 4));
    if (!out) return nullptr;
    vec edges[4];
    for (int k = 0; k < 4; k++) edges[k] = normalise(difference(quad.c[k], quad.c[(k + 1) % 4]));
    for (int32_t j = 0; j < out_height; j++) {
        double py = static_cast<double>(out_y) + j;
        for (int32_t i = 0; i < out_width; i++) {
            double px = static_cast<double>(out_x) + i;
            if (!point_in_quad_q(quad, px, py)) continue;
            double d[4];
            for (int k = 0; k < 4; k++) d[k] = std::fabs(cross({px - quad.c[k].x, py - quad.c[k].y}, edges[k]));
            // A degenerate quad (or edge of length 0) has no ratio: the pixel stays 0.
            double u = d[3] * width / (d[3] + d[1]), v = d[0] * height / (d[0] + d[2]);
            if (!(u >= 0 && u < width && v >= 0 && v < height)) continue;
            int32_t ix = static_cast<int32_t>(u), iy = static_cast<int32_t>(v);
            int32_t ix2 = ix + 1 < width ? ix + 1 : ix, iy2 = iy + 1 < height ? iy + 1 : iy;
            double fx = std::max(u - ix, 0.0), fy = std::max(v - iy, 0.0);
            auto s = [&](int32_t x, int32_t y) { return reinterpret_cast<const uint8_t*>(source + size_t(y) * width + x); };
            const uint8_t *a = s(ix, iy), *b = s(ix2, iy), *c = s(ix, iy2), *e = s(ix2, iy2);
            uint8_t* to = reinterpret_cast<uint8_t*>(out + size_t(j) * out_width + i);
            for (int byte = 0; byte < 4; byte++)
                to[byte] = static_cast<uint8_t>((1 - fx) * (1 - fy) * a[byte] + fx * (1 - fy) * b[byte] +
                                                (1 - fx) * fy * c[byte] + fx * fy * e[byte]);
        }
    }
    return out;
}

void image_transform_quad(cell* image, const cell* crop_at, const cell* crop_size, const cell* points,
                          int32_t count, int32_t& out_x, int32_t& out_y, int32_t& out_width,
                          int32_t& out_height, cell* result) {
    *result = none_value;
    out_x = out_y = out_width = out_height = 0;
    int32_t w = static_cast<int32_t>(image::width_of(image)), h = static_cast<int32_t>(image::height_of(image));
    int32_t cx = 0, cy = 0;
    if (crop_at) {
        cx = std::clamp(static_cast<int32_t>(crop_at->w2), 0, w);
        cy = std::clamp(static_cast<int32_t>(crop_at->w3), 0, h);
        w = std::min(static_cast<int32_t>(crop_size->w2), w - cx);
        h = std::min(static_cast<int32_t>(crop_size->w3), h - cy);
    }
    if (count < 1 || count > 4 || w < 1 || h < 1 || !image->w2) return;
    point p[4];
    for (int32_t i = 0; i < count; i++) p[i] = point_of(points + i);
    float fw = static_cast<float>(w), fh = static_cast<float>(h);
    corners quad;
    switch (count) {
        case 1: quad = {{p[0], {p[0].x + fw, p[0].y}, {p[0].x + fw, p[0].y + fh}, {p[0].x, p[0].y + fh}}}; break;
        case 2: quad = {{p[0], {p[1].x, p[0].y}, p[1], {p[0].x, p[1].y}}}; break;
        case 3: quad = {{p[0], p[1], {p[1].x + p[2].x - p[0].x, p[1].y + p[2].y - p[0].y}, p[2]}}; break;
        default: quad = {{p[0], p[1], p[3], p[2]}};
    }
    bool mirror_x = quad.c[0].x > quad.c[1].x, mirror_y = quad.c[1].y > quad.c[2].y;
    if (mirror_x) quad_flip_x(quad, quad.c[0].x);
    if (mirror_y) quad_flip_y(quad, quad.c[0].y);
    const uint32_t* pixels = image::pixel_lock(image, false).pixels;
    std::unique_ptr<uint32_t[]> cropped;
    if (crop_at) {
        cropped.reset(new uint32_t[size_t(w) * h]);
        copy_pixel_rect(pixels, static_cast<int32_t>(image::width_of(image)), static_cast<int32_t>(image::height_of(image)),
                        cx, cy, w, h, cropped.get());
        pixels = cropped.get();
    }
    uint32_t* out = quad_transform(pixels, w, h, quad, out_x, out_y, out_width, out_height);
    if (!out) return;
    image::make_record(result, out, static_cast<uint32_t>(out_width), static_cast<uint32_t>(out_height));
    if (mirror_x) out_width = -out_width;
    if (mirror_y) out_height = -out_height;
}

}  // namespace kel::quad
