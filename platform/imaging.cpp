#include "platform/imaging.h"

#include <dlfcn.h>
#include <setjmp.h>
#include <sys/mman.h>
#include <gif_lib.h>
#include <png.h>
#include <tiffio.h>
#include <turbojpeg.h>
#include <zlib.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <utility>

namespace kel::imaging {

namespace {

// --- Opening the libraries -----------------------------------------------------------------

template <class F>
bool bind(void* library, const char* name, F& function) {
    function = reinterpret_cast<F>(dlsym(library, name));
    return function != nullptr;
}

// Each library's functions, bound once on first use; null when the library is missing.
#define KEL_FUNCTION(name) decltype(&::name) name;
#define KEL_BIND(name) ok = bind(library, #name, api.name) && ok;

struct png_api {
    KEL_FUNCTION(png_image_begin_read_from_memory)
    KEL_FUNCTION(png_image_finish_read)
    KEL_FUNCTION(png_image_free)
    KEL_FUNCTION(png_create_write_struct)
    KEL_FUNCTION(png_create_info_struct)
    KEL_FUNCTION(png_destroy_write_struct)
    KEL_FUNCTION(png_get_error_ptr)
    KEL_FUNCTION(png_get_io_ptr)
    KEL_FUNCTION(png_error)
    KEL_FUNCTION(png_set_write_fn)
    KEL_FUNCTION(png_set_IHDR)
    KEL_FUNCTION(png_set_bgr)
    KEL_FUNCTION(png_set_filter)
    KEL_FUNCTION(png_set_compression_level)
    KEL_FUNCTION(png_set_compression_strategy)
    KEL_FUNCTION(png_set_compression_buffer_size)
    KEL_FUNCTION(png_write_info)
    KEL_FUNCTION(png_write_row)
    KEL_FUNCTION(png_write_end)
};

struct jpeg_api {
    KEL_FUNCTION(tjInitDecompress)
    KEL_FUNCTION(tjInitCompress)
    KEL_FUNCTION(tjDecompressHeader3)
    KEL_FUNCTION(tjDecompress2)
    KEL_FUNCTION(tjCompress2)
    KEL_FUNCTION(tjDestroy)
    KEL_FUNCTION(tjFree)
};

struct gif_api {
    KEL_FUNCTION(DGifOpen)
    KEL_FUNCTION(DGifGetRecordType)
    KEL_FUNCTION(DGifGetImageDesc)
    KEL_FUNCTION(DGifGetLine)
    KEL_FUNCTION(DGifGetExtension)
    KEL_FUNCTION(DGifGetExtensionNext)
    KEL_FUNCTION(DGifCloseFile)
    KEL_FUNCTION(EGifOpen)
    KEL_FUNCTION(EGifSetGifVersion)
    KEL_FUNCTION(EGifPutScreenDesc)
    KEL_FUNCTION(EGifPutExtension)
    KEL_FUNCTION(EGifPutImageDesc)
    KEL_FUNCTION(EGifPutLine)
    KEL_FUNCTION(EGifCloseFile)
    KEL_FUNCTION(GifMakeMapObject)
    KEL_FUNCTION(GifFreeMapObject)
};

struct tiff_api {
    KEL_FUNCTION(TIFFClientOpen)
    KEL_FUNCTION(TIFFClose)
    KEL_FUNCTION(TIFFGetField)
    KEL_FUNCTION(TIFFGetFieldDefaulted)
    KEL_FUNCTION(TIFFSetField)
    KEL_FUNCTION(TIFFIsTiled)
    KEL_FUNCTION(TIFFScanlineSize)
    KEL_FUNCTION(TIFFReadScanline)
    KEL_FUNCTION(TIFFWriteScanline)
    KEL_FUNCTION(TIFFReadRGBAImageOriented)
    KEL_FUNCTION(TIFFDefaultStripSize)
    KEL_FUNCTION(TIFFSetErrorHandler)
    KEL_FUNCTION(TIFFSetWarningHandler)
};

// libtiff reports through handlers: the last message is kept, never printed.
char tiff_message[256];
void record_tiff_message(const char*, const char* format, va_list arguments) {
    std::vsnprintf(tiff_message, sizeof tiff_message, format, arguments);
}

const png_api* png() {
    static png_api api;
    static const bool loaded = [] {
        void* library = dlopen("libpng16.so.16", RTLD_NOW | RTLD_LOCAL);
        if (!library) return false;
        bool ok = true;
        KEL_BIND(png_image_begin_read_from_memory)
        KEL_BIND(png_image_finish_read)
        KEL_BIND(png_image_free)
        KEL_BIND(png_create_write_struct)
        KEL_BIND(png_create_info_struct)
        KEL_BIND(png_destroy_write_struct)
        KEL_BIND(png_get_error_ptr)
        KEL_BIND(png_get_io_ptr)
        KEL_BIND(png_error)
        KEL_BIND(png_set_write_fn)
        KEL_BIND(png_set_IHDR)
        KEL_BIND(png_set_bgr)
        KEL_BIND(png_set_filter)
        KEL_BIND(png_set_compression_level)
        KEL_BIND(png_set_compression_strategy)
        KEL_BIND(png_set_compression_buffer_size)
        KEL_BIND(png_write_info)
        KEL_BIND(png_write_row)
        KEL_BIND(png_write_end)
        return ok;
    }();
    return loaded ? &api : nullptr;
}

const jpeg_api* jpeg() {
    static jpeg_api api;
    static const bool loaded = [] {
        void* library = dlopen("libturbojpeg.so.0", RTLD_NOW | RTLD_LOCAL);
        if (!library) return false;
        bool ok = true;
        KEL_BIND(tjInitDecompress)
        KEL_BIND(tjInitCompress)
        KEL_BIND(tjDecompressHeader3)
        KEL_BIND(tjDecompress2)
        KEL_BIND(tjCompress2)
        KEL_BIND(tjDestroy)
        KEL_BIND(tjFree)
        return ok;
    }();
    return loaded ? &api : nullptr;
}

const gif_api* gif() {
    static gif_api api;
    static const bool loaded = [] {
        void* library = dlopen("libgif.so.7", RTLD_NOW | RTLD_LOCAL);
        if (!library) return false;
        bool ok = true;
        KEL_BIND(DGifOpen)
        KEL_BIND(DGifGetRecordType)
        KEL_BIND(DGifGetImageDesc)
        KEL_BIND(DGifGetLine)
        KEL_BIND(DGifGetExtension)
        KEL_BIND(DGifGetExtensionNext)
        KEL_BIND(DGifCloseFile)
        KEL_BIND(EGifOpen)
        KEL_BIND(EGifSetGifVersion)
        KEL_BIND(EGifPutScreenDesc)
        KEL_BIND(EGifPutExtension)
        KEL_BIND(EGifPutImageDesc)
        KEL_BIND(EGifPutLine)
        KEL_BIND(EGifCloseFile)
        KEL_BIND(GifMakeMapObject)
        KEL_BIND(GifFreeMapObject)
        return ok;
    }();
    return loaded ? &api : nullptr;
}

const tiff_api* tiff() {
    static tiff_api api;
    static const bool loaded = [] {
        void* library = dlopen("libtiff.so.6", RTLD_NOW | RTLD_LOCAL);
        if (!library) return false;
        bool ok = true;
        KEL_BIND(TIFFClientOpen)
        KEL_BIND(TIFFClose)
        KEL_BIND(TIFFGetField)
        KEL_BIND(TIFFGetFieldDefaulted)
        KEL_BIND(TIFFSetField)
        KEL_BIND(TIFFIsTiled)
        KEL_BIND(TIFFScanlineSize)
        KEL_BIND(TIFFReadScanline)
        KEL_BIND(TIFFWriteScanline)
        KEL_BIND(TIFFReadRGBAImageOriented)
        KEL_BIND(TIFFDefaultStripSize)
        KEL_BIND(TIFFSetErrorHandler)
        KEL_BIND(TIFFSetWarningHandler)
        if (ok) {
            api.TIFFSetErrorHandler(record_tiff_message);
            api.TIFFSetWarningHandler(nullptr);
        }
        return ok;
    }();
    return loaded ? &api : nullptr;
}

#undef KEL_FUNCTION
#undef KEL_BIND

// Frees a decoder's buffer unless it was handed over.
struct pixel_guard {
    uint32_t* pixels;
    ~pixel_guard() { std::free(pixels); }
    uint32_t* release() { return std::exchange(pixels, nullptr); }
};

bool hand_over(pixel_guard& guard, uint32_t width, uint32_t height, bitmap& out) {
    out = bitmap{guard.release(), width, height};
    return true;
}

// --- PNG -----------------------------------------------------------------------------------

bool decode_png(const uint8_t* bytes, size_t n, size_t limit, bitmap& out) {
    const png_api* api = png();
    if (!api) return false;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!api->png_image_begin_read_from_memory(&image, bytes, n)) return false;
    struct release {
        const png_api* api;
        png_image* image;
        ~release() { api->png_image_free(image); }
    } release_image{api, &image};
    pixel_guard guard{alloc_checked(image.width, image.height, limit)};
    if (!guard.pixels) return false;
    image.format = PNG_FORMAT_BGRA;
    if (!api->png_image_finish_read(&image, nullptr, guard.pixels, static_cast<png_int_32>(image.width * 4), nullptr))
        return false;
    return hand_over(guard, image.width, image.height, out);
}

// One encoding by libpng's full interface. libpng leaves an error by a jump that must cross
// no C++ frame: it lands in write_png_rows, and every frame it leaves holds plain data only.
struct png_job {
    const png_api* api;
    const uint32_t* pixels;
    uint32_t width, height;
    std::vector<uint8_t>* out;
    jmp_buf failed;
};

[[noreturn]] void png_failed(png_structp writer, png_const_charp) {
    longjmp(static_cast<png_job*>(png()->png_get_error_ptr(writer))->failed, 1);
}

void png_ignore_warning(png_structp, png_const_charp) {}

void png_append(png_structp writer, png_bytep bytes, size_t n) {
    png_job* job = static_cast<png_job*>(png()->png_get_io_ptr(writer));
    bool appended = true;
    try {
        job->out->insert(job->out->end(), bytes, bytes + n);
    } catch (const std::bad_alloc&) {
        appended = false;
    }
    if (!appended) job->api->png_error(writer, "out of memory");
}

void png_flush(png_structp) {}

bool write_png_rows(png_job& job, png_structp writer, png_infop info) {
    if (setjmp(job.failed)) return false;
    const png_api* api = job.api;
    api->png_set_write_fn(writer, &job, png_append, png_flush);
    api->png_set_IHDR(writer, info, job.width, job.height, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
                      PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    api->png_set_bgr(writer);
    // Up on every row: on smooth pictures it compresses as well as choosing a filter per row
    // and deflates a fifth faster; the default strategy also gives smaller output than the
    // filtered one there.
    api->png_set_filter(writer, PNG_FILTER_TYPE_BASE, PNG_FILTER_UP);
    api->png_set_compression_level(writer, 6);
    api->png_set_compression_strategy(writer, Z_DEFAULT_STRATEGY);
    api->png_set_compression_buffer_size(writer, 1 << 17);
    api->png_write_info(writer, info);
    for (uint32_t y = 0; y < job.height; y++)
        api->png_write_row(writer, reinterpret_cast<png_const_bytep>(job.pixels + size_t{y} * job.width));
    api->png_write_end(writer, info);
    return true;
}

bool encode_png(const uint32_t* pixels, uint32_t width, uint32_t height, std::vector<uint8_t>& out) {
    const png_api* api = png();
    if (!api) return false;
    out.clear();
    png_job job{api, pixels, width, height, &out, {}};
    png_structp writer = api->png_create_write_struct(PNG_LIBPNG_VER_STRING, &job, png_failed, png_ignore_warning);
    if (!writer) return false;
    png_infop info = api->png_create_info_struct(writer);
    bool ok = info && write_png_rows(job, writer, info);
    api->png_destroy_write_struct(&writer, &info);
    if (!ok) out.clear();
    return ok;
}

// --- JPEG ----------------------------------------------------------------------------------

struct tj_handle {
    const jpeg_api* api;
    tjhandle handle;
    ~tj_handle() {
        if (handle) api->tjDestroy(handle);
    }
};

bool decode_jpeg(const uint8_t* bytes, size_t n, size_t limit, bitmap& out) {
    const jpeg_api* api = jpeg();
    if (!api) return false;
    tj_handle tj{api, api->tjInitDecompress()};
    int width, height, subsampling, colorspace;
    if (!tj.handle || api->tjDecompressHeader3(tj.handle, bytes, n, &width, &height, &subsampling, &colorspace) < 0)
        return false;
    if (width <= 0 || height <= 0) return false;
    pixel_guard guard{alloc_checked(static_cast<uint32_t>(width), static_cast<uint32_t>(height), limit)};
    if (!guard.pixels) return false;
    // A warning (truncated data, for one) is a failure: the picture would be partly made up.
    if (api->tjDecompress2(tj.handle, bytes, n, reinterpret_cast<unsigned char*>(guard.pixels), width,
                           width * 4, height, TJPF_BGRA, TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS) < 0)
        return false;
    return hand_over(guard, static_cast<uint32_t>(width), static_cast<uint32_t>(height), out);
}

// The compressor and its output buffer live on between calls: a fresh buffer grows by
// doubling, each step a new allocation and a copy, and a fresh compressor sets up its tables
// again. A buffer far larger than the last picture's is not kept.
struct jpeg_compressor {
    const jpeg_api* api = nullptr;
    tjhandle handle = nullptr;
    unsigned char* buffer = nullptr;
    unsigned long capacity = 0;
    ~jpeg_compressor() {
        if (buffer) api->tjFree(buffer);
        if (handle) api->tjDestroy(handle);
    }
};

constexpr unsigned long KEPT_JPEG_BUFFER = 64ul << 20;

bool encode_jpeg(const uint32_t* pixels, uint32_t width, uint32_t height, const byte_sink& deliver) {
    thread_local jpeg_compressor tj;
    if (!tj.api) {
        tj.api = jpeg();
        if (!tj.api) return false;
    }
    if (!tj.handle) tj.handle = tj.api->tjInitCompress();
    if (!tj.handle) return false;
    unsigned long size = tj.capacity;
    bool ok = tj.api->tjCompress2(tj.handle, reinterpret_cast<const unsigned char*>(pixels), static_cast<int>(width),
                                  static_cast<int>(width * 4), static_cast<int>(height), TJPF_BGRA, &tj.buffer, &size,
                                  TJSAMP_420, 75, 0) == 0;
    // The library keeps the true size of a buffer it has seen; this is a lower bound of it.
    tj.capacity = std::max(tj.capacity, size);
    if (ok) deliver(tj.buffer, size);
    if (!ok || tj.capacity > KEPT_JPEG_BUFFER) {
        tj.api->tjFree(tj.buffer);
        tj.buffer = nullptr;
        tj.capacity = 0;
    }
    return ok;
}

// --- GIF -----------------------------------------------------------------------------------

struct gif_input {
    const uint8_t* bytes;
    size_t n;
    size_t at;
};

int read_gif(GifFileType* file, GifByteType* buffer, int length) {
    auto* input = static_cast<gif_input*>(file->UserData);
    size_t k = std::min(static_cast<size_t>(std::max(length, 0)), input->n - input->at);
    std::memcpy(buffer, input->bytes + input->at, k);
    input->at += k;
    return static_cast<int>(k);
}

int write_gif(GifFileType* file, const GifByteType* buffer, int length) {
    auto* output = static_cast<std::vector<uint8_t>*>(file->UserData);
    output->insert(output->end(), buffer, buffer + length);
    return length;
}

// Frame 0, read record by record: nothing beyond the first image is looked at.
bool decode_gif(const uint8_t* bytes, size_t n, size_t limit, bitmap& out) {
    const gif_api* api = gif();
    if (!api) return false;
    gif_input input{bytes, n, 0};
    int error = 0;
    GifFileType* file = api->DGifOpen(&input, read_gif, &error);
    if (!file) return false;
    struct close {
        const gif_api* api;
        GifFileType* file;
        ~close() {
            int error;
            api->DGifCloseFile(file, &error);
        }
    } close_file{api, file};
    int transparent = -1;
    for (;;) {
        GifRecordType type;
        if (api->DGifGetRecordType(file, &type) == GIF_ERROR) return false;
        if (type == TERMINATE_RECORD_TYPE) return false;
        if (type == EXTENSION_RECORD_TYPE) {
            int code;
            GifByteType* extension = nullptr;
            if (api->DGifGetExtension(file, &code, &extension) == GIF_ERROR) return false;
            if (code == GRAPHICS_EXT_FUNC_CODE && extension && extension[0] >= 4 && (extension[1] & 1))
                transparent = extension[4];
            while (extension)
                if (api->DGifGetExtensionNext(file, &extension) == GIF_ERROR) return false;
            continue;
        }
        if (type != IMAGE_DESC_RECORD_TYPE) continue;
        if (api->DGifGetImageDesc(file) == GIF_ERROR) return false;
        const GifImageDesc& frame = file->Image;
        const ColorMapObject* map = frame.ColorMap ? frame.ColorMap : file->SColorMap;
        uint32_t width = static_cast<uint32_t>(file->SWidth), height = static_cast<uint32_t>(file->SHeight);
        if (!map || frame.Width <= 0 || frame.Height <= 0) return false;
        pixel_guard guard{alloc_checked(width, height, limit)};
        if (!guard.pixels) return false;
        std::vector<GifPixelType> line(static_cast<size_t>(frame.Width));
        static const int starts[] = {0, 4, 2, 1}, steps[] = {8, 8, 4, 2};
        int passes = frame.Interlace ? 4 : 1;
        for (int pass = 0; pass < passes; pass++) {
            int step = frame.Interlace ? steps[pass] : 1;
            for (int row = frame.Interlace ? starts[pass] : 0; row < frame.Height; row += step) {
                if (api->DGifGetLine(file, line.data(), frame.Width) == GIF_ERROR) return false;
                int64_t y = int64_t{frame.Top} + row;
                if (y < 0 || y >= height) continue;
                for (int i = 0; i < frame.Width; i++) {
                    int64_t x = int64_t{frame.Left} + i;
                    if (x < 0 || x >= width || line[i] == transparent) continue;
                    uint32_t word = 0xFF000000;
                    if (line[i] < map->ColorCount) {
                        const GifColorType& c = map->Colors[line[i]];
                        word |= uint32_t{c.Red} << 16 | uint32_t{c.Green} << 8 | c.Blue;
                    }
                    guard.pixels[y * width + x] = word;
                }
            }
        }
        return hand_over(guard, width, height, out);
    }
}

// Exact up to 256 colours (a transparent pixel, A < 128, takes one of them); more are
// mapped onto a 6 x 6 x 6 colour cube.
bool encode_gif(const uint32_t* pixels, uint32_t width, uint32_t height, std::vector<uint8_t>& out) {
    const gif_api* api = gif();
    if (!api) return false;
    size_t n = size_t{width} * height;
    bool any_transparent = std::any_of(pixels, pixels + n, [](uint32_t p) { return p >> 24 < 128; });
    std::vector<GifColorType> colours;
    if (any_transparent) colours.push_back({0, 0, 0});
    std::unordered_map<uint32_t, GifPixelType> index;
    std::vector<GifPixelType> indices(n);
    bool exact = true;
    for (size_t i = 0; i < n && exact; i++) {
        if (pixels[i] >> 24 < 128) continue;
        uint32_t rgb = pixels[i] & 0xFFFFFF;
        auto [at, fresh] = index.try_emplace(rgb, static_cast<GifPixelType>(colours.size()));
        if (fresh) {
            if (colours.size() == 256) exact = false;
            else colours.push_back({static_cast<GifByteType>(rgb >> 16), static_cast<GifByteType>(rgb >> 8),
                                    static_cast<GifByteType>(rgb)});
        }
        indices[i] = at->second;
    }
    if (!exact) {
        colours.assign(any_transparent ? 1 : 0, GifColorType{0, 0, 0});
        int base = static_cast<int>(colours.size());
        for (int r = 0; r < 6; r++)
            for (int g = 0; g < 6; g++)
                for (int b = 0; b < 6; b++)
                    colours.push_back({static_cast<GifByteType>(r * 51), static_cast<GifByteType>(g * 51),
                                       static_cast<GifByteType>(b * 51)});
        for (size_t i = 0; i < n; i++) {
            uint32_t p = pixels[i];
            if (p >> 24 < 128) continue;
            auto level = [](uint32_t c) { return static_cast<int>((c + 25) / 51); };
            indices[i] = static_cast<GifPixelType>(base + level((p >> 16) & 0xFF) * 36 + level((p >> 8) & 0xFF) * 6 +
                                                   level(p & 0xFF));
        }
    }
    int size = 2;
    while (size < static_cast<int>(colours.size())) size *= 2;
    colours.resize(static_cast<size_t>(size), GifColorType{0, 0, 0});
    ColorMapObject* map = api->GifMakeMapObject(size, colours.data());
    if (!map) return false;
    out.clear();
    int error = 0;
    GifFileType* file = api->EGifOpen(&out, write_gif, &error);
    bool ok = file != nullptr;
    if (ok) {
        api->EGifSetGifVersion(file, true);
        ok = api->EGifPutScreenDesc(file, static_cast<int>(width), static_cast<int>(height), 8, 0, map) != GIF_ERROR;
        if (ok && any_transparent) {
            GifByteType control[4] = {0x01, 0, 0, 0};
            ok = api->EGifPutExtension(file, GRAPHICS_EXT_FUNC_CODE, 4, control) != GIF_ERROR;
        }
        ok = ok && api->EGifPutImageDesc(file, 0, 0, static_cast<int>(width), static_cast<int>(height), false,
                                         nullptr) != GIF_ERROR;
        for (uint32_t y = 0; ok && y < height; y++)
            ok = api->EGifPutLine(file, indices.data() + size_t{y} * width, static_cast<int>(width)) != GIF_ERROR;
        ok = api->EGifCloseFile(file, &error) != GIF_ERROR && ok;
    }
    api->GifFreeMapObject(map);
    return ok;
}

// --- TIFF ----------------------------------------------------------------------------------

// The memory a TIFF client reads from or writes to.
struct tiff_memory {
    const uint8_t* in;
    size_t size;
    std::vector<uint8_t>* out;
    size_t at;
};

tmsize_t read_tiff(thandle_t handle, void* buffer, tmsize_t length) {
    auto* m = static_cast<tiff_memory*>(handle);
    const uint8_t* data = m->out ? m->out->data() : m->in;
    size_t size = m->out ? m->out->size() : m->size;
    size_t k = m->at < size ? std::min(static_cast<size_t>(length), size - m->at) : 0;
    std::memcpy(buffer, data + m->at, k);
    m->at += k;
    return static_cast<tmsize_t>(k);
}

tmsize_t write_tiff(thandle_t handle, void* buffer, tmsize_t length) {
    auto* m = static_cast<tiff_memory*>(handle);
    if (!m->out) return -1;
    size_t end = m->at + static_cast<size_t>(length);
    if (end > m->out->size()) m->out->resize(end);
    std::memcpy(m->out->data() + m->at, buffer, static_cast<size_t>(length));
    m->at = end;
    return length;
}

toff_t seek_tiff(thandle_t handle, toff_t offset, int whence) {
    auto* m = static_cast<tiff_memory*>(handle);
    size_t size = m->out ? m->out->size() : m->size;
    uint64_t base = whence == SEEK_CUR ? m->at : whence == SEEK_END ? size : 0;
    uint64_t to = base + offset;
    if (to > (uint64_t{1} << 40)) return static_cast<toff_t>(-1);
    m->at = static_cast<size_t>(to);
    return to;
}

int close_tiff(thandle_t) { return 0; }

toff_t size_tiff(thandle_t handle) {
    auto* m = static_cast<tiff_memory*>(handle);
    return m->out ? m->out->size() : m->size;
}

int map_tiff(thandle_t, void**, toff_t*) { return 0; }
void unmap_tiff(thandle_t, void*, toff_t) {}

struct tiff_file {
    const tiff_api* api;
    TIFF* file;
    ~tiff_file() {
        if (file) api->TIFFClose(file);
    }
};

bool decode_tiff(const uint8_t* bytes, size_t n, size_t limit, bitmap& out) {
    const tiff_api* api = tiff();
    if (!api) return false;
    tiff_memory memory{bytes, n, nullptr, 0};
    tiff_file tif{api, api->TIFFClientOpen("memory", "rm", &memory, read_tiff, write_tiff, seek_tiff, close_tiff,
                                           size_tiff, map_tiff, unmap_tiff)};
    if (!tif.file) return false;
    uint32_t width = 0, height = 0;
    uint16_t bits = 0, samples = 0, photometric = 0, planar = 0, extra_count = 0;
    uint16_t* extra = nullptr;
    if (!api->TIFFGetField(tif.file, TIFFTAG_IMAGEWIDTH, &width) ||
        !api->TIFFGetField(tif.file, TIFFTAG_IMAGELENGTH, &height))
        return false;
    pixel_guard guard{alloc_checked(width, height, limit)};
    if (!guard.pixels) return false;
    api->TIFFGetFieldDefaulted(tif.file, TIFFTAG_BITSPERSAMPLE, &bits);
    api->TIFFGetFieldDefaulted(tif.file, TIFFTAG_SAMPLESPERPIXEL, &samples);
    api->TIFFGetFieldDefaulted(tif.file, TIFFTAG_PLANARCONFIG, &planar);
    api->TIFFGetField(tif.file, TIFFTAG_PHOTOMETRIC, &photometric);
    api->TIFFGetFieldDefaulted(tif.file, TIFFTAG_EXTRASAMPLES, &extra_count, &extra);
    // The RGBA reader premultiplies unassociated alpha: 8-bit RGB and RGBA are read here.
    bool direct = bits == 8 && planar == PLANARCONFIG_CONTIG && photometric == PHOTOMETRIC_RGB &&
                  !api->TIFFIsTiled(tif.file) &&
                  (samples == 3 || (samples == 4 && extra_count == 1 && extra[0] == EXTRASAMPLE_UNASSALPHA));
    if (direct) {
        tmsize_t line = api->TIFFScanlineSize(tif.file);
        if (line < static_cast<tmsize_t>(width) * samples) return false;
        std::vector<uint8_t> row(static_cast<size_t>(line));
        for (uint32_t y = 0; y < height; y++) {
            if (api->TIFFReadScanline(tif.file, row.data(), y, 0) < 0) return false;
            uint32_t* to = guard.pixels + size_t{y} * width;
            for (uint32_t x = 0; x < width; x++) {
                const uint8_t* p = row.data() + size_t{x} * samples;
                uint32_t alpha = samples == 4 ? p[3] : 255;
                to[x] = alpha << 24 | uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
            }
        }
    } else {
        if (!api->TIFFReadRGBAImageOriented(tif.file, width, height, guard.pixels, ORIENTATION_TOPLEFT, 0))
            return false;
        // The reader packs R in the lowest byte.
        for (size_t i = 0, count = size_t{width} * height; i < count; i++) {
            uint32_t p = guard.pixels[i];
            guard.pixels[i] = (p & 0xFF00FF00) | (p & 0xFF) << 16 | (p >> 16 & 0xFF);
        }
    }
    return hand_over(guard, width, height, out);
}

bool encode_tiff(const uint32_t* pixels, uint32_t width, uint32_t height, std::vector<uint8_t>& out) {
    const tiff_api* api = tiff();
    if (!api) return false;
    out.clear();
    tiff_memory memory{nullptr, 0, &out, 0};
    tiff_file tif{api, api->TIFFClientOpen("memory", "wm", &memory, read_tiff, write_tiff, seek_tiff, close_tiff,
                                           size_tiff, map_tiff, unmap_tiff)};
    if (!tif.file) return false;
    uint16_t extra[] = {EXTRASAMPLE_UNASSALPHA};
    api->TIFFSetField(tif.file, TIFFTAG_IMAGEWIDTH, width);
    api->TIFFSetField(tif.file, TIFFTAG_IMAGELENGTH, height);
    api->TIFFSetField(tif.file, TIFFTAG_BITSPERSAMPLE, 8);
    api->TIFFSetField(tif.file, TIFFTAG_SAMPLESPERPIXEL, 4);
    api->TIFFSetField(tif.file, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    api->TIFFSetField(tif.file, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    api->TIFFSetField(tif.file, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    api->TIFFSetField(tif.file, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    api->TIFFSetField(tif.file, TIFFTAG_EXTRASAMPLES, 1, extra);
    api->TIFFSetField(tif.file, TIFFTAG_ROWSPERSTRIP, api->TIFFDefaultStripSize(tif.file, 0));
    std::vector<uint8_t> row(size_t{width} * 4);
    for (uint32_t y = 0; y < height; y++) {
        const uint32_t* from = pixels + size_t{y} * width;
        for (uint32_t x = 0; x < width; x++) {
            uint32_t p = from[x];
            uint8_t* to = row.data() + size_t{x} * 4;
            to[0] = static_cast<uint8_t>(p >> 16);
            to[1] = static_cast<uint8_t>(p >> 8);
            to[2] = static_cast<uint8_t>(p);
            to[3] = static_cast<uint8_t>(p >> 24);
        }
        if (api->TIFFWriteScanline(tif.file, row.data(), y, 0) < 0) return false;
    }
    api->TIFFClose(std::exchange(tif.file, nullptr));
    return !out.empty();
}

}  // namespace

uint32_t* alloc_checked(uint32_t width, uint32_t height, size_t limit) {
    if (width == 0 || height == 0 || width > SIDE_MAX || height > SIDE_MAX) return nullptr;
    size_t bytes = size_t{width} * height * 4;
    if (bytes > limit) return nullptr;
    return alloc_pixel_memory(bytes, true);
}

uint32_t* alloc_pixel_memory(size_t bytes, bool zeroed) {
    constexpr size_t HUGE_PAGE = size_t{2} << 20;
    if (bytes < 4 * HUGE_PAGE) return static_cast<uint32_t*>(zeroed ? std::calloc(bytes, 1) : std::malloc(bytes));
    size_t rounded = (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    void* p = std::aligned_alloc(HUGE_PAGE, rounded);
    if (!p) return nullptr;
    madvise(p, rounded, MADV_HUGEPAGE);
    // Fresh pages read as zero already; reused ones are cleared.
    if (zeroed) std::memset(p, 0, bytes);
    return static_cast<uint32_t*>(p);
}

bool decode(image_format format, const uint8_t* bytes, size_t n, size_t limit, bitmap& out) {
    switch (format) {
        case IMAGE_BMP: return decode_bmp(bytes, n, limit, out);
        case IMAGE_PNG: return decode_png(bytes, n, limit, out);
        case IMAGE_GIF: return decode_gif(bytes, n, limit, out);
        case IMAGE_JPEG: return decode_jpeg(bytes, n, limit, out);
        case IMAGE_TIFF: return decode_tiff(bytes, n, limit, out);
    }
    return false;
}

bool encode(image_format format, const uint32_t* pixels, uint32_t width, uint32_t height,
            const byte_sink& deliver) {
    if (width == 0 || height == 0 || width > SIDE_MAX || height > SIDE_MAX) return false;
    if (format == IMAGE_JPEG) return encode_jpeg(pixels, width, height, deliver);
    std::vector<uint8_t> out;
    bool ok = false;
    switch (format) {
        case IMAGE_BMP: ok = encode_bmp(pixels, width, height, out); break;
        case IMAGE_PNG: ok = encode_png(pixels, width, height, out); break;
        case IMAGE_GIF: ok = encode_gif(pixels, width, height, out); break;
        case IMAGE_TIFF: ok = encode_tiff(pixels, width, height, out); break;
        case IMAGE_JPEG: break;
    }
    if (ok) deliver(out.data(), out.size());
    return ok;
}

}  // namespace kel::imaging
