// SPDX-License-Identifier: MIT
#include "support/hex.h"

#include <cstdio>

namespace test_support {

flash_array erased_flash() {
    flash_array image;
    image.fill(0xFF);
    return image;
}

std::string hex_record(uint8_t type, uint16_t address, const std::vector<uint8_t>& data,
                       int count_error) {
    std::string line = ":";
    unsigned sum = 0;
    const auto put = [&](unsigned byte) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02X", byte & 0xFF);
        line += digits;
        sum += byte;
    };
    put(static_cast<unsigned>(static_cast<int>(data.size()) + count_error));
    put(address >> 8U);
    put(address & 0xFFU);
    put(type);
    for (uint8_t byte : data) {
        put(byte);
    }
    put(0x100 - (sum & 0xFF));
    return line;
}

bool parse_hex(const std::string& text, flash_array& image, std::string& error) {
    image = erased_flash();
    return sim::load_hex_text(text, image, error);
}

} // namespace test_support
