// SPDX-License-Identifier: MIT
// The faults a test or a user asked for, and the decisions they make: which
// reply is dropped, replaced, late or followed by surplus bytes, which block
// operation fails, what the status shows, when noise comes, when the line
// is closed and what becomes of a byte on its way to the adapter. No I/O: the
// transport and the target model ask it.
#pragma once

#include "sim_types.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

class fault_injector {
  public:
    using clock = std::chrono::steady_clock;

    /// Adds a fault. Its command occurrences count from now on, hang_up_after counts
    /// from rx_total received bytes, and the first noise byte is one period after now.
    void add(const fault& f, std::size_t rx_total, clock::time_point now);
    void clear() { faults_.clear(); }

    /// True when a fault of kind k is present.
    bool active(fault_kind k) const;

    /// True when a block fault of kind k covers a byte of [address, address + length) and
    /// may still fire; that counts as one firing.
    bool block_fault(fault_kind k, uint16_t address, std::size_t length);

    /// The C2 status as never_ready and always_busy show it.
    uint8_t status(uint8_t truthful) const;

    /// Counts one occurrence of e.command and applies the per-command faults on it to
    /// e.reply and e.delay_ms, in the order they were added.
    void apply(exchange& e);

    /// True when a hang_up_after fault has seen its count of received bytes.
    bool hang_up_due(std::size_t rx_total) const;

    /// What reaches the adapter of b, the rx_total-th received byte: b itself unless a request
    /// fault counts that byte (then b changed, nothing, or b twice), in the order added.
    std::vector<uint8_t> relay(uint8_t b, std::size_t rx_total) const;

    /// Starts every noise period afresh at now.
    void restart_noise(clock::time_point now);
    /// The noise bytes due at now, one per noise fault whose time has come; each such
    /// fault's next time moves one period on (from now when it fell behind).
    std::vector<uint8_t> noise_due(clock::time_point now);
    /// The time the next noise byte is due, or no_later when none is due before it.
    clock::time_point next_noise(clock::time_point no_later) const;

  private:
    struct active_fault {
        fault f;
        int seen = 0;            // occurrences of the command since the fault was added
        int fired = 0;           // block faults: times fired
        std::size_t rx_base = 0; // bytes received before the fault was added
        clock::time_point next_noise{};
    };

    std::vector<active_fault> faults_;
};

} // namespace sim
