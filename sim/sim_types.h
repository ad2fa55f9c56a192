// SPDX-License-Identifier: MIT
// The records that the emulator's pieces and its users share: settings,
// faults, the trace of an exchange and the transcript of the line.
#pragma once

#include "protocol/adapter_protocol.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace sim {

inline constexpr std::size_t FLASH_SPACE = 65536;
inline constexpr uint16_t USABLE_FLASH_END = CHIP_FLASH_SIZE; // 0x0000..0x1DFF programmable
inline constexpr long MAX_LATENCY_US = 1000000;               // bound on config::latency_us
inline constexpr long MAX_BUSY_US = 1000000; // bound on each of config's busy times
inline constexpr int MAX_RX_HOLD = 16;       // bound on config::rx_hold

using flash_array = std::array<uint8_t, FLASH_SPACE>;

struct config {
    uint8_t device_id = 0x04;
    uint8_t revision_id = 0x02;
    uint8_t version_major = 1;
    uint8_t version_minor = 3;
    bool block_read_ack = true; // answer ADP_BLOCK_READ with one byte
    int erase_busy_polls = 3;   // status polls that stay busy during an erase step
    // With block_read_ack, answer only the Nth, 2Nth, ... BLOCK_READ since the start; 1: each.
    int block_read_ack_every = 1;
    // The block taken by BLOCK_READ serves one BLOCK_FETCH or BLOCK_SUM, then is gone.
    bool block_once = false;
    // ADP_QUERY answers 0x21 whatever the erase did; else only after an erase that erased.
    bool query_says_done = false;
    // Deliver bytes at the speed set on the line, each reply byte on its own at its wire time,
    // as a serial port hands them over.
    bool baud_pacing = false;
    // A pseudo-terminal hands a reply to the reader whole; a real UART hands it over one
    // byte at a time. real_line writes each reply byte on its own at its time on the wire:
    // at the line's speed with baud_pacing (which implies it), else byte_gap_us apart.
    bool real_line = false;
    int byte_gap_us = 0; // time of one reply byte on an unpaced real line; > 0 sets real_line
    // Turnaround: each reply's first byte leaves this long after its request's last byte has
    // arrived (crossed the wire, when paced), as through a USB serial converter. Noise and
    // injected bytes are not delayed. 0 to MAX_LATENCY_US.
    long latency_us = 0;
    // End of the programmable flash: a block write that would pass it is refused. A smaller
    // chip for a program that covers less of the flash.
    uint16_t flash_end = USABLE_FLASH_END;
    // How long the adapter is busy driving the chip for a command, from when it takes it: each
    // block read, each block write, and each erase step (a DATA_WRITE to the flash data
    // register in programming mode). Its reply waits for the end. 0 to MAX_BUSY_US each.
    long block_read_busy_us = 200;
    long block_write_busy_us = 1000;
    long erase_step_busy_us = 200;
    // Bytes that arrive while the adapter is busy and are held, to be taken in order once it is
    // free; any more are lost. 1: a UART's receive register; 0 to MAX_RX_HOLD.
    int rx_hold = 1;
};

enum class fault_kind {
    no_reply,      // command, nth: the reply is dropped
    wrong_reply,   // command, nth, bytes: the reply is replaced by bytes
    delay_reply,   // command, nth, delay_ms: the reply comes late
    surplus_reply, // command, nth, bytes: bytes follow the reply
    write_refused, // address, times: block write covering address answers 0x01
    wrong_sum,     // address, times: block sum covering address is off by one
    short_fetch,   // address, times: block fetch covering address is one byte short
    never_ready,   // status never shows C2_OUT_READY
    always_busy,   // status always shows C2_IN_BUSY
    noise,         // period_ms: a noise byte (bytes[0] or 0x55) every period
    hang_up_after, // after_bytes: the line is closed after that many received bytes
    // A relay between the line and the adapter, acting on the after_bytes-th received byte
    // (1-based); the transcript keeps the byte as sent.
    request_flip,  // after_bytes, bytes[0]: the adapter takes the byte XORed with bytes[0]
    request_drop,  // after_bytes: the adapter never takes the byte
    request_twice, // after_bytes: the adapter takes the byte twice in a row
};

struct fault {
    fault_kind kind;
    uint8_t command = 0;          // per-command faults: the command byte
    int nth = 0;                  // 1-based occurrence of the command; 0 = every one
    std::vector<uint8_t> bytes{}; // wrong or surplus reply, noise byte, request_flip's mask
    int delay_ms = 0;
    uint16_t address = 0; // block faults: any address inside the block
    int times = -1;       // block faults: how often it fires; -1 = always
    int period_ms = 10;   // noise
    // hang_up_after: a count of received bytes; request faults: which byte, from 1
    std::size_t after_bytes = 0;
};

enum class direction { to_adapter, from_adapter };

/// One command as the emulator handled it, for a trace of the line.
struct exchange {
    uint8_t command = 0;
    std::vector<uint8_t> frame{}; // data bytes of the frame before the command, decoded
    bool frame_overflow = false;  // the frame held more bytes than the emulator keeps
    std::vector<uint8_t> reply{}; // what went back, faults applied; empty: nothing
    int delay_ms = 0;             // how late the reply came
    long busy_us = 0;             // how long the command kept the adapter busy
    bool lost = false; // command is a byte that arrived while the adapter was busy, never taken
};

using trace_hook = std::function<void(const exchange&)>;

struct transcript_entry {
    std::chrono::steady_clock::time_point when;
    direction dir;
    uint8_t byte;
};

} // namespace sim
