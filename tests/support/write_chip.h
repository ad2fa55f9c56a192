// SPDX-License-Identifier: MIT
// The bench of the write tests: an emulated chip filled with zeros, so that nothing programs
// without an erase, the images written to it and the progress lines a write of them shows.
#pragma once

#include "support/emulated_line.h"
#include "support/hex.h"

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

namespace test_support {

/// data into image from address on, wrapping past 0xFFFF.
inline void put(flash_array& image, unsigned address, const std::vector<uint8_t>& data) {
    for (std::size_t i = 0; i < data.size(); ++i) {
        image[(address + i) & 0xFFFF] = data[i];
    }
}

/// n bytes that are not one repeated value, different for each seed.
inline std::vector<uint8_t> pattern(int n, int seed) {
    std::vector<uint8_t> data;
    for (int i = 0; i < n; ++i) {
        data.push_back(static_cast<uint8_t>(seed * 37 + i * 11));
    }
    return data;
}

/// An image with a 16-byte block of data at each of the given addresses.
inline flash_array image_with_blocks(std::initializer_list<unsigned> addresses) {
    flash_array image = erased_flash();
    int seed = 1;
    for (unsigned a : addresses) {
        put(image, a, pattern(16, seed++));
    }
    return image;
}

/// The image as Intel HEX, its blank blocks left out.
inline std::string hex_of(const flash_array& image, uint32_t end = 0x10000) {
    return sim::hex_text(image, 0, end);
}

/// The progress line of a block written and verified.
inline std::string ok(unsigned first) {
    char line[32];
    std::snprintf(line, sizeof line, "%04X-%04X: ok\r", first, first + 15);
    return line;
}

/// The ok lines of a clean run over the range.
inline std::string ok_lines(const flash_array& image) {
    std::string text;
    for (unsigned a = 0; a < sim::USABLE_FLASH_END; a += 16) {
        for (unsigned i = 0; i < 16; ++i) {
            if (image[a + i] != 0xFF) {
                text += ok(a);
                break;
            }
        }
    }
    return text;
}

inline const std::string ERASED = "Device erase: ok\n";
inline const std::string COMPLETED = "Completed.   \n";

/// The emulated chip, filled with zeros so that nothing programs without an erase.
struct zeroed_chip : emulated_line {
    temp_dir dir;

    zeroed_chip() { emu.set_flash(0, std::vector<uint8_t>(sim::USABLE_FLASH_END, 0x00)); }

    run_result write_file(const std::string& hex) {
        const std::string path = dir.file("image.hex");
        test_support::write_file(path, hex);
        return run({"-w", "-f", path});
    }

    /// First address in the range where the chip differs from image, or -1.
    long first_difference(const flash_array& image) const {
        const flash_array flash = emu.flash();
        const auto end = flash.begin() + sim::USABLE_FLASH_END;
        const auto at = std::mismatch(flash.begin(), end, image.begin()).first;
        return at == end ? -1 : static_cast<long>(at - flash.begin());
    }
};

} // namespace test_support
