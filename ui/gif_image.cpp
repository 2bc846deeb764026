#include "ui/gif_image.h"

#include <algorithm>
#include <cstddef>

namespace {

constexpr int kMaxCodes = 4096;
// Far beyond any picture this program shows; bounds the memory a bad file can ask for.
constexpr int kMaxSide = 4096;

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}

    bool Byte(std::uint8_t& value) {
        if (pos_ >= data_.size()) {
            return false;
        }
        value = data_[pos_++];
        return true;
    }

    bool Word(int& value) {
        std::uint8_t low = 0;
        std::uint8_t high = 0;
        if (!Byte(low) || !Byte(high)) {
            return false;
        }
        value = low | (high << 8);
        return true;
    }

    bool Bytes(std::size_t count, std::span<const std::uint8_t>& out) {
        if (data_.size() - pos_ < count) {
            return false;
        }
        out = data_.subspan(pos_, count);
        pos_ += count;
        return true;
    }

    // Appends a chain of data sub-blocks (each led by its length, ended by a 0) to out.
    bool SubBlocks(std::vector<std::uint8_t>* out) {
        for (;;) {
            std::uint8_t length = 0;
            std::span<const std::uint8_t> block;
            if (!Byte(length) || !Bytes(length, block)) {
                return false;
            }
            if (length == 0) {
                return true;
            }
            if (out) {
                out->insert(out->end(), block.begin(), block.end());
            }
        }
    }

private:
    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
};

bool ColourTable(Reader& reader, std::uint8_t packed, IndexedImage& image) {
    const std::size_t entries = std::size_t{2} << (packed & 7);
    std::span<const std::uint8_t> table;
    if (!reader.Bytes(3 * entries, table)) {
        return false;
    }
    image.palette.fill(0);
    std::copy(table.begin(), table.end(), image.palette.begin());
    return true;
}

// Variable-width LZW as GIF uses it, codes packed from the least significant bit; writes
// at most indices.size() indices and returns how many it wrote, or -1 for a broken stream.
long DecodeLzw(std::span<const std::uint8_t> codes, int minCodeSize,
               std::span<std::uint8_t> indices) {
    const int clear = 1 << minCodeSize;
    const int end = clear + 1;
    std::array<std::uint16_t, kMaxCodes> prefix{};
    std::array<std::uint8_t, kMaxCodes> suffix{};
    std::array<std::uint8_t, kMaxCodes> stack{};
    for (int code = 0; code < clear; ++code) {
        suffix[static_cast<std::size_t>(code)] = static_cast<std::uint8_t>(code);
    }

    int width = minCodeSize + 1;
    int next = end + 1;
    int previous = -1;
    std::uint8_t first = 0;
    std::size_t written = 0;
    std::uint32_t bits = 0;
    int bitCount = 0;
    std::size_t pos = 0;
    for (;;) {
        while (bitCount < width) {
            if (pos == codes.size()) {
                return static_cast<long>(written);  // no end code: take what came
            }
            bits |= static_cast<std::uint32_t>(codes[pos++]) << bitCount;
            bitCount += 8;
        }
        int code = static_cast<int>(bits & ((1U << width) - 1));
        bits >>= width;
        bitCount -= width;

        if (code == clear) {
            width = minCodeSize + 1;
            next = end + 1;
            previous = -1;
            continue;
        }
        if (code == end) {
            return static_cast<long>(written);
        }
        if (previous < 0) {
            if (code > clear) {
                return -1;
            }
            first = static_cast<std::uint8_t>(code);
            if (written < indices.size()) {
                indices[written++] = first;
            }
            previous = code;
            continue;
        }
        if (code > next || (code == next && next == kMaxCodes)) {
            return -1;
        }
        const int read = code;
        std::size_t depth = 0;
        if (code == next) {  // the string just being defined: previous + its own first byte
            stack[depth++] = first;
            code = previous;
        }
        while (code > clear) {
            if (depth == stack.size()) {
                return -1;
            }
            stack[depth++] = suffix[static_cast<std::size_t>(code)];
            code = prefix[static_cast<std::size_t>(code)];
        }
        first = static_cast<std::uint8_t>(code);
        if (depth == stack.size()) {
            return -1;
        }
        stack[depth++] = first;
        while (depth > 0) {
            --depth;
            if (written < indices.size()) {
                indices[written++] = stack[depth];
            }
        }
        if (next < kMaxCodes) {
            prefix[static_cast<std::size_t>(next)] = static_cast<std::uint16_t>(previous);
            suffix[static_cast<std::size_t>(next)] = first;
            ++next;
            if (next == (1 << width) && width < 12) {
                ++width;
            }
        }
        previous = read;
    }
}

// Row of the frame that the n-th decoded row lands on, for interlaced frames.
int InterlacedRow(int n, int height) {
    static constexpr int kStart[] = {0, 4, 2, 1};
    static constexpr int kStep[] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass) {
        const int rows = (height - kStart[pass] + kStep[pass] - 1) / kStep[pass];
        if (n < rows) {
            return kStart[pass] + n * kStep[pass];
        }
        n -= std::max(rows, 0);
    }
    return -1;
}

}  // namespace

bool DecodeGif(std::span<const std::uint8_t> data, IndexedImage& image) {
    Reader reader(data);
    std::span<const std::uint8_t> signature;
    if (!reader.Bytes(6, signature) ||
        !(std::equal(signature.begin(), signature.end(), "GIF87a") ||
          std::equal(signature.begin(), signature.end(), "GIF89a"))) {
        return false;
    }
    std::uint8_t packed = 0;
    std::uint8_t background = 0;
    std::uint8_t aspect = 0;
    if (!reader.Word(image.width) || !reader.Word(image.height) || !reader.Byte(packed) ||
        !reader.Byte(background) || !reader.Byte(aspect) || image.width == 0 || image.height == 0 ||
        image.width > kMaxSide || image.height > kMaxSide) {
        return false;
    }
    bool havePalette = (packed & 0x80) != 0;
    if (havePalette && !ColourTable(reader, packed, image)) {
        return false;
    }

    for (;;) {
        std::uint8_t introducer = 0;
        if (!reader.Byte(introducer)) {
            return false;
        }
        if (introducer == 0x21) {  // extension: label, then sub-blocks nobody here needs
            std::uint8_t label = 0;
            if (!reader.Byte(label) || !reader.SubBlocks(nullptr)) {
                return false;
            }
            continue;
        }
        if (introducer != 0x2C) {  // a trailer before any image, or garbage
            return false;
        }
        int left = 0;
        int top = 0;
        int width = 0;
        int height = 0;
        std::uint8_t flags = 0;
        if (!reader.Word(left) || !reader.Word(top) || !reader.Word(width) ||
            !reader.Word(height) || !reader.Byte(flags) || width > kMaxSide || height > kMaxSide) {
            return false;
        }
        if ((flags & 0x80) != 0) {
            if (!ColourTable(reader, flags, image)) {
                return false;
            }
            havePalette = true;
        }
        std::uint8_t minCodeSize = 0;
        std::vector<std::uint8_t> codes;
        if (!havePalette || !reader.Byte(minCodeSize) || minCodeSize < 2 || minCodeSize > 8 ||
            !reader.SubBlocks(&codes)) {
            return false;
        }
        std::vector<std::uint8_t> frame(static_cast<std::size_t>(width) *
                                        static_cast<std::size_t>(height));
        if (DecodeLzw(codes, minCodeSize, frame) < 0) {
            return false;
        }

        image.pixels.assign(
            static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height),
            background);
        const bool interlaced = (flags & 0x40) != 0;
        for (int n = 0; n < height; ++n) {
            const int row = interlaced ? InterlacedRow(n, height) : n;
            const int y = top + row;
            const int columns = std::clamp(image.width - left, 0, width);
            if (row < 0 || y >= image.height || columns == 0) {
                continue;
            }
            const auto source = frame.begin() + static_cast<std::ptrdiff_t>(n) * width;
            std::copy(source, source + columns,
                      image.pixels.begin() + static_cast<std::ptrdiff_t>(y) * image.width + left);
        }
        return true;
    }
}
