// SPDX-License-Identifier: MIT
// Block reads through the adapter, and what one open of the port has learned about the
// adapter's answer to block read.
#include "adapter/block_reader.h"

#include "adapter/adapter_link.h"
#include "adapter/flash_block.h"
#include "serial/serial_port.h"
#include "serial/wire_trace.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace {

/// The fetch reply: a leading byte, the flash bytes, a trailing byte.
constexpr int FETCH_EXTRA_BYTES = 2;

/// Block reads in a row whose answer stays away before the reader stops waiting for it.
constexpr int BLOCK_READS_LEARNED = 2;

/// Learns from the answer (or its absence, answer < 0) to a block read waited for.
void learn_block_read_answer(block_reader& reader, int answer) {
    reader.unanswered = answer < 0 ? reader.unanswered + 1 : 0;
    if (reader.unanswered == BLOCK_READS_LEARNED) {
        reader.not_waiting = true;
        reader.unanswered = 0;
        if (reader.waits_again == 0) {
            std::fputs("Adapter does not answer block read; not waiting for it.\n", stderr);
            wire_trace_note("block read unanswered twice: not waiting for its answer");
        } else {
            wire_trace_note("block read unanswered twice again: not waiting for its answer "
                            "(relearned %d of %d)",
                            reader.waits_again, BLOCK_READER_RELEARNS_MAX);
        }
        return;
    }
    // At the start only the first two block reads decide: an adapter that answers either
    // of them answers.
    if (reader.waits_again == 0 && ++reader.block_reads == BLOCK_READS_LEARNED) {
        reader.waiting_for_good = true;
    }
}

/// Sends the block read request. Its one answer byte, if any, is not looked at; waiting for it
/// costs one READ_TIMEOUT_US when the adapter does not answer, unless the reader has learned
/// that it does not.
void request_block(block_reader& reader, uint16_t address, int piece) {
    flash_block_request(reader.fd, ADP_BLOCK_READ, address, piece, nullptr);
    if (reader.not_waiting) {
        return;
    }
    const int answer = serial_read_byte(reader.fd, READ_TIMEOUT_US);
    if (!reader.waiting_for_good) {
        learn_block_read_answer(reader, answer);
    }
}

} // namespace

/// 0 at the first fetch reply that is short after a READ_TIMEOUT_US of silence, or that is
/// followed at once by further bytes (a late or surplus byte shifted it); the failed piece and
/// later ones leave destination unchanged.
int flash_block_read(block_reader& reader, uint8_t* destination, uint16_t address, uint8_t length) {
    int remaining = length;
    while (remaining > 0) {
        const int piece = flash_block_piece(remaining);
        request_block(reader, address, piece);
        adapter_send_command(reader.fd, ADP_BLOCK_FETCH);
        std::array<uint8_t, FLASH_BLOCK_MAX + FETCH_EXTRA_BYTES> reply{};
        const int wanted = piece + FETCH_EXTRA_BYTES;
        if (serial_read_timed(reader.fd, reply.data(), wanted, READ_TIMEOUT_US) != wanted) {
            return 0;
        }
        // A byte already waiting behind a complete reply means the reply began with a byte
        // that belonged to an earlier answer: its flash bytes are off by one.
        if (serial_pending(reader.fd) != 0) {
            return 0;
        }
        std::memcpy(destination, reply.data() + 1, static_cast<std::size_t>(piece));
        destination += piece;
        address = static_cast<uint16_t>(address + piece);
        remaining -= piece;
    }
    return 1;
}

/// -1 at the first sum answer missing after READ_TIMEOUT_US; nothing is sent after it.
int flash_block_sum(block_reader& reader, uint16_t address, uint8_t length) {
    int remaining = length;
    int sum = 0;
    while (remaining > 0) {
        const int piece = flash_block_piece(remaining);
        request_block(reader, address, piece);
        adapter_send_command(reader.fd, ADP_BLOCK_SUM);
        const int piece_sum = serial_read_byte(reader.fd, READ_TIMEOUT_US);
        if (piece_sum < 0) {
            return -1;
        }
        sum = (sum + piece_sum) & 0xFF;
        address = static_cast<uint16_t>(address + piece);
        remaining -= piece;
    }
    return sum;
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
int flash_block_read_verified(block_reader& reader, uint8_t* destination, uint16_t address,
                              uint8_t length) {
    if (flash_block_read(reader, destination, address, length) == 0) {
        return 0;
    }
    // While not waiting for the block-read answer, an answer that comes after all shifts the
    // first fetch reply by one; a second reply cut short by a byte would shift back and match
    // it. The shift is caught before the second fetch.
    if (reader.not_waiting && adapter_in_step(reader.fd) == 0) {
        return 0;
    }
    std::array<uint8_t, FLASH_BLOCK_MAX> again{};
    const int count = length < FLASH_BLOCK_MAX ? length : FLASH_BLOCK_MAX;
    if (flash_block_read(reader, again.data(), address, static_cast<uint8_t>(count)) == 0 ||
        std::memcmp(destination, again.data(), static_cast<std::size_t>(count)) != 0) {
        return 0;
    }
    return adapter_in_step(reader.fd);
}

bool flash_block_not_waiting(const block_reader& reader) {
    return reader.not_waiting;
}

int flash_block_wait_again(block_reader& reader) {
    reader.not_waiting = false;
    reader.unanswered = 0;
    ++reader.waits_again;
    if (reader.waits_again > BLOCK_READER_RELEARNS_MAX) {
        reader.waiting_for_good = true;
        wire_trace_note("a reply out of place while not waiting for block read: waiting again, "
                        "for good");
    } else {
        wire_trace_note("a reply out of place while not waiting for block read: waiting again");
    }
    return serial_drain(reader.fd, READ_TIMEOUT_US);
}
