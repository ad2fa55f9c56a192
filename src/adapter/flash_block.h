// SPDX-License-Identifier: MIT
// Flash block transfers through the adapter, in pieces of at most FLASH_BLOCK_MAX bytes.
#pragma once

#include <cstdint>

/// Most flash bytes moved by one adapter block command.
inline constexpr int FLASH_BLOCK_MAX = 16;

/// Reads length bytes of flash from address (wrapping at 0xFFFF) into
/// destination. 1 when all arrived, 0 at the first short piece.
int flash_block_read(int fd, uint8_t* destination, uint16_t address, uint8_t length);

/// Programs length bytes from source at address. 1 when every piece was
/// answered 0x00, else 0.
int flash_block_write(int fd, const uint8_t* source, uint16_t address, uint8_t length);

/// The 8-bit sum of length flash bytes from address, as the adapter reads
/// them, or -1 when a sum answer is missing.
int flash_block_sum(int fd, uint16_t address, uint8_t length);

/// True when all count bytes are 0xFF, as erased flash reads: such a block is neither
/// programmed nor dumped.
bool block_erased(const uint8_t* bytes, int count);
