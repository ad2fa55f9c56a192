// SPDX-License-Identifier: MIT
// Intel HEX for the tests: images are written and read through the emulator's own reader and
// writer (hex_file.h); only single records of any type are formatted here.
#pragma once

#include "hex_file.h"

#include <cstdint>
#include <string>
#include <vector>

namespace test_support {

using sim::flash_array;

/// Flash as an erased chip holds it: every byte 0xFF.
flash_array erased_flash();

/// One record line with its checksum, in upper case, without a line end; any type, count and
/// address, so also the records the emulator's writer never makes. The count field is the
/// number of data bytes plus count_error, so that a count that disagrees still checks.
std::string hex_record(uint8_t type, uint16_t address, const std::vector<uint8_t>& data,
                       int count_error = 0);

/// Intel HEX text read into erased flash; false with the reader's reason in error.
bool parse_hex(const std::string& text, flash_array& image, std::string& error);

} // namespace test_support
