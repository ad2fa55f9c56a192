// SPDX-License-Identifier: MIT
// vantrel-emu: an emulated C2 interface adapter with a C8051F30x behind it, served on a
// pseudo-terminal, for trying the programmer, scripting it and writing adapters.
#include "emu_options.h"
#include "emu_watch.h"
#include "emulator.h"
#include "fault_spec.h"
#include "hex_file.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using emu_tool::line_link;
using emu_tool::open_watch;
using emu_tool::tool_options;

// After the last close, a new open within this time belongs to the same run (the
// programmer reopens the port for --reset).
constexpr auto ONCE_GRACE = std::chrono::milliseconds(300);
constexpr int WAIT_SLICE_MS = 200;

/// The descriptor that SIGINT, SIGTERM and SIGHUP arrive on, closed with it.
class stop_signals {
  public:
    stop_signals() {
        // Blocking the signals before the service thread starts keeps them off that thread.
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        std::signal(SIGPIPE, SIG_IGN);
        fd_ = signalfd(-1, &set, SFD_CLOEXEC);
    }
    ~stop_signals() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    stop_signals(const stop_signals&) = delete;
    stop_signals& operator=(const stop_signals&) = delete;

    int fd() const { return fd_; }

  private:
    int fd_ = -1;
};

/// Waits for SIGINT, SIGTERM or SIGHUP, or with a watch for the end of one run.
void serve_until_done(int signal_fd, open_watch* watch) {
    for (;;) {
        std::array<pollfd, 2> fds{
            {{signal_fd, POLLIN, 0}, {watch != nullptr ? watch->fd() : -1, POLLIN, 0}}};
        int r = poll(fds.data(), fds.size(), WAIT_SLICE_MS);
        if (r < 0 && errno != EINTR) {
            std::fprintf(stderr, "vantrel-emu: poll: %s\n", std::strerror(errno));
            return;
        }
        if (r > 0 && (fds[0].revents & POLLIN) != 0) {
            signalfd_siginfo info{};
            if (read(signal_fd, &info, sizeof info) > 0) {
                return;
            }
        }
        if (watch != nullptr) {
            if (r > 0 && (fds[1].revents & POLLIN) != 0) {
                watch->take_events();
            }
            if (watch->run_finished()) {
                return;
            }
        }
    }
}

int run(const tool_options& o) {
    sim::flash_array initial{};
    initial.fill(0xFF);
    if (!o.flash_file.empty()) {
        std::string why;
        if (!sim::load_hex_file(o.flash_file, initial, why)) {
            std::fprintf(stderr, "vantrel-emu: --flash %s\n", why.c_str());
            return emu_tool::EXIT_USAGE;
        }
    }

    stop_signals signals;
    if (signals.fd() < 0) {
        std::fprintf(stderr, "vantrel-emu: signalfd: %s\n", std::strerror(errno));
        return 1;
    }

    std::unique_ptr<sim::emulator> emu;
    try {
        emu = std::make_unique<sim::emulator>(o.cfg);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vantrel-emu: %s\n", e.what());
        return 1;
    }
    emu->set_flash(0, std::vector<uint8_t>(initial.begin(), initial.end()));
    for (const auto& f : o.faults) {
        emu->add_fault(f);
    }
    if (o.trace) {
        emu->set_trace([](const sim::exchange& e) {
            std::string line = sim::describe_exchange(e) + "\n";
            std::fputs(line.c_str(), stderr);
        });
    }

    std::unique_ptr<open_watch> watch;
    if (o.once) {
        watch = std::make_unique<open_watch>(emu->slave_path(), ONCE_GRACE);
        if (watch->fd() < 0) {
            std::fprintf(stderr, "vantrel-emu: --once: cannot watch %s: %s\n",
                         emu->slave_path().c_str(), std::strerror(errno));
            return 1;
        }
    }
    line_link link(o.link_path, emu->slave_path());
    if (!o.link_path.empty()) {
        std::string why;
        if (!link.make(why)) {
            std::fprintf(stderr, "vantrel-emu: --link %s\n", why.c_str());
            return 1;
        }
    }

    if (!o.stale.empty()) {
        emu->inject(o.stale);
    }
    emu->start();
    std::printf("%s\n", emu->slave_path().c_str());
    std::fflush(stdout);

    serve_until_done(signals.fd(), watch.get());
    emu->stop();
    link.remove();

    if (!o.save_file.empty()) {
        std::string why;
        if (!sim::save_hex_file(o.save_file, emu->flash(), 0, sim::USABLE_FLASH_END, why)) {
            std::fprintf(stderr, "vantrel-emu: --save %s\n", why.c_str());
            return 1;
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return run(emu_tool::parse_command_line(argc, argv));
}
