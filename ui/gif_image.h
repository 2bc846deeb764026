#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

// The first frame of a GIF as palette indices on its logical screen, top row first.
struct IndexedImage {
    int width = 0;
    int height = 0;
    std::array<std::uint8_t, 768> palette{};  // red, green, blue for each of 256 entries
    std::vector<std::uint8_t> pixels;         // width * height indices
};

// Decodes the logo resource without pulling in an image codec library; false for anything
// that is not a complete GIF87a/GIF89a image.
bool DecodeGif(std::span<const std::uint8_t> data, IndexedImage& image);
