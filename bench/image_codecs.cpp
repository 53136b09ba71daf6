// PNG and JPEG decode and encode of a generated 4000x3000 picture: through the image entry
// points (what a script gets) and through the raw library calls, best of RUNS (5) runs each,
// ours and raw in turn.
// bench/image_codecs_pil.py times the same picture (written to the path given) with PIL
// at the same zlib level and JPEG quality.
//
//   [RUNS=n] build-bench/bench/bench_image_codecs [raw-pixels-out]
#include <png.h>
#include <turbojpeg.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <csetjmp>
#include <cstdlib>
#include <cstdio>
#include <functional>
#include <utility>
#include <vector>

#include "boot/init.h"
#include "datatypes/binary.h"
#include "datatypes/image.h"
#include "runtime/collector.h"
#include "runtime/stack.h"

using namespace kel;

namespace {

constexpr uint32_t W = 4000, H = 3000;

int runs() {
    const char* text = std::getenv("RUNS");
    return text ? std::max(1, std::atoi(text)) : 5;
}

double elapsed_ms(const std::function<void()>& run) {
    auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Best times of ours and raw, their runs taken in turn so that a busy moment weighs on both.
std::pair<double, double> best_pair_ms(const std::function<void()>& ours, const std::function<void()>& raw) {
    double best_ours = 1e30, best_raw = 1e30;
    for (int i = 0; i < runs(); i++) {
        best_ours = std::min(best_ours, elapsed_ms(ours));
        best_raw = std::min(best_raw, elapsed_ms(raw));
    }
    return {best_ours, best_raw};
}

// Smooth gradients with a little noise: neither flat nor random.
std::vector<uint32_t> picture() {
    std::vector<uint32_t> p(size_t{W} * H);
    uint32_t seed = 12345;
    for (uint32_t y = 0; y < H; y++)
        for (uint32_t x = 0; x < W; x++) {
            seed = seed * 1103515245 + 12345;
            uint32_t noise = seed >> 28;
            uint32_t r = (x * 255 / W + noise) & 255, g = (y * 255 / H + noise) & 255, b = ((x + y) / 31 + noise) & 255;
            p[size_t{y} * W + x] = 0xFF000000 | r << 16 | g << 8 | b;
        }
    return p;
}

void append_png(png_structp writer, png_bytep bytes, size_t n) {
    auto* buffer = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(writer));
    buffer->insert(buffer->end(), bytes, bytes + n);
}

}  // namespace

int main(int argc, char** argv) {
    runtime_init();
    collector_enabled = true;
    std::vector<uint32_t> pixels = picture();
    if (argc > 1) {
        FILE* f = std::fopen(argv[1], "wb");
        std::fwrite(pixels.data(), 4, pixels.size(), f);
        std::fclose(f);
    }
    uint32_t* copy = image::alloc_pixels(W, H, false);
    std::copy(pixels.begin(), pixels.end(), copy);
    cell* img = image::push(copy, W, H);
    cell* png_data = stack::push(&none_value);
    cell* jpeg_data = stack::push(&none_value);
    cell* base = stack::top;

    auto ours_png_enc = [&] { image::encode(img, png_data, 1); };
    auto ours_png_dec = [&] { image::load_binary(png_data); stack::top = base; };
    auto ours_jpg_enc = [&] { image::encode(img, jpeg_data, 3); };
    auto ours_jpg_dec = [&] { image::load_binary(jpeg_data); stack::top = base; };
    ours_png_enc();
    ours_jpg_enc();

    std::vector<uint8_t> png_bytes(binary::ks_head(png_data), binary::ks_tail(png_data));
    std::vector<uint8_t> jpg_bytes(binary::ks_head(jpeg_data), binary::ks_tail(jpeg_data));
    // A decoder's output is a new picture: each raw run allocates its own, as ours does.
    auto fresh = [] { return static_cast<uint32_t*>(std::malloc(size_t{W} * H * 4)); };
    auto raw_png_enc = [&] {
        std::vector<uint8_t> buffer;
        png_structp writer = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        png_infop info = png_create_info_struct(writer);
        if (setjmp(png_jmpbuf(writer))) std::abort();
        png_set_write_fn(writer, &buffer, append_png, nullptr);
        png_set_IHDR(writer, info, W, H, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_set_bgr(writer);
        png_set_filter(writer, PNG_FILTER_TYPE_BASE, PNG_FILTER_UP);
        png_set_compression_level(writer, 6);
        png_set_compression_strategy(writer, Z_DEFAULT_STRATEGY);
        png_set_compression_buffer_size(writer, 1 << 17);
        png_write_info(writer, info);
        for (uint32_t y = 0; y < H; y++)
            png_write_row(writer, reinterpret_cast<png_const_bytep>(pixels.data() + size_t{y} * W));
        png_write_end(writer, info);
        png_destroy_write_struct(&writer, &info);
    };
    auto raw_png_dec = [&] {
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        png_image_begin_read_from_memory(&image, png_bytes.data(), png_bytes.size());
        image.format = PNG_FORMAT_BGRA;
        uint32_t* out = fresh();
        png_image_finish_read(&image, nullptr, out, W * 4, nullptr);
        std::free(out);
    };
    auto raw_jpg_enc = [&] {
        tjhandle tj = tjInitCompress();
        unsigned char* data = nullptr;
        unsigned long size = 0;
        tjCompress2(tj, reinterpret_cast<const unsigned char*>(pixels.data()), W, W * 4, H, TJPF_BGRA, &data, &size,
                    TJSAMP_420, 75, 0);
        tjFree(data);
        tjDestroy(tj);
    };
    auto raw_jpg_dec = [&] {
        tjhandle tj = tjInitDecompress();
        uint32_t* out = fresh();
        tjDecompress2(tj, jpg_bytes.data(), jpg_bytes.size(), reinterpret_cast<unsigned char*>(out), W, W * 4, H,
                      TJPF_BGRA, 0);
        std::free(out);
        tjDestroy(tj);
    };
    std::printf("4000x3000, best of %d, ms   ours     raw   ours/raw\n", runs());
    auto line = [](const char* name, const std::function<void()>& ours, const std::function<void()>& raw) {
        auto [o, r] = best_pair_ms(ours, raw);
        std::printf("%-28s %7.1f %7.1f %6.2f\n", name, o, r, o / r);
    };
    line("PNG encode (zlib level 6)", ours_png_enc, raw_png_enc);
    line("PNG decode", ours_png_dec, raw_png_dec);
    line("JPEG encode (quality 75)", ours_jpg_enc, raw_jpg_enc);
    line("JPEG decode", ours_jpg_dec, raw_jpg_dec);
    std::printf("PNG %zu bytes, JPEG %zu bytes\n", png_bytes.size(), jpg_bytes.size());
    return 0;
}
