// SPDX-License-Identifier: MIT
// Block reads through the adapter, and what one open of the port has learned about the
// adapter's answer to block read.
#pragma once

#include <cstdint>

/// Times a reader may stop waiting for the answer to block read again after a wait-again. An
/// adapter that answers now and then spends them in a few blocks, at the cost of a drain and
/// two full waits each, and is then waited for as before.
inline constexpr int BLOCK_READER_RELEARNS_MAX = 4;

/// What one open of the port has learned about the adapter's answer to block read. A command
/// makes one, {fd}, once it has opened the port, and hands it to the block reads of that open;
/// only the functions below change it.
struct block_reader {
    int fd = -1;
    int block_reads = 0; // the first block reads, counted up to the two that decide
    int unanswered = 0;  // block reads in a row whose answer stayed away while waiting
    int waits_again = 0; // flash_block_wait_again calls
    bool not_waiting = false;
    bool waiting_for_good = false; // the adapter answers, or the reader has stopped waiting often
};

/// Reads length bytes of flash from address (wrapping at 0xFFFF) into
/// destination. 1 when all arrived, 0 at the first short piece.
int flash_block_read(block_reader& reader, uint8_t* destination, uint16_t address, uint8_t length);

/// The 8-bit sum of length flash bytes from address, as the adapter reads
/// them, or -1 when a sum answer is missing.
int flash_block_sum(block_reader& reader, uint16_t address, uint8_t length);

/// Reads length (1 to 16) bytes like flash_block_read, then reads them again by a block read of
/// their own, compares the two byte for byte and proves the replies in step. 1 when both
/// arrived and agree and the replies are in step, else 0.
int flash_block_read_verified(block_reader& reader, uint8_t* destination, uint16_t address,
                              uint8_t length);

/// True while the reader is not waiting for the answer to block read: the first two block
/// reads went unanswered, and the run then says so once on standard error; or two in a row did
/// again after a wait-again. A failure while not waiting may be an answer that came after all;
/// see flash_block_wait_again.
bool flash_block_not_waiting(const block_reader& reader);

/// Waits for the answer to block read again after throwing away what is pending (one quiet
/// READ_TIMEOUT_US). Returns the bytes thrown away. Two block reads in a row unanswered then
/// stop the waiting again, but the wait-again after the BLOCK_READER_RELEARNS_MAX-th such
/// relearning is for good. So a reader stops waiting at most 1 + BLOCK_READER_RELEARNS_MAX
/// times, and each wait-again made while not waiting ends one of those times: a loop that goes
/// round once more, uncounted, only after such a wait-again does so at most that often, which
/// is why each of those loops ends.
int flash_block_wait_again(block_reader& reader);
