// SPDX-License-Identifier: MIT
// Fuzzes the Intel HEX reader: the input is the whole text, loaded into an image through
// image_store. Checks the result is one of its two values, that the reader never reads past
// a line it rejected and that it reads an input it accepts to the end.
#include "commands/hex_reader.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

std::array<uint8_t, 65536> image;

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "hex_read invariant broken: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    // fmemopen wants a writable buffer even for reading.
    static std::array<char, 1 << 16> text;
    if (size > text.size()) {
        return 0;
    }
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>(data[i]);
    }
    std::FILE* input = fmemopen(text.data(), size, "r");
    require(input != nullptr, "fmemopen");
    image.fill(0xFF);
    image_load load{image.data(), 0};
    const int result = hex_read(input, image_store, &load);
    require(load.beyond == 0 || load.beyond >= image.size(), "beyond names a byte past the image");
    require(result == 1 || result == -1, "result is 1 or -1");
    const long position = std::ftell(input);
    require(position >= 0 && static_cast<std::size_t>(position) <= size, "stream position");
    // Not a terminal: read on past the end record, so that a record there is not dropped.
    require(result == -1 || static_cast<std::size_t>(position) == size, "accepted input read on");
    std::fclose(input);
    return 0;
}
