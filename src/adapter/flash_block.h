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

/// Reads length (1 to 16) bytes like flash_block_read, then proves them against the adapter's
/// sum of a fresh read of the same block. 1 when both answered and agree, else 0.
int flash_block_read_verified(int fd, uint8_t* destination, uint16_t address, uint8_t length);

/// True once this open of fd has stopped waiting for the answer to block read: the first two
/// block reads went unanswered, and the run then says so once on standard error. A failure
/// while not waiting may be an answer that came after all; see flash_block_wait_again.
bool flash_block_not_waiting(int fd);

/// Waits for the answer to block read again, for the rest of this open, after throwing away
/// what is pending (one quiet READ_TIMEOUT_US). Returns the bytes thrown away.
int flash_block_wait_again(int fd);

/// Before a device erase: programs one byte of the first block to 0x00, so that the erase
/// has something to clear there even on a chip whose first block is blank. The chip must be
/// about to be erased: the byte is lost to it.
void flash_mark_for_erase(int fd);

/// After a device erase that followed flash_mark_for_erase: 1 when the first block of flash
/// reads back all 0xFF, else 0. An adapter may confirm an erase that a corrupted byte kept
/// from happening; the chip cannot.
int flash_erase_confirmed(int fd);

/// The 8-bit sum of count bytes, as the adapter sums a block.
uint8_t flash_byte_sum(const uint8_t* bytes, int count);

/// True when all count bytes are 0xFF, as erased flash reads: such a block is neither
/// programmed nor dumped.
bool block_erased(const uint8_t* bytes, int count);
