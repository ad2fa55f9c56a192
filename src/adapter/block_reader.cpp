// SPDX-License-Identifier: MIT
// The block reader: block reads, writes and their checks, and what makes a block proven.
//
// What the reader learns about the adapter, and what it costs:
// - An adapter may leave out its one-byte answer to block read, and waiting for one that does
//   not come costs READ_TIMEOUT_US. The first two block reads wait for it; when neither is
//   answered the reader stops waiting (the run says so once on standard error); an adapter
//   that answers either of them is waited for for good.
// - Once that is known, a block read and its fetch go out together, the one-byte fetch queued
//   behind the request in progress (adapter_send_frame_command_queued), and the answer, if the
//   adapter gives one, and the fetch reply come back as one round trip. An adapter that loses
//   the queued byte gives back no fetch reply at all: the first such read makes the reader
//   wait for every reply from then on (said once on standard error), and the block is read
//   again that way, which is no failure.
// - While not waiting, an answer that comes after all, or a stray byte, stands before the next
//   reply and shifts it. A fetch reply with a byte already waiting behind it fails
//   (flash_block_read). On a line that hands bytes over one by one no byte waits yet: an
//   in-step check (adapter_in_step) catches the shift.
// - A failure of an operation begun while not waiting may be such an answer (for a verified
//   read, when the caller asks, also one during which the reader stopped waiting): the reader
//   throws away what is pending (one quiet READ_TIMEOUT_US), waits again, and answers
//   back_in_step. Two block reads in a row unanswered stop the waiting again, at most
//   BLOCK_READER_RELEARNS_MAX times; the wait-again after that is for good. Each back_in_step
//   ends one stop of waiting, so a reader answers it at most BLOCK_READER_BACK_IN_STEP_MAX
//   times: a caller's loop that goes round again, uncounted, only on back_in_step ends.
//
// What proves a block read:
// - Two fetches by two block reads of their own agree byte for byte, and an in-step check
//   after them passes. A reply shifted by a stray or late byte stays shifted until a reply goes
//   missing: on an adapter whose answer to block read never varies, that takes a second fault,
//   so one in-step check after at most reader.batch blocks proves them all. While the answer
//   may vary (not waiting for it, or an adapter seen both to answer and to leave it out), a
//   left-out or late answer can shift or put back the replies between two fetches; an in-step
//   check between the two fetches of each block then keeps both in the same step, and two
//   fetches that agree cannot both be shifted.
//
// Every loop here goes over the pieces of one transfer and ends with them.
#include "adapter/block_reader.h"

#include "adapter/adapter_link.h"
#include "adapter/c2_control.h"
#include "adapter/flash_block.h"
#include "serial/serial_port.h"
#include "trace/wire_trace.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace {

/// The fetch reply: a leading byte, the flash bytes, a trailing byte.
constexpr int FETCH_EXTRA_BYTES = 2;

/// Block reads that decide whether the adapter answers block read.
constexpr int BLOCK_READS_LEARNED = 2;

/// Lets the line go quiet when a failed exchange may still send a byte.
void quiet_if_in_doubt(block_reader& reader) {
    if (reader.line_doubt) {
        serial_drain(reader.fd, READ_TIMEOUT_US);
        reader.line_doubt = false;
    }
}

/// Stops waiting for the answer to block read.
void stop_waiting(block_reader& reader) {
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
}

/// Learns from the answer (or its absence, answer < 0) to a block read waited for.
void learn_block_read_answer(block_reader& reader, int answer) {
    reader.unanswered = answer < 0 ? reader.unanswered + 1 : 0;
    if (reader.unanswered == BLOCK_READS_LEARNED) {
        stop_waiting(reader);
        return;
    }
    // At the start only the first two block reads decide: an adapter that answers either of
    // them answers.
    if (reader.waits_again == 0 && reader.block_reads < BLOCK_READS_LEARNED) {
        reader.answered += answer >= 0 ? 1 : 0;
        if (++reader.block_reads == BLOCK_READS_LEARNED) {
            reader.waiting_for_good = true;
        }
    }
}

/// True once the adapter's answer to block read is known never to vary: always given, or
/// never given. Block reads then go out with their fetch queued behind them.
bool answer_settled(const block_reader& reader) {
    return reader.not_waiting || (reader.waiting_for_good && reader.waits_again == 0 &&
                                  reader.answered == BLOCK_READS_LEARNED);
}

/// True while a left-out or late answer to block read may shift or put back the replies
/// between the two fetches of a block.
bool answer_in_doubt(const block_reader& reader) {
    return reader.not_waiting || reader.waits_again > 0 ||
           (reader.waiting_for_good && reader.answered < BLOCK_READS_LEARNED &&
            reader.answered > 0);
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

/// No byte of a fetch queued behind a block read came back: the adapter lost the queued byte
/// (it holds none while busy), or its answer came late. From now on every reply is waited for,
/// the answer to block read included, and nothing is sent while a request is in progress.
void learn_queue_lost(block_reader& reader) {
    reader.queue_lost = true;
    reader.not_waiting = false;
    reader.waiting_for_good = true;
    std::fputs("Adapter did not answer a fetch sent while it was busy; waiting for every reply.\n",
               stderr);
    wire_trace_note("no fetch reply to a fetch queued behind block read: waiting for every "
                    "reply");
    serial_drain(reader.fd, READ_TIMEOUT_US);
    reader.line_doubt = false;
}

/// Reads the count bytes of a fetch reply into reply. False when fewer came, or when a byte is
/// already waiting behind them: then the reply began with a byte that belonged to an earlier
/// answer, and its flash bytes are off by one.
bool read_reply(block_reader& reader, uint8_t* reply, int count) {
    if (serial_read_timed(reader.fd, reply, count, READ_TIMEOUT_US) != count ||
        serial_pending(reader.fd) != 0) {
        reader.line_doubt = true;
        return false;
    }
    return true;
}

/// One piece read through the block read and the fetch, each waited for: false when the fetch
/// reply is short or shifted.
bool read_piece_in_turn(block_reader& reader, uint8_t* destination, uint16_t address, int piece) {
    request_block(reader, address, piece);
    adapter_send_command(reader.fd, ADP_BLOCK_FETCH);
    std::array<uint8_t, FLASH_BLOCK_MAX + FETCH_EXTRA_BYTES> reply{};
    if (!read_reply(reader, reply.data(), piece + FETCH_EXTRA_BYTES)) {
        return false;
    }
    std::memcpy(destination, reply.data() + 1, static_cast<std::size_t>(piece));
    return true;
}

/// One piece read with the fetch queued behind the block read: the answer, if the adapter
/// gives one, and the fetch reply in one round trip. An adapter that lost the queued byte sends
/// no byte of the fetch reply: the reader learns it and reads the piece again in turn.
bool read_piece(block_reader& reader, uint8_t* destination, uint16_t address, int piece) {
    if (reader.queue_lost || !answer_settled(reader)) {
        return read_piece_in_turn(reader, destination, address, piece);
    }
    flash_block_request_queued(reader.fd, address, piece, ADP_BLOCK_FETCH);
    const int answer = reader.not_waiting ? 0 : 1;
    const int wanted = answer + piece + FETCH_EXTRA_BYTES;
    std::array<uint8_t, 1 + FLASH_BLOCK_MAX + FETCH_EXTRA_BYTES> reply{};
    const int got = serial_read_timed(reader.fd, reply.data(), wanted, READ_TIMEOUT_US);
    if (got <= answer) {
        learn_queue_lost(reader);
        return read_piece_in_turn(reader, destination, address, piece);
    }
    if (got != wanted || serial_pending(reader.fd) != 0) {
        reader.line_doubt = true;
        return false;
    }
    std::memcpy(destination, reply.data() + answer + 1, static_cast<std::size_t>(piece));
    return true;
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
    reader.line_doubt = false;
}

/// An operation that passed its checks.
block_status passed(const block_reader& reader) {
    return reader.not_waiting ? block_status::unproven : block_status::proven;
}

/// An operation that failed with failure: back_in_step after a wait-again when it may have met
/// a late answer.
block_status after_failure(block_reader& reader, bool may_be_late, block_status failure) {
    reader.line_doubt = true;
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

/// Two independent block reads, each fetched whole, compared byte for byte. An adapter's 8-bit
/// sum cannot tell a block from one read at an address with a bit changed when their bytes sum
/// alike (the same first byte as the block 16 on, say); two fetches of one block agree only
/// when both requests were taken as sent, or when the blocks they took hold the same bytes,
/// which are then the right bytes. Safe with an adapter that serves a block only once: each
/// fetch has its own block read.
bool read_twice(block_reader& reader, uint8_t* destination, uint16_t address, int length) {
    if (flash_block_read(reader, destination, address, static_cast<uint8_t>(length)) == 0) {
        return false;
    }
    // While the answer to block read may vary, a late or left-out one can shift the first fetch
    // reply and a second cut short shift back and match it: the two are kept in one step.
    if (answer_in_doubt(reader) && adapter_in_step(reader.fd) == 0) {
        reader.line_doubt = true;
        return false;
    }
    std::array<uint8_t, FLASH_BLOCK_MAX> again{};
    const int count = length < FLASH_BLOCK_MAX ? length : FLASH_BLOCK_MAX;
    return flash_block_read(reader, again.data(), address, static_cast<uint8_t>(count)) != 0 &&
           std::memcmp(destination, again.data(), static_cast<std::size_t>(count)) == 0;
}

} // namespace

/// 0 at the first fetch reply that is short after a READ_TIMEOUT_US of silence, or that is
/// followed at once by further bytes (a late or surplus byte shifted it); the failed piece and
/// later ones leave destination unchanged.
int flash_block_read(block_reader& reader, uint8_t* destination, uint16_t address, uint8_t length) {
    quiet_if_in_doubt(reader);
    int remaining = length;
    while (remaining > 0) {
        const int piece = flash_block_piece(remaining);
        if (!read_piece(reader, destination, address, piece)) {
            return 0;
        }
        destination += piece;
        address = static_cast<uint16_t>(address + piece);
        remaining -= piece;
    }
    return 1;
}

/// -1 at the first sum answer missing after READ_TIMEOUT_US; nothing is sent after it.
int flash_block_sum(block_reader& reader, uint16_t address, uint8_t length) {
    quiet_if_in_doubt(reader);
    int remaining = length;
    int sum = 0;
    while (remaining > 0) {
        const int piece = flash_block_piece(remaining);
        request_block(reader, address, piece);
        adapter_send_command(reader.fd, ADP_BLOCK_SUM);
        const int piece_sum = serial_read_byte(reader.fd, READ_TIMEOUT_US);
        if (piece_sum < 0) {
            reader.line_doubt = true;
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
        ++reader.unchecked;
        return block_status::unproven;
    }
    const bool met_not_waiting = late == late_answers::met_not_waiting && reader.not_waiting;
    return after_failure(reader, began_not_waiting || met_not_waiting, block_status::failed);
}

bool block_reader_check_due(const block_reader& reader) {
    return reader.unchecked >= std::clamp(reader.batch, 1, BLOCK_READER_BATCH_MAX);
}

/// The bytes outside a write that landed a few bytes off stay erased, and a blank block is
/// never written: the block read back matches only when the write landed where it was sent. The
/// adapter's 8-bit sum would pass such a write when the bytes at its ends sum like the erased
/// bytes shifted in (blank bytes at either end, or 7F 7F written two bytes up).
block_status block_write_checked(block_reader& reader, const uint8_t* bytes, uint16_t address,
                                 int length) {
    quiet_if_in_doubt(reader);
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

void block_write_unjudged(block_reader& reader, const uint8_t* bytes, uint16_t address,
                          int length) {
    quiet_if_in_doubt(reader);
    if (flash_block_write(reader.fd, bytes, address, static_cast<uint8_t>(length)) == 0) {
        reader.line_doubt = true;
        quiet_if_in_doubt(reader);
    }
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

/// Never lets the line go quiet first: a byte left over from a shifted reply is what it finds.
block_status block_reader_in_step(block_reader& reader) {
    if (adapter_in_step(reader.fd) != 0) {
        reader.unchecked = 0;
        return block_status::proven;
    }
    return after_failure(reader, reader.not_waiting, block_status::failed);
}

int block_reader_reenter(block_reader& reader) {
    reader.line_doubt = false; // each attempt begins with a drain
    return enter_programming_mode(reader.fd);
}

int block_reader_erase_chip(block_reader& reader) {
    quiet_if_in_doubt(reader);
    return c2_device_erase(reader.fd);
}
