// SPDX-License-Identifier: MIT
// The target behind the adapter: a C8051F30x seen through the C2 commands. It
// keeps the C2 registers, the flash programming mode, the device erase
// handshake and whether it erased, the flash (programming only clears bits) and
// the block taken by the last block read. Commands in, reply bytes out; no I/O,
// no threads.
#pragma once

#include "fault_injector.h"
#include "frame_decoder.h"
#include "sim_types.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

class target_model {
  public:
    static constexpr std::size_t BLOCK_MAX = 16; // flash bytes one block command moves

    /// The flash starts all 0xFF.
    explicit target_model(const config& cfg);

    /// Acts on one command and its frame; returns the reply (empty: none). The block and
    /// status faults of faults, when given, act where a real chip could fail.
    std::vector<uint8_t> handle(const command_frame& c, fault_injector* faults = nullptr);

    /// How long c keeps the adapter busy driving the chip, in microseconds, asked before handle:
    /// a block read or write, or an erase step (a DATA_WRITE to the flash data register in
    /// programming mode); 0 for any other command.
    long busy_us(const command_frame& c) const;

    flash_array& flash() { return flash_; }
    const flash_array& flash() const { return flash_; }
    bool programming() const { return programming_; }

  private:
    void reset_c2();
    void start_busy(int polls, bool ready, uint8_t value, bool erase);
    void finish_busy();
    uint8_t status_poll();
    void data_write(uint8_t v);
    uint8_t data_read(const fault_injector* faults);
    uint8_t block_write(const command_frame& c, fault_injector* faults);
    void block_read(const command_frame& c);
    std::vector<uint8_t> block_fetch(fault_injector* faults);
    std::vector<uint8_t> block_sum(fault_injector* faults);
    void block_served(); // a fetch or sum has served the block

    config cfg_;
    flash_array flash_{};
    bool programming_ = false;

    // C2 registers and the device erase in progress.
    uint8_t c2_address_ = 0;
    int erase_step_ = 0; // 1: start taken, 2: accepted and read, 3/4: confirmations, 5: erased
    int busy_polls_ = 0; // status polls left that show C2_IN_BUSY
    bool ready_pending_ = false;
    uint8_t pending_value_ = 0;
    bool erase_pending_ = false;
    bool out_ready_ = false;
    uint8_t data_reg_ = 0;
    bool erased_ = false; // the last erase begun since programming mode was entered erased

    // Block taken by the last block read.
    bool block_valid_ = false;
    uint16_t block_addr_ = 0;
    std::size_t block_len_ = 0;
    std::array<uint8_t, BLOCK_MAX> block_{};
    long long block_reads_ = 0; // BLOCK_READ commands taken, for block_read_ack_every
};

} // namespace sim
