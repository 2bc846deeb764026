// The logo decoder must survive any file: no crash, no runaway memory, and a decoded
// image always holds exactly one index per pixel of its screen.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "ui/gif_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    IndexedImage image;
    if (DecodeGif({data, size}, image) &&
        image.pixels.size() !=
            static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height)) {
        std::abort();
    }
    return 0;
}
