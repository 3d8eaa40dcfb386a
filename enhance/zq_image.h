// ZQImage: the packed pixel buffer of the stencil enhancement library, and
// ZQ_IMG_COLOR, the pixel layouts it can hold.
#pragma once

#include <cstddef>
#include <cstdint>

enum ZQ_IMG_COLOR : std::int32_t {
    ZQ_IMG_GRAY = 0,  // one grey byte
    ZQ_IMG_BGR = 1,   // blue, green, red
    ZQ_IMG_RGB = 2,   // red, green, blue
    ZQ_IMG_BGRA = 3,  // blue, green, red, unused fourth byte
    // Any other value: red, green, blue, unused fourth byte.
};

// Bytes per pixel of a layout.
int zqChannelsOf(ZQ_IMG_COLOR color);

// Rows of width * channels bytes, top row first, no padding. Every image owns
// its buffer alone: construction and copying always duplicate the bytes.
struct ZQImage {
    int width;
    int height;
    int channels;
    ZQ_IMG_COLOR color;
    unsigned char* data;

    // Copies width * height * channels bytes from src; the caller keeps src.
    ZQImage(int width, int height, ZQ_IMG_COLOR color, const unsigned char* src);
    // Leaves the bytes unset; every library user writes them before reading.
    ZQImage(int width, int height, ZQ_IMG_COLOR color);
    ZQImage(const ZQImage& other);
    ZQImage(ZQImage&& other) noexcept;
    ZQImage& operator=(const ZQImage& other);
    ZQImage& operator=(ZQImage&& other) noexcept;
    ~ZQImage();

    // width * height * channels, the size of the buffer.
    std::size_t byteCount() const;
    // width * height, the bytes that single-channel passes walk.
    std::size_t pixelCount() const;
};
