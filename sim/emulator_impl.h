// SPDX-License-Identifier: MIT
// The emulator's state behind its mutex, shared by the transport (emulator.cpp) and
// the accessors that tests and tools use (emulator_state.cpp).
#pragma once

#include "adapter_model.h"
#include "emulator.h"
#include "line_clock.h"

#include <cstddef>
#include <vector>

namespace sim {

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
};

} // namespace sim
