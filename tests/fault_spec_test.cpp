// SPDX-License-Identifier: MIT
// The --fault language, command names and trace lines of vantrel-emu, and its Intel HEX
// reader and writer.
#include "fault_spec.h"
#include "hex_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using sim::fault_kind;

TEST(fault_spec, CommandsByNameOrByte) {
    struct row {
        const char* text;
        int byte; // -1: rejected
    };
    const std::vector<row> rows = {
        {"PROGRAM_MODE", 0x20},
        {"program_mode", 0x20},
        {"ADP_BLOCK_WRITE", 0x21},
        {"adp_query", 0x3F},
        {"0x20", 0x20},
        {"0X7f", 0x7F},
        {"1", 0x01},
        {"127", 0x7F},
        {"0x80", -1},
        {"128", -1},
        {"0", -1},
        {"0x00", -1},
        {"", -1},
        {"ADP_", -1},
        {"PROGRAM", -1},
        {"PROGRAM_MODE_", -1},
        {"0x", -1},
        {"-1", -1},
    };
    for (const auto& r : rows) {
        auto got = sim::parse_command(r.text);
        if (r.byte < 0) {
            EXPECT_FALSE(got.has_value()) << r.text;
        } else {
            ASSERT_TRUE(got.has_value()) << r.text;
            EXPECT_EQ(*got, r.byte) << r.text;
        }
    }
    const std::string syntax = sim::fault_spec_syntax();
    for (const auto& c : ADAPTER_COMMANDS) {
        EXPECT_EQ(sim::parse_command(c.name), c.byte);
        EXPECT_NE(syntax.find(std::string(c.name) + (c.byte == 0x3F ? ")" : ",")),
                  std::string::npos)
            << c.name << " missing from the help";
    }
}

TEST(fault_spec, HexByteLists) {
    using bytes = std::vector<uint8_t>;
    EXPECT_EQ(sim::parse_hex_bytes("433201"), (bytes{0x43, 0x32, 0x01}));
    EXPECT_EQ(sim::parse_hex_bytes("43,32:ff"), (bytes{0x43, 0x32, 0xFF}));
    for (const char* bad : {"", "4", "433", "4g", ",43", "43,", "43,,32", "43 32"}) {
        EXPECT_FALSE(sim::parse_hex_bytes(bad).has_value()) << bad;
    }
}

TEST(fault_spec, AcceptedSpecs) {
    struct row {
        const char* spec;
        fault_kind kind;
        uint8_t command;
        int nth;
        std::vector<uint8_t> bytes;
        int delay_ms;
        uint16_t address;
        int times;
        int period_ms;
        std::size_t after_bytes;
    };
    const std::vector<row> rows = {
        {"no-reply:PROGRAM_MODE", fault_kind::no_reply, 0x20, 0, {}, 0, 0, -1, 10, 0},
        {"no-reply:0x22@3", fault_kind::no_reply, 0x22, 3, {}, 0, 0, -1, 10, 0},
        {"wrong-reply:IDENTIFY=43330103",
         fault_kind::wrong_reply,
         0x01,
         0,
         {0x43, 0x33, 0x01, 0x03},
         0,
         0,
         -1,
         10,
         0},
        {"wrong-reply:QUERY@2=00", fault_kind::wrong_reply, 0x3F, 2, {0x00}, 0, 0, -1, 10, 0},
        {"delay:DATA_READ@1=150", fault_kind::delay_reply, 0x14, 1, {}, 150, 0, -1, 10, 0},
        {"delay:BLOCK_SUM=0", fault_kind::delay_reply, 0x16, 0, {}, 0, 0, -1, 10, 0},
        {"surplus:BLOCK_WRITE=00:00",
         fault_kind::surplus_reply,
         0x21,
         0,
         {0x00, 0x00},
         0,
         0,
         -1,
         10,
         0},
        {"write-refused:0x0100", fault_kind::write_refused, 0, 0, {}, 0, 0x0100, -1, 10, 0},
        {"write-refused:0100x2", fault_kind::write_refused, 0, 0, {}, 0, 0x0100, 2, 10, 0},
        {"wrong-sum:0x1DF0x1", fault_kind::wrong_sum, 0, 0, {}, 0, 0x1DF0, 1, 10, 0},
        {"short-fetch:ffff", fault_kind::short_fetch, 0, 0, {}, 0, 0xFFFF, -1, 10, 0},
        {"never-ready", fault_kind::never_ready, 0, 0, {}, 0, 0, -1, 10, 0},
        {"always-busy", fault_kind::always_busy, 0, 0, {}, 0, 0, -1, 10, 0},
        {"noise", fault_kind::noise, 0, 0, {}, 0, 0, -1, 10, 0},
        {"noise=25", fault_kind::noise, 0, 0, {}, 0, 0, -1, 25, 0},
        {"noise=5:AA", fault_kind::noise, 0, 0, {0xAA}, 0, 0, -1, 5, 0},
        {"hang-up-after=40", fault_kind::hang_up_after, 0, 0, {}, 0, 0, -1, 10, 40},
        {"flip:30=0x40", fault_kind::request_flip, 0, 0, {0x40}, 0, 0, -1, 10, 30},
        {"drop:7", fault_kind::request_drop, 0, 0, {}, 0, 0, -1, 10, 7},
        {"twice:12", fault_kind::request_twice, 0, 0, {}, 0, 0, -1, 10, 12},
    };
    for (const auto& r : rows) {
        std::string why;
        auto got = sim::parse_fault_spec(r.spec, why);
        ASSERT_TRUE(got.has_value()) << r.spec << ": " << why;
        EXPECT_FALSE(got->is_stale);
        const auto& f = got->f;
        EXPECT_EQ(f.kind, r.kind) << r.spec;
        EXPECT_EQ(f.command, r.command) << r.spec;
        EXPECT_EQ(f.nth, r.nth) << r.spec;
        EXPECT_EQ(f.bytes, r.bytes) << r.spec;
        EXPECT_EQ(f.delay_ms, r.delay_ms) << r.spec;
        EXPECT_EQ(f.address, r.address) << r.spec;
        EXPECT_EQ(f.times, r.times) << r.spec;
        EXPECT_EQ(f.period_ms, r.period_ms) << r.spec;
        EXPECT_EQ(f.after_bytes, r.after_bytes) << r.spec;
    }
    std::string why;
    auto stale = sim::parse_fault_spec("stale=55,AA", why);
    ASSERT_TRUE(stale.has_value()) << why;
    EXPECT_TRUE(stale->is_stale);
    EXPECT_EQ(stale->stale_bytes, (std::vector<uint8_t>{0x55, 0xAA}));
}

TEST(fault_spec, RejectedSpecsSayWhy) {
    struct row {
        const char* spec;
        const char* reason_part;
    };
    const std::vector<row> rows = {
        {"", "unknown fault ''"},
        {"no-reply", "needs ':CMD'"},
        {"no-reply:", "needs ':CMD'"},
        {"no-reply:NOPE", "unknown command 'NOPE'"},
        {"no-reply:0x80", "unknown command"},
        {"no-reply:IDENTIFY@0", "from 1"},
        {"no-reply:IDENTIFY@x", "from 1"},
        {"no-reply:IDENTIFY=00", "takes no value"},
        {"wrong-reply:IDENTIFY", "needs '=HEX'"},
        {"wrong-reply:IDENTIFY=", "needs '=HEX'"},
        {"surplus:IDENTIFY=zz", "needs '=HEX'"},
        {"delay:IDENTIFY", "delay needs '=MS'"},
        {"delay:IDENTIFY=60001", "delay needs '=MS'"},
        {"delay:IDENTIFY=-5", "delay needs '=MS'"},
        {"write-refused", "needs ':ADDR'"},
        {"write-refused:0x", "hexadecimal"},
        {"write-refused:12345", "0x0000 to 0xFFFF"},
        {"write-refused:0100x0", "from 1"},
        {"write-refused:0100x", "from 1"},
        {"never-ready=1", "takes no value"},
        {"noise=0", "period from 1"},
        {"noise=5:AABB", "one hexadecimal pair"},
        {"stale", "stale needs '=HEX'"},
        {"hang-up-after", "needs '=N'"},
        {"hang-up-after=0", "needs '=N'"},
        {"flip", "flip needs ':N=MASK'"},
        {"flip:3", "flip needs '=MASK'"},
        {"flip:3=00", "from 01 to FF"},
        {"drop:0", "number from 1"},
        {"drop:3=01", "drop takes no value"},
        {"Never-Ready", "unknown fault"},
    };
    for (const auto& r : rows) {
        std::string why;
        EXPECT_FALSE(sim::parse_fault_spec(r.spec, why).has_value()) << r.spec;
        EXPECT_NE(why.find(r.reason_part), std::string::npos) << r.spec << " gave: " << why;
    }
}

TEST(fault_spec, TraceLines) {
    struct row {
        sim::exchange e;
        const char* line;
    };
    std::vector<uint8_t> write_frame{0x01, 0x00, 0x10};
    write_frame.resize(19, 0xAB);
    const std::vector<row> rows = {
        {{0x01, {}, false, {0x43, 0x32, 0x01, 0x03}, 0}, "IDENTIFY -> 43 32 01 03"},
        {{0x12, {}, false, {0x03}, 0}, "ADDRESS_READ -> 03"},
        {{0x11, {0xB4}, false, {}, 0}, "ADDRESS_WRITE 0xB4"},
        {{0x10, {}, false, {}, 0}, "TARGET_RESET"},
        {{0x21, write_frame, false, {0x00}, 0}, "BLOCK_WRITE 0x0100 16 bytes -> 00"},
        {{0x21, {0x01, 0x00, 0x10, 0x00}, false, {0x01}, 0},
         "BLOCK_WRITE 0x0100 16 bytes [1 data bytes] -> 01"},
        {{0x22, {0x1D, 0xF0, 0x10}, false, {}, 0}, "BLOCK_READ 0x1DF0 16 bytes -> (no reply)"},
        {{0x20, {}, false, {0x00}, 150}, "PROGRAM_MODE -> 00 (150 ms late)"},
        {{0x13, {0x01, 0x02}, false, {}, 0}, "DATA_WRITE [frame 01 02]"},
        {{0x16, {}, true, {0x5A}, 0}, "BLOCK_SUM [overlong frame] -> 5A"},
        {{0x55, {}, false, {}, 0}, "COMMAND 0x55"},
        {{0x15, {}, false, {}, 0, 0, true}, "lost while busy: 15"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(sim::describe_exchange(r.e), r.line);
    }
}

TEST(hex_file, LoadsRecordsAndRejectsBrokenFiles) {
    sim::flash_array flash{};
    flash.fill(0xFF);
    std::string why;
    ASSERT_TRUE(sim::load_hex_text(
        ":020000040000FA\r\n:0300300002337A1E\n\n:00000001FF\n:0100000000FF\n", flash, why))
        << why;
    EXPECT_EQ(flash[0x30], 0x02);
    EXPECT_EQ(flash[0x31], 0x33);
    EXPECT_EQ(flash[0x32], 0x7A);
    EXPECT_EQ(flash[0x33], 0xFF);
    EXPECT_EQ(flash[0x00], 0xFF) << "data after the end record was stored";

    struct row {
        const char* text;
        const char* reason_part;
    };
    const std::vector<row> rows = {
        {"0300300002337A1E\n:00000001FF\n", "line 1: does not begin with ':'"},
        {":0300300002337A1F\n:00000001FF\n", "line 1: bad checksum"},
        {":0400300002337A1E\n:00000001FF\n", "length does not match"},
        {":03003000GG337A1E\n", "hexadecimal pairs"},
        {":0300300002337A1E\n", "no end-of-file record"},
        {":020000040001F9\n:00000001FF\n", "beyond 64 KiB"},
        {":02FFFF00AABB9B\n:00000001FF\n", "past address 0xFFFF"},
        {":00000006FA\n", "unknown record type"},
    };
    for (const auto& r : rows) {
        EXPECT_FALSE(sim::load_hex_text(r.text, flash, why)) << r.text;
        EXPECT_NE(why.find(r.reason_part), std::string::npos) << r.text << " gave: " << why;
    }
}

TEST(hex_file, WritesBlocksThatAreNotBlankAndReadsThemBack) {
    sim::flash_array flash{};
    flash.fill(0xFF);
    EXPECT_EQ(sim::hex_text(flash, 0, sim::USABLE_FLASH_END), ":00000001FF\n");

    flash[0x0005] = 0x00;
    flash[0x1DFF] = 0x12;
    flash[0x1E00] = 0x34; // beyond the range: not written
    std::string text = sim::hex_text(flash, 0, sim::USABLE_FLASH_END);
    EXPECT_EQ(text, ":10000000FFFFFFFFFF00FFFFFFFFFFFFFFFFFFFFFF\n"
                    ":101DF000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFF12E0\n"
                    ":00000001FF\n");
    sim::flash_array back{};
    back.fill(0xFF);
    std::string why;
    ASSERT_TRUE(sim::load_hex_text(text, back, why)) << why;
    back[0x1E00] = 0x34;
    EXPECT_EQ(back, flash);
}

} // namespace
