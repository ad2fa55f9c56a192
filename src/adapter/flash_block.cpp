// SPDX-License-Identifier: MIT
// Flash block transfers through the adapter, in pieces of at most FLASH_BLOCK_MAX bytes.
#include "adapter/flash_block.h"

#include "adapter/adapter_link.h"
#include "adapter/c2_control.h"
#include "serial/serial_port.h"
#include "serial/wire_trace.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace {

constexpr int REQUEST_HEADER_BYTES = 3;

/// The fetch reply: a leading byte, the flash bytes, a trailing byte.
constexpr int FETCH_EXTRA_BYTES = 2;

using block_request = std::array<uint8_t, REQUEST_HEADER_BYTES + FLASH_BLOCK_MAX>;

int piece_length(int remaining) {
    return remaining < FLASH_BLOCK_MAX ? remaining : FLASH_BLOCK_MAX;
}

void fill_request_header(block_request& request, uint16_t address, int piece) {
    request[0] = static_cast<uint8_t>(address >> 8);
    request[1] = static_cast<uint8_t>(address & 0xFF);
    request[2] = static_cast<uint8_t>(piece);
}

/// What this open of the port has learned about the adapter's answer to block read. An adapter
/// may leave that answer out; one that has done so for the first two block reads of a run is
/// no longer waited for, until a sign that it answers after all.
struct block_read_habit {
    int fd = -1;
    long open_number = 0;
    int block_reads = 0; // block reads sent on this open, counted up to BLOCK_READS_LEARNED
    int unanswered = 0;  // of those, the ones whose answer stayed away
    bool not_waiting = false;
    bool waiting_for_good = false; // the adapter has answered after all: wait for the rest
};

/// Block reads whose answer decides whether to keep waiting for it.
constexpr int BLOCK_READS_LEARNED = 2;

block_read_habit habit;

/// The habit of fd's current open, learned afresh for each open.
block_read_habit& habit_of(int fd) {
    const long open_number = serial_open_number(fd);
    if (habit.fd != fd || habit.open_number != open_number) {
        habit = block_read_habit{};
        habit.fd = fd;
        habit.open_number = open_number;
    }
    return habit;
}

/// Sends the block read request. Its one answer byte, if any, is not looked at; waiting for it
/// costs one READ_TIMEOUT_US when the adapter does not answer, unless the run has learned that
/// it never does.
void request_block(int fd, uint16_t address, int piece) {
    block_request request{};
    fill_request_header(request, address, piece);
    adapter_send_frame_command(fd, request.data(), REQUEST_HEADER_BYTES, ADP_BLOCK_READ);
    block_read_habit& learned = habit_of(fd);
    if (learned.not_waiting) {
        return;
    }
    const int answer = serial_read_byte(fd, READ_TIMEOUT_US);
    if (learned.waiting_for_good || learned.block_reads >= BLOCK_READS_LEARNED) {
        return;
    }
    ++learned.block_reads;
    learned.unanswered += answer < 0 ? 1 : 0;
    if (learned.unanswered == BLOCK_READS_LEARNED) {
        learned.not_waiting = true;
        std::fputs("Adapter does not answer block read; not waiting for it.\n", stderr);
        wire_trace_note("block read unanswered twice: not waiting for its answer");
    }
}

} // namespace

/// 0 at the first fetch reply that is short after a READ_TIMEOUT_US of silence, or that is
/// followed at once by further bytes (a late or surplus byte shifted it); the failed piece and
/// later ones leave destination unchanged.
int flash_block_read(int fd, uint8_t* destination, uint16_t address, uint8_t length) {
    int remaining = length;
    while (remaining > 0) {
        const int piece = piece_length(remaining);
        request_block(fd, address, piece);
        adapter_send_command(fd, ADP_BLOCK_FETCH);
        std::array<uint8_t, FLASH_BLOCK_MAX + FETCH_EXTRA_BYTES> reply{};
        const int wanted = piece + FETCH_EXTRA_BYTES;
        if (serial_read_timed(fd, reply.data(), wanted, READ_TIMEOUT_US) != wanted) {
            return 0;
        }
        // A byte already waiting behind a complete reply means the reply began with a byte
        // that belonged to an earlier answer: its flash bytes are off by one.
        if (serial_pending(fd) != 0) {
            return 0;
        }
        std::memcpy(destination, reply.data() + 1, static_cast<std::size_t>(piece));
        destination += piece;
        address = static_cast<uint16_t>(address + piece);
        remaining -= piece;
    }
    return 1;
}

/// 0 at the first piece answered with anything but 0x00, or not within READ_TIMEOUT_US;
/// nothing is sent for the later pieces.
int flash_block_write(int fd, const uint8_t* source, uint16_t address, uint8_t length) {
    int remaining = length;
    while (remaining > 0) {
        const int piece = piece_length(remaining);
        block_request request{};
        fill_request_header(request, address, piece);
        std::memcpy(request.data() + REQUEST_HEADER_BYTES, source, static_cast<std::size_t>(piece));
        adapter_send_frame_command(fd, request.data(), REQUEST_HEADER_BYTES + piece,
                                   ADP_BLOCK_WRITE);
        if (serial_read_byte(fd, READ_TIMEOUT_US) != 0x00) {
            return 0;
        }
        source += piece;
        address = static_cast<uint16_t>(address + piece);
        remaining -= piece;
    }
    return 1;
}

/// -1 at the first sum answer missing after READ_TIMEOUT_US; nothing is sent after it.
int flash_block_sum(int fd, uint16_t address, uint8_t length) {
    int remaining = length;
    int sum = 0;
    while (remaining > 0) {
        const int piece = piece_length(remaining);
        request_block(fd, address, piece);
        adapter_send_command(fd, ADP_BLOCK_SUM);
        const int piece_sum = serial_read_byte(fd, READ_TIMEOUT_US);
        if (piece_sum < 0) {
            return -1;
        }
        sum = (sum + piece_sum) & 0xFF;
        address = static_cast<uint16_t>(address + piece);
        remaining -= piece;
    }
    return sum;
}

bool block_erased(const uint8_t* bytes, int count) {
    for (int i = 0; i < count; ++i) {
        if (bytes[i] != 0xFF) {
            return false;
        }
    }
    return true;
}

/// Two block reads: one for the bytes, one for the adapter's sum of the same block, so that an
/// adapter that serves a block only once still answers both.
int flash_block_read_verified(int fd, uint8_t* destination, uint16_t address, uint8_t length) {
    if (flash_block_read(fd, destination, address, length) == 0) {
        return 0;
    }
    return flash_block_sum(fd, address, length) == flash_byte_sum(destination, length) ? 1 : 0;
}

bool flash_block_not_waiting(int fd) {
    return habit_of(fd).not_waiting;
}

int flash_block_wait_again(int fd) {
    block_read_habit& learned = habit_of(fd);
    learned.not_waiting = false;
    learned.waiting_for_good = true;
    wire_trace_note("a reply out of place while not waiting for block read: waiting again");
    return serial_drain(fd, READ_TIMEOUT_US);
}

uint8_t flash_byte_sum(const uint8_t* bytes, int count) {
    unsigned sum = 0;
    for (int i = 0; i < count; ++i) {
        sum += bytes[i];
    }
    return static_cast<uint8_t>(sum);
}

/// One byte programmed to 0x00 at the first address, so that the first block is never blank
/// when the erase starts. Its answer is read and not judged: the erase that follows decides.
void flash_mark_for_erase(int fd) {
    constexpr uint8_t MARK = 0x00;
    flash_block_write(fd, &MARK, 0x0000, 1);
}

/// Two attempts, with a return to programming mode between them, so that one reply lost on the
/// line does not condemn the erase.
int flash_erase_confirmed(int fd) {
    constexpr int ATTEMPTS = 2;
    std::array<uint8_t, FLASH_BLOCK_MAX> first{};
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        if (attempt > 0 && enter_programming_mode(fd) == 0) {
            return 0;
        }
        if (flash_block_read(fd, first.data(), 0x0000, FLASH_BLOCK_MAX) != 0) {
            return block_erased(first.data(), FLASH_BLOCK_MAX) ? 1 : 0;
        }
    }
    return 0;
}
