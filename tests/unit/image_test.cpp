// The image codecs through their entry points, the corrupt fixtures, the quad mapping and the
// pixel memory of images nothing refers to.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/image.h"
#include "datatypes/quad.h"
#include "platform/imaging.h"
#include "runtime/error_catalog.h"
#include "runtime/handle_table.h"
#include "tests/unit/series_fixture.h"

namespace kel::testing {
namespace {

constexpr uint32_t BAD_MEDIA = error_code(ERR_ACCESS, uint32_t(access_error::bad_media));

class ImageTest : public SeriesTest {
protected:
    void SetUp() override {
        SeriesTest::SetUp();
        init_handle_table();
        binary::init();
        image::init();
    }

    // A new image of the pixels on the stack.
    static cell* image_of(const std::vector<uint32_t>& pixels, uint32_t w, uint32_t h) {
        uint32_t* p = image::alloc_pixels(w, h, false);
        std::copy(pixels.begin(), pixels.end(), p);
        return image::push(p, w, h);
    }
    static std::vector<uint32_t> pixels_of(const cell* image) {
        const uint32_t* p = image::pixel_lock(image, false).pixels;
        return std::vector<uint32_t>(p, p + image::pixel_count(image));
    }
    static std::vector<uint8_t> bytes_of(const cell* binary) {
        return std::vector<uint8_t>(binary::ks_head(binary), binary::ks_tail(binary));
    }
    static cell* encoded(cell* image, int32_t format) {
        return const_cast<cell*>(image::encode(image, nullptr, format));
    }
};

// A 37x23 picture: gradients, half-transparent pixels and a fully transparent one that
// keeps its colour.
std::vector<uint32_t> sample(bool opaque) {
    std::vector<uint32_t> p(37 * 23);
    for (uint32_t y = 0; y < 23; y++)
        for (uint32_t x = 0; x < 37; x++) {
            uint32_t a = opaque ? 255 : (x * 7 + y) % 256;
            p[y * 37 + x] = a << 24 | (x * 6) << 16 | (y * 11) << 8 | ((x + y) * 4);
        }
    if (!opaque) p[5] = 0x00123456;
    return p;
}

TEST_F(ImageTest, CodecsRoundTrip) {
    std::vector<uint32_t> alpha = sample(false), opaque = sample(true);
    // GIF keeps colours within its palette and A < 128 as transparent.
    std::vector<uint32_t> palette(37 * 23);
    for (size_t i = 0; i < palette.size(); i++)
        palette[i] = i % 5 == 0 ? 0x00000000 : 0xFF000000 | uint32_t(i % 17) * 0x0F0A05;
    struct row {
        const char* name;
        int32_t format;
        const std::vector<uint32_t>& pixels;
        int max_error;  // per channel; 0 is exact
    } rows[] = {
        {"bmp", imaging::IMAGE_BMP, alpha, 0},
        {"png", imaging::IMAGE_PNG, alpha, 0},
        {"tiff", imaging::IMAGE_TIFF, alpha, 0},
        {"gif", imaging::IMAGE_GIF, palette, 0},
        {"jpeg", imaging::IMAGE_JPEG, opaque, 12},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        cell* top = stack::top;
        cell* source = image_of(r.pixels, 37, 23);
        cell* data = encoded(source, r.format);
        ASSERT_EQ(TYPE_OF(data), TYPE_BINARY);
        const cell* back = image::load_binary(data);
        ASSERT_EQ(TYPE_OF(back), TYPE_IMAGE);
        ASSERT_EQ(back->w3, 37u | 23u << 16);
        std::vector<uint32_t> got = pixels_of(back);
        int worst = 0;
        for (size_t i = 0; i < got.size(); i++)
            for (int shift = 0; shift < 32; shift += 8)
                worst = std::max(worst, std::abs(int(got[i] >> shift & 255) - int(r.pixels[i] >> shift & 255)));
        EXPECT_LE(worst, r.max_error);
        stack::top = top;
    }
}

TEST_F(ImageTest, EncoderEdges) {
    cell* picture = image_of(sample(true), 37, 23);
    // GIF87a is not among the signatures.
    std::vector<uint8_t> gif = bytes_of(encoded(picture, imaging::IMAGE_GIF));
    gif[4] = '7';
    EXPECT_EQ(TYPE_OF(image::load_binary(binary::load(gif.data(), gif.size()))), TYPE_NONE);
    uint8_t text[] = "plain text";
    EXPECT_EQ(TYPE_OF(image::load_binary(binary::load(text, sizeof text))), TYPE_NONE);

    cell* destination = stack::push(&none_value);
    ::testing::internal::CaptureStdout();
    image::encode(picture, destination, 5);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Cannot find image encoder\n");
    EXPECT_EQ(TYPE_OF(destination), TYPE_NONE);

    cell* none_sized = image::make_record(stack::push(&none_value), nullptr, 0, 0);
    EXPECT_EQ(raised_code([&] { image::encode(none_sized, nullptr, imaging::IMAGE_PNG); }), BAD_MEDIA);
    cell* flat = image::make_record(stack::push(&none_value), nullptr, 0, 5);
    const cell* empty = image::encode(flat, nullptr, imaging::IMAGE_PNG);
    EXPECT_EQ(TYPE_OF(empty), TYPE_BINARY);
    EXPECT_EQ(binary::ks_length_q(empty), 0u);
}

TEST_F(ImageTest, DecodeReadsAFile) {
    cell* picture = image_of(sample(false), 37, 23);
    std::vector<uint8_t> png = bytes_of(encoded(picture, imaging::IMAGE_PNG));
    std::filesystem::path dir = std::filesystem::temp_directory_path() / ("kel-image-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "a.png", std::ios::binary).write(reinterpret_cast<const char*>(png.data()), long(png.size()));
    std::ofstream(dir / "broken.png", std::ios::binary).write(reinterpret_cast<const char*>(png.data()), 40);
    auto file = [&](const char* name) {
        std::string path = (dir / name).string();
        cell* f = load_string_push(reinterpret_cast<const uint8_t*>(path.data()), path.size(), 0);
        set_type(f, TYPE_FILE);
        return f;
    };
    const cell* read = image::decode(file("a.png"));
    ASSERT_EQ(TYPE_OF(read), TYPE_IMAGE);
    EXPECT_EQ(pixels_of(read), sample(false));
    constexpr uint32_t CANNOT_OPEN = error_code(ERR_ACCESS, uint32_t(access_error::cannot_open));
    for (const char* name : {"broken.png", "missing.png"})
        EXPECT_EQ(raised_code([&] { image::decode(file(name)); }), CANNOT_OPEN) << name;
    std::filesystem::remove_all(dir);
}

TEST_F(ImageTest, CorruptFixturesAreBadMedia) {
    for (const auto& entry : std::filesystem::directory_iterator(KEL_IMAGE_FIXTURES)) {
        SCOPED_TRACE(entry.path().filename().string());
        std::ifstream in(entry.path(), std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        cell* top = stack::top;
        cell* data = binary::load(bytes.data(), bytes.size());
        EXPECT_EQ(raised_code([&] { image::load_binary(data); }), BAD_MEDIA);
        stack::top = top;
    }
}

TEST_F(ImageTest, QuadMapping) {
    std::vector<uint32_t> pixels = sample(false);
    cell* picture = image_of(pixels, 37, 23);
    auto map = [&](std::vector<cell> points, int32_t (&box)[4]) {
        cell* at = stack::top;
        for (const cell& p : points) stack::push(&p);
        cell* result = stack::push(&none_value);
        quad::image_transform_quad(picture, nullptr, nullptr, at, static_cast<int32_t>(points.size()), box[0],
                                   box[1], box[2], box[3], result);
        return result;
    };
    auto pair = [](int32_t x, int32_t y) { return cell{TYPE_PAIR, 0, uint32_t(x), uint32_t(y)}; };
    auto point = [](float x, float y) {
        cell c{TYPE_POINT2D, 0, 0, 0};
        std::memcpy(&c.w1, &x, 4);
        std::memcpy(&c.w2, &y, 4);
        return c;
    };
    int32_t box[4];
    // The source rectangle itself reproduces the source.
    cell* same = map({pair(0, 0)}, box);
    ASSERT_EQ(TYPE_OF(same), TYPE_IMAGE);
    EXPECT_EQ(pixels_of(same), pixels);
    EXPECT_EQ(std::vector<int32_t>(box, box + 4), (std::vector<int32_t>{0, 0, 37, 23}));
    // Corners given right to left: mirrored, and the width says so.
    cell* mirrored = map({pair(37, 0), pair(0, 23)}, box);
    ASSERT_EQ(TYPE_OF(mirrored), TYPE_IMAGE);
    EXPECT_EQ(std::vector<int32_t>(box, box + 4), (std::vector<int32_t>{37, 0, -37, 23}));
    // A rotated quad leaves the corners outside it at 0.
    cell* diamond = map({pair(20, 0), pair(40, 20), pair(0, 20), pair(20, 40)}, box);
    ASSERT_EQ(TYPE_OF(diamond), TYPE_IMAGE);
    EXPECT_EQ(pixels_of(diamond)[0], 0u);
    // No NaN becomes an integer: infinite or NaN corners give none, a flat quad zeros, and a
    // huge one a box clamped to the largest side.
    float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(TYPE_OF(map({point(inf, 0), point(5, 5)}, box)), TYPE_NONE);
    EXPECT_EQ(TYPE_OF(map({point(nan, 0)}, box)), TYPE_NONE);
    cell* flat = map({pair(0, 0), pair(10, 0), pair(0, 0), pair(10, 0)}, box);
    EXPECT_EQ(TYPE_OF(flat), TYPE_NONE);
    cell* line = map({point(0, 0), point(8, 0), point(0, 0.5f), point(8, 0.5f)}, box);
    EXPECT_EQ(TYPE_OF(line), TYPE_NONE);
    quad::corners huge{{{0, 0}, {1e30f, 0}, {1e30f, 2}, {0, 2}}};
    int32_t x, y, w, h;
    uint32_t* out = quad::quad_transform(pixels.data(), 37, 23, huge, x, y, w, h);
    EXPECT_EQ(w, 65535);
    EXPECT_EQ(h, 2);
    std::free(out);
    // Quads of zero area inside: every ratio is undefined, every pixel stays 0.
    quad::corners needle{{{0, 0}, {4, 4}, {4, 4}, {0, 0}}};
    out = quad::quad_transform(pixels.data(), 37, 23, needle, x, y, w, h);
    ASSERT_NE(out, nullptr);
    for (int32_t i = 0; i < w * h; i++) EXPECT_EQ(out[i], 0u);
    std::free(out);
}

// Images nothing refers to give their pixels back: 2000 images of 4 MB stay far below 8 GB.
TEST(ImageMemory, ManyDeadImagesStayBounded) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's quarantine holds freed memory on purpose";
#endif
    std::filesystem::path script =
        std::filesystem::temp_directory_path() / ("kel-images-" + std::to_string(getpid()) + ".kel");
    std::ofstream(script) << "Kel []\nloop 2000 [make image! 1000x1000]\n";
    pid_t child = fork();
    if (child == 0) {
        execl(KEL_BINARY, KEL_BINARY, script.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    wait4(child, &status, 0, &usage);
    std::filesystem::remove(script);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_LT(usage.ru_maxrss, 1024L * 1024);  // kilobytes
}

}  // namespace
}  // namespace kel::testing
