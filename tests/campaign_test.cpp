// SPDX-License-Identifier: MIT
// Fault-injection campaign: many full write and read runs of the real binary against the
// emulated adapter, each with faults chosen by its seed. Every run must end within its bound,
// must not spin, may exit 0 only with the right result, must explain an exit status of 1 on
// standard error, and must leave the port with the settings it found.
//
// Short form by default; VANTREL_CAMPAIGN_RUNS=N runs N seeds (the long form uses 200 or more).
#include "support/clock.h"
#include "support/emulated_line.h"
#include "support/hex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using test_support::run_result;

constexpr std::size_t FLASH_BYTES = 0x1E00;
constexpr int SHORT_RUNS = 24;
constexpr double RUN_LIMIT_S = 90;

const std::vector<const char*> FAILURE_MESSAGES = {"Failed.\n",
                                                   "Cannot switch to flash programming mode.\n",
                                                   "Device erase failed.\n",
                                                   "Cannot open: ",
                                                   "Invalid file format.\n",
                                                   "Cannot identify the chip"};

/// Intel HEX of contents stored from address 0.
std::string hex_of(const std::vector<uint8_t>& contents) {
    test_support::flash_array flash = test_support::erased_flash();
    std::copy(contents.begin(), contents.end(), flash.begin());
    return sim::hex_text(flash, 0, FLASH_BYTES);
}

/// True when text is a well-formed dump, end record included, of exactly contents.
bool dump_holds(const std::string& text, const std::vector<uint8_t>& contents) {
    test_support::flash_array dumped;
    std::string error;
    return test_support::parse_hex(text, dumped, error) &&
           std::equal(contents.begin(), contents.end(), dumped.begin());
}

std::vector<uint8_t> random_contents(std::mt19937& rng) {
    std::vector<uint8_t> image(FLASH_BYTES);
    for (auto& b : image) {
        b = static_cast<uint8_t>(rng());
    }
    for (std::size_t block = 0; block < FLASH_BYTES / 16; ++block) {
        if (rng() % 8 == 0) { // some erased blocks, skipped by the write and the dump
            std::fill_n(image.begin() + static_cast<long>(block * 16), 16, 0xFF);
        }
    }
    return image;
}

enum class kind { none, dropped, wrong, late, surplus, flaky_block, busy_forever, noise, hang_up };

const char* kind_name(kind k) {
    static const char* const names[] = {"none",         "dropped reply", "wrong reply",
                                        "late reply",   "surplus bytes", "flaky block",
                                        "busy forever", "noise",         "hang-up"};
    return names[static_cast<int>(k)];
}

struct plan {
    bool write = true;
    std::vector<uint8_t> contents; // the image to write, or the flash to read
    std::vector<kind> kinds;
    std::vector<sim::fault> faults;
    std::string description;
};

/// Picks a command the run sends, and an occurrence of it that the run reaches.
void pick_command(std::mt19937& rng, bool write, sim::fault& f) {
    struct use {
        uint8_t command;
        int occurrences;
    };
    static const std::vector<use> write_uses = {{0x20, 2},   {0x12, 12},  {0x14, 1},  {0x3F, 1},
                                                {0x21, 420}, {0x22, 420}, {0x16, 420}};
    static const std::vector<use> read_uses = {{0x20, 2}, {0x22, 480}, {0x15, 480}};
    const auto& uses = write ? write_uses : read_uses;
    const use& u = uses[rng() % uses.size()];
    f.command = u.command;
    f.nth = 1 + static_cast<int>(rng() % static_cast<unsigned>(u.occurrences));
}

plan make_plan(unsigned seed) {
    std::mt19937 rng(seed);
    plan p;
    p.write = seed % 2 == 0;
    p.contents = random_contents(rng);
    const int count = seed % 5 == 0 ? 0 : 1 + static_cast<int>(rng() % 2);
    std::ostringstream text;
    text << (p.write ? "write" : "read");
    for (int i = 0; i < count; ++i) {
        const auto k = static_cast<kind>(1 + rng() % 8);
        sim::fault f{sim::fault_kind::no_reply};
        switch (k) {
        case kind::dropped:
            pick_command(rng, p.write, f);
            break;
        case kind::wrong:
            f.kind = sim::fault_kind::wrong_reply;
            pick_command(rng, p.write, f);
            f.bytes = {static_cast<uint8_t>(rng())};
            break;
        case kind::late:
            f.kind = sim::fault_kind::delay_reply;
            pick_command(rng, p.write, f);
            f.delay_ms = 10 + static_cast<int>(rng() % 81);
            break;
        case kind::surplus:
            f.kind = sim::fault_kind::surplus_reply;
            pick_command(rng, p.write, f);
            f.bytes.resize(1 + rng() % 2);
            for (auto& b : f.bytes) {
                b = static_cast<uint8_t>(rng());
            }
            break;
        case kind::flaky_block: {
            static const std::vector<sim::fault_kind> write_kinds = {sim::fault_kind::write_refused,
                                                                     sim::fault_kind::wrong_sum};
            f.kind = p.write ? write_kinds[rng() % 2] : sim::fault_kind::short_fetch;
            f.address = static_cast<uint16_t>(rng() % FLASH_BYTES);
            f.times = 1 + static_cast<int>(rng() % 3);
            break;
        }
        case kind::busy_forever:
            f.kind = p.write ? sim::fault_kind::always_busy : sim::fault_kind::never_ready;
            break;
        case kind::noise:
            f.kind = sim::fault_kind::noise;
            f.period_ms = 150 + static_cast<int>(rng() % 250);
            f.bytes = {static_cast<uint8_t>(rng())};
            break;
        case kind::hang_up:
            f.kind = sim::fault_kind::hang_up_after;
            f.after_bytes = 50 + rng() % (p.write ? 14000 : 3300);
            break;
        case kind::none:
            break;
        }
        p.kinds.push_back(k);
        p.faults.push_back(f);
        text << ", " << kind_name(k);
        if (f.command != 0) {
            char detail[48];
            std::snprintf(detail, sizeof detail, " (0x%02X #%d)", f.command, f.nth);
            text << detail;
        }
        if (!f.bytes.empty()) {
            text << " bytes";
            for (uint8_t b : f.bytes) {
                char hex[4];
                std::snprintf(hex, sizeof hex, " %02X", b);
                text << hex;
            }
        }
        if (f.delay_ms != 0) {
            text << " " << f.delay_ms << " ms";
        }
        if (f.kind == sim::fault_kind::write_refused || f.kind == sim::fault_kind::wrong_sum ||
            f.kind == sim::fault_kind::short_fetch) {
            text << " at " << f.address << " x" << f.times;
        }
        if (f.kind == sim::fault_kind::hang_up_after) {
            text << " after " << f.after_bytes << " bytes";
        }
    }
    if (count == 0) {
        p.kinds.push_back(kind::none);
    }
    p.description = text.str();
    return p;
}

struct outcome {
    int exit_status = -1;
    std::vector<std::string> violations;
    double wall_s = 0;
};

/// Runs one planned cycle and checks every rule on it.
outcome run_plan(const plan& p, const std::string& hex_path) {
    outcome o;
    test_support::emulated_line line;
    if (!p.write) {
        line.emu.set_flash(0, p.contents);
    }
    for (const auto& f : p.faults) {
        line.emu.add_fault(f);
    }
    const auto start = test_support::steady::now();
    const test_support::line_run r = line.attempt(
        {p.write ? "-w" : "-r"}, {.stdin_file = p.write ? hex_path : "", .timeout_s = RUN_LIMIT_S});
    o.wall_s = test_support::elapsed_s(start);
    line.emu.stop();
    o.exit_status = r.exit_status;

    auto violation = [&](const std::string& what) { o.violations.push_back(what); };
    if (r.timed_out) {
        violation("did not end within the bound");
    }
    if (r.term_signal != 0) {
        violation("killed by signal " + std::to_string(r.term_signal));
    }
    // Generous: a spinning wait burns the whole wall time.
    if (r.cpu_s > 0.5 * o.wall_s + 0.3) {
        violation("CPU " + std::to_string(r.cpu_s) + " s over a wall of " +
                  std::to_string(o.wall_s) + " s");
    }
    if (r.exit_status == 0) {
        const bool right =
            p.write ? std::equal(p.contents.begin(), p.contents.end(), line.emu.flash().begin())
                    : dump_holds(r.out, p.contents);
        if (!right) {
            violation("exit status 0 with a wrong result");
        }
    } else if (r.exit_status == 1) {
        bool explained = false;
        for (const char* message : FAILURE_MESSAGES) {
            explained = explained || r.err.find(message) != std::string::npos;
        }
        if (!explained) {
            violation("exit status 1 without a message: " + r.err.substr(0, 200));
        }
    } else if (!r.timed_out && r.term_signal == 0) {
        violation("exit status " + std::to_string(r.exit_status));
    }
    // A hung-up line is gone: its settings can no longer be put back.
    const bool hung_up = std::any_of(p.faults.begin(), p.faults.end(), [](const sim::fault& f) {
        return f.kind == sim::fault_kind::hang_up_after;
    });
    if (!hung_up && !r.settings_restored) {
        violation("port settings not restored");
    }
    return o;
}

unsigned campaign_runs() {
    const char* text = std::getenv("VANTREL_CAMPAIGN_RUNS");
    if (text == nullptr || std::atoi(text) <= 0) {
        return SHORT_RUNS;
    }
    return static_cast<unsigned>(std::atoi(text));
}

TEST(Campaign, EveryRunEndsSoundly) {
    test_support::temp_dir dir;
    struct tally {
        int runs = 0;
        int ok = 0;
        int failed = 0;
        int violations = 0;
        double longest_s = 0;
    };
    std::map<std::string, tally> table;
    std::vector<unsigned> seeds(campaign_runs());
    std::iota(seeds.begin(), seeds.end(), 1U);
    std::vector<std::pair<plan, outcome>> runs(seeds.size());
    test_support::side_by_side(seeds, [&](unsigned seed) {
        const plan p = make_plan(seed);
        const std::string hex_path = dir.file("image-" + std::to_string(seed) + ".hex");
        if (p.write) {
            test_support::write_file(hex_path, hex_of(p.contents));
        }
        runs[seed - 1] = {p, run_plan(p, hex_path)};
        for (const std::string& v : runs[seed - 1].second.violations) {
            ADD_FAILURE() << "seed " << seed << " [" << p.description << "]: " << v;
        }
    });
    for (const auto& [p, o] : runs) {
        for (kind k : p.kinds) {
            tally& t = table[kind_name(k)];
            ++t.runs;
            t.ok += o.exit_status == 0 ? 1 : 0;
            t.failed += o.exit_status == 1 ? 1 : 0;
            t.violations += o.violations.empty() ? 0 : 1;
            t.longest_s = std::max(t.longest_s, o.wall_s);
        }
    }
    std::printf("\n%zu runs (a run with two faults counts under both)\n\n", runs.size());
    std::printf("| fault | runs | exit 0 | exit 1 | violations | longest run s |\n");
    std::printf("|---|---|---|---|---|---|\n");
    for (const auto& [name, t] : table) {
        std::printf("| %s | %d | %d | %d | %d | %.2f |\n", name.c_str(), t.runs, t.ok, t.failed,
                    t.violations, t.longest_s);
    }
}

// Replies longer than the program reads pile up on the line; once the program has gone, the
// emulator must still stop instead of waiting seconds on every unread reply.
TEST(Campaign, EmulatorStopsAfterAFloodOfUnreadReplies) {
    test_support::emulated_line line;
    sim::fault flood{sim::fault_kind::wrong_reply};
    flood.command = 0x12; // every status poll answered with four bytes, busy flag set
    flood.bytes = {0xDE, 0x06, 0x00, 0x00};
    line.emu.add_fault(flood);
    const run_result r = line.run({"--device-erase"}, {.timeout_s = RUN_LIMIT_S});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find("Device erase failed.\n"), std::string::npos);
    line.emu.stop(); // would hang (until the ctest timeout) if the emulator were stuck writing
}

} // namespace
