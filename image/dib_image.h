// DibImage: the filter's raster image. An indexed (1, 4 or 8 bits per pixel) or
// 24-bit bitmap held in one block laid out like a BMP device-independent bitmap:
// info header, colour table, pixel rows.
#pragma once

#include <cstdint>

// One colour-table entry, in the BMP order: blue, green, red, a fourth byte.
struct ToneBlockMap;

struct tagRGBQUAD {
    uint8_t rgbBlue;
    uint8_t rgbGreen;
    uint8_t rgbRed;
    uint8_t rgbReserved;
};

// Largest number of pixel bytes an image may hold (2^31 - 1).
constexpr uint32_t DIBIMAGE_MAX_MEMORY = 2147483647u;

class DibImage {
public:
    DibImage();
    ~DibImage();
    DibImage(const DibImage&) = delete;
    DibImage& operator=(const DibImage&) = delete;

    // Storage and hand-over.
    void* Create(unsigned width, unsigned height, unsigned bitsPerPixel, unsigned imageType);
    bool CreateFromArray(const unsigned char* pixels, unsigned width, unsigned height,
                         unsigned bitsPerPixel, unsigned bytesPerLine, bool flip);
    bool Destroy();
    bool Transfer(DibImage& from, bool transferFrames = true);
    void CopyInfo(const DibImage& other);
    bool IsValid() const;
    const char* GetLastError() const;
    uint32_t GetSize() const;
    unsigned char* GetBits(unsigned row = 0) const;
    long GetWidth();
    long GetWidth() const;
    long GetHeight();
    long GetHeight() const;
    uint32_t GetEffWidth() const;
    uint32_t GetNumColors() const;

    // Colour table.
    tagRGBQUAD* GetPalette() const;
    uint32_t GetPaletteSize() const;
    void SetPalette(const tagRGBQUAD* entries, unsigned count);
    tagRGBQUAD GetPaletteColor(unsigned char index) const;
    void SetPaletteColor(unsigned char index, unsigned char red, unsigned char green,
                         unsigned char blue, unsigned char fourth = 0);
    void SetGrayPalette();
    unsigned char GetNearestIndex(tagRGBQUAD colour);

    // Pixels. The Blind members check nothing: they need a block and
    // 0 <= x < width, 0 <= y < height.
    unsigned char GetPixelIndex(long x, long y) const;
    void SetPixelIndex(long x, long y, unsigned char index);
    unsigned char BlindGetPixelIndex(long x, long y) const;
    void BlindSetPixelIndex(long x, long y, unsigned char index);
    tagRGBQUAD BlindGetPixelColor(long x, long y, bool getAlpha = true) const;
    void BlindSetPixelColor(long x, long y, tagRGBQUAD colour, bool setAlpha = false);

    // Whole-image transforms.
    bool Light(int brightness, int contrast = 0);
    bool Lut(const unsigned char* table);
    bool Rotate180(DibImage* destination = nullptr);
    void Mirror();
    void Negative();
    bool IncreaseBpp(unsigned depth);
    bool Expand(long left, long top, long right, long bottom, tagRGBQUAD canvasColour);
    void MakeCenter(int newWidth);
    void DrawLine(int xStart, int xEnd, int yStart, int yEnd, unsigned char index);

    // Halftoning to 1 bit per pixel.
    bool Dither(long method = 0);
    // The automatic halftone: Sierra diffusion in the blocks of continuous
    // tone, the fixed threshold of method 0 in the others (halftone_blocks.h).
    bool DitherAuto();

private:
    // BITMAPINFOHEADER layout, fields in the format's order.
    struct BitmapInfoHeader {
        uint32_t biSize;
        int32_t biWidth;
        int32_t biHeight;
        uint16_t biPlanes;
        uint16_t biBitCount;
        uint32_t biCompression;
        uint32_t biSizeImage;
        int32_t biXPelsPerMeter;
        int32_t biYPelsPerMeter;
        uint32_t biClrUsed;
        uint32_t biClrImportant;
    };
    static_assert(sizeof(BitmapInfoHeader) == 40, "BMP info header must be 40 bytes");

    // The record that CopyInfo copies.
    struct Info {
        uint32_t effWidth;
        unsigned char* bits;
        uint32_t imageType;
        char lastError[256];
        tagRGBQUAD lastColour;
        uint8_t lastColourIndex;
        bool lastColourValid;
    };

    void setLastError(const char* message);
    // Create's work; zeroed false leaves the colour table and the rows for
    // the caller to write in full.
    void* allocate(unsigned width, unsigned height, unsigned bitsPerPixel, unsigned imageType,
                   bool zeroed);
    void copyLastErrorFrom(const DibImage& other);
    // Replaces the image by its 1-bit halftone: the automatic halftone of
    // the blocks of toneMap when it is given, else method's pass.
    bool halftoneInPlace(const ToneBlockMap* toneMap, unsigned long method);
    unsigned char* rowAt(long y) const { return info.bits + y * static_cast<long>(info.effWidth); }
    bool isInside(long x, long y) const;
    void mirrorPixelsInto(DibImage& work) const;

    BitmapInfoHeader bmpHeader;
    Info info;
    unsigned char* block;
};
