#include "win32/program/logo_bitmap.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "resources/resource_ids.h"
#include "ui/gif_image.h"

namespace {

unique_hbitmap LoadNaturalLogo(HINSTANCE instance) {
    HRSRC resource = FindResourceW(instance, MAKEINTRESOURCEW(IDR_LOGO), RT_RCDATA);
    HGLOBAL loaded = resource ? LoadResource(instance, resource) : nullptr;
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    const DWORD size = resource ? SizeofResource(instance, resource) : 0;
    if (!bytes || size == 0) {
        return {};
    }
    IndexedImage gif;
    if (!DecodeGif({static_cast<const std::uint8_t*>(bytes), size}, gif)) {
        return {};
    }
    struct {
        BITMAPINFOHEADER header;
        RGBQUAD colours[256];
    } info{};
    info.header.biSize = sizeof info.header;
    info.header.biWidth = gif.width;
    info.header.biHeight = -gif.height;  // top row first, as the GIF has it
    info.header.biPlanes = 1;
    info.header.biBitCount = 8;
    info.header.biCompression = BI_RGB;
    for (std::size_t i = 0; i < 256; ++i) {
        info.colours[i] = {gif.palette[3 * i + 2], gif.palette[3 * i + 1], gif.palette[3 * i], 0};
    }
    void* bits = nullptr;
    unique_hbitmap bitmap(CreateDIBSection(nullptr, reinterpret_cast<const BITMAPINFO*>(&info),
                                           DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!bitmap || !bits) {
        return {};
    }
    // DIB rows are padded to whole 32-bit words.
    const auto width = static_cast<std::size_t>(gif.width);
    const std::size_t stride = (width + 3) & ~std::size_t{3};
    for (std::size_t y = 0; y < static_cast<std::size_t>(gif.height); ++y) {
        std::copy_n(gif.pixels.begin() + static_cast<std::ptrdiff_t>(y * width), width,
                    static_cast<std::uint8_t*>(bits) + y * stride);
    }
    return bitmap;
}

// Halftone resampling averages the pixels each new one covers: no jagged edges.
unique_hbitmap Resampled(HBITMAP source, int dpi) {
    BITMAP size{};
    GetObjectW(source, sizeof size, &size);
    const int width = MulDiv(size.bmWidth, dpi, 96);
    const int height = MulDiv(size.bmHeight, dpi, 96);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    unique_hbitmap scaled(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    const unique_hdc from(CreateCompatibleDC(nullptr));
    const unique_hdc to(CreateCompatibleDC(nullptr));
    if (!scaled || !from || !to) {
        return {};
    }
    const ScopedSelection fromSelected(from.get(), source);
    const ScopedSelection toSelected(to.get(), scaled.get());
    SetStretchBltMode(to.get(), HALFTONE);
    SetBrushOrgEx(to.get(), 0, 0, nullptr);
    if (!StretchBlt(to.get(), 0, 0, width, height, from.get(), 0, 0, size.bmWidth, size.bmHeight,
                    SRCCOPY)) {
        return {};
    }
    return scaled;
}

}  // namespace

unique_hbitmap LoadLogoBitmap(HINSTANCE instance, int dpi) {
    unique_hbitmap natural = LoadNaturalLogo(instance);
    return natural && dpi != 96 ? Resampled(natural.get(), dpi) : std::move(natural);
}
