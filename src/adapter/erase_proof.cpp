// SPDX-License-Identifier: MIT
// The whole-chip erase, proven by the chip's first block.
//
// How the erase is proven:
// - Not by the adapter's word: an adapter may confirm an erase that a corrupted byte kept from
//   happening. The first block must read all 0xFF afterwards, so it must hold data when the
//   erase starts. When it already does, nothing is added, and an erase that fails leaves every
//   byte of the chip as it was; only a blank (or unreadable) first block gets the mark, one
//   byte programmed to 0x00 at 0x0000.
// - The first block is read by a verified read, and the replies are proven in step at once:
//   the erase and its verdict rest on what it holds. A read that fails while the reader does
//   not wait for the answer to block read, or as it stops waiting, may have met that answer
//   after all: the block is read again, which is no attempt, since the erase has only
//   ERASE_READS_MAX of them to spend. Other failures are attempts, with a return to programming
//   mode between, so that one reply lost on the line does not decide.
// - Everything goes through the block reader, which lets the line go quiet before the mark and
//   the erase when a failed read may still send a byte: such a byte would be taken for the
//   mark's answer or shift the erase's status polls.
// - The loop ends: each turn is an attempt, or a back_in_step, which a reader answers at most
//   BLOCK_READER_BACK_IN_STEP_MAX times.
#include "adapter/erase_proof.h"

#include "adapter/block_reader.h"
#include "adapter/flash_block.h"
#include "trace/wire_trace.h"

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
        block_status status = block_read_verified(reader, first.data(), 0x0000, FLASH_BLOCK_MAX,
                                                  late_answers::met_not_waiting);
        if (status == block_status::unproven) {
            status = block_reader_in_step(reader);
        }
        if (status == block_status::proven) {
            return block_erased(first.data(), FLASH_BLOCK_MAX) ? FIRST_BLOCK_BLANK
                                                               : FIRST_BLOCK_HOLDS_DATA;
        }
        if (status == block_status::back_in_step) {
            continue;
        }
        if (++attempts < ERASE_READS_MAX && block_reader_reenter(reader) == 0) {
            break;
        }
    }
    return FIRST_BLOCK_UNREADABLE;
}

} // namespace

int flash_erase_proven(block_reader& reader) {
    if (read_first_block(reader) != FIRST_BLOCK_HOLDS_DATA) {
        constexpr uint8_t MARK = 0x00;
        wire_trace_note("first block blank or unreadable: marking it for the erase");
        // The mark's answer is not judged, since the read afterwards decides.
        block_write_unjudged(reader, &MARK, 0x0000, 1);
    }
    if (block_reader_erase_chip(reader) == 0) {
        return 0;
    }
    return read_first_block(reader) == FIRST_BLOCK_BLANK ? 1 : 0;
}
