// Construction, deep copying and release of ZQImage buffers.
#include "enhance/zq_image.h"

#include <cstring>
#include <new>
#include <utility>

#include "workers/page_blocks.h"

int zqChannelsOf(ZQ_IMG_COLOR color)
{
    switch (color) {
    case ZQ_IMG_GRAY:
        return 1;
    case ZQ_IMG_BGR:
    case ZQ_IMG_RGB:
        return 3;
    default:
        return 4;
    }
}

// A negative dimension is an impossible size, even when both are negative and
// their product is positive: no pass could walk such an image.
static unsigned char* allocatePixels(int width, int height, int channels)
{
    if (width < 0 || height < 0)
        throw std::bad_array_new_length();
    const std::int64_t bytes = std::int64_t{width} * height * channels;
    return new unsigned char[pageBlockBytes(static_cast<std::size_t>(bytes))];
}

ZQImage::ZQImage(int width, int height, ZQ_IMG_COLOR color)
    : width(width), height(height), channels(zqChannelsOf(color)), color(color),
      data(allocatePixels(width, height, channels))
{
}

ZQImage::ZQImage(int width, int height, ZQ_IMG_COLOR color, const unsigned char* src)
    : ZQImage(width, height, color)
{
    if (byteCount() > 0)
        std::memcpy(data, src, byteCount());
}

ZQImage::ZQImage(const ZQImage& other)
    : ZQImage(other.width, other.height, other.color, other.data)
{
}

ZQImage::ZQImage(ZQImage&& other) noexcept
    : width(other.width), height(other.height), channels(other.channels), color(other.color),
      data(other.data)
{
    other.width = 0;
    other.height = 0;
    other.channels = 0;
    other.data = nullptr;
}

// Builds the copy before releasing the old buffer, so that self-assignment and
// a failed allocation both leave the target intact.
ZQImage& ZQImage::operator=(const ZQImage& other)
{
    ZQImage copy(other);
    return *this = std::move(copy);
}

ZQImage& ZQImage::operator=(ZQImage&& other) noexcept
{
    std::swap(width, other.width);
    std::swap(height, other.height);
    std::swap(channels, other.channels);
    std::swap(color, other.color);
    std::swap(data, other.data);
    return *this;
}

ZQImage::~ZQImage()
{
    width = 0;
    height = 0;
    channels = 0;
    delete[] data;
    data = nullptr;
}

std::size_t ZQImage::byteCount() const
{
    return pixelCount() * static_cast<std::size_t>(channels > 0 ? channels : 0);
}

std::size_t ZQImage::pixelCount() const
{
    if (width <= 0 || height <= 0)
        return 0;
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
}
