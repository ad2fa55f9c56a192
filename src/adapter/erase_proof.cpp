// SPDX-License-Identifier: MIT
// The whole-chip erase, proven by the chip's first block.
//
// How the erase is proven:
// - Not by the adapter's word: an adapter may confirm an erase that a corrupted byte kept from
//   happening. The first block must read all 0xFF afterwards, so it must hold data when the
//   erase starts. When it already does, nothing is added, and an erase that fails leaves every
//   byte of the chip as it was; only a blank (or unreadable) first block gets the mark, one
//   byte programmed to 0x00 at 0x0000.
// - The first block is read by verified reads. One that fails while the reader does not wait
//   for the answer to block read, or as it stops waiting, may have met that answer after all:
//   the block is read again, which is no attempt, since the erase has only ERASE_READS_MAX of
//   them to spend. Other failures are attempts, with a return to programming mode between, so
//   that one reply lost on the line does not decide.
// - The loop ends: each turn is an attempt, or a back_in_step, which a reader answers at most
//   BLOCK_READER_BACK_IN_STEP_MAX times.
#include "adapter/erase_proof.h"

#include "adapter/block_reader.h"
#include "adapter/c2_control.h"
#include "adapter/flash_block.h"
#include "serial/serial_port.h"
#include "trace/trace_notes.h"

#include <array>
#include <cstdint>

namespace {

/// Reads of the first block that the erase makes before it gives up on it.
constexpr int ERASE_READS_MAX = 2;

enum first_block { FIRST_BLOCK_BLANK, FIRST_BLOCK_HOLDS_DATA, FIRST_BLOCK_UNREADABLE };

/// What the first block of flash holds.
first_block read_first_block(block_reader& reader) {
    std::array<uint8_t, FLASH_BLOCK_MAX> first{};
    int attempts = 0;
    while (attempts < ERASE_READS_MAX) {
        const block_status status = block_read_verified(
            reader, first.data(), 0x0000, FLASH_BLOCK_MAX, late_answers::met_not_waiting);
        if (status == block_status::proven || status == block_status::unproven) {
            return block_erased(first.data(), FLASH_BLOCK_MAX) ? FIRST_BLOCK_BLANK
                                                               : FIRST_BLOCK_HOLDS_DATA;
        }
        if (status == block_status::back_in_step) {
            continue;
        }
        if (++attempts < ERASE_READS_MAX && enter_programming_mode(reader.fd) == 0) {
            break;
        }
    }
    return FIRST_BLOCK_UNREADABLE;
}

} // namespace

int flash_erase_proven(block_reader& reader) {
    const first_block before = read_first_block(reader);
    if (before != FIRST_BLOCK_HOLDS_DATA) {
        constexpr uint8_t MARK = 0x00;
        wire_trace_note("first block blank or unreadable: marking it for the erase");
        // After reads that failed, a byte of theirs may still be on its way: it would be taken
        // for the mark's answer, and the true answer would shift the erase's status polls.
        if (before == FIRST_BLOCK_UNREADABLE) {
            serial_drain(reader.fd, READ_TIMEOUT_US);
        }
        // The mark's answer is not judged, since the read afterwards decides; but a missing or
        // wrong one may be late, and would shift the status polls too.
        if (flash_block_write(reader.fd, &MARK, 0x0000, 1) == 0) {
            serial_drain(reader.fd, READ_TIMEOUT_US);
        }
    }
    if (c2_device_erase(reader.fd) == 0) {
        return 0;
    }
    return read_first_block(reader) == FIRST_BLOCK_BLANK ? 1 : 0;
}
