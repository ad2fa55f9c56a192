// SPDX-License-Identifier: MIT
// The block reader: every block transfer of a command goes through it, and it alone decides
// what makes a block proven, unproven, to be read again or to be read back, from what it has
// learned about the adapter (see block_reader.cpp).
#pragma once

#include <cstdint>

/// Times a reader may stop waiting for the answer to block read again after it has waited
/// again. An adapter that answers now and then spends them in a few blocks, at the cost of a
/// drain and two full waits each, and is then waited for as before.
inline constexpr int BLOCK_READER_RELEARNS_MAX = 4;

/// Most times a reader answers block_status::back_in_step: once for its first stop of waiting
/// and once for each relearning.
inline constexpr int BLOCK_READER_BACK_IN_STEP_MAX = 1 + BLOCK_READER_RELEARNS_MAX;

/// Most blocks read by block_read_verified between two checks that the replies are in step:
/// a caller holds at most this many unproven blocks.
inline constexpr int BLOCK_READER_BATCH_MAX = 32;

/// What one open of the port has learned about the adapter. A command makes one, {fd}, once
/// the target is in programming mode, and hands it to the block operations of that open; only
/// the functions below change it, and only they use fd.
struct block_reader {
    int fd = -1;
    /// Blocks read between two in-step checks, 1 to BLOCK_READER_BATCH_MAX.
    int batch = BLOCK_READER_BATCH_MAX;

    // The adapter's answer to block read.
    int block_reads = 0; // the first block reads, counted up to the two that decide
    int answered = 0;    // of those, the ones answered
    int unanswered = 0;  // block reads in a row whose answer stayed away while waiting
    int waits_again = 0; // times the reader went back to waiting
    bool not_waiting = false;
    bool waiting_for_good = false; // the adapter answers, or the reader has stopped waiting often

    // A byte queued behind a block read in progress.
    bool queue_lost = false; // the adapter lost one: every reply is waited for from then on

    int unchecked = 0;       // blocks read since the replies were last proven in step
    bool line_doubt = false; // a failed exchange may still send a byte
};

/// How a block operation ended.
enum class block_status : uint8_t {
    /// Done, checked, and the replies proven in step since.
    proven,
    /// Done and checked; right once a later block_reader_in_step passes.
    unproven,
    /// Not done: a reply missing, short, refused or out of step.
    failed,
    /// Read whole, but not the bytes expected.
    differs,
    /// Failed while not waiting for the answer to block read, perhaps by an answer that came
    /// after all: the reader has thrown away what was pending and waits again. The caller goes
    /// back to its last proven point; this is no failure.
    back_in_step,
};

/// Which failed reads a verified read takes for ones that may have met a late answer.
enum class late_answers : uint8_t {
    /// A read begun while not waiting.
    begun_not_waiting,
    /// Also a read during which the reader stopped waiting.
    met_not_waiting,
};

/// Reads length bytes of flash from address (wrapping at 0xFFFF) into destination. 1 when all
/// arrived, 0 at the first short piece.
int flash_block_read(block_reader& reader, uint8_t* destination, uint16_t address, uint8_t length);

/// The 8-bit sum of length flash bytes from address, as the adapter reads them, or -1 when a
/// sum answer is missing.
int flash_block_sum(block_reader& reader, uint16_t address, uint8_t length);

/// Reads length (1 to FLASH_BLOCK_MAX) bytes into destination, reads them again by a block read
/// of their own and compares the two: unproven (proven only after block_reader_in_step), failed
/// (destination then undefined), or back_in_step as late says.
block_status block_read_verified(block_reader& reader, uint8_t* destination, uint16_t address,
                                 int length, late_answers late = late_answers::begun_not_waiting);

/// True when the blocks read since the replies were last proven in step should be proven now
/// (block_reader_in_step): after reader.batch of them.
bool block_reader_check_due(const block_reader& reader);

/// Programs length (1 to FLASH_BLOCK_MAX) bytes at address and reads them back: proven or
/// unproven when the chip holds them; failed when the write was refused; differs when they
/// cannot be read back as written; or back_in_step.
block_status block_write_checked(block_reader& reader, const uint8_t* bytes, uint16_t address,
                                 int length);

/// Programs length (1 to FLASH_BLOCK_MAX) bytes at address without judging the answer, which a
/// later read decides on; the line is let go quiet first when a failed exchange may still send
/// a byte, and afterwards when the answer was missing or wrong (it may come late).
void block_write_unjudged(block_reader& reader, const uint8_t* bytes, uint16_t address, int length);

/// Reads length (1 to FLASH_BLOCK_MAX) bytes at address and compares them with expected:
/// proven or unproven when they match; failed when they cannot be read; differs; or
/// back_in_step.
block_status block_compare(block_reader& reader, const uint8_t* expected, uint16_t address,
                           int length);

/// Proves the replies in step with the requests, and so every block done since: proven; failed
/// when they are out of step while waiting; or back_in_step.
block_status block_reader_in_step(block_reader& reader);

/// Brings the target back into programming mode after a failure (the line drained first): 1,
/// or 0 when it does not enter it.
int block_reader_reenter(block_reader& reader);

/// Erases the whole chip (c2_device_erase), the line let go quiet first when a failed exchange
/// may still send a byte: 1 when the adapter confirmed it, else 0.
int block_reader_erase_chip(block_reader& reader);
