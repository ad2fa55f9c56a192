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

/// Reads length (1 to 16) bytes like flash_block_read, then reads them again by a block read of
/// their own, compares the two byte for byte and proves the replies in step. 1 when both
/// arrived and agree and the replies are in step, else 0.
int flash_block_read_verified(int fd, uint8_t* destination, uint16_t address, uint8_t length);

/// True while this open of fd is not waiting for the answer to block read: the first two
/// block reads went unanswered, and the run then says so once on standard error; or two in a
/// row did again after a wait-again. A failure while not waiting may be an answer that came
/// after all; see flash_block_wait_again.
bool flash_block_not_waiting(int fd);

/// Times an open may stop waiting for the answer to block read again after a wait-again. An
/// adapter that answers now and then spends them in a few blocks, at the cost of a drain and
/// two full waits each, and is then waited for as before.
inline constexpr int FLASH_BLOCK_RELEARNS_MAX = 4;

/// Waits for the answer to block read again after throwing away what is pending (one quiet
/// READ_TIMEOUT_US). Returns the bytes thrown away. Two block reads in a row unanswered then
/// stop the waiting again, but the wait-again after the FLASH_BLOCK_RELEARNS_MAX-th such
/// relearning is for good. So an open stops waiting at most 1 + FLASH_BLOCK_RELEARNS_MAX
/// times, and each wait-again made while not waiting ends one of those times: a loop that goes
/// round once more, uncounted, only after such a wait-again does so at most that often, which
/// is why each of those loops ends.
int flash_block_wait_again(int fd);

/// True when all count bytes are 0xFF, as erased flash reads: such a block is neither
/// programmed nor dumped.
bool block_erased(const uint8_t* bytes, int count);
