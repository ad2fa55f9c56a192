// SPDX-License-Identifier: MIT
// The whole-chip erase, proven by the chip's first block.
#include "adapter/erase_proof.h"

#include "adapter/block_reader.h"
#include "adapter/c2_control.h"
#include "adapter/flash_block.h"
#include "serial/serial_port.h"
#include "serial/wire_trace.h"

#include <array>
#include <cstdint>

namespace {

/// Reads of the first block that the erase makes before it gives up on it, with a return to
/// programming mode between them, so that one reply lost on the line does not decide.
constexpr int ERASE_READS_MAX = 2;

enum first_block { FIRST_BLOCK_BLANK, FIRST_BLOCK_HOLDS_DATA, FIRST_BLOCK_UNREADABLE };

/// What the first block of flash holds, read twice, compared and proven in step. A read that
/// fails while the run is not waiting for the answer to block read may have met that answer
/// after all: the block is read again, waiting, and that does not count as an attempt. The
/// loop ends since an open stops waiting only a bounded number of times (see
/// flash_block_wait_again).
first_block read_first_block(block_reader& reader) {
    std::array<uint8_t, FLASH_BLOCK_MAX> first{};
    int attempts = 0;
    while (attempts < ERASE_READS_MAX) {
        const bool was_not_waiting = flash_block_not_waiting(reader);
        if (flash_block_read_verified(reader, first.data(), 0x0000, FLASH_BLOCK_MAX) != 0) {
            return block_erased(first.data(), FLASH_BLOCK_MAX) ? FIRST_BLOCK_BLANK
                                                               : FIRST_BLOCK_HOLDS_DATA;
        }
        // The run may have stopped waiting during this very read.
        if (was_not_waiting || flash_block_not_waiting(reader)) {
            flash_block_wait_again(reader);
            continue;
        }
        if (++attempts < ERASE_READS_MAX && enter_programming_mode(reader.fd) == 0) {
            break;
        }
    }
    return FIRST_BLOCK_UNREADABLE;
}

} // namespace

/// The erase is proven by the chip, not by the adapter's word: an adapter may confirm an erase
/// that a corrupted byte kept from happening. The proof is the first block reading all 0xFF
/// afterwards, so that block must hold data when the erase starts. When it already does, nothing
/// is added: an erase that fails then leaves every byte of the chip as it was. Only a blank (or
/// unreadable) first block gets the mark, one byte programmed to 0x00 at 0x0000; its answer is
/// not judged, since the read afterwards decides, but a missing or wrong one may be late: the
/// line is let go quiet before the erase, whose status polls it would otherwise shift.
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
        if (flash_block_write(reader.fd, &MARK, 0x0000, 1) == 0) {
            serial_drain(reader.fd, READ_TIMEOUT_US);
        }
    }
    if (c2_device_erase(reader.fd) == 0) {
        return 0;
    }
    return read_first_block(reader) == FIRST_BLOCK_BLANK ? 1 : 0;
}
