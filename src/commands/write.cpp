// SPDX-License-Identifier: MIT
// The write command: load an Intel HEX image, erase the target, program and verify it.
#include "adapter/adapter_link.h"
#include "adapter/block_reader.h"
#include "adapter/c2_control.h"
#include "adapter/erase_proof.h"
#include "adapter/flash_block.h"
#include "commands/command_port.h"
#include "commands/commands.h"
#include "commands/hex_reader.h"
#include "serial/serial_port.h"
#include "serial/wire_trace.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace {

/// Failures of one block that are retried; the next one gives up.
constexpr int BLOCK_RETRIES_MAX = 4;
/// Blocks of a range that covers the whole image.
constexpr uint32_t BLOCKS_MAX = IMAGE_SIZE / FLASH_BLOCK_MAX;

/// The image being written; too large for the stack.
std::array<uint8_t, IMAGE_SIZE> flash_image;

/// Failure counts of the blocks of one run, by block number from the start of the range. A
/// block's count lasts until that block or one beyond it is verified or skipped, so that the
/// blocks redone on the way back to a failing block do not clear its count.
struct failure_counts {
    std::array<uint8_t, BLOCKS_MAX> count;
    uint32_t low;  // lowest block that may hold a count
    uint32_t high; // highest block that may hold a count
    bool any;
};

/// Adds a failure of block and returns its count.
int note_failure(failure_counts& failures, uint32_t block) {
    if (!failures.any) {
        failures.low = block;
        failures.high = block;
        failures.any = true;
    } else if (block < failures.low) {
        failures.low = block;
    } else if (block > failures.high) {
        failures.high = block;
    }
    if (failures.count[block] <= BLOCK_RETRIES_MAX) {
        ++failures.count[block];
    }
    return failures.count[block];
}

/// Progress up to block: the counts of it and of every block before it end.
void note_progress(failure_counts& failures, uint32_t block) {
    if (!failures.any || block < failures.low) {
        return;
    }
    const uint32_t last = block < failures.high ? block : failures.high;
    for (uint32_t i = failures.low; i <= last; ++i) {
        failures.count[i] = 0;
    }
    failures.low = block + 1;
    failures.any = failures.low <= failures.high;
}

/// Reads of one block that the check of the whole chip makes before it gives up on the block.
constexpr int CHECK_ATTEMPTS_MAX = 3;

/// True when a fetch reply read one byte early could still match bytes: when every byte after
/// the first is the same. Such a reply shows the chip's bytes one place on, behind a byte that
/// is not the chip's; it matches a block of one repeated byte that was written, and a block of
/// one byte and blank ones (00 FF FF ...) that was never written at all.
bool shift_could_match(const uint8_t* bytes, int count) {
    return std::all_of(bytes + 1, bytes + count, [&](uint8_t b) { return b == bytes[count - 1]; });
}

/// True when the chip holds bytes at address, fetched and compared byte for byte. The adapter's
/// 8-bit sum would pass a block written a few bytes off whose bytes at the ends sum like the
/// erased bytes shifted in (blank bytes at either end, or 7F 7F written two bytes up); a
/// fetched block matches only when the write landed where it was sent, since the bytes outside
/// a shifted write stay erased and a block of blank bytes is never written. A fetch reply read
/// a byte early (a stray byte before it, on a line that hands bytes over one by one) may still
/// match, see shift_could_match: then the replies are proven in step too.
bool block_holds(block_reader& reader, const uint8_t* bytes, uint16_t address, int length) {
    std::array<uint8_t, FLASH_BLOCK_MAX> back{};
    return flash_block_read(reader, back.data(), address, static_cast<uint8_t>(length)) != 0 &&
           std::memcmp(back.data(), bytes, static_cast<std::size_t>(length)) == 0 &&
           (!shift_could_match(bytes, length) || adapter_in_step(reader.fd) != 0);
}

enum block_outcome { BLOCK_DONE, BLOCK_REFUSED, BLOCK_DIFFERS };

/// Programs and verifies one block, printing its "ok" progress line when it is done.
block_outcome write_block(block_reader& reader, const uint8_t* bytes, uint16_t address,
                          int length) {
    if (flash_block_write(reader.fd, bytes, address, static_cast<uint8_t>(length)) == 0) {
        return BLOCK_REFUSED;
    }
    if (!block_holds(reader, bytes, address, length)) {
        return BLOCK_DIFFERS;
    }
    std::fprintf(stderr, "%04X-%04X: ok\r", address, address + static_cast<unsigned>(length) - 1);
    // Kept from the design: a dump or a message on standard output never lags behind the
    // progress shown on standard error.
    std::fflush(stdout);
    return BLOCK_DONE;
}

/// Programs and verifies image[start, start + count), skipping erased blocks, with retries.
/// Returns the failure count of the block it stopped at: 0 when every block was done. Gives up
/// at the fifth failure of one block with nothing verified or skipped beyond it, or when
/// programming mode cannot be re-entered for a retry. Sets troubled when anything went wrong
/// on the way, a retry or an answer to block read that came after the run stopped waiting. A
/// block done again after a wait-again is not counted: that happens a bounded number of times
/// in an open (see flash_block_wait_again), so the loop ends.
int program_blocks(block_reader& reader, const uint8_t* image, uint16_t start, uint32_t count,
                   bool& troubled) {
    failure_counts failures{};
    uint16_t address = start;
    uint32_t remaining = count;
    uint16_t restart_address = start;
    uint32_t restart_remaining = count;
    int failure_count = 0;

    while (remaining != 0) {
        const int length =
            remaining < FLASH_BLOCK_MAX ? static_cast<int>(remaining) : FLASH_BLOCK_MAX;
        const uint32_t block = (count - remaining) / FLASH_BLOCK_MAX;
        const uint8_t* bytes = image + address;
        const bool skipped = block_erased(bytes, length);
        const bool not_waiting = flash_block_not_waiting(reader);
        const block_outcome outcome =
            skipped ? BLOCK_DONE : write_block(reader, bytes, address, length);
        if (outcome == BLOCK_DONE) {
            if (!skipped) {
                restart_address = address;
                restart_remaining = remaining;
            }
            address = static_cast<uint16_t>(address + length);
            remaining -= static_cast<uint32_t>(length);
            note_progress(failures, block);
            failure_count = 0;
            continue;
        }
        troubled = true;
        if (not_waiting) {
            // The failure may be an answer to block read that came after all: the same block
            // again, waiting for that answer.
            flash_block_wait_again(reader);
            continue;
        }

        const unsigned last = address + static_cast<unsigned>(length) - 1;
        // "serial_write error." is the design's wording for a refused block write; scripts
        // match it.
        std::fprintf(stderr,
                     outcome == BLOCK_REFUSED ? "%04X-%04X: serial_write error."
                                              : "%04X-%04X: checksum error.",
                     address, last);
        failure_count = note_failure(failures, block);
        if (failure_count > BLOCK_RETRIES_MAX) {
            // The design ends the last failure line on standard output, not standard error.
            std::putchar('\n');
            break;
        }
        std::fprintf(stderr, " retry (%d)\n", failure_count);
        wire_trace_note("%04X: block failed, retry (%d) from %04X", address, failure_count,
                        restart_address);
        if (enter_programming_mode(reader.fd) == 0) {
            std::fputs("Unknown error.\n", stderr);
            break;
        }
        address = restart_address;
        remaining = restart_remaining;
    }
    return failure_count;
}

/// Reads image[start, start + count) back from the chip, block by block, blank blocks included,
/// and compares the bytes. 1 when the chip holds the image; else 0 after one line that names
/// the first block that differs or cannot be read, and says to write the chip again. A block
/// read again after a wait-again is not an attempt; the loop ends since an open waits again
/// while not waiting only a bounded number of times (see flash_block_wait_again).
int chip_holds_image(block_reader& reader, const uint8_t* image, uint16_t start, uint32_t count) {
    uint16_t address = start;
    uint32_t remaining = count;
    int attempts = 0;
    while (remaining != 0) {
        const int length =
            remaining < FLASH_BLOCK_MAX ? static_cast<int>(remaining) : FLASH_BLOCK_MAX;
        const bool not_waiting = flash_block_not_waiting(reader);
        std::array<uint8_t, FLASH_BLOCK_MAX> back{};
        const bool read =
            flash_block_read(reader, back.data(), address, static_cast<uint8_t>(length)) != 0;
        if (read &&
            std::memcmp(back.data(), image + address, static_cast<std::size_t>(length)) == 0) {
            address = static_cast<uint16_t>(address + length);
            remaining -= static_cast<uint32_t>(length);
            attempts = 0;
            continue;
        }
        if (not_waiting) {
            flash_block_wait_again(reader);
            continue;
        }
        // A byte changed on its way back must not condemn the chip: the block is read again.
        if (++attempts >= CHECK_ATTEMPTS_MAX) {
            std::fprintf(stderr,
                         read ? "%04X-%04X: differs from the image; write the chip again.\n"
                              : "%04X-%04X: cannot be read back; write the chip again.\n",
                         address, address + static_cast<unsigned>(length) - 1);
            return 0;
        }
        enter_programming_mode(reader.fd);
    }
    return 1;
}

/// Erases the target and programs image[start, start + count) in verified blocks. A run that
/// saw trouble reads the whole range back before its verdict, and every run succeeds only once
/// the adapter's replies are proven still in step. 1 on success, else 0; prints progress and
/// the verdict on standard error. The check goes round again only after a wait-again made
/// while not waiting, which an open makes a bounded number of times (see
/// flash_block_wait_again), so it ends.
int program_image(block_reader& reader, const uint8_t* image, uint16_t start, uint32_t count) {
    if (start + count > IMAGE_SIZE) {
        count = IMAGE_SIZE - start;
    }
    if (start_programming(reader.fd) == 0) {
        return 0;
    }
    serial_set_interrupt_note(
        "\rInterrupted: the chip is left partly erased or written; write it again.\n");
    if (flash_erase_proven(reader) == 0) {
        std::fputs("Device erase failed.\n", stderr);
        return 0;
    }
    std::fputs("Device erase: ok\n", stderr);

    bool troubled = false;
    if (program_blocks(reader, image, start, count, troubled) != 0) {
        std::fputs("Failed.\n", stderr);
        return 0;
    }
    for (;;) {
        // A block written to the wrong address, or judged by a byte that belonged to another
        // answer, leaves the chip wrong where no check of the run has looked.
        if (troubled) {
            wire_trace_note("the run had trouble: reading the whole range back");
            if (chip_holds_image(reader, image, start, count) == 0) {
                std::fputs("Failed.\n", stderr);
                return 0;
            }
        }
        // A stray reply byte taken as a block's answer shifts every answer after it; the
        // blocks may then have been judged by the wrong bytes.
        if (adapter_in_step(reader.fd) != 0) {
            break;
        }
        if (!flash_block_not_waiting(reader)) {
            std::fputs("Replies out of step with the adapter.\n", stderr);
            std::fputs("Failed.\n", stderr);
            return 0;
        }
        flash_block_wait_again(reader);
        troubled = true;
    }
    std::fputs("Completed.   \n", stderr);
    return 1;
}

/// Loads the Intel HEX input into flash_image. 1 when it can be written as given: accepted by
/// the reader, and no byte beyond the first flash_size addresses but erased (0xFF) ones.
/// Otherwise prints why and returns 0.
int load_image(std::FILE* input, uint32_t flash_size) {
    flash_image.fill(0xFF);
    image_load load{flash_image.data(), 0};
    if (hex_read(input, image_store, &load) < 0) {
        std::fputs("Invalid file format.\n", stderr);
        return 0;
    }
    uint64_t outside = load.beyond;
    for (uint32_t at = flash_size; at < IMAGE_SIZE; ++at) {
        if (flash_image[at] != 0xFF) {
            outside = at;
            break;
        }
    }
    if (outside != 0) {
        std::fprintf(stderr, "Image data at 0x%04llX lies outside the flash (0x0000-0x%04X).\n",
                     static_cast<unsigned long long>(outside),
                     static_cast<unsigned>(flash_size - 1));
        return 0;
    }
    return 1;
}

} // namespace

void cmd_write(option_context& ctx) {
    termios saved_settings{};
    const int fd =
        command_port_open(ctx, saved_settings, "\rInterrupted: the chip was not changed.\n");
    if (fd < 0) {
        return;
    }

    std::FILE* input = stdin;
    if (ctx.hex_file != nullptr) {
        input = std::fopen(ctx.hex_file, "r");
        if (input == nullptr) {
            std::fprintf(stderr, "Cannot open: %s\n", ctx.hex_file);
            ctx.error = 1;
            command_port_close(fd, saved_settings);
            return;
        }
    }

    const uint32_t size = ctx.flash_size < IMAGE_SIZE ? ctx.flash_size : IMAGE_SIZE;
    block_reader reader{fd};
    if (load_image(input, size) == 0 || program_image(reader, flash_image.data(), 0, size) == 0) {
        ctx.error = 1;
    }

    if (input != stdin) {
        std::fclose(input);
    }
    command_port_close(fd, saved_settings);
}
