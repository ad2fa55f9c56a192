// SPDX-License-Identifier: MIT
// The emulated adapter on its pseudo-terminal, spoken to with raw bytes: what the line
// itself adds to the pieces behind it (decoder, target, faults; tested on their own).
#include "emulator.h"
#include "support/side_by_side.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>

#include <array>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

using bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;
using clk = std::chrono::steady_clock;

/// The program's end of the line, in raw mode.
class line {
  public:
    explicit line(const std::string& path, speed_t speed = B115200)
        : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {
        termios t{};
        EXPECT_GE(fd_, 0);
        EXPECT_EQ(tcgetattr(fd_, &t), 0);
        cfmakeraw(&t);
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
        EXPECT_EQ(tcsetattr(fd_, TCSANOW, &t), 0);
    }
    ~line() { close(fd_); }
    line(const line&) = delete;
    line& operator=(const line&) = delete;

    void send(const bytes& b) { ASSERT_EQ(write(fd_, b.data(), b.size()), ssize_t(b.size())); }

    /// Reads until n bytes came or a wait of `quiet` passed without any.
    bytes read(std::size_t n, std::chrono::milliseconds quiet = 300ms) {
        bytes got;
        while (got.size() < n) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, int(quiet.count())) <= 0) {
                break;
            }
            uint8_t c = 0;
            if (::read(fd_, &c, 1) != 1) {
                break;
            }
            got.push_back(c);
        }
        return got;
    }
    bytes ask(const bytes& b, std::size_t n) {
        send(b);
        return read(n);
    }
    bool silent(std::chrono::milliseconds for_ = 150ms) { return read(1, for_).empty(); }

    /// Reads with a large buffer until n bytes came or `quiet` passed without any; the size
    /// of each read and when it returned.
    std::vector<std::pair<std::size_t, clk::time_point>> reads(std::size_t n,
                                                               std::chrono::milliseconds quiet) {
        std::vector<std::pair<std::size_t, clk::time_point>> got;
        std::size_t total = 0;
        pollfd p{fd_, POLLIN, 0};
        while (total < n && poll(&p, 1, int(quiet.count())) > 0) {
            std::array<uint8_t, 64> buf{};
            ssize_t r = ::read(fd_, buf.data(), buf.size());
            if (r <= 0) {
                break;
            }
            total += std::size_t(r);
            got.emplace_back(std::size_t(r), clk::now());
        }
        return got;
    }
    int fd() const { return fd_; }

  private:
    int fd_;
};

/// Data frame: 0x00, then groups of a header and up to 7 bytes with bit 7 set.
bytes frame(const bytes& data) {
    bytes out{0x00};
    for (std::size_t g = 0; g < data.size(); g += 7) {
        std::size_t n = std::min<std::size_t>(7, data.size() - g);
        uint8_t header = 0x80;
        for (std::size_t k = 0; k < n; ++k) {
            header |= uint8_t(((data[g + k] >> 7) & 1) << (6 - k));
        }
        out.push_back(header);
        for (std::size_t k = 0; k < n; ++k) {
            out.push_back(data[g + k] | 0x80);
        }
    }
    return out;
}

bytes command(const bytes& data, uint8_t cmd) {
    bytes b = frame(data);
    b.push_back(cmd);
    return b;
}

bytes block_write(uint16_t a, const bytes& data) {
    bytes req{uint8_t(a >> 8), uint8_t(a), uint8_t(data.size())};
    req.insert(req.end(), data.begin(), data.end());
    return command(req, 0x21);
}

bytes block_read(uint16_t a, uint8_t len) {
    return command({uint8_t(a >> 8), uint8_t(a), len}, 0x22);
}

struct sim_test : ::testing::Test {
    explicit sim_test(sim::config cfg = {}) : emu(cfg) { emu.start(); }
    void program_mode(line& l) { ASSERT_EQ(l.ask({0x20}, 1), bytes{0x00}); }
    sim::emulator emu;
};

TEST_F(sim_test, BlockRoundTripForEveryGroupShape) {
    line l(emu.slave_path());
    program_mode(l);
    for (std::size_t len : {1u, 4u, 5u, 7u, 11u, 12u, 16u}) {
        bytes data;
        for (std::size_t i = 0; i < len; ++i) {
            data.push_back(uint8_t(i * 0x47 + len)); // mixes set and clear top bits
        }
        uint16_t at = uint16_t(0x0400 + len * 16);
        ASSERT_EQ(l.ask(block_write(at, data), 1), bytes{0x00}) << len;
        ASSERT_EQ(l.ask(block_read(at, uint8_t(len)), 1), bytes{0x00});
        bytes fetched = l.ask({0x15}, len + 2);
        ASSERT_EQ(fetched.size(), len + 2);
        EXPECT_EQ(bytes(fetched.begin() + 1, fetched.end() - 1), data) << len;
        unsigned sum = 0;
        for (auto b : data) {
            sum += b;
        }
        EXPECT_EQ(l.ask({0x16}, 1), bytes{uint8_t(sum)}) << len;
    }
    EXPECT_TRUE(l.silent());
}

TEST_F(sim_test, NoiseComesUnasked) {
    emu.add_fault({.kind = sim::fault_kind::noise, .bytes = {0x7E}, .period_ms = 20});
    line l(emu.slave_path());
    EXPECT_EQ(l.read(3), (bytes{0x7E, 0x7E, 0x7E}));
}

TEST_F(sim_test, HangUpAfterBytesClosesTheLine) {
    emu.add_fault({.kind = sim::fault_kind::hang_up_after, .after_bytes = 2});
    line l(emu.slave_path());
    EXPECT_EQ(l.ask({0x3F}, 1), bytes{0x00}); // no erase yet
    l.send({0x3F});
    pollfd p{l.fd(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    uint8_t c = 0;
    EXPECT_LE(read(l.fd(), &c, 1), 0);
    EXPECT_EQ(emu.received(), (bytes{0x3F, 0x3F}));
    EXPECT_EQ(emu.sent(), bytes{0x00});
}

/// A relay between the line and the adapter changes what the adapter takes of the nth byte
/// from when the fault is added; the transcript keeps what the program sent.
TEST(sim_relay, RequestFaultsChangeWhatTheAdapterTakes) {
    using sim::fault_kind;
    const bytes revision_read{0x00, 0x80, 0x81, 0x11, 0x14}; // address 0x01, data read
    struct row {
        sim::fault f;
        bytes reply;
        int data_reads;
    } rows[] = {
        {{.kind = fault_kind::request_flip, .bytes = {0x01}, .after_bytes = 3}, {0x04}, 1},
        {{.kind = fault_kind::request_drop, .after_bytes = 5}, {}, 0},
        {{.kind = fault_kind::request_twice, .after_bytes = 5}, {0x02, 0x02}, 2},
    };
    for (const auto& r : rows) {
        sim::emulator emu;
        emu.start();
        line l(emu.slave_path());
        ASSERT_EQ(l.ask(revision_read, 1), bytes{0x02});
        emu.add_fault(r.f);
        emu.clear_transcript();
        EXPECT_EQ(l.ask(revision_read, 2), r.reply);
        EXPECT_EQ(emu.received(), revision_read);
        EXPECT_EQ(emu.command_count(0x14), r.data_reads) << int(r.f.kind);
    }
}

TEST_F(sim_test, InjectedBytesWaitUnprocessedInCookedMode) {
    termios before{};
    ASSERT_EQ(tcgetattr(emu.settings_fd(), &before), 0);
    ASSERT_NE(before.c_lflag & ECHO, 0u); // the line starts in its default cooked mode
    const bytes stale{0x01, 0x0D, 0x13, 0x20, 0x7F, 0x55};
    emu.inject(stale);
    termios after{};
    ASSERT_EQ(tcgetattr(emu.settings_fd(), &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    line l(emu.slave_path());
    EXPECT_EQ(l.read(stale.size()), stale);
    EXPECT_TRUE(emu.received().empty()); // nothing echoed back
    EXPECT_EQ(emu.sent(), stale);
}

struct paced_sim_test : sim_test {
    paced_sim_test() : sim_test(sim::config{.baud_pacing = true}) {}
};

// The transcript keeps each byte in order, with its direction and when it was read or sent.
TEST_F(paced_sim_test, ReceivedBytesAreStampedWhenRead) {
    const bytes request{0x00, 0x80, 0x80, 0x11, 0x14};
    line l(emu.slave_path(), B1200); // 8.3 ms per byte
    ASSERT_EQ(l.ask(request, 1), bytes{0x04});
    auto t = emu.transcript();
    ASSERT_EQ(t.size(), 6u);
    EXPECT_EQ(emu.received(), request);
    EXPECT_EQ(t[5].dir, sim::direction::from_adapter);
    EXPECT_EQ(t[5].byte, 0x04);
    for (std::size_t i = 1; i < 5; ++i) {
        EXPECT_EQ(t[i].when, t[0].when) << "one read, one time stamp";
    }
    EXPECT_GE(t[5].when - t[4].when, 6 * 8333us) << "the request and the reply on the wire";
}

/// How a reply reaches the reader: whole, as a pseudo-terminal hands it over, or one byte
/// at a time at its wire time, as a UART does; faults go the same way.
TEST(sim_delivery, WholeOrByteByByte) {
    using sim::fault_kind;
    const bytes id{'C', '2', 1, 3};
    struct row {
        const char* what;
        sim::config cfg;
        speed_t speed;
        std::vector<sim::fault> faults;
        bytes want;
        std::vector<std::size_t> read_sizes;
        std::chrono::microseconds byte_time; // lower bound on each reply byte's wire time
        std::chrono::microseconds lead;      // lower bound before the first reply byte
    };
    const std::vector<row> rows = {
        {"pseudo-terminal", {}, B115200, {}, id, {4}, 0us, 0us},
        {"real line, gap", {.byte_gap_us = 20000}, B115200, {}, id, {1, 1, 1, 1}, 20ms, 0us},
        // A paced line is a serial line: its replies come byte by byte too.
        {"paced", {.baud_pacing = true}, B1200, {}, id, {1, 1, 1, 1}, 8333us, 8333us},
        // The turnaround counts from the request's arrival, on the wire when paced.
        {"latency", {.latency_us = 40000}, B115200, {}, id, {4}, 0us, 40ms},
        {"paced, latency",
         {.baud_pacing = true, .latency_us = 30000},
         B1200,
         {},
         id,
         {1, 1, 1, 1},
         8333us,
         8333us + 30ms},
        {"real line, surplus and late",
         {.byte_gap_us = 20000},
         B115200,
         {{.kind = fault_kind::surplus_reply, .command = 0x01, .bytes = {0xAA}},
          {.kind = fault_kind::delay_reply, .command = 0x01, .delay_ms = 30}},
         {'C', '2', 1, 3, 0xAA},
         {1, 1, 1, 1, 1},
         20ms,
         30ms},
        {"real line, wrong reply",
         {.byte_gap_us = 20000},
         B115200,
         {{.kind = fault_kind::wrong_reply, .command = 0x01, .bytes = {0x43, 0x33}}},
         {0x43, 0x33},
         {1, 1},
         20ms,
         0us},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        sim::emulator emu(r.cfg);
        for (const auto& f : r.faults) {
            emu.add_fault(f);
        }
        emu.start();
        line l(emu.slave_path(), r.speed);
        auto sent = clk::now();
        l.send({0x01});
        auto got = l.reads(r.want.size(), 300ms);
        std::vector<std::size_t> sizes;
        std::size_t total = 0;
        for (const auto& [size, when] : got) {
            sizes.push_back(size);
            total += size;
            EXPECT_GE(when - sent, r.lead + r.byte_time * total) << "read " << sizes.size();
        }
        EXPECT_EQ(sizes, r.read_sizes);
        EXPECT_EQ(emu.sent(), r.want);
    }
}

/// What arrives while the adapter is busy with a block read or an erase step, in the same write
/// or in one of its own: the first rx_hold bytes are held and taken once it is free (their
/// replies after the busy command's), any more are lost, and a byte sent after the busy period
/// is served as usual; on an unpaced and a paced line.
TEST(sim_busy, HoldOrLoseWhatArrivesWhileBusy) {
    constexpr auto busy = 100ms;
    auto cat = [](bytes a, const bytes& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const bytes read_request = block_read(0x0000, 2);
    const bytes erase_step = cat(command({0xB4}, 0x11), command({0x03}, 0x13));
    const bytes answered_fetch{0x00, 0x00, 0xFF, 0xFF, 0x00}; // block read answer, fetch reply
    struct row {
        const char* what;
        int rx_hold;
        std::vector<bytes> writes; // one soon after the other
        bool read_between;         // the first reply is read before the second write
        bytes want;                // what comes back on the line
        bytes lost;
    };
    const std::vector<row> rows = {
        {"fetch behind block read, held",
         1,
         {cat(read_request, {0x15})},
         false,
         answered_fetch,
         {}},
        {"fetch behind block read, lost", 0, {cat(read_request, {0x15})}, false, {0x00}, {0x15}},
        {"two behind, the second lost",
         1,
         {cat(read_request, {0x15, 0x16})},
         false,
         answered_fetch,
         {0x16}},
        {"poll written after an erase step, held", 1, {erase_step, {0x12}}, false, {0x02}, {}},
        {"poll written after an erase step, lost", 0, {erase_step, {0x12}}, false, {}, {0x12}},
        {"fetch after the busy period", 0, {read_request, {0x15}}, true, answered_fetch, {}},
    };
    std::vector<std::pair<const row*, bool>> runs;
    for (const auto& r : rows) {
        runs.emplace_back(&r, false);
        runs.emplace_back(&r, true);
    }
    test_support::side_by_side(runs, [&](const std::pair<const row*, bool>& run) {
        const row& r = *run.first;
        SCOPED_TRACE(std::string(r.what) + (run.second ? ", paced" : ""));
        sim::emulator emu({.baud_pacing = run.second,
                           .block_read_busy_us = std::chrono::microseconds(busy).count(),
                           .erase_step_busy_us = std::chrono::microseconds(busy).count(),
                           .rx_hold = r.rx_hold});
        std::mutex m;
        bytes lost;
        emu.set_trace([&](const sim::exchange& e) {
            std::lock_guard<std::mutex> lock(m);
            if (e.lost) {
                lost.push_back(e.command);
            }
        });
        emu.start();
        line l(emu.slave_path(), B115200);
        ASSERT_EQ(l.ask({0x20}, 1), bytes{0x00});
        const auto sent = clk::now();
        l.send(r.writes[0]);
        bytes got = r.read_between ? l.read(1) : bytes{};
        for (std::size_t i = 1; i < r.writes.size(); ++i) {
            std::this_thread::sleep_for(busy / 10); // once the emulator has read the first
            l.send(r.writes[i]);
        }
        if (got.empty()) {
            got = l.read(1, 150ms);
        }
        // The first reply no sooner than the busy period, however slow the machine.
        EXPECT_TRUE(got.empty() || clk::now() - sent >= busy);
        got = cat(got, l.read(r.want.size() + 1 - got.size(), 150ms));
        EXPECT_EQ(got, r.want);
        std::lock_guard<std::mutex> lock(m);
        EXPECT_EQ(lost, r.lost);
        EXPECT_EQ(emu.lost_bytes(), int(r.lost.size()));
        EXPECT_EQ(emu.busy_time(), busy);
    });
}

} // namespace
