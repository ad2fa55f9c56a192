// SPDX-License-Identifier: MIT
// The emulated adapter's frame decoder: wire bytes in, commands with their frames out.
#include "frame_decoder.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

struct decoded {
    uint8_t command;
    bytes frame;
    bool overflow = false;
    bool operator==(const decoded&) const = default;
};

std::vector<decoded> decode(const bytes& wire) {
    sim::frame_decoder d;
    std::vector<decoded> out;
    for (uint8_t b : wire) {
        if (auto c = d.take(b)) {
            out.push_back({c->command, bytes(c->data.begin(), c->data.end()), c->overflow});
        }
    }
    return out;
}

TEST(sim_frame_decoder, GroupsHeadersAndCommands) {
    struct row {
        const char* what;
        bytes wire;
        std::vector<decoded> want;
    };
    const std::vector<row> rows = {
        {"no frame", {0x14}, {{0x14, {}}}},
        {"empty frame", {0x00, 0x16}, {{0x16, {}}}},
        {"one byte, top bit set", {0x00, 0xC0, 0xB4, 0x11}, {{0x11, {0xB4}}}},
        {"one full group",
         {0x00, 0xAA, 0x81, 0x80, 0xFF, 0xFF, 0x80, 0xC3, 0xBC, 0x21},
         {{0x21, {0x01, 0x80, 0x7F, 0xFF, 0x00, 0xC3, 0x3C}}}},
        {"a second group of one",
         {0x00, 0xAA, 0x81, 0x80, 0xFF, 0xFF, 0x80, 0xC3, 0xBC, 0xC0, 0x9A, 0x21},
         {{0x21, {0x01, 0x80, 0x7F, 0xFF, 0x00, 0xC3, 0x3C, 0x9A}}}},
        {"three groups",
         {0x00, 0xAA, 0x81, 0x80, 0xFF, 0xFF, 0x80, 0xC3, 0xBC, 0xCA,
          0x9A, 0x90, 0xA0, 0xA0, 0x80, 0xFE, 0x91, 0xC0, 0x80, 0x21},
         {{0x21,
           {0x01, 0x80, 0x7F, 0xFF, 0x00, 0xC3, 0x3C, 0x9A, 0x10, 0x20, 0xA0, 0x00, 0xFE, 0x11,
            0x80}}}},
        {"block write request",
         {0x00, 0x83, 0x92, 0xB4, 0x85, 0x82, 0x80, 0x80, 0xFF, 0x80, 0xF5, 0x21},
         {{0x21, {0x12, 0x34, 0x05, 0x02, 0x00, 0x80, 0xFF, 0x75}}}},
        {"a command consumes its frame",
         {0x00, 0x80, 0x83, 0x13, 0x14},
         {{0x13, {0x03}}, {0x14, {}}}},
        {"body bytes outside a frame are dropped",
         {0x13, 0x85, 0xC0, 0x14},
         {{0x13, {}}, {0x14, {}}}},
        {"a new start drops the unfinished frame",
         {0x00, 0x80, 0x83, 0x00, 0x80, 0x84, 0x13},
         {{0x13, {0x04}}}},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(decode(r.wire), r.want) << r.what;
    }
}

TEST(sim_frame_decoder, OverlongFrameIsMarked) {
    bytes wire{0x00};
    for (int group = 0; group < 10; ++group) { // 70 data bytes, 0x01 each
        wire.push_back(0x80);
        wire.insert(wire.end(), 7, 0x81);
    }
    wire.push_back(0x16);
    wire.insert(wire.end(), {0x00, 0x80, 0x85, 0x13}); // the next frame starts clean
    auto got = decode(wire);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(got[0].overflow);
    EXPECT_EQ(got[0].frame, bytes(sim::frame_decoder::CAPACITY, 0x01));
    EXPECT_EQ(got[1], (decoded{0x13, {0x05}}));
}

} // namespace
