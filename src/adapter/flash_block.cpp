// SPDX-License-Identifier: MIT
// Flash block transfers through the adapter, in pieces of at most FLASH_BLOCK_MAX bytes.
#include "adapter/flash_block.h"

#include "adapter/adapter_link.h"
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
/// may leave that answer out; one that has done so for the first two block reads of an open is
/// no longer waited for, until a reply out of place, which may be an answer that came after
/// all, makes the run wait again. Two block reads in a row unanswered after that stop the
/// waiting once more, a bounded number of times: a stray byte on the line then costs a drain
/// and a few blocks read again, not a wait for every later block read.
struct block_read_habit {
    int fd = -1;
    long open_number = 0;
    int block_reads = 0; // the first block reads of the open, counted up to BLOCK_READS_LEARNED
    int unanswered = 0;  // block reads in a row whose answer stayed away while waiting
    int waits_again = 0; // flash_block_wait_again calls on this open
    bool not_waiting = false;
    bool waiting_for_good = false; // the adapter answers, or the run has stopped waiting often
};

/// Block reads in a row whose answer stays away before the run stops waiting for it.
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

/// Learns from the answer (or its absence, answer < 0) to a block read waited for.
void learn_block_read_answer(block_read_habit& learned, int answer) {
    learned.unanswered = answer < 0 ? learned.unanswered + 1 : 0;
    if (learned.unanswered == BLOCK_READS_LEARNED) {
        learned.not_waiting = true;
        learned.unanswered = 0;
        if (learned.waits_again == 0) {
            std::fputs("Adapter does not answer block read; not waiting for it.\n", stderr);
            wire_trace_note("block read unanswered twice: not waiting for its answer");
        } else {
            wire_trace_note("block read unanswered twice again: not waiting for its answer "
                            "(relearned %d of %d)",
                            learned.waits_again, FLASH_BLOCK_RELEARNS_MAX);
        }
        return;
    }
    // At the start only the first two block reads decide: an adapter that answers either
    // of them answers.
    if (learned.waits_again == 0 && ++learned.block_reads == BLOCK_READS_LEARNED) {
        learned.waiting_for_good = true;
    }
}

/// Sends the block read request. Its one answer byte, if any, is not looked at; waiting for it
/// costs one READ_TIMEOUT_US when the adapter does not answer, unless the run has learned that
/// it does not.
void request_block(int fd, uint16_t address, int piece) {
    block_request request{};
    fill_request_header(request, address, piece);
    adapter_send_frame_command(fd, request.data(), REQUEST_HEADER_BYTES, ADP_BLOCK_READ);
    block_read_habit& learned = habit_of(fd);
    if (learned.not_waiting) {
        return;
    }
    const int answer = serial_read_byte(fd, READ_TIMEOUT_US);
    if (!learned.waiting_for_good) {
        learn_block_read_answer(learned, answer);
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

/// Two independent block reads, each fetched whole, compared byte for byte, then the replies
/// proven in step. An adapter's 8-bit sum cannot tell a block from one read at an address with
/// a bit changed when their bytes sum alike (the same first byte as the block 16 on, say); two
/// fetches of one block agree only when both requests were taken as sent, or when the blocks
/// they took hold the same bytes, which are then the right bytes. A stray byte before a fetch
/// reply, on a line that hands bytes over one by one, shifts both replies alike and leaves a
/// byte behind: the identification reply cannot then come first. That check is made before
/// the next block read, whose answer an adapter may leave out and so put the replies back in
/// step unseen. Safe with an adapter that serves a block only once: each fetch has its own
/// block read.
int flash_block_read_verified(int fd, uint8_t* destination, uint16_t address, uint8_t length) {
    if (flash_block_read(fd, destination, address, length) == 0) {
        return 0;
    }
    // While not waiting for the block-read answer, an answer that comes after all shifts the
    // first fetch reply by one; a second reply cut short by a byte would shift back and match
    // it. The shift is caught before the second fetch.
    if (flash_block_not_waiting(fd) && adapter_in_step(fd) == 0) {
        return 0;
    }
    std::array<uint8_t, FLASH_BLOCK_MAX> again{};
    const int count = length < FLASH_BLOCK_MAX ? length : FLASH_BLOCK_MAX;
    if (flash_block_read(fd, again.data(), address, static_cast<uint8_t>(count)) == 0 ||
        std::memcmp(destination, again.data(), static_cast<std::size_t>(count)) != 0) {
        return 0;
    }
    return adapter_in_step(fd);
}

bool flash_block_not_waiting(int fd) {
    return habit_of(fd).not_waiting;
}

int flash_block_wait_again(int fd) {
    block_read_habit& learned = habit_of(fd);
    learned.not_waiting = false;
    learned.unanswered = 0;
    ++learned.waits_again;
    if (learned.waits_again > FLASH_BLOCK_RELEARNS_MAX) {
        learned.waiting_for_good = true;
        wire_trace_note("a reply out of place while not waiting for block read: waiting again, "
                        "for good");
    } else {
        wire_trace_note("a reply out of place while not waiting for block read: waiting again");
    }
    return serial_drain(fd, READ_TIMEOUT_US);
}
