// SPDX-License-Identifier: MIT
// The read command: the flash as Intel HEX on standard output.
//
// How a dump stays right:
// - Every block is read twice and the two fetches compared (block_read_verified): a request
//   the adapter took wrongly does not pass. A reply shifted by a byte of another reply can
//   shift both fetches alike, so a block that passed is unproven: it is held, and printed only
//   once an in-step check after it has passed. The block reader says when one is due
//   (block_reader_check_due), and one is made at the end.
// - A block or an in-step check that fails while not waiting may have met a late answer: the
//   reader goes back in step, and the dump reads again from its last proven block, which is no
//   failure. An in-step check that fails while waiting ends the dump.
// - Any other failed block is read again after a return to programming mode, and fails the
//   dump: at the end, without the end record, or at once at the failure after
//   READ_FAILURES_MAX. The return lets the line go quiet, which would also throw away a byte
//   that shifted the held blocks: they are proven before it, or read again after it.
// - The loops end: each turn reads a block on, counts a failure, proves the held blocks, or
//   reads again after back_in_step, which a reader answers at most
//   BLOCK_READER_BACK_IN_STEP_MAX times; a failure goes back at most to the last proven block
//   and is counted.
#include "commands/read.h"

#include "adapter/block_reader.h"
#include "adapter/c2_control.h"
#include "adapter/flash_block.h"
#include "commands/chip_identity.h"
#include "commands/command_port.h"
#include "trace/wire_trace.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int READ_FAILURES_MAX = 5;
constexpr int RECORD_HEADER_SIZE = 4;

// The record as text: ':' and two digits for each of the n + 4 record bytes
// and the checksum, and a terminating NUL.
constexpr int RECORD_TEXT_MAX = 1 + 2 * (RECORD_HEADER_SIZE + FLASH_BLOCK_MAX + 1) + 1;

using record_bytes = std::array<uint8_t, RECORD_HEADER_SIZE + FLASH_BLOCK_MAX>;

// Writes the Intel HEX data record held in record (header and n data bytes).
void put_data_record(const record_bytes& record, int n) {
    std::array<char, RECORD_TEXT_MAX> text{};
    constexpr char digits[] = "0123456789ABCDEF";
    int pos = 0;
    text[pos++] = ':';
    unsigned sum = 0;
    auto put_byte = [&](uint8_t b) {
        text[pos++] = digits[b >> 4];
        text[pos++] = digits[b & 0x0F];
    };
    for (int i = 0; i < RECORD_HEADER_SIZE + n; ++i) {
        sum += record[i];
        put_byte(record[i]);
    }
    put_byte(static_cast<uint8_t>((256 - (sum & 0xFF)) & 0xFF));
    text[pos] = '\0';
    std::puts(text.data());
}

/// A dump under way: where it reads next, its failed blocks, and the blocks read since its last
/// proven one, held back with the place the dump goes back to when they cannot be proven.
struct dump_state {
    uint16_t address;   // the next block to read
    uint16_t remaining; // bytes from there to the end
    int failures;
    std::array<record_bytes, BLOCK_READER_BATCH_MAX> held; // the held blocks that are not erased
    int held_records;
    int held_blocks;
    uint16_t proven_address;
    uint16_t proven_remaining;
};

/// Everything read so far is proven: the held records are printed, and the dump would go back
/// to here.
void mark_proven(dump_state& dump) {
    for (int i = 0; i < dump.held_records; ++i) {
        put_data_record(dump.held[i], dump.held[i][0]);
    }
    dump.held_records = 0;
    dump.held_blocks = 0;
    dump.proven_address = dump.address;
    dump.proven_remaining = dump.remaining;
}

/// The only way back: to the last proven block, the held ones thrown away.
void read_again(dump_state& dump) {
    dump.address = dump.proven_address;
    dump.remaining = dump.proven_remaining;
    dump.held_records = 0;
    dump.held_blocks = 0;
}

/// Holds the block of n bytes just read at dump.address, its record unless it is erased, and
/// moves on past it.
void hold(dump_state& dump, record_bytes& record, int n) {
    if (!block_erased(record.data() + RECORD_HEADER_SIZE, n)) {
        record[0] = static_cast<uint8_t>(n);
        record[1] = static_cast<uint8_t>(dump.address >> 8);
        record[2] = static_cast<uint8_t>(dump.address & 0xFF);
        record[3] = 0x00;
        dump.held[dump.held_records++] = record;
    }
    ++dump.held_blocks;
    dump.address = static_cast<uint16_t>(dump.address + n);
    dump.remaining = static_cast<uint16_t>(dump.remaining - n);
}

/// After a failed block, before the return to programming mode: the held blocks are printed
/// when an in-step check proves them, else read again.
void settle_held(block_reader& reader, dump_state& dump) {
    if (dump.held_blocks == 0) {
        return;
    }
    if (block_reader_in_step(reader) == block_status::proven) {
        mark_proven(dump);
    } else {
        read_again(dump);
    }
}

/// Reads blocks on from dump.address until the end, until the block reader wants them proven
/// in step, or until the reader goes back in step (back_in_step). A block that passed is held.
/// A failed block is counted and read again after a return to programming mode. failed at the
/// failure after READ_FAILURES_MAX, or at the end of a dump that had one; else unproven: the
/// held blocks wait for an in-step check.
block_status read_blocks(block_reader& reader, dump_state& dump) {
    while (dump.remaining != 0 && dump.held_blocks < BLOCK_READER_BATCH_MAX &&
           !block_reader_check_due(reader)) {
        const int n = dump.remaining < FLASH_BLOCK_MAX ? dump.remaining : FLASH_BLOCK_MAX;
        std::fprintf(stderr, "%04X: reading.\r", dump.address);
        record_bytes record{};
        record.fill(0xFF);
        const block_status status =
            block_read_verified(reader, record.data() + RECORD_HEADER_SIZE, dump.address, n);
        if (status == block_status::unproven) {
            hold(dump, record, n);
            continue;
        }
        if (status == block_status::back_in_step) {
            return status;
        }
        ++dump.failures;
        if (dump.failures > READ_FAILURES_MAX) {
            return block_status::failed;
        }
        std::fprintf(stderr, "\r%04X-%04X: read error, retry\n", dump.address,
                     static_cast<uint16_t>(dump.address + n - 1));
        wire_trace_note("%04X: block read failed, retry (%d)", dump.address, dump.failures);
        settle_held(reader, dump);
        block_reader_reenter(reader);
    }
    return dump.remaining == 0 && dump.failures != 0 ? block_status::failed
                                                     : block_status::unproven;
}

enum dump_result { DUMP_COMPLETE, DUMP_FAILED, DUMP_OUT_OF_STEP };

/// Dumps the first size bytes of flash: reads a run of blocks, proves them in step, then prints
/// them or reads them again.
dump_result dump_flash(block_reader& reader, uint16_t size) {
    dump_state dump{};
    dump.remaining = size;
    mark_proven(dump);
    for (;;) {
        block_status status = read_blocks(reader, dump);
        if (status == block_status::failed) {
            return DUMP_FAILED;
        }
        if (status == block_status::unproven) {
            // On a line that hands over a reply byte by byte, a late or surplus byte can shift
            // fetch replies without any byte waiting behind them yet; it still stands before
            // this reply.
            status = block_reader_in_step(reader);
            if (status == block_status::failed) {
                return DUMP_OUT_OF_STEP;
            }
        }
        if (status == block_status::back_in_step) {
            read_again(dump);
            continue;
        }
        mark_proven(dump);
        if (dump.remaining == 0) {
            return DUMP_COMPLETE;
        }
    }
}

/// Ends a dump in which every block was read and proven: the end record, and the verdict once
/// the whole dump has reached its destination. 1 on success.
int finish_dump() {
    std::fputs("              \r", stderr);
    std::puts(":00000001FF");
    // A full disk or a closed pipe must not end in "Completed.".
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::fprintf(stderr, "Cannot write the output: %s\n", std::strerror(errno));
        return 0;
    }
    return 1;
}

} // namespace

void cmd_read(option_context& ctx) {
    termios saved_settings{};
    const int fd =
        command_port_open(ctx, saved_settings, "\rInterrupted: the dump is incomplete.\n");
    if (fd < 0) {
        return;
    }
    if (start_programming(fd) == 0 || chip_identity_checked(fd, ctx, CHIP_OTHER_WARNED) == 0) {
        ctx.error = 1;
        command_port_close(fd, saved_settings);
        return;
    }
    block_reader reader{fd};
    const dump_result result = dump_flash(reader, static_cast<uint16_t>(ctx.flash_size & 0xFFFF));
    if (result == DUMP_OUT_OF_STEP) {
        std::fputs("Replies out of step with the adapter.\n", stderr);
    }
    if (result != DUMP_COMPLETE || finish_dump() == 0) {
        std::fputs("Failed.\n", stderr);
        ctx.error = 1;
    } else {
        std::fputs("Completed.\n", stderr);
    }
    command_port_close(fd, saved_settings);
}
