// SPDX-License-Identifier: MIT
// The read command: the flash as Intel HEX on standard output.
#include "adapter/adapter_link.h"
#include "adapter/block_reader.h"
#include "adapter/c2_control.h"
#include "adapter/flash_block.h"
#include "commands/command_port.h"
#include "commands/commands.h"
#include "serial/wire_trace.h"

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

/// Blocks read without waiting for the block-read answer that are held back until the replies
/// are proven in step: an answer that came after all shifts every reply after it, and a block
/// judged by shifted bytes may pass its check by chance.
constexpr int HELD_BLOCKS_MAX = 32;

/// The blocks read since the replies were last proven in step, while not waiting, and where
/// the reading goes on from if they cannot be proven.
struct held_blocks {
    std::array<record_bytes, HELD_BLOCKS_MAX> records; // those that are not erased
    int record_count;
    int block_count;
    uint16_t from_address;
    uint16_t from_remaining;
};

void hold_from(held_blocks& held, uint16_t address, uint16_t remaining) {
    held.record_count = 0;
    held.block_count = 0;
    held.from_address = address;
    held.from_remaining = remaining;
}

void put_held(const held_blocks& held) {
    for (int i = 0; i < held.record_count; ++i) {
        put_data_record(held.records[i], held.records[i][0]);
    }
}

enum dump_result { DUMP_COMPLETE, DUMP_FAILED, DUMP_OUT_OF_STEP };

/// Reads the first size bytes of flash, each block proven by two fetches that agree, printing a
/// record for each block that is not erased, and proves the replies in step at the end. Blocks
/// read while not waiting for the block-read answer are printed once an in-step check has
/// proven them; when a block or that check fails then, the run waits for the answer again and
/// reads those blocks once more, which is not a failure. DUMP_COMPLETE when every block was
/// dumped. The loop ends: each turn either reads a block on, counts a failure (at most
/// READ_FAILURES_MAX + 1), or goes back after a wait-again, which an open makes while not
/// waiting only a bounded number of times (see flash_block_wait_again); and at most
/// HELD_BLOCKS_MAX blocks are read between two in-step checks.
dump_result dump_flash(block_reader& reader, uint16_t size) {
    uint16_t address = 0;
    uint16_t remaining = size;
    int failures = 0;
    record_bytes record{};
    held_blocks held{};
    hold_from(held, address, remaining);
    for (;;) {
        const bool not_waiting = flash_block_not_waiting(reader);
        if (remaining == 0 || held.block_count == HELD_BLOCKS_MAX) {
            if (remaining == 0 && failures != 0) {
                return DUMP_FAILED;
            }
            // On a line that hands over a reply byte by byte, a late or surplus byte can shift
            // a fetch reply without any byte waiting behind it yet; it still stands before this
            // reply.
            if (adapter_in_step(reader.fd) != 0) {
                put_held(held);
                hold_from(held, address, remaining);
                if (remaining == 0) {
                    return DUMP_COMPLETE;
                }
            } else if (not_waiting) {
                flash_block_wait_again(reader);
                address = held.from_address;
                remaining = held.from_remaining;
                hold_from(held, address, remaining);
            } else {
                return DUMP_OUT_OF_STEP;
            }
            continue;
        }

        const int n = remaining < FLASH_BLOCK_MAX ? remaining : FLASH_BLOCK_MAX;
        std::fprintf(stderr, "%04X: reading.\r", address);
        record.fill(0xFF);
        uint8_t* data = record.data() + RECORD_HEADER_SIZE;
        if (flash_block_read_verified(reader, data, address, static_cast<uint8_t>(n)) != 0) {
            // The run may have stopped waiting during this very block.
            const bool hold = flash_block_not_waiting(reader);
            if (!block_erased(data, n)) {
                record[0] = static_cast<uint8_t>(n);
                record[1] = static_cast<uint8_t>(address >> 8);
                record[2] = static_cast<uint8_t>(address & 0xFF);
                record[3] = 0x00;
                if (hold) {
                    held.records[held.record_count++] = record;
                } else {
                    put_data_record(record, n);
                }
            }
            address = static_cast<uint16_t>(address + n);
            remaining = static_cast<uint16_t>(remaining - n);
            if (hold) {
                ++held.block_count;
            } else {
                hold_from(held, address, remaining);
            }
            continue;
        }
        if (not_waiting) {
            // The failure may be an answer to block read that came after all.
            flash_block_wait_again(reader);
            address = held.from_address;
            remaining = held.from_remaining;
            hold_from(held, address, remaining);
            continue;
        }
        ++failures;
        if (failures > READ_FAILURES_MAX) {
            return DUMP_FAILED;
        }
        std::fprintf(stderr, "\r%04X-%04X: read error, retry\n", address,
                     static_cast<uint16_t>(address + n - 1));
        wire_trace_note("%04X: block read failed, retry (%d)", address, failures);
        enter_programming_mode(reader.fd);
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
    if (start_programming(fd) == 0) {
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
