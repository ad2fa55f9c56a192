// SPDX-License-Identifier: MIT
// Drives the real vantrel binary against the in-process emulated adapter and reports, for a
// full write and a full read at 115200 and 230400 bits per second (the emulator paces bytes at
// the line speed) and unpaced: wall time, the child's CPU time, system calls per block, the
// lower bound that the wire and the protocol's mandated waits put on the run, and the ratio
// of wall time to that bound; and, from the emulator's transcript, how much of the time beyond
// the bound is the program's own turnaround between a reply and its next request. Every
// figure is the median of --runs runs. Paced lines hand every reply over byte by byte at its
// wire time, as a serial port does; --real-line does so on the unpaced line too, which
// otherwise hands a reply over whole, as a pseudo-terminal does. --trace runs vantrel with
// VANTREL_TRACE set to a file (otherwise the variable is unset for every run); the fingerprint
// of the bytes on the line shows whether that changed anything on the wire. --adapters runs, in
// place of those tables, the write and the read paced against three adapters: one that answers,
// one that leaves the block-read answer out, and one that answers each request after a
// turnaround of --latency-us (1000 by default), as a USB serial converter does. --baseline PATH
// runs the paced write and read with an earlier build of vantrel at PATH and with this one in
// turn, and sets their bytes, exchanges and times side by side.
//
// Usage: wire_bench [--vantrel PATH] [--runs N] [--no-strace] [--default-slack] [--real-line]
//                   [--trace] [--adapters] [--latency-us US] [--baseline PATH]
#include "adapter/c2_control.h"
#include "emulator.h"
#include "serial/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

using steady = std::chrono::steady_clock;

constexpr std::size_t FLASH_BYTES = 7680;
constexpr std::size_t BLOCKS = FLASH_BYTES / 16;
constexpr double DRAIN_S = 0.100; // the quiet wait before the programming-mode command
// An adapter that leaves out the block-read answer: the first two block reads of a run wait for
// it in full before the program stops waiting.
constexpr double SILENT_LEARNING_S = 2 * 0.100;
constexpr double CHILD_LIMIT_S = 120;
constexpr unsigned long DEFAULT_TIMER_SLACK_NS = 50000;

struct child_result {
    int status = -1;
    bool timed_out = false;
    double wall_s = 0;
    double cpu_s = 0;
    steady::time_point started{};
    steady::time_point ended{};
};

/// Spawns program with args, standard input from in_path, standard output and error to the
/// given files, and reaps it with its resource usage. Kills it after CHILD_LIMIT_S.
child_result run_child(const std::vector<std::string>& argv_strings, const std::string& in_path,
                       const std::string& out_path, const std::string& err_path) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in_path.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<std::string> storage = argv_strings;
    std::vector<char*> argv;
    for (auto& s : storage) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);

    child_result result;
    pid_t pid = -1;
    const auto start = steady::now();
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        std::fprintf(stderr, "cannot start %s\n", argv[0]);
        std::exit(2);
    }
    posix_spawn_file_actions_destroy(&actions);

    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    const auto deadline = start + std::chrono::duration<double>(CHILD_LIMIT_S);
    int status = 0;
    rusage usage{};
    for (;;) {
        const pid_t done = wait4(pid, &status, WNOHANG, &usage);
        if (done == pid) {
            break;
        }
        if (steady::now() > deadline) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            wait4(pid, &status, 0, &usage);
            break;
        }
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            poll(&p, 1, 100);
        } else {
            usleep(200);
        }
    }
    const auto end = steady::now();
    if (pidfd >= 0) {
        close(pidfd);
    }
    result.wall_s = std::chrono::duration<double>(end - start).count();
    result.started = start;
    result.ended = end;
    result.cpu_s = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

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

std::string to_hex(const std::vector<uint8_t>& image) {
    std::string text;
    char line[64];
    for (std::size_t at = 0; at < image.size(); at += 16) {
        unsigned sum = 16 + (at >> 8) + (at & 0xFF);
        int n = std::snprintf(line, sizeof line, ":10%04X00", static_cast<unsigned>(at));
        text.append(line, static_cast<std::size_t>(n));
        for (std::size_t i = 0; i < 16; ++i) {
            sum += image[at + i];
            n = std::snprintf(line, sizeof line, "%02X", image[at + i]);
            text.append(line, static_cast<std::size_t>(n));
        }
        n = std::snprintf(line, sizeof line, "%02X\n", (256 - (sum & 0xFF)) & 0xFF);
        text.append(line, static_cast<std::size_t>(n));
    }
    text += ":00000001FF\n";
    return text;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

/// Loads the data records of a dump into an image of 0xFF; false on a malformed line.
bool load_dump(const std::string& text, std::vector<uint8_t>& image) {
    image.assign(FLASH_BYTES, 0xFF);
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.size() < 11 || line[0] != ':') {
            return false;
        }
        auto byte = [&](std::size_t i) {
            return static_cast<unsigned>(std::stoul(line.substr(1 + 2 * i, 2), nullptr, 16));
        };
        const unsigned count = byte(0);
        const unsigned address = byte(1) << 8 | byte(2);
        if (byte(3) == 1) {
            return true;
        }
        for (unsigned i = 0; i < count; ++i) {
            if (address + i < image.size()) {
                image[address + i] = static_cast<uint8_t>(byte(4 + i));
            }
        }
    }
    return false;
}

struct run_figures {
    double wall_s = 0;
    double cpu_s = 0;
    double bound_s = 0;
    std::size_t to_adapter = 0;
    std::size_t from_adapter = 0;
    std::size_t exchanges = 0; // command bytes the adapter handled
    std::size_t replies = 0;   // of those, the ones it answered
    double wire_s = 0;
    // Where the wall time goes, from the emulator's transcript (see split_wall).
    std::vector<double> turnaround_us; // per reply: its last byte out to the next request in
    double turnaround_ms = 0;          // their sum
    double emulator_ms = 0;            // request in to reply out, beyond the wire time
    double start_exit_ms = 0;          // before the first byte (less the drain), after the last
    uint64_t line_fingerprint = 0;     // FNV-1a over the transcript's directions and bytes
};

double ms_between(steady::time_point from, steady::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

/// Splits the wall time of a run into the program's turnarounds (from the last byte of a
/// reply written by the emulator to the first byte of the next request read by it), the
/// emulator's time beyond the wire (from a request's first byte read to its reply's last
/// byte written, less the wire time of the bytes between), and the time before the first
/// byte (less the mandated drain) and after the last.
void split_wall(const std::vector<sim::transcript_entry>& log, double byte_ms,
                const child_result& child, run_figures& f) {
    if (log.empty()) {
        return;
    }
    f.start_exit_ms = ms_between(child.started, log.front().when) - DRAIN_S * 1000 +
                      ms_between(log.back().when, child.ended);
    // The transcript alternates requests (bytes in, commands without a reply included)
    // and replies (bytes out).
    const std::size_t n = log.size();
    std::size_t i = 0;
    while (i < n) {
        const std::size_t request_first = i;
        while (i < n && log[i].dir == sim::direction::to_adapter) {
            ++i;
        }
        while (i < n && log[i].dir == sim::direction::from_adapter) {
            ++i;
        }
        const double wire = static_cast<double>(i - request_first) * byte_ms;
        f.emulator_ms += ms_between(log[request_first].when, log[i - 1].when) - wire;
        if (i < n) {
            const double gap = ms_between(log[i - 1].when, log[i].when);
            f.turnaround_us.push_back(gap * 1000);
            f.turnaround_ms += gap;
        }
    }
}

struct scenario {
    std::string command;        // "write" or "read"
    long speed;                 // bits per second on the line; 0: unpaced
    bool block_read_ack = true; // false: the adapter leaves the block-read answer out
    long latency_us = 0;        // the adapter's turnaround before each reply
};

struct bench_setup {
    std::string vantrel;
    std::string dir;
    std::vector<uint8_t> image;
    bool precise_emulator = true;
    bool real_line = false;
    bool trace = false; // vantrel writes its wire trace to a file in dir
};

/// One run of the scenario; exits the benchmark when the program fails.
run_figures run_once(const bench_setup& setup, const scenario& s,
                     const std::vector<std::string>& wrapper = {}) {
    sim::config cfg;
    cfg.baud_pacing = s.speed > 0;
    cfg.real_line = setup.real_line;
    cfg.block_read_ack = s.block_read_ack;
    cfg.latency_us = s.latency_us;
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
            std::vector<uint8_t> dumped;
            right = load_dump(slurp(out), dumped) && dumped == setup.image;
        }
        if (!right) {
            std::fprintf(stderr, "%s at %ld: wrong result\n", s.command.c_str(), s.speed);
            std::exit(1);
        }
    }

    run_figures f;
    f.line_fingerprint = 14695981039346656037ULL;
    for (const auto& e : emu.transcript()) {
        for (const unsigned value :
             {e.dir == sim::direction::to_adapter ? 0U : 1U, static_cast<unsigned>(e.byte)}) {
            f.line_fingerprint = (f.line_fingerprint ^ value) * 1099511628211ULL;
        }
        (e.dir == sim::direction::to_adapter ? f.to_adapter : f.from_adapter) += 1;
        if (e.dir == sim::direction::to_adapter && e.byte >= 0x01 && e.byte <= 0x7F) {
            ++f.exchanges;
        }
    }
    f.replies = replies;
    f.wall_s = child.wall_s;
    f.cpu_s = child.cpu_s;
    split_wall(emu.transcript(), s.speed > 0 ? 10.0 * 1000 / static_cast<double>(s.speed) : 0,
               child, f);
    f.wire_s =
        s.speed > 0 ? static_cast<double>(f.to_adapter + f.from_adapter) * 10.0 / s.speed : 0;
    // The adapter's turnarounds and a silent adapter's learning waits fall between a request's
    // first byte and its reply's last: out of the emulator's part, into the bound.
    const double waits_s =
        static_cast<double>(f.replies) * static_cast<double>(s.latency_us) / 1e6 +
        (s.block_read_ack ? 0 : SILENT_LEARNING_S);
    f.emulator_ms -= waits_s * 1000;
    f.bound_s = f.wire_s + DRAIN_S + waits_s;
    return f;
}

/// System calls of one run under strace -f -c, by name.
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

/// Time one one-byte status exchange costs the emulator and the pseudo-terminal beyond its two
/// bytes of wire time and the adapter's turnaround, in microseconds: what every exchange pays
/// that the program cannot save.
double rig_round_trip_us(const bench_setup& setup, long speed, long latency_us = 0) {
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

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

/// The p-quantile (0..1) of v by the nearest rank; 0 for an empty v.
double percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(v.size())));
    return v[std::max<std::size_t>(rank, 1) - 1];
}

/// The figures of every run of one scenario.
struct series {
    std::vector<double> wall, cpu, bound, ratio, excess, share, turnaround, emulator, start_exit;
    std::vector<double> program_share; // turnarounds, start and exit, in % of the bound
    std::vector<double> turnaround_us; // every reply of every run
    run_figures last;

    void add(const run_figures& f) {
        last = f;
        wall.push_back(f.wall_s);
        cpu.push_back(f.cpu_s);
        bound.push_back(f.bound_s);
        ratio.push_back(f.wall_s / f.bound_s);
        excess.push_back((f.wall_s - f.bound_s) * 1000);
        share.push_back(100 * f.cpu_s / f.wall_s);
        turnaround.push_back(f.turnaround_ms);
        emulator.push_back(f.emulator_ms);
        start_exit.push_back(f.start_exit_ms);
        program_share.push_back((f.turnaround_ms + f.start_exit_ms) / (10 * f.bound_s));
        turnaround_us.insert(turnaround_us.end(), f.turnaround_us.begin(), f.turnaround_us.end());
    }
};

/// Write and read at 115200 and 230400 bit/s against an answering adapter, one that leaves the
/// block-read answer out, and one that answers after latency_us. A run of each in turn, so that
/// the machine's load falls on the three alike; the difference to the answering adapter is the
/// median of the differences within a turn.
void adapter_tables(const bench_setup& setup, int runs, long latency_us) {
    struct adapter {
        std::string name;
        bool block_read_ack;
        long latency_us;
    };
    const std::vector<adapter> adapters = {
        {"answering", true, 0},
        {"silent block read", false, 0},
        {"turnaround " + std::to_string(latency_us) + " us", true, latency_us}};
    std::printf(
        "| command | line | adapter | bytes to / from adapter | exchanges | replies | wall s "
        "| bound s | wall/bound | wall - bound ms | wall - answering ms |\n"
        "|---|---|---|---|---|---|---|---|---|---|---|\n");
    std::string split_table;
    std::string projection;
    std::array<char, 320> row{};
    for (const std::string command : {"write", "read"}) {
        for (const long speed : {115200L, 230400L}) {
            std::vector<series> by(adapters.size());
            std::vector<std::vector<double>> beyond_answering(adapters.size());
            // The rig's round trip, measured in each turn, and what a client doing no work of
            // its own would still pay beyond the bound: the rest, in % of the bound.
            std::vector<std::vector<double>> rig(adapters.size());
            std::vector<std::vector<double>> beyond_rig(adapters.size());
            for (int r = 0; r < runs; ++r) {
                const double rig_plain_us = rig_round_trip_us(setup, speed);
                const double rig_turnaround_us = rig_round_trip_us(setup, speed, latency_us);
                for (std::size_t a = 0; a < adapters.size(); ++a) {
                    const run_figures f =
                        run_once(setup, {command, speed, adapters[a].block_read_ack,
                                         adapters[a].latency_us});
                    by[a].add(f);
                    beyond_answering[a].push_back((f.wall_s - by[0].wall.back()) * 1000);
                    rig[a].push_back(adapters[a].latency_us > 0 ? rig_turnaround_us : rig_plain_us);
                    const double rig_ms = rig[a].back() * static_cast<double>(f.replies) / 1000;
                    beyond_rig[a].push_back(((f.wall_s - f.bound_s) * 1000 - rig_ms) /
                                            (10 * f.bound_s));
                }
            }
            for (std::size_t a = 0; a < adapters.size(); ++a) {
                const series& f = by[a];
                std::printf("| %s | %ld | %s | %zu / %zu | %zu | %zu | %.3f | %.3f | %.3f | %.1f | "
                            "%+.0f |\n",
                            command.c_str(), speed, adapters[a].name.c_str(), f.last.to_adapter,
                            f.last.from_adapter, f.last.exchanges, f.last.replies, median(f.wall),
                            median(f.bound), median(f.ratio), median(f.excess),
                            median(beyond_answering[a]));
                std::fflush(stdout);
                std::snprintf(row.data(), row.size(),
                              "| %s | %ld | %s | %.1f | %.0f | %.0f | %.1f | %.1f | %.1f | %.1f | "
                              "%.1f | %.1f | %.1f |\n",
                              command.c_str(), speed, adapters[a].name.c_str(), median(f.excess),
                              percentile(f.turnaround_us, 0.5), percentile(f.turnaround_us, 0.9),
                              median(f.turnaround), median(f.start_exit), median(f.program_share),
                              median(f.emulator), median(rig[a]), median(beyond_rig[a]),
                              100 * median(f.cpu) / median(f.bound));
                split_table += row.data();
                if (speed == 115200 && adapters[a].latency_us == 0) {
                    const double waits_s =
                        DRAIN_S + (adapters[a].block_read_ack ? 0 : SILENT_LEARNING_S);
                    const double replies = static_cast<double>(f.last.replies);
                    std::snprintf(row.data(), row.size(),
                                  "| %s | %s | %.3f | %zu | %.2f | %.2f |\n", command.c_str(),
                                  adapters[a].name.c_str(), f.last.wire_s + waits_s, f.last.replies,
                                  f.last.wire_s + waits_s + replies * 0.001,
                                  f.last.wire_s + waits_s + replies * 0.016);
                    projection += row.data();
                }
            }
        }
    }
    std::printf("\nWhere the time beyond the bound goes (medians over the runs; turnaround "
                "percentiles over every reply of every run; the program's part is its "
                "turnarounds and its start and exit):\n\n"
                "| command | line | adapter | wall - bound ms | program turnaround median us | "
                "p90 us | sum of turnarounds ms | start and exit ms | program's part %% of "
                "bound | emulator beyond the wire and the waits ms | rig round trip us | wall - "
                "bound beyond replies x rig round trip, %% of bound | program's CPU %% of bound "
                "|\n"
                "|---|---|---|---|---|---|---|---|---|---|---|---|---|\n%s",
                split_table.c_str());
    std::printf("\nRig round trip: an in-process client doing status exchanges with the "
                "program's own serial code, the time per exchange beyond its wire time and the "
                "turnaround, over 1000 exchanges (a second's worth with a longer turnaround) at "
                "the start of each turn; the median over the turns.\n");
    std::printf("\nAt 115200 bit/s with a turnaround before each reply (bound = wire and waits + "
                "turnaround x replies, from the last run):\n\n"
                "| command | adapter | wire and waits s | replies | with 1 ms s | with 16 ms s "
                "|\n|---|---|---|---|---|---|\n%s",
                projection.c_str());
}

/// The program against an earlier build of it, write and read at 115200 and 230400 bit/s, a run
/// of each in turn (the earlier first in even turns): what the changes cost on the line and in
/// time. The ratio of wall times is the median of the ratios within a turn.
void baseline_table(const bench_setup& setup, const std::string& baseline, int runs) {
    bench_setup before = setup;
    before.vantrel = baseline;
    std::printf("Before: %s\n\n| command | line | bytes to / from adapter before | now | "
                "exchanges before / now | wall s before / now | bound s before / now | wall/bound "
                "before / now | wall now/before | bound now/before |\n"
                "|---|---|---|---|---|---|---|---|---|---|\n",
                baseline.c_str());
    for (const std::string command : {"write", "read"}) {
        for (const long speed : {115200L, 230400L}) {
            series old_runs;
            series new_runs;
            std::vector<double> ratio;
            for (int r = 0; r < runs; ++r) {
                for (int k = 0; k < 2; ++k) {
                    const bool old_turn = (r + k) % 2 == 0;
                    (old_turn ? old_runs : new_runs)
                        .add(run_once(old_turn ? before : setup, {command, speed}));
                }
                ratio.push_back(new_runs.wall.back() / old_runs.wall.back());
            }
            const run_figures& o = old_runs.last;
            const run_figures& n = new_runs.last;
            std::printf("| %s | %ld | %zu / %zu | %zu / %zu | %zu / %zu | %.3f / %.3f | %.3f / "
                        "%.3f | %.3f / %.3f | %.3f | %.3f |\n",
                        command.c_str(), speed, o.to_adapter, o.from_adapter, n.to_adapter,
                        n.from_adapter, o.exchanges, n.exchanges, median(old_runs.wall),
                        median(new_runs.wall), median(old_runs.bound), median(new_runs.bound),
                        median(old_runs.ratio), median(new_runs.ratio), median(ratio),
                        median(new_runs.bound) / median(old_runs.bound));
            std::fflush(stdout);
        }
    }
}

bool have_strace() {
    return std::system("strace -V >/dev/null 2>&1") == 0;
}

/// The first tables: write and read at 115200, 230400 and unpaced against the answering
/// adapter, where the time beyond the bound goes, and the system calls per block.
void wire_tables(const bench_setup& setup, int runs, bool strace) {
    std::map<long, double> rig_us;
    for (const long speed : {115200L, 230400L, 0L}) {
        std::vector<double> v;
        for (int r = 0; r < runs; ++r) {
            v.push_back(rig_round_trip_us(setup, speed));
        }
        rig_us[speed] = median(v);
    }
    const std::vector<scenario> scenarios = {{"write", 115200}, {"write", 230400}, {"write", 0},
                                             {"read", 115200},  {"read", 230400},  {"read", 0}};
    std::printf("| command | line | bytes to / from adapter | exchanges | wall s | bound s | "
                "wall/bound | wall - bound ms | per exchange us | CPU s | CPU %% of wall |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
    std::string split_table;
    std::string fingerprints;
    for (const scenario& s : scenarios) {
        series f;
        for (int r = 0; r < runs; ++r) {
            f.add(run_once(setup, s));
        }
        const run_figures& last = f.last;
        const double excess_ms = median(f.excess);
        const std::string line = s.speed > 0 ? std::to_string(s.speed) : "unpaced";
        std::printf("| %s | %s | %zu / %zu | %zu | %.3f | %.3f | %.3f | %.1f | %.1f | %.3f | %.1f "
                    "|\n",
                    s.command.c_str(), line.c_str(), last.to_adapter, last.from_adapter,
                    last.exchanges, median(f.wall), median(f.bound), median(f.ratio), excess_ms,
                    1000 * excess_ms / static_cast<double>(last.exchanges), median(f.cpu),
                    median(f.share));
        std::fflush(stdout);
        std::array<char, 256> row{};
        std::snprintf(row.data(), row.size(),
                      "| %s | %s | %.1f | %zu | %.0f | %.0f | %.1f | %.1f | %.1f |\n",
                      s.command.c_str(), line.c_str(), excess_ms, last.turnaround_us.size(),
                      percentile(f.turnaround_us, 0.5), percentile(f.turnaround_us, 0.9),
                      median(f.turnaround), median(f.emulator), median(f.start_exit));
        split_table += row.data();
        std::snprintf(row.data(), row.size(), "%s%s %s %016llx", fingerprints.empty() ? "" : ", ",
                      s.command.c_str(), line.c_str(),
                      static_cast<unsigned long long>(last.line_fingerprint));
        fingerprints += row.data();
    }
    std::printf("\nBytes on the line (FNV-1a of the last run's transcript, both directions in "
                "order): %s\n",
                fingerprints.c_str());
    std::printf("\nWhere the time beyond the bound goes (medians over the runs; turnaround "
                "percentiles over every reply of every run):\n\n"
                "| command | line | wall - bound ms | replies | program turnaround median us | "
                "p90 us | sum of turnarounds ms | emulator beyond the wire ms | start and exit "
                "ms |\n|---|---|---|---|---|---|---|---|---|\n%s",
                split_table.c_str());
    std::printf("\nRig round trip (emulator and pseudo-terminal, one status exchange beyond its "
                "wire time, median of %d x 1000): 115200: %.1f us, 230400: %.1f us, unpaced: "
                "%.1f us\n",
                runs, rig_us.at(115200), rig_us.at(230400), rig_us.at(0));

    if (strace && have_strace()) {
        std::printf("\nSystem calls per block (strace -f -c, one run each at 115200, %zu "
                    "blocks; whole run divided by the blocks):\n\n",
                    BLOCKS);
        std::printf(
            "| command | write | read | ppoll | other | total |\n|---|---|---|---|---|---|\n");
        for (const std::string command : {"write", "read"}) {
            auto calls = count_syscalls(setup, {command, 115200});
            long total = 0;
            for (const auto& [name, n] : calls) {
                total += n;
            }
            const long other = total - calls["write"] - calls["read"] - calls["ppoll"];
            const auto per = [](long n) { return static_cast<double>(n) / BLOCKS; };
            std::printf("| %s | %.2f | %.2f | %.2f | %.2f | %.2f |\n", command.c_str(),
                        per(calls["write"]), per(calls["read"]), per(calls["ppoll"]), per(other),
                        per(total));
        }
    } else if (strace) {
        std::printf("\n(strace not available: no system call counts)\n");
    }
}

} // namespace

int main(int argc, char** argv) {
    bench_setup setup;
    setup.vantrel = VANTREL_BINARY;
    int runs = 5;
    bool strace = true;
    bool adapters = false;
    long latency_us = 1000;
    std::string baseline;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--vantrel" && i + 1 < argc) {
            setup.vantrel = argv[++i];
        } else if (a == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--no-strace") {
            strace = false;
        } else if (a == "--default-slack") {
            setup.precise_emulator = false;
        } else if (a == "--real-line") {
            setup.real_line = true;
        } else if (a == "--trace") {
            setup.trace = true;
        } else if (a == "--adapters") {
            adapters = true;
        } else if (a == "--latency-us" && i + 1 < argc) {
            latency_us = std::clamp(std::atol(argv[++i]), 0L, sim::MAX_LATENCY_US);
        } else if (a == "--baseline" && i + 1 < argc) {
            baseline = argv[++i];
        } else {
            std::fprintf(stderr, "usage: wire_bench [--vantrel PATH] [--runs N] [--no-strace] "
                                 "[--default-slack] [--real-line] [--trace]\n"
                                 "                  [--adapters] [--latency-us US] "
                                 "[--baseline PATH]\n");
            return 2;
        }
    }
    // Only --trace traces, and never the benchmark's own in-process opens.
    unsetenv("VANTREL_TRACE");
    char pattern[] = "/tmp/wire-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        return 2;
    }
    setup.dir = pattern;
    setup.image = make_image();
    {
        std::ofstream hex(setup.dir + "/image.hex");
        hex << to_hex(setup.image);
    }

    std::printf("vantrel: %s\nruns per figure: %d (median), image: %zu bytes in %zu blocks, "
                "emulator timer slack: %s, replies: %s, wire trace: %s\n\n",
                setup.vantrel.c_str(), runs, FLASH_BYTES, BLOCKS,
                setup.precise_emulator ? "1 ns" : "default",
                setup.real_line ? "byte by byte, unpaced too (real line)"
                                : "byte by byte when paced, whole when unpaced",
                setup.trace ? "VANTREL_TRACE set to a file" : "VANTREL_TRACE unset");
    if (adapters) {
        adapter_tables(setup, runs, latency_us);
    }
    if (!baseline.empty()) {
        if (adapters) {
            std::printf("\n");
        }
        baseline_table(setup, baseline, runs);
    }
    if (!adapters && baseline.empty()) {
        wire_tables(setup, runs, strace);
    }
    std::filesystem::remove_all(setup.dir);
    return 0;
}
