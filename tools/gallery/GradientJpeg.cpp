#include "GradientJpeg.h"

#include <cmath>
#include <cstdlib>
#include <vector>

#include <jpeglib.h>

namespace gallery {

namespace {

// Hue in degrees, saturation and value from 0 to 1.
void HsvToRgb(double hue, double saturation, double value, unsigned char* rgb)
{
    const double sector = std::fmod(hue, 360.0) / 60.0;
    const double chroma = value * saturation;
    const double second = chroma * (1.0 - std::fabs(std::fmod(sector, 2.0) - 1.0));
    const double least = value - chroma;
    double r = 0, g = 0, b = 0;
    switch (static_cast<int>(sector)) {
    case 0: r = chroma; g = second; break;
    case 1: r = second; g = chroma; break;
    case 2: g = chroma; b = second; break;
    case 3: g = second; b = chroma; break;
    case 4: r = second; b = chroma; break;
    default: r = chroma; b = second; break;
    }
    rgb[0] = static_cast<unsigned char>(std::lround((r + least) * 255));
    rgb[1] = static_cast<unsigned char>(std::lround((g + least) * 255));
    rgb[2] = static_cast<unsigned char>(std::lround((b + least) * 255));
}

// Brighter to the right, the hue turning a quarter of the circle from top to bottom.
void FillRow(int y, double hue, std::vector<unsigned char>& row)
{
    const double rowHue = hue + 90.0 * y / GradientHeight;
    for (int x = 0; x < GradientWidth; ++x)
        HsvToRgb(rowHue, 0.8, 0.3 + 0.7 * x / (GradientWidth - 1), row.data() + 3 * x);
}

}  // namespace

// The parameters are fixed and valid and the data is in memory, so libjpeg's default handler,
// which ends the program, could only be reached when memory runs out.
std::string GradientJpeg(std::uint64_t hash)
{
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = GradientWidth;
    info.image_height = GradientHeight;
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 85, TRUE);
    jpeg_start_compress(&info, TRUE);
    const double hue = static_cast<double>(hash % 360);
    std::vector<unsigned char> row(GradientWidth * 3);
    while (info.next_scanline < info.image_height) {
        FillRow(static_cast<int>(info.next_scanline), hue, row);
        JSAMPROW rows[] = {row.data()};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::string bytes(reinterpret_cast<const char*>(buffer), size);
    std::free(buffer);
    return bytes;
}

}  // namespace gallery
