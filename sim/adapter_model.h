// SPDX-License-Identifier: MIT
// The adapter as a whole, without its line: the frame decoder feeds the
// target model, and the fault injector acts on the replies. Bytes from the
// program in, exchanges out; no I/O, no threads.
#pragma once

#include "fault_injector.h"
#include "frame_decoder.h"
#include "sim_types.h"
#include "target_model.h"

#include <array>
#include <cstdint>
#include <optional>

namespace sim {

class adapter_model {
  public:
    explicit adapter_model(const config& cfg) : target_(cfg) {}

    /// Takes one byte from the program. A command byte yields its exchange: the frame
    /// before it, the reply with the faults applied (empty: nothing is sent), how late, and how
    /// long the command keeps the adapter busy.
    std::optional<exchange> take(uint8_t b);

    target_model& target() { return target_; }
    const target_model& target() const { return target_; }
    fault_injector& faults() { return faults_; }

    /// Times a command byte (0x01..0x7F) has been taken since the last clear_counts.
    int command_count(uint8_t command) const;
    void clear_counts() { counts_.fill(0); }

  private:
    frame_decoder decoder_;
    target_model target_;
    fault_injector faults_;
    std::array<int, 128> counts_{};
};

} // namespace sim
