// SPDX-License-Identifier: MIT
// Intel HEX in and out of the emulated flash: the emulator is a device of its
// own, so it keeps its own small reader and writer.
#pragma once

#include "emulator.h"

#include <array>
#include <cstdint>
#include <string>

namespace sim {

/// Stores every data record of the Intel HEX file at path into flash, up to the end record.
/// False with a one-line reason in error ("line 3: bad checksum") when the file cannot be
/// read or is malformed; flash may then hold part of the file.
bool load_hex_file(const std::string& path, flash_array& flash, std::string& error);

/// Same, from text already in memory.
bool load_hex_text(const std::string& text, flash_array& flash, std::string& error);

/// Intel HEX of flash[begin, end): one 16-byte data record per block that is not all 0xFF,
/// then the end record; lines end in "\n".
std::string hex_text(const flash_array& flash, uint16_t begin, uint32_t end);

/// Writes hex_text to path; false with a reason in error when it cannot.
bool save_hex_file(const std::string& path, const flash_array& flash, uint16_t begin, uint32_t end,
                   std::string& error);

} // namespace sim
