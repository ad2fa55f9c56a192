// SPDX-License-Identifier: MIT
// The emulator's state behind its mutex, shared by the transport (emulator.cpp) and
// the accessors that tests and tools use (emulator_state.cpp).
#pragma once

#include "adapter_model.h"
#include "emulator.h"
#include "line_clock.h"

#include <chrono>
#include <cstddef>
#include <deque>
#include <vector>

namespace sim {

/// A byte on its way from the line to the adapter, request faults applied.
struct received_byte {
    enum class fate {
        waiting, // the adapter takes it when it gets to it
        held,    // arrived while the adapter was busy; taken once it is free
        lost,    // arrived while the adapter was busy and its hold was full; never taken
        hang_up, // not a byte: the line closes here
    };
    uint8_t byte = 0;
    line_clock::time_point arrived{}; // crossed the wire (when paced), else was read
    line_clock::time_point due{};     // served no sooner: when the last byte of its read arrived
    fate state = fate::waiting;
};

struct emulator::impl {
    explicit impl(const config& c) : cfg(c), adapter(c) {}

    config cfg;
    adapter_model adapter;
    std::vector<transcript_entry> log;
    std::size_t rx_total = 0;
    trace_hook trace;
    int stop_r = -1; // readable once stop() asks the service thread to end
    int stop_w = -1;

    // When the wire is free again in each direction, for pacing.
    line_clock::time_point rx_wire_free{};
    line_clock::time_point tx_wire_free{};

    // Service thread only: the bytes read and not yet handed to the adapter, in order, and
    // whether a hang-up among them ends the reading.
    std::deque<received_byte> rx_queue;
    bool hanging_up = false;
    // The adapter's latest busy period [busy_start, busy_end) and the bytes in its hold.
    line_clock::time_point busy_start{};
    line_clock::time_point busy_end{};
    int held = 0;

    int lost = 0;                            // bytes lost while busy, since the start
    std::chrono::microseconds busy_total{0}; // sum of the busy periods, since the start
};

} // namespace sim
