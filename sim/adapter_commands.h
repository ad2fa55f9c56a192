// SPDX-License-Identifier: MIT
// The adapter's command bytes: the one table that the target model, the fault
// specs and the trace all read.
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

inline constexpr uint8_t ADP_FRAME_START = 0x00;
inline constexpr uint8_t ADP_IDENTIFY = 0x01;
inline constexpr uint8_t ADP_TARGET_RESET = 0x10;
inline constexpr uint8_t ADP_ADDRESS_WRITE = 0x11;
inline constexpr uint8_t ADP_ADDRESS_READ = 0x12;
inline constexpr uint8_t ADP_DATA_WRITE = 0x13;
inline constexpr uint8_t ADP_DATA_READ = 0x14;
inline constexpr uint8_t ADP_BLOCK_FETCH = 0x15;
inline constexpr uint8_t ADP_BLOCK_SUM = 0x16;
inline constexpr uint8_t ADP_PROGRAM_MODE = 0x20;
inline constexpr uint8_t ADP_BLOCK_WRITE = 0x21;
inline constexpr uint8_t ADP_BLOCK_READ = 0x22;
inline constexpr uint8_t ADP_QUERY = 0x3F;

/// Bits of the C2 status that answers ADP_ADDRESS_READ.
inline constexpr uint8_t C2_OUT_READY = 0x01;
inline constexpr uint8_t C2_IN_BUSY = 0x02;

/// Bytes 0x01..0x7F are commands; 0x80 and above are frame body.
inline constexpr bool is_command_byte(uint8_t b) {
    return b != ADP_FRAME_START && b < 0x80;
}

struct command_info {
    uint8_t byte;
    const char* name; // without the ADP_ prefix
    bool replies;     // the adapter normally answers it
};

/// The twelve commands the programmer sends, in byte order.
const std::vector<command_info>& command_table();

/// The table's row for a command byte; null for a byte outside the table.
const command_info* find_command(uint8_t command);

/// Name of a command byte ("BLOCK_WRITE"); null for a byte outside the table.
const char* command_name(uint8_t command);

} // namespace sim
