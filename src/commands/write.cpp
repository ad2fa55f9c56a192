// The write command: load an Intel HEX image, erase the target, program and verify it.
#include "adapter/c2_control.h"
#include "adapter/flash_block.h"
#include "commands/commands.h"
#include "commands/hex_reader.h"
#include "commands/program_image.h"
#include "serial/serial_port.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t IMAGE_SIZE = 65536;
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

bool all_erased(const uint8_t* bytes, int count) {
    for (int i = 0; i < count; ++i) {
        if (bytes[i] != 0xFF) {
            return false;
        }
    }
    return true;
}

uint8_t byte_sum(const uint8_t* bytes, int count) {
    unsigned sum = 0;
    for (int i = 0; i < count; ++i) {
        sum += bytes[i];
    }
    return static_cast<uint8_t>(sum);
}

/// Programs and verifies one block: 1 when its read-back sum matches, else 0 after printing
/// the block's failure text without a line end.
int write_block(int fd, const uint8_t* bytes, uint16_t address, int length) {
    const unsigned last = address + static_cast<unsigned>(length) - 1;
    if (flash_block_write(fd, bytes, address, static_cast<uint8_t>(length)) == 0) {
        std::fprintf(stderr, "%04X-%04X: serial_write error.", address, last);
        return 0;
    }
    if (flash_block_sum(fd, address, static_cast<uint8_t>(length)) != byte_sum(bytes, length)) {
        std::fprintf(stderr, "%04X-%04X: checksum error.", address, last);
        return 0;
    }
    std::fprintf(stderr, "%04X-%04X: ok\r", address, last);
    std::fflush(stdout);
    return 1;
}

} // namespace

/// Gives up at the fifth failure of one block with nothing verified or skipped beyond it,
/// or when programming mode cannot be re-entered for a retry.
int program_image(int fd, const uint8_t* image, uint16_t start, uint32_t count) {
    if (start + count > IMAGE_SIZE) {
        count = IMAGE_SIZE - start;
    }
    if (start_programming(fd) == 0) {
        return 0;
    }
    if (c2_device_erase(fd) == 0) {
        std::fputs("Device erase failed.\n", stderr);
        return 0;
    }
    std::fputs("Device erase: ok\n", stderr);

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
        const bool skipped = all_erased(bytes, length);
        if (skipped || write_block(fd, bytes, address, length) != 0) {
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

        failure_count = note_failure(failures, block);
        if (failure_count > BLOCK_RETRIES_MAX) {
            std::putchar('\n');
            break;
        }
        std::fprintf(stderr, " retry (%d)\n", failure_count);
        if (enter_programming_mode(fd) == 0) {
            std::fputs("Unknown error.\n", stderr);
            break;
        }
        address = restart_address;
        remaining = restart_remaining;
    }

    if (failure_count != 0) {
        std::fputs("Failed.\n", stderr);
        return 0;
    }
    std::fputs("Completed.   \n", stderr);
    return 1;
}

void cmd_write(option_context& ctx) {
    termios saved_settings{};
    const int fd = serial_open(ctx.serial_port, ctx.baud_rate, &saved_settings);
    if (fd < 0) {
        ctx.error = 1;
        return;
    }

    std::FILE* input = stdin;
    if (ctx.hex_file != nullptr) {
        input = std::fopen(ctx.hex_file, "r");
        if (input == nullptr) {
            std::fprintf(stderr, "Cannot open: %s\n", ctx.hex_file);
            ctx.error = 1;
            serial_close(fd, &saved_settings);
            return;
        }
    }

    flash_image.fill(0xFF);
    if (hex_read(input, image_store, flash_image.data()) < 0) {
        std::fputs("Invalid file format.\n", stderr);
        ctx.error = 1;
    } else {
        const uint32_t size = ctx.flash_size < IMAGE_SIZE ? ctx.flash_size : IMAGE_SIZE;
        if (program_image(fd, flash_image.data(), 0, size) == 0) {
            ctx.error = 1;
        }
    }

    if (input != stdin) {
        std::fclose(input);
    }
    serial_close(fd, &saved_settings);
}
