// SPDX-License-Identifier: MIT
// The fault injector's decisions: which replies change and how, when the line closes,
// when noise is due.
#include "fault_injector.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using bytes = std::vector<uint8_t>;
using sim::fault_kind;
using namespace std::chrono_literals;

/// The reply to command after the faults, with its delay.
std::pair<bytes, int> reply(sim::fault_injector& faults, uint8_t command, const bytes& truthful) {
    sim::exchange e{.command = command, .reply = truthful};
    faults.apply(e);
    return {e.reply, e.delay_ms};
}

TEST(sim_fault_injector, PerCommandFaultsInTheOrderAdded) {
    sim::fault_injector faults;
    faults.add({.kind = fault_kind::no_reply, .command = 0x01, .nth = 2}, 0, {});
    faults.add({.kind = fault_kind::wrong_reply, .command = 0x20, .bytes = {0x05}}, 0, {});
    faults.add({.kind = fault_kind::surplus_reply, .command = 0x20, .bytes = {0xAA}}, 0, {});
    faults.add({.kind = fault_kind::surplus_reply, .command = 0x3F, .nth = 1, .bytes = {0xAA}}, 0,
               {});
    faults.add({.kind = fault_kind::wrong_reply, .command = 0x3F, .bytes = {0x22}}, 0, {});
    faults.add({.kind = fault_kind::delay_reply, .command = 0x14, .delay_ms = 150}, 0, {});
    faults.add({.kind = fault_kind::delay_reply, .command = 0x14, .delay_ms = 50}, 0, {});
    const bytes id{'C', '2', 1, 3};
    struct {
        uint8_t command;
        bytes truthful;
        bytes want;
        int delay_ms;
    } rows[] = {
        {0x01, id, id, 0},
        {0x01, id, {}, 0}, // the second identify only
        {0x01, id, id, 0},
        {0x20, {0x00}, {0x05, 0xAA}, 0},
        {0x20, {0x00}, {0x05, 0xAA}, 0},
        {0x3F, {0x21}, {0x22}, 0}, // the surplus came first; the wrong reply replaced it
        {0x14, {0x04}, {0x04}, 200},
        {0x12, {0x00}, {0x00}, 0},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(reply(faults, r.command, r.truthful), std::make_pair(r.want, r.delay_ms))
            << int(r.command);
    }
    faults.clear();
    EXPECT_EQ(reply(faults, 0x20, {0x00}).first, bytes{0x00});
}

TEST(sim_fault_injector, BlockFaultsByAddressAndCount) {
    sim::fault_injector faults;
    faults.add({.kind = fault_kind::wrong_sum, .address = 0x0125, .times = 2}, 0, {});
    struct {
        fault_kind kind;
        uint16_t address;
        std::size_t length;
        bool fires;
    } rows[] = {
        {fault_kind::short_fetch, 0x0120, 16, false}, // another kind
        {fault_kind::wrong_sum, 0x0110, 16, false},   // the block before
        {fault_kind::wrong_sum, 0x0130, 1, false},    // the block after
        {fault_kind::wrong_sum, 0x011F, 2, true},     // overlaps by one byte
        {fault_kind::wrong_sum, 0x012F, 1, true},
        {fault_kind::wrong_sum, 0x0120, 16, false}, // fired twice already
    };
    for (const auto& r : rows) {
        EXPECT_EQ(faults.block_fault(r.kind, r.address, r.length), r.fires) << r.address;
    }
    faults.add({.kind = fault_kind::write_refused, .address = 0x0000}, 0, {});
    EXPECT_TRUE(faults.block_fault(fault_kind::write_refused, 0xFFFF, 2)) << "wraps to 0x0000";
}

TEST(sim_fault_injector, StatusFaults) {
    sim::fault_injector faults;
    EXPECT_EQ(faults.status(0x01), 0x01);
    faults.add({.kind = fault_kind::never_ready}, 0, {});
    EXPECT_EQ(faults.status(0x03), 0x02);
    faults.add({.kind = fault_kind::always_busy}, 0, {});
    EXPECT_EQ(faults.status(0x01), 0x02);
    EXPECT_TRUE(faults.active(fault_kind::never_ready));
    EXPECT_FALSE(faults.active(fault_kind::noise));
}

TEST(sim_fault_injector, HangUpCountsFromWhenAdded) {
    sim::fault_injector faults;
    EXPECT_FALSE(faults.hang_up_due(1000));
    faults.add({.kind = fault_kind::hang_up_after, .after_bytes = 3}, 10, {});
    EXPECT_FALSE(faults.hang_up_due(12));
    EXPECT_TRUE(faults.hang_up_due(13));
}

TEST(sim_fault_injector, NoiseEveryPeriod) {
    sim::fault_injector faults;
    const sim::fault_injector::clock::time_point t0{};
    const auto far = t0 + 1h;
    EXPECT_EQ(faults.next_noise(far), far);
    faults.add({.kind = fault_kind::noise, .period_ms = 20}, 0, t0);
    faults.add({.kind = fault_kind::noise, .bytes = {0x7E}, .period_ms = 30}, 0, t0);
    EXPECT_EQ(faults.next_noise(far), t0 + 20ms);
    EXPECT_TRUE(faults.noise_due(t0 + 19ms).empty());
    EXPECT_EQ(faults.noise_due(t0 + 20ms), bytes{0x55});
    EXPECT_EQ(faults.next_noise(far), t0 + 30ms);
    EXPECT_EQ(faults.noise_due(t0 + 45ms), (bytes{0x55, 0x7E})); // both late: keep the beat
    EXPECT_EQ(faults.next_noise(far), t0 + 60ms);
    faults.restart_noise(t0 + 100ms);
    EXPECT_EQ(faults.next_noise(far), t0 + 120ms);
}

} // namespace
