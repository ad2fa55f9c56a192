// SPDX-License-Identifier: MIT
// The inquiry end to end: the real binary against the emulated adapter over a pseudo-terminal
// finds the adapter and reads the chip's identifiers, asks again, or says what it did not find.
#include "support/emulated_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;
using test_support::command_fault;
using test_support::concat;
using test_support::emulated_line;
using test_support::id_read;
using test_support::side_by_side;

constexpr uint8_t IDENTIFY = 0x01, RESET = 0x10, DATA_READ = 0x14;

TEST(Inquire, AdapterAndTargetFound) {
    struct inquire_case {
        const char* name;
        sim::config cfg;
        std::string adapter_line, device_line, revision_line;
        bytes line = concat({{IDENTIFY, IDENTIFY}, id_read(0), id_read(0), id_read(1), id_read(1)});
    };
    sim::config v13;
    sim::config v200;
    v200.version_major = 0xC8;
    v200.version_minor = 0;
    v200.revision_id = 0xFE;
    sim::config id255;
    id255.device_id = 0xFF;
    id255.revision_id = 0xFF;
    sim::config slow; // every reply comes after the wait for it: each identifier asked 5 times
    slow.latency_us = 150000;
    const inquire_case cases[] = {
        {"1.3", v13, "Adapter: 1.3\n", "DeviceID: 0x04 (C8051F30x)\n", "RevisionID: 0x02\n"},
        {"200", v200, "Adapter: 200.0\n", "DeviceID: 0x04 (C8051F30x)\n", "RevisionID: 0xFE\n"},
        {"id255", id255, "Adapter: 1.3\n", "DeviceID: FAILED\n", "RevisionID: FAILED\n"},
        // The identifications that find the adapter depend on how late the replies come; the
        // identifier reads after them do not.
        {"slow", slow, "Adapter: 1.3\n", "DeviceID: FAILED\n", "RevisionID: FAILED\n",
         concat({id_read(0), id_read(0), id_read(0), id_read(0), id_read(0), id_read(1), id_read(1),
                 id_read(1), id_read(1), id_read(1)})},
    };
    side_by_side(cases, [](const inquire_case& c) {
        emulated_line line(c.cfg);
        auto r = line.run({"-i"});
        EXPECT_EQ(r.exit_status, 0) << c.name;
        EXPECT_EQ(r.err, "") << c.name;
        EXPECT_EQ(r.out, line.port_line() + c.adapter_line + c.device_line + c.revision_line)
            << c.name;
        bytes received = line.emu.received();
        if (c.line.front() != IDENTIFY) {
            received.erase(received.begin(), std::find(received.begin(), received.end(), RESET));
        }
        EXPECT_EQ(received, c.line) << c.name;
    });
}

// Replies that fail the first attempt; the second attempt finds the adapter, or the identifier.
TEST(Inquire, FirstAttemptFailsSecondSucceeds) {
    struct retry_case {
        const char* name;
        std::vector<sim::fault> faults;
        bool stale;
        int identifies; // ADP_IDENTIFY bytes sent in all
    };
    const auto identify_reply = [](int nth, bytes reply) {
        return command_fault(sim::fault_kind::wrong_reply, IDENTIFY, nth, std::move(reply));
    };
    const retry_case cases[] = {
        {"stale bytes", {}, true, 3},
        {"differing replies", {identify_reply(2, {0x43, 0x32, 0x01, 0x04})}, false, 4},
        {"five-byte reply",
         {command_fault(sim::fault_kind::surplus_reply, IDENTIFY, 1, {0})},
         false,
         3},
        {"not C2",
         {identify_reply(1, {0x43, 0x33, 0x01, 0x03}), identify_reply(2, {0x43, 0x33, 0x01, 0x03})},
         false,
         4},
        {"late device identifier",
         {command_fault(sim::fault_kind::delay_reply, DATA_READ, 1, {}, 150)},
         false,
         2},
    };
    side_by_side(cases, [](const retry_case& c) {
        emulated_line line;
        for (const auto& f : c.faults) {
            line.emu.add_fault(f);
        }
        if (c.stale) {
            line.emu.inject({0x55, 0xAA});
        }
        auto r = line.run({"-i"});
        EXPECT_EQ(r.exit_status, 0) << c.name;
        EXPECT_EQ(r.err, "") << c.name;
        EXPECT_EQ(r.out, line.port_line() + "Adapter: 1.3\nDeviceID: 0x04 (C8051F30x)\n"
                                            "RevisionID: 0x02\n")
            << c.name;
        EXPECT_EQ(line.emu.command_count(IDENTIFY), c.identifies) << c.name;
    });
}

TEST(Inquire, NoAdapterIsNoFailure) {
    emulated_line line;
    line.emu.add_fault({.kind = sim::fault_kind::no_reply, .command = IDENTIFY});
    auto r = line.run({"-i"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, line.port_line());
    EXPECT_EQ(r.err, "C2 interface adapter not found.\n");
    EXPECT_EQ(line.emu.received(), bytes(5, IDENTIFY));
}

} // namespace
