#include "ui/gif_image.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/unit/named_case.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Frame {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    bool interlaced = false;
    bool localTable = false;
};

void PutWord(Bytes& out, int value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

// A GIF with a 4-entry table (index i is grey 40 * i) around hand-packed LZW codes
// of minimum code size 2: clear is 4, end is 5, new strings start at 6.
Bytes Gif(int width, int height, std::uint8_t background, const Frame& frame, const Bytes& lzw) {
    Bytes out{'G', 'I', 'F', '8', '9', 'a'};
    PutWord(out, width);
    PutWord(out, height);
    out.push_back(frame.localTable ? 0x00 : 0x81);
    out.push_back(background);
    out.push_back(0);
    const auto table = [&out] {
        for (std::uint8_t i = 0; i < 4; ++i) {
            out.insert(out.end(), 3, static_cast<std::uint8_t>(40 * i));
        }
    };
    if (!frame.localTable) {
        table();
    }
    // A comment extension in the way, as other encoders write them.
    out.insert(out.end(), {0x21, 0xFE, 0x02, 'h', 'i', 0x00});
    out.push_back(0x2C);
    PutWord(out, frame.left);
    PutWord(out, frame.top);
    PutWord(out, frame.width);
    PutWord(out, frame.height);
    out.push_back(
        static_cast<std::uint8_t>((frame.interlaced ? 0x40 : 0) | (frame.localTable ? 0x81 : 0)));
    if (frame.localTable) {
        table();
    }
    out.push_back(2);
    out.push_back(static_cast<std::uint8_t>(lzw.size()));
    out.insert(out.end(), lzw.begin(), lzw.end());
    out.insert(out.end(), {0x00, 0x3B});
    return out;
}

struct DecodeCase : NamedCase {
    Bytes gif;
    int width;
    int height;
    Bytes pixels;
};

class DecodeGifTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeGifTest, GivesTheIndicesOfEveryPixel) {
    const DecodeCase& c = GetParam();
    IndexedImage image;
    ASSERT_TRUE(DecodeGif(c.gif, image));
    EXPECT_EQ(image.width, c.width);
    EXPECT_EQ(image.height, c.height);
    EXPECT_EQ(image.pixels, c.pixels);
    EXPECT_EQ(image.palette[9], 120);  // red of entry 3
}

// Codes, least significant bit first; the width grows from 3 to 4 bits once string 8
// is defined (the decoder defines each string one code later than the encoder).
// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, DecodeGifTest, ::testing::Values(
    // 4 0 6 7 5 at 3 bits: 6 and 7 are each used while being defined.
    DecodeCase{"StringsUsedAsTheyAreDefined", Gif(3, 2, 0, {0, 0, 3, 2}, {0x84, 0x5F}), 3, 2, {0, 0, 0, 0, 0, 0}},
    // 4 1 2 6 at 3 bits, then 6 5 at 4 bits.
    DecodeCase{"CodeWidthGrows", Gif(6, 1, 0, {0, 0, 6, 1}, {0x8C, 0x6C, 0x05}), 6, 1, {1, 2, 1, 2, 1, 2}},
    // 0 1 2 3 1 arrive as rows 0, 4, 2, 1, 3.
    DecodeCase{"InterlacedRows", Gif(1, 5, 0, {0, 0, 1, 5, true}, {0x44, 0x34, 0x51}), 1, 5, {0, 3, 2, 1, 1}},
    // A 2x1 frame at (1, 1) on a 3x2 screen of background 1, with its own table.
    DecodeCase{"FrameOnTheScreen", Gif(3, 2, 1, {1, 1, 2, 1, false, true}, {0x04, 0x0A}), 3, 2, {1, 1, 1, 1, 0, 0}},
    // The frame reaches past the screen's right and bottom edges: clipped.
    DecodeCase{"FrameClippedToTheScreen", Gif(2, 1, 3, {1, 0, 3, 2}, {0x84, 0x5F}), 2, 1, {3, 0}},
    // A frame wholly beyond the right edge leaves the background alone.
    DecodeCase{"FrameBesideTheScreen", Gif(2, 1, 3, {5, 0, 3, 2}, {0x84, 0x5F}), 2, 1, {3, 3}}));
// clang-format on

struct BrokenCase : NamedCase {
    Bytes gif;
};

class BrokenGifTest : public ::testing::TestWithParam<BrokenCase> {};

TEST_P(BrokenGifTest, IsRefused) {
    IndexedImage image;
    EXPECT_FALSE(DecodeGif(GetParam().gif, image));
}

Bytes Good() {
    return Gif(3, 2, 0, {0, 0, 3, 2}, {0x84, 0x5F});
}

Bytes Cut(Bytes gif, std::size_t keep) {
    gif.resize(keep);
    return gif;
}

Bytes Patched(Bytes gif, std::size_t at, std::uint8_t value) {
    gif.at(at) = value;
    return gif;
}

// Offsets in Good(): 13 table, 25 comment, 31 image descriptor, 41 code size, 42 length.
INSTANTIATE_TEST_SUITE_P(
    Table, BrokenGifTest,
    ::testing::Values(BrokenCase{"Empty", {}}, BrokenCase{"NotAGif", Patched(Good(), 0, 'J')},
                      BrokenCase{"OtherVersion", Patched(Good(), 4, '8')},
                      BrokenCase{"HeaderOnly", Cut(Good(), 13)},
                      BrokenCase{"TableCut", Cut(Good(), 20)},
                      BrokenCase{"ZeroWidth", Patched(Good(), 6, 0)},
                      BrokenCase{"HugeScreen", Patched(Patched(Good(), 7, 0x20), 6, 1)},
                      BrokenCase{"HugeFrame", Patched(Good(), 37, 0x20)},
                      BrokenCase{"NoColourTable", Patched(Good(), 10, 0x00)},
                      BrokenCase{"CommentNeverEnds", Cut(Good(), 29)},
                      BrokenCase{"TrailerBeforeAnyImage", Patched(Good(), 31, 0x3B)},
                      BrokenCase{"CodeSizeTooSmall", Patched(Good(), 41, 1)},
                      BrokenCase{"CodeSizeTooLarge", Patched(Good(), 41, 9)},
                      BrokenCase{"DataCut", Cut(Good(), 44)},
                      BrokenCase{"NoBlockTerminator", Cut(Good(), 45)},
                      // 4 5 -> 4 6: a string code before any string exists.
                      BrokenCase{"FirstCodeNotALiteral", Patched(Good(), 43, 0x34)},
                      // 4 0 7: code 7 is two ahead of the table.
                      BrokenCase{"CodeBeyondTheTable", Patched(Good(), 43, 0xC4)}));

TEST(DecodeGif, TheLogoResource) {
    std::ifstream file(std::string(ZELMORA_SOURCE_DIR) + "/resources/logo.gif", std::ios::binary);
    const Bytes gif{std::istreambuf_iterator<char>(file), {}};
    IndexedImage image;
    ASSERT_TRUE(DecodeGif(gif, image));
    EXPECT_EQ(image.width, 187);
    EXPECT_EQ(image.height, 88);
    // Colours as ImageMagick reads them: the near-white ground and a pixel of the drawing.
    const auto colour = [&image](std::size_t x, std::size_t y) {
        const std::size_t index = image.pixels.at(y * std::size_t{187} + x);
        return std::vector<int>(image.palette.begin() + static_cast<std::ptrdiff_t>(3 * index),
                                image.palette.begin() + static_cast<std::ptrdiff_t>(3 * index + 3));
    };
    EXPECT_EQ(colour(0, 0), (std::vector<int>{254, 254, 254}));
    EXPECT_EQ(colour(186, 87), (std::vector<int>{254, 254, 254}));
    EXPECT_EQ(colour(93, 44), (std::vector<int>{17, 62, 134}));
}

}  // namespace
