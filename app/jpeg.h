// JPEG pictures decoded with libjpeg into images the window can paint.
#pragma once

#include <QImage>

#include <cstddef>

// The picture as a 32-bit RGB image; a null image when the bytes are not a readable JPEG.
QImage DecodeJpeg(const unsigned char* data, std::size_t size);

// The JPEG bytes of one decorative panel picture.
struct PanelPicture {
    const unsigned char* data;
    std::size_t size;
};

// The pictures at the top left of the destination, pacing and source panels, in that order.
extern const PanelPicture PanelPictures[3];
