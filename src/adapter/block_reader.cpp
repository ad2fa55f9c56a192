// SPDX-License-Identifier: MIT
// Block reads through the adapter, and the checks that keep the replies in step with the
// requests while the adapter's answer to block read is not waited for.
//
// What the reader promises, and how:
// - An adapter may leave out its one-byte answer to block read, and waiting for one that does
//   not come costs READ_TIMEOUT_US. When the first two block reads go unanswered, the reader
//   stops waiting (the run says so once on standard error); an adapter that answers either of
//   them is waited for for good.
// - While not waiting, an answer that comes after all, or a stray byte, stands before the next
//   reply and shifts it. A fetch reply with a byte already waiting behind it fails
//   (flash_block_read). On a line that hands bytes over one by one no byte waits yet: an
//   in-step check (adapter_in_step) catches the shift, between the two fetches of a verified
//   read and after them, and after a block written whose bytes a shifted reply could match.
//   What passes while not waiting is unproven: right only once an in-step check after it has
//   passed.
// - A failure of an operation begun while not waiting may be such an answer (for a verified
//   read, when the caller asks, also one during which the reader stopped waiting): the reader
//   throws away what is pending (one quiet READ_TIMEOUT_US), waits again, and answers
//   back_in_step. Two block reads in a row unanswered stop the waiting again, at most
//   BLOCK_READER_RELEARNS_MAX times; the wait-again after that is for good. Each back_in_step
//   ends one stop of waiting, so a reader answers it at most BLOCK_READER_BACK_IN_STEP_MAX
//   times: a caller's loop that goes round again, uncounted, only on back_in_step ends.
// - Every loop here goes over the pieces of one transfer and ends with them.
#include "adapter/block_reader.h"

#include "adapter/adapter_link.h"
#include "adapter/flash_block.h"
#include "serial/serial_port.h"
#include "trace/trace_notes.h"

#include <algorithm>
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

/// Goes back to waiting for the answer to block read after throwing away what is pending (one
/// quiet READ_TIMEOUT_US). After the BLOCK_READER_RELEARNS_MAX-th relearning it is for good.
void wait_again(block_reader& reader) {
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
    serial_drain(reader.fd, READ_TIMEOUT_US);
}

/// An operation that passed its checks.
block_status passed(const block_reader& reader) {
    return reader.not_waiting ? block_status::unproven : block_status::proven;
}

/// An operation that failed with failure: back_in_step after a wait-again when it may have met
/// a late answer.
block_status after_failure(block_reader& reader, bool may_be_late, block_status failure) {
    if (!may_be_late) {
        return failure;
    }
    wait_again(reader);
    return block_status::back_in_step;
}

/// True when a fetch reply read one byte early could still match bytes: when every byte after
/// the first is the same. Such a reply shows the chip's bytes one place on, behind a byte that
/// is not the chip's; it matches a block of one repeated byte that was written, and a block of
/// one byte and blank ones (00 FF FF ...) that was never written at all.
bool shift_could_match(const uint8_t* bytes, int count) {
    return std::all_of(bytes + 1, bytes + count, [&](uint8_t b) { return b == bytes[count - 1]; });
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
bool read_twice(block_reader& reader, uint8_t* destination, uint16_t address, int length) {
    if (flash_block_read(reader, destination, address, static_cast<uint8_t>(length)) == 0) {
        return false;
    }
    // While not waiting, an answer that comes after all shifts the first fetch reply by one; a
    // second reply cut short by a byte would shift back and match it.
    if (reader.not_waiting && adapter_in_step(reader.fd) == 0) {
        return false;
    }
    std::array<uint8_t, FLASH_BLOCK_MAX> again{};
    const int count = length < FLASH_BLOCK_MAX ? length : FLASH_BLOCK_MAX;
    return flash_block_read(reader, again.data(), address, static_cast<uint8_t>(count)) != 0 &&
           std::memcmp(destination, again.data(), static_cast<std::size_t>(count)) == 0 &&
           adapter_in_step(reader.fd) != 0;
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

block_status block_read_verified(block_reader& reader, uint8_t* destination, uint16_t address,
                                 int length, late_answers late) {
    const bool began_not_waiting = reader.not_waiting;
    if (read_twice(reader, destination, address, length)) {
        return passed(reader);
    }
    const bool met_not_waiting = late == late_answers::met_not_waiting && reader.not_waiting;
    return after_failure(reader, began_not_waiting || met_not_waiting, block_status::failed);
}

/// The bytes outside a write that landed a few bytes off stay erased, and a blank block is
/// never written: the block read back matches only when the write landed where it was sent. The
/// adapter's 8-bit sum would pass such a write when the bytes at its ends sum like the erased
/// bytes shifted in (blank bytes at either end, or 7F 7F written two bytes up).
block_status block_write_checked(block_reader& reader, const uint8_t* bytes, uint16_t address,
                                 int length) {
    const bool began_not_waiting = reader.not_waiting;
    if (flash_block_write(reader.fd, bytes, address, static_cast<uint8_t>(length)) == 0) {
        return after_failure(reader, began_not_waiting, block_status::failed);
    }
    std::array<uint8_t, FLASH_BLOCK_MAX> back{};
    if (flash_block_read(reader, back.data(), address, static_cast<uint8_t>(length)) == 0 ||
        std::memcmp(back.data(), bytes, static_cast<std::size_t>(length)) != 0 ||
        (shift_could_match(bytes, length) && adapter_in_step(reader.fd) == 0)) {
        return after_failure(reader, began_not_waiting, block_status::differs);
    }
    return passed(reader);
}

block_status block_compare(block_reader& reader, const uint8_t* expected, uint16_t address,
                           int length) {
    const bool began_not_waiting = reader.not_waiting;
    std::array<uint8_t, FLASH_BLOCK_MAX> back{};
    if (flash_block_read(reader, back.data(), address, static_cast<uint8_t>(length)) == 0) {
        return after_failure(reader, began_not_waiting, block_status::failed);
    }
    if (std::memcmp(back.data(), expected, static_cast<std::size_t>(length)) != 0) {
        return after_failure(reader, began_not_waiting, block_status::differs);
    }
    return passed(reader);
}

block_status block_reader_in_step(block_reader& reader) {
    if (adapter_in_step(reader.fd) != 0) {
        return block_status::proven;
    }
    return after_failure(reader, reader.not_waiting, block_status::failed);
}
