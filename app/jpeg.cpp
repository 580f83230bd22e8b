#include "app/jpeg.h"

#include <csetjmp>

#include <jpeglib.h>

namespace {

// libjpeg reports fatal errors by calling error_exit, which must not return: jump back to
// the decoder instead of letting the library end the program.
struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf escape;
};

void ErrorExit(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->escape, 1);
}

void IgnoreMessage(j_common_ptr) {}

void ReadScanlines(jpeg_decompress_struct& info, QImage& image)
{
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = image.scanLine(static_cast<int>(info.output_scanline));
        jpeg_read_scanlines(&info, &row, 1);
    }
}

// Only plain C objects live in this frame, so a jump out of libjpeg skips no destructor; the
// image belongs to the caller.
bool DecodeGuarded(const unsigned char* data, std::size_t size, QImage* image)
{
    jpeg_decompress_struct info{};
    ErrorManager errors{};
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = ErrorExit;
    errors.base.output_message = IgnoreMessage;
    if (setjmp(errors.escape) != 0) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    *image = QImage(static_cast<int>(info.output_width), static_cast<int>(info.output_height),
                    QImage::Format_RGB888);
    const bool fits = info.output_components == 3 && !image->isNull();
    if (fits) {
        ReadScanlines(info, *image);
        jpeg_finish_decompress(&info);
    }
    jpeg_destroy_decompress(&info);
    return fits;
}

}  // namespace

QImage DecodeJpeg(const unsigned char* data, std::size_t size)
{
    if (data == nullptr || size == 0)
        return {};
    QImage image;
    if (!DecodeGuarded(data, size, &image))
        return {};
    return image.convertToFormat(QImage::Format_RGB32);
}
