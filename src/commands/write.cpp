// SPDX-License-Identifier: MIT
// The write command: load an Intel HEX image, erase the target, program and verify it.
//
// How a write stays right:
// - The erase is proven by the chip (flash_erase_proven): the blank blocks of the image are
//   neither programmed nor read back, and must not keep old bytes.
// - Every block that is not blank is programmed and read back whole (block_write_checked): a
//   write refused, lost, or landed a few bytes off does not pass.
// - A failed block is written again from the last block done, after a return to programming
//   mode; the run gives up at the failure after BLOCK_RETRIES_MAX of one block with nothing done
//   beyond it, or when programming mode cannot be entered again.
// - A failure while the reader does not wait for the answer to block read may have met that
//   answer late: the reader goes back in step and the block is written again, which is no
//   failure.
// - After any such trouble a block may have been written to the wrong address, or judged by a
//   byte that belonged to another answer, where no check of the run has looked since: the whole
//   range is read back and compared before the verdict, each block up to CHECK_ATTEMPTS_MAX
//   times, so that a byte changed on its way back does not condemn the chip.
// - Every run ends with an in-step check: a stray reply byte taken as a block's answer shifts
//   every answer after it, and the blocks written while not waiting are unproven until then.
//   When it fails while not waiting, the reader goes back in step and the range is read back
//   again; while waiting, the run fails.
// - The loops end: a failed block sends the run back only to the last block done before it,
//   and its count, cleared only once the run gets beyond it, ends the run above
//   BLOCK_RETRIES_MAX; the read-back gives each block CHECK_ATTEMPTS_MAX reads; and only
//   back_in_step goes round again uncounted, which a reader answers at most
//   BLOCK_READER_BACK_IN_STEP_MAX times.
#include "commands/write.h"

#include "adapter/block_reader.h"
#include "adapter/c2_control.h"
#include "adapter/erase_proof.h"
#include "adapter/flash_block.h"
#include "commands/chip_identity.h"
#include "commands/command_port.h"
#include "commands/hex_reader.h"
#include "serial/serial_port.h"
#include "trace/wire_trace.h"

#include <array>
#include <cstdio>

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

/// Programs and proves a block that is not blank, printing its "ok" progress line when done.
block_status write_block(block_reader& reader, const uint8_t* bytes, uint16_t address, int length) {
    const block_status status = block_write_checked(reader, bytes, address, length);
    if (status == block_status::proven || status == block_status::unproven) {
        std::fprintf(stderr, "%04X-%04X: ok\r", address,
                     address + static_cast<unsigned>(length) - 1);
        // Kept from the design: a dump or a message on standard output never lags behind the
        // progress shown on standard error.
        std::fflush(stdout);
    }
    return status;
}

/// Says that a block failed (status failed: refused; differs: not read back as written) for
/// the failure_count-th time, and makes ready to write it again from restart_address. False
/// when the run gives up instead.
bool ready_to_retry(block_reader& reader, block_status status, uint16_t address, int length,
                    int failure_count, uint16_t restart_address) {
    // "serial_write error." is the design's wording for a refused block write; scripts match it.
    std::fprintf(stderr,
                 status == block_status::failed ? "%04X-%04X: serial_write error."
                                                : "%04X-%04X: checksum error.",
                 address, address + static_cast<unsigned>(length) - 1);
    if (failure_count > BLOCK_RETRIES_MAX) {
        // The design ends the last failure line on standard output, not standard error.
        std::putchar('\n');
        return false;
    }
    std::fprintf(stderr, " retry (%d)\n", failure_count);
    wire_trace_note("%04X: block failed, retry (%d) from %04X", address, failure_count,
                    restart_address);
    if (block_reader_reenter(reader) == 0) {
        std::fputs("Unknown error.\n", stderr);
        return false;
    }
    return true;
}

/// Programs image[start, start + count) block by block, skipping blank blocks, with retries.
/// Returns the failure count of the block it stopped at: 0 when every block was done. Sets
/// troubled when anything went wrong on the way.
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
        // A blank block is done as the proven erase left it.
        const bool blank = block_erased(bytes, length);
        const block_status status =
            blank ? block_status::proven : write_block(reader, bytes, address, length);
        if (status == block_status::back_in_step) {
            troubled = true;
            continue; // the same block again
        }
        if (status == block_status::failed || status == block_status::differs) {
            troubled = true;
            failure_count = note_failure(failures, block);
            if (!ready_to_retry(reader, status, address, length, failure_count, restart_address)) {
                break;
            }
            address = restart_address;
            remaining = restart_remaining;
            continue;
        }
        if (!blank) {
            restart_address = address;
            restart_remaining = remaining;
        }
        address = static_cast<uint16_t>(address + length);
        remaining -= static_cast<uint32_t>(length);
        note_progress(failures, block);
        failure_count = 0;
    }
    return failure_count;
}

/// Reads image[start, start + count) back from the chip, block by block, blank blocks included,
/// and compares the bytes. 1 when the chip holds the image; else 0 after one line that names
/// the first block that differs or cannot be read, and says to write the chip again.
int chip_holds_image(block_reader& reader, const uint8_t* image, uint16_t start, uint32_t count) {
    uint16_t address = start;
    uint32_t remaining = count;
    int attempts = 0;
    while (remaining != 0) {
        const int length =
            remaining < FLASH_BLOCK_MAX ? static_cast<int>(remaining) : FLASH_BLOCK_MAX;
        const block_status status = block_compare(reader, image + address, address, length);
        if (status == block_status::proven || status == block_status::unproven) {
            address = static_cast<uint16_t>(address + length);
            remaining -= static_cast<uint32_t>(length);
            attempts = 0;
            continue;
        }
        if (status == block_status::back_in_step) {
            continue;
        }
        // A byte changed on its way back must not condemn the chip: the block is read again.
        if (++attempts >= CHECK_ATTEMPTS_MAX) {
            std::fprintf(stderr,
                         status == block_status::differs
                             ? "%04X-%04X: differs from the image; write the chip again.\n"
                             : "%04X-%04X: cannot be read back; write the chip again.\n",
                         address, address + static_cast<unsigned>(length) - 1);
            return 0;
        }
        block_reader_reenter(reader);
    }
    return 1;
}

/// Proves the blocks programmed: after trouble the whole range is read back, and every run
/// proves the replies still in step. 1 when proven, else 0 after saying why.
int prove_write(block_reader& reader, const uint8_t* image, uint16_t start, uint32_t count,
                bool troubled) {
    for (;;) {
        if (troubled) {
            wire_trace_note("the run had trouble: reading the whole range back");
            if (chip_holds_image(reader, image, start, count) == 0) {
                return 0;
            }
        }
        const block_status status = block_reader_in_step(reader);
        if (status == block_status::proven) {
            return 1;
        }
        if (status == block_status::failed) {
            std::fputs("Replies out of step with the adapter.\n", stderr);
            return 0;
        }
        troubled = true;
    }
}

/// Erases the target, in programming mode, and programs image[start, start + count): a proven
/// erase, the blocks programmed, then the write proven. 1 on success, else 0; prints progress
/// and the verdict on standard error.
int program_image(block_reader& reader, const uint8_t* image, uint16_t start, uint32_t count) {
    if (start + count > IMAGE_SIZE) {
        count = IMAGE_SIZE - start;
    }
    serial_set_interrupt_note(
        "\rInterrupted: the chip is left partly erased or written; write it again.\n");
    if (flash_erase_proven(reader) == 0) {
        std::fputs("Device erase failed.\n", stderr);
        return 0;
    }
    std::fputs("Device erase: ok\n", stderr);

    bool troubled = false;
    if (program_blocks(reader, image, start, count, troubled) != 0 ||
        prove_write(reader, image, start, count, troubled) == 0) {
        std::fputs("Failed.\n", stderr);
        return 0;
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
    // The whole image is read and checked before the port is opened: a slow producer on a pipe
    // keeps no adapter locked, and an image that cannot be written never touches the chip.
    std::FILE* input = stdin;
    if (ctx.hex_file != nullptr) {
        input = std::fopen(ctx.hex_file, "r");
        if (input == nullptr) {
            std::fprintf(stderr, "Cannot open: %s\n", ctx.hex_file);
            ctx.error = 1;
            return;
        }
    }
    const uint32_t size = ctx.flash_size < IMAGE_SIZE ? ctx.flash_size : IMAGE_SIZE;
    const int loaded = load_image(input, size);
    if (input != stdin) {
        std::fclose(input);
    }
    if (loaded == 0) {
        ctx.error = 1;
        return;
    }
    if (ctx.check_image != 0) {
        std::fprintf(stderr, "Image accepted; nothing written, as %s is set.\n",
                     CHECK_IMAGE_VARIABLE);
        return;
    }

    termios saved_settings{};
    const int fd =
        command_port_open(ctx, saved_settings, "\rInterrupted: the chip was not changed.\n");
    if (fd < 0) {
        return;
    }
    if (start_programming(fd) == 0 || chip_identity_checked(fd, ctx, CHIP_OTHER_REFUSED) == 0) {
        ctx.error = 1;
    } else {
        block_reader reader{fd};
        if (program_image(reader, flash_image.data(), 0, size) == 0) {
            ctx.error = 1;
        }
    }
    command_port_close(fd, saved_settings);
}
