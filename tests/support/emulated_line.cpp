// SPDX-License-Identifier: MIT
#include "support/emulated_line.h"

#include "support/clock.h"
#include "support/line_settings.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace test_support {

sim::fault command_fault(sim::fault_kind kind, uint8_t command, int nth, std::vector<uint8_t> bytes,
                         int delay_ms) {
    sim::fault f{kind};
    f.command = command;
    f.nth = nth;
    f.bytes = std::move(bytes);
    f.delay_ms = delay_ms;
    return f;
}

sim::fault block_fault(sim::fault_kind kind, uint16_t address, int times) {
    sim::fault f{kind};
    f.address = address;
    f.times = times;
    return f;
}

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> all;
    for (const auto& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

std::vector<uint8_t> id_read(uint8_t address) {
    return {0x10, 0x00, 0x80, static_cast<uint8_t>(0x80 | address), 0x11, 0x14};
}

bool chip_holds(const sim::emulator& emu, const sim::flash_array& expected) {
    const sim::flash_array flash = emu.flash();
    return std::equal(flash.begin(), flash.begin() + sim::USABLE_FLASH_END, expected.begin());
}

std::size_t round_trips(const sim::emulator& emu) {
    std::size_t trips = 0;
    sim::direction last = sim::direction::to_adapter;
    for (const sim::transcript_entry& entry : emu.transcript()) {
        if (entry.dir == sim::direction::from_adapter && last == sim::direction::to_adapter) {
            ++trips;
        }
        last = entry.dir;
    }
    return trips;
}

emulated_line::emulated_line(const sim::config& cfg) : emu(cfg) {
    keep_settings();
    emu.start();
}

line_run emulated_line::attempt(std::vector<std::string> args, const run_options& options) {
    args.insert(args.begin(), {"--serial", emu.slave_path()});
    args.insert(args.begin(), program.begin() + 1, program.end());
    line_run r{run_program(program.front(), args, options)};
    wait_until_steady([this] { return emu.received().size(); }, std::chrono::milliseconds(20),
                      std::chrono::seconds(1));
    r.settings_restored = settings_restored();
    return r;
}

run_result emulated_line::run(std::vector<std::string> args, const run_options& options) {
    line_run r = attempt(std::move(args), options);
    EXPECT_FALSE(r.timed_out);
    EXPECT_TRUE(r.settings_restored) << "line settings not restored";
    return r;
}

void emulated_line::keep_settings() {
    tcgetattr(emu.settings_fd(), &kept_);
}

bool emulated_line::settings_restored() const {
    termios now{};
    return tcgetattr(emu.settings_fd(), &now) == 0 && same_settings(now, kept_);
}

std::string emulated_line::port_line() const {
    return "Port: " + emu.slave_path() + "\n";
}

} // namespace test_support
