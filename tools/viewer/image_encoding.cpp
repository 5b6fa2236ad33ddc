#include "viewer/image_encoding.h"

#include <png.h>
#include <turbojpeg.h>

#include <csetjmp>
#include <memory>
#include <new>

namespace taluna::viewer {

bool encodeJpeg(const TLUChar4* pixels, int width, int height, int quality, std::vector<uint8_t>* out,
                std::string* error) {
    const std::unique_ptr<void, int (*)(tjhandle)> jpeg(tjInitCompress(), tjDestroy);
    if (!jpeg) {
        *error = std::string("JPEG: ") + tjGetErrorStr2(nullptr);
        return false;
    }
    unsigned char* data = nullptr;
    unsigned long size = 0;
    // 4:2:0 and the fast transform: a moving frame is replaced within a few tens of milliseconds.
    if (tjCompress2(jpeg.get(), reinterpret_cast<const unsigned char*>(pixels), width, 0, height, TJPF_RGBX, &data,
                    &size, TJSAMP_420, quality, TJFLAG_FASTDCT) != 0) {
        *error = std::string("JPEG: ") + tjGetErrorStr2(jpeg.get());
        tjFree(data);
        return false;
    }
    out->assign(data, data + size);
    tjFree(data);
    return true;
}

namespace {

void appendBytes(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    bool grown = true;
    try {
        out->insert(out->end(), data, data + length);
    } catch (const std::bad_alloc&) {
        grown = false;
    }
    // An exception must not cross libpng's frames; its own error path unwinds them.
    if (!grown) png_error(png, "out of host memory");
}

}  // namespace

bool encodePng(const TLUChar4* pixels, int width, int height, bool withAlpha, std::vector<uint8_t>* out,
               std::string* error) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        *error = "PNG: out of memory";
        return false;
    }
    out->clear();
    // libpng reports its failures by longjmp; nothing with a destructor is made between here and the end.
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        *error = "PNG: encoding failed";
        return false;
    }
    png_set_write_fn(png, out, appendBytes, nullptr);
    // The fastest level: the frame crosses the loopback, where bytes are cheap and time is not.
    png_set_compression_level(png, 1);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 withAlpha ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    if (!withAlpha) png_set_filler(png, 0, PNG_FILLER_AFTER);  // the rows hold RGBX; the fourth byte is dropped
    for (int y = 0; y < height; ++y)
        png_write_row(png, reinterpret_cast<png_const_bytep>(pixels + static_cast<size_t>(y) * width));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace taluna::viewer
