// SPDX-License-Identifier: MIT
// The pseudo-terminal transport of the emulated adapter: a service thread reads
// the program's bytes from the master side into a queue (emulator_intake.cpp),
// hands them to the adapter model in order and writes the replies back, keeping a
// time-stamped transcript of both directions.
#include "emulator.h"

#include "emulator_impl.h"
#include "line_clock.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

using namespace std::chrono_literals;

constexpr auto IDLE_POLL = 50ms;
constexpr auto HANGUP_BACKOFF = 5ms;
constexpr auto WRITE_GIVE_UP = 2s;    // a reply the program never reads is dropped after this
constexpr auto INJECT_SETTLE = 500ms; // bound on waiting for injected bytes to reach the queue
constexpr int WRITE_POLL_MS = 20;

bool is_raw(const termios& t) {
    return (t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 &&
           (t.c_iflag & (IXON | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT | PARMRK)) == 0;
}

[[noreturn]] void setup_failed(const char* what, int err) {
    throw std::runtime_error(std::string(what) + ": " + std::strerror(err));
}

} // namespace

using clock = line_clock;

emulator::emulator(const config& cfg) : impl_(std::make_unique<impl>(cfg)) {
    master_fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_fd_ < 0) {
        setup_failed("posix_openpt", errno);
    }
    std::array<char, 128> name{};
    bool ok = grantpt(master_fd_) == 0 && unlockpt(master_fd_) == 0 &&
              ptsname_r(master_fd_, name.data(), name.size()) == 0;
    int flags = ok ? fcntl(master_fd_, F_GETFL) : -1;
    ok = ok && flags >= 0 && fcntl(master_fd_, F_SETFL, flags | O_NONBLOCK) == 0;
    if (ok) {
        slave_path_ = name.data();
        slave_fd_ = open(name.data(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    std::array<int, 2> pipe_fds{-1, -1};
    ok = ok && slave_fd_ >= 0 && pipe2(pipe_fds.data(), O_CLOEXEC | O_NONBLOCK) == 0;
    if (!ok) {
        int saved = errno;
        if (slave_fd_ >= 0) {
            close(slave_fd_);
        }
        close(master_fd_);
        setup_failed("pseudo-terminal setup", saved);
    }
    impl_->stop_r = pipe_fds[0];
    impl_->stop_w = pipe_fds[1];
}

emulator::~emulator() {
    stop();
    if (master_fd_ >= 0) {
        close(master_fd_);
    }
    close(slave_fd_);
    close(impl_->stop_r);
    close(impl_->stop_w);
}

void emulator::start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (thread_.joinable() || master_fd_ < 0) {
        return;
    }
    std::array<uint8_t, 16> junk{};
    while (read(impl_->stop_r, junk.data(), junk.size()) > 0) {
    }
    impl_->adapter.faults().restart_noise(clock::now());
    thread_ = std::thread([this] { serve(); });
}

void emulator::stop() {
    if (!thread_.joinable()) {
        return;
    }
    uint8_t one = 1;
    while (write(impl_->stop_w, &one, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
}

void emulator::write_locked(const std::vector<uint8_t>& bytes) {
    std::size_t done = 0;
    auto give_up = clock::now() + WRITE_GIVE_UP;
    while (done < bytes.size() && master_fd_ >= 0) {
        ssize_t n = write(master_fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            auto when = clock::now();
            for (ssize_t i = 0; i < n; ++i) {
                impl_->log.push_back({when, direction::from_adapter, bytes[done + i]});
            }
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if ((n < 0 && errno != EAGAIN) || clock::now() >= give_up) {
            return;
        }
        // A reply the program does not read must not keep stop() waiting.
        std::array<pollfd, 2> p{{{master_fd_, POLLOUT, 0}, {impl_->stop_r, POLLIN, 0}}};
        poll(p.data(), p.size(), WRITE_POLL_MS);
        if ((p[1].revents & POLLIN) != 0) {
            return;
        }
    }
}

void emulator::inject(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (master_fd_ < 0 || bytes.empty()) {
        return;
    }
    // A line in cooked mode would echo, translate or swallow the bytes; let them into the
    // input queue unprocessed and put the settings back as they were.
    termios found{};
    bool switched = false;
    if (tcgetattr(slave_fd_, &found) == 0 && !is_raw(found)) {
        termios raw = found;
        cfmakeraw(&raw);
        switched = tcsetattr(slave_fd_, TCSANOW, &raw) == 0;
    }
    int before = 0;
    if (switched) {
        ioctl(slave_fd_, FIONREAD, &before);
    }
    write_locked(bytes);
    if (switched) {
        auto give_up = clock::now() + INJECT_SETTLE;
        int queued = 0;
        while (clock::now() < give_up) {
            if (ioctl(slave_fd_, FIONREAD, &queued) == 0 &&
                queued >= before + static_cast<int>(bytes.size())) {
                break;
            }
            std::this_thread::sleep_for(1ms);
        }
        tcsetattr(slave_fd_, TCSANOW, &found);
    }
}

void emulator::close_master_locked() {
    if (master_fd_ >= 0) {
        close(master_fd_);
        master_fd_ = -1;
    }
}

void emulator::hang_up() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        stop();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    close_master_locked();
}

long emulator::line_baud() const {
    termios t{};
    if (!impl_->cfg.baud_pacing || tcgetattr(slave_fd_, &t) != 0) {
        return 0;
    }
    return baud_of(cfgetospeed(&t));
}

/// A paced line is a serial line, which hands a reply over one byte at a time (a reply
/// delivered whole after its last byte would leave the reader without a byte for longer than
/// a reply wait at low speeds); so is a real line with a gap or without.
bool emulator::hands_over_bytewise() const {
    return impl_->cfg.baud_pacing || impl_->cfg.real_line || impl_->cfg.byte_gap_us > 0;
}

/// Wire time of one byte: the line's speed when pacing; for replies on an unpaced real
/// line, the configured gap.
clock::duration emulator::byte_period(bool reply) const {
    long baud = line_baud();
    if (baud > 0) {
        return byte_time(baud);
    }
    return reply ? std::chrono::microseconds(std::max(impl_->cfg.byte_gap_us, 0))
                 : clock::duration::zero();
}

void emulator::serve() {
    const int stop_fd = impl_->stop_r;
    for (;;) {
        if (!serve_queue()) {
            return;
        }
        auto timeout = clock::now() + IDLE_POLL;
        std::vector<uint8_t> noise;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (master_fd_ < 0) {
                return;
            }
            if (impl_->adapter.faults().hang_up_due(impl_->rx_total)) {
                close_master_locked();
                return;
            }
            noise = impl_->adapter.faults().noise_due(clock::now());
            timeout = impl_->adapter.faults().next_noise(timeout);
        }
        if (!noise.empty() && !transmit(noise)) {
            return;
        }
        auto wait_ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(timeout - clock::now());
        std::array<pollfd, 2> fds{{{master_fd_, POLLIN, 0}, {stop_fd, POLLIN, 0}}};
        int r = poll(fds.data(), fds.size(), static_cast<int>(std::max<long>(wait_ms.count(), 0)));
        if ((fds[1].revents & POLLIN) != 0) {
            return;
        }
        bool broken = r < 0 ? errno != EINTR
                            : (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 &&
                                  (fds[0].revents & POLLIN) == 0;
        if (r > 0 && (fds[0].revents & POLLIN) != 0) {
            broken = receive() == intake::broken;
        }
        // Nobody has the slave side open (or the line failed): back off a little.
        if (broken && !wait_until(clock::now() + HANGUP_BACKOFF, stop_fd)) {
            return;
        }
    }
}

bool emulator::transmit(const std::vector<uint8_t>& bytes) {
    const auto period = byte_period(true);
    const auto start = std::max(clock::now(), impl_->tx_wire_free);
    impl_->tx_wire_free = start + period * static_cast<long>(bytes.size());
    if (!hands_over_bytewise()) {
        // The whole reply at once, as a pseudo-terminal hands it over.
        if (period > clock::duration::zero() && !wait_reading(impl_->tx_wire_free)) {
            return false;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        write_locked(bytes);
        return true;
    }
    // Each byte on its own at its own time; the deadlines count from the start, so a
    // late byte does not delay the ones after it.
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        auto due = start + period * static_cast<long>(i + 1);
        if (period > clock::duration::zero() && !wait_reading(due)) {
            return false;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        write_locked({bytes[i]});
    }
    return true;
}

/// Hands b to the adapter model, which takes it once it is free, and sends the reply, if any,
/// once a busy period the command starts is over, no sooner than the turnaround after the
/// request arrived, and later still by a late-reply fault.
bool emulator::answer(uint8_t b, clock::time_point arrived) {
    std::optional<exchange> e;
    trace_hook trace;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        e = impl_->adapter.take(b);
        trace = e ? impl_->trace : trace_hook{};
    }
    if (!e) {
        return true;
    }
    if (e->busy_us > 0) {
        start_busy(std::max(arrived, impl_->busy_end), e->busy_us);
        if (!wait_reading(impl_->busy_end)) {
            return false;
        }
    }
    const long latency_us = std::clamp(impl_->cfg.latency_us, 0L, MAX_LATENCY_US);
    if (!e->reply.empty() && latency_us > 0 &&
        !wait_reading(arrived + std::chrono::microseconds(latency_us))) {
        return false;
    }
    if (e->delay_ms > 0 && !wait_reading(clock::now() + std::chrono::milliseconds(e->delay_ms))) {
        return false;
    }
    if (!e->reply.empty() && !transmit(e->reply)) {
        return false;
    }
    if (trace) {
        trace(*e);
    }
    return true;
}

} // namespace sim
