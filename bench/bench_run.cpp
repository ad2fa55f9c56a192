// SPDX-License-Identifier: MIT
#include "bench_run.h"

#include "adapter/c2_control.h"
#include "emulator.h"
#include "hex_file.h"
#include "serial/serial_port.h"

#include <sys/prctl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace bench {

namespace {

constexpr unsigned long DEFAULT_TIMER_SLACK_NS = 50000;

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

std::vector<uint8_t> make_image() {
    std::mt19937 random(20240611);
    std::vector<uint8_t> image(FLASH_BYTES);
    for (auto& b : image) {
        b = static_cast<uint8_t>(random());
    }
    for (std::size_t block = 0; block < BLOCKS; ++block) {
        image[block * 16] = static_cast<uint8_t>(block & 0x7F); // no block is all 0xFF
    }
    return image;
}

std::string image_hex(const std::vector<uint8_t>& image) {
    sim::flash_array flash{};
    flash.fill(0xFF);
    std::copy(image.begin(), image.end(), flash.begin());
    return sim::hex_text(flash, 0, static_cast<uint32_t>(image.size()));
}

run_figures run_once(const bench_setup& setup, const scenario& s,
                     const std::vector<std::string>& wrapper, bool may_fail) {
    sim::config cfg;
    cfg.baud_pacing = s.speed > 0;
    cfg.real_line = setup.real_line;
    cfg.block_read_ack = s.block_read_ack;
    cfg.latency_us = s.latency_us;
    cfg.rx_hold = s.rx_hold;
    sim::emulator emu(cfg);
    std::size_t replies = 0; // read once the emulator's thread has ended
    emu.set_trace([&replies](const sim::exchange& e) { replies += e.reply.empty() ? 0 : 1; });
    if (s.command == "read") {
        emu.set_flash(0, setup.image);
    }
    // The emulator's thread inherits the timer slack of the thread that starts it: with the
    // default 50 us every paced byte wait would end late and the wire would look slower than
    // it is. The program itself runs with the default.
    if (setup.precise_emulator) {
        prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    }
    emu.start();
    prctl(PR_SET_TIMERSLACK, DEFAULT_TIMER_SLACK_NS, 0, 0, 0);

    std::vector<std::string> argv = wrapper;
    argv.push_back(setup.vantrel);
    argv.push_back(s.command == "write" ? "-w" : "-r");
    argv.push_back("--serial=" + emu.slave_path());
    argv.push_back("--speed=" + std::to_string(s.speed > 0 ? s.speed : 230400));
    const std::string in = s.command == "write" ? setup.dir + "/image.hex" : "/dev/null";
    const std::string out = setup.dir + "/out.txt";
    const std::string err = setup.dir + "/err.txt";
    const std::string trace = setup.dir + "/trace.txt";
    if (setup.trace) {
        setenv("VANTREL_TRACE", trace.c_str(), 1);
    }
    const child_result child = run_child(argv, in, out, err);
    unsetenv("VANTREL_TRACE");
    emu.stop();

    if ((child.timed_out || child.status != 0) && may_fail) {
        run_figures f;
        f.failed = true;
        std::string said = slurp(err);
        while (!said.empty() && (said.back() == '\n' || said.back() == '\r')) {
            said.pop_back();
        }
        f.failure = said.substr(said.find_last_of("\r\n") + 1);
        return f;
    }
    if (child.timed_out || child.status != 0) {
        // What the line saw, kept with the program's trace (--trace) for a look at the failure.
        const std::string line_log = setup.dir + "/line.txt";
        if (std::FILE* log = std::fopen(line_log.c_str(), "w")) {
            for (const auto& e : emu.transcript()) {
                std::fprintf(log, "%.0f %s %02X\n", ms_between(child.started, e.when) * 1000,
                             e.dir == sim::direction::to_adapter ? "in" : "out", e.byte);
            }
            std::fclose(log);
        }
        std::fprintf(stderr,
                     "%s at %ld, block-read answer %s, turnaround %ld us: vantrel failed (status "
                     "%d%s); the line in %s (us since the start, byte into or out of the "
                     "adapter)%s%s\n%s\n",
                     s.command.c_str(), s.speed, s.block_read_ack ? "on" : "off", s.latency_us,
                     child.status, child.timed_out ? ", killed" : "", line_log.c_str(),
                     setup.trace ? ", its trace in " : "", setup.trace ? trace.c_str() : "",
                     slurp(err).c_str());
        std::exit(1);
    }
    std::filesystem::remove(trace);
    if (wrapper.empty()) {
        bool right = false;
        if (s.command == "write") {
            const auto flash = emu.flash();
            right = std::equal(setup.image.begin(), setup.image.end(), flash.begin());
        } else {
            sim::flash_array dumped{};
            dumped.fill(0xFF);
            std::string error;
            right = sim::load_hex_text(slurp(out), dumped, error) &&
                    std::equal(setup.image.begin(), setup.image.end(), dumped.begin());
        }
        if (!right) {
            std::fprintf(stderr, "%s at %ld: wrong result\n", s.command.c_str(), s.speed);
            std::exit(1);
        }
    }

    const double busy_s = std::chrono::duration<double>(emu.busy_time()).count();
    return figures_of(emu.transcript(), replies, busy_s, s, child);
}

std::map<std::string, long> count_syscalls(const bench_setup& setup, const scenario& s) {
    const std::string counts = setup.dir + "/strace.txt";
    run_once(setup, s, {"strace", "-f", "-c", "-o", counts});
    std::map<std::string, long> calls;
    std::istringstream lines(slurp(counts));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::vector<std::string> w;
        std::string word;
        while (words >> word) {
            w.push_back(word);
        }
        if ((w.size() != 5 && w.size() != 6) || w[0] == "%" || w.back() == "total" ||
            w[0].find('-') == 0) {
            continue;
        }
        calls[w.back()] = std::atol(w[3].c_str());
    }
    return calls;
}

double rig_round_trip_us(const bench_setup& setup, long speed, long latency_us) {
    constexpr int WARM_UP = 20;
    // 1000, or about a second's worth with a longer turnaround.
    const int exchanges =
        static_cast<int>(std::clamp(1000000 / std::max(latency_us, 1L), 50L, 1000L));
    sim::config cfg;
    cfg.baud_pacing = speed > 0;
    cfg.real_line = setup.real_line;
    cfg.latency_us = latency_us;
    sim::emulator emu(cfg);
    if (setup.precise_emulator) {
        prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    }
    emu.start();
    prctl(PR_SET_TIMERSLACK, DEFAULT_TIMER_SLACK_NS, 0, 0, 0);
    termios saved{};
    const int fd =
        serial_open(emu.slave_path().c_str(), speed > 0 ? static_cast<int>(speed) : 230400, &saved);
    if (fd < 0) {
        std::exit(2);
    }
    for (int i = 0; i < WARM_UP; ++i) {
        c2_address_read(fd);
    }
    const auto start = steady::now();
    for (int i = 0; i < exchanges; ++i) {
        c2_address_read(fd);
    }
    const double total_us =
        std::chrono::duration<double, std::micro>(steady::now() - start).count();
    serial_close(fd, &saved);
    emu.stop();
    const double wire_us = speed > 0 ? 2 * 10.0 * 1e6 / static_cast<double>(speed) : 0;
    return total_us / exchanges - wire_us - static_cast<double>(latency_us);
}

} // namespace bench
