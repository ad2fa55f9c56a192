// SPDX-License-Identifier: MIT
// The serial port: raw 8-bit line setup and restore, timed reads, writes.
//
// Every wait goes through ppoll(), which has no limit on the descriptor's value and keeps the
// microsecond timeouts exact. The descriptor stays non-blocking, so a read or a write never
// blocks; the waits before them carry every bound.
#include "serial/serial_port.h"

#include "serial/open_failure.h"
#include "serial/port_settings.h"
#include "serial/serial_tap.h"
#include "serial/signal_guard.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace {

/// Bound of serial_send on a port that stays unwritable, in microseconds.
constexpr long SERIAL_SEND_LIMIT_US = 1000000;

/// Bound of serial_wait_sent on output that never leaves (a stopped flow control).
constexpr long SERIAL_SENT_LIMIT_US = 1000000;

/// Pause between two looks at the output queue in serial_wait_sent, in microseconds.
constexpr long SERIAL_SENT_POLL_US = 1000;

constexpr long MICROSECONDS_PER_SECOND = 1000000;

/// What the program knows of an open line's transmitter: the time one character takes on the
/// wire and when the bytes written so far will have left it. A reply cannot begin before its
/// request has left, and at 300 bit/s a 24-byte request takes 800 ms, so reply waits count
/// from then. One entry per port opened by serial_open; a descriptor without one (a test's
/// own pseudo-terminal) waits from the call.
struct line_state {
    int fd;
    long char_us;    // one character on the wire, start and stop bits included
    long tx_done_us; // monotonic time at which the written bytes have left
};

constexpr int LINES_MAX = 4;
std::array<line_state, LINES_MAX> lines{{{-1, 0, 0}, {-1, 0, 0}, {-1, 0, 0}, {-1, 0, 0}}};

line_state* line_of(int fd) {
    for (line_state& line : lines) {
        if (line.fd == fd && fd >= 0) {
            return &line;
        }
    }
    return nullptr;
}

/// Remembers fd's character time from the settings it was opened with.
void track_line(int fd, const termios& settings, int baud_rate) {
    const long rate = is_accepted_rate(baud_rate) ? baud_rate : 19200;
    const long bits = 1 + 8 + ((settings.c_cflag & CSTOPB) != 0 ? 2 : 1);
    for (line_state& line : lines) {
        if (line.fd < 0) {
            line = {fd, (bits * MICROSECONDS_PER_SECOND + rate - 1) / rate, 0};
            return;
        }
    }
}

/// The time from which a reply to everything sent on fd can be expected: when the last byte
/// written has left and one character more (the reply's first) could have arrived.
long reply_possible_from_us(int fd) {
    const line_state* line = line_of(fd);
    return line == nullptr ? 0 : line->tx_done_us + line->char_us;
}

/// Waits up to timeout_us for events on fd. 1 when fd reported anything (readiness, hang-up
/// or error: the following read or write tells which), 0 when the time passed, -1 when the
/// wait itself failed. An interrupted wait goes on for the time that is left.
int wait_for(int fd, short events, long timeout_us) {
    const long deadline = monotonic_now_us() + timeout_us;
    for (;;) {
        long left = deadline - monotonic_now_us();
        if (left < 0) {
            left = 0;
        }
        pollfd entry{fd, events, 0};
        const timespec timeout{left / MICROSECONDS_PER_SECOND,
                               (left % MICROSECONDS_PER_SECOND) * 1000};
        const int result = ppoll(&entry, 1, &timeout, nullptr);
        if (result > 0) {
            return 1;
        }
        if (result == 0) {
            return 0;
        }
        if (errno != EINTR || left == 0) {
            return -1;
        }
    }
}

/// Reads up to count bytes while each gap between arrivals stays below timeout_us, and (when
/// limit_us is not negative) until limit_us has passed since the start. The first gap counts
/// from when the bytes sent before could have been answered. Returns the count stored. A
/// failed wait, a failed read and an end of file (hang-up) end it.
int read_bounded(int fd, uint8_t* buffer, int count, long timeout_us, long limit_us) {
    const long start = monotonic_now_us();
    const long answer_from = reply_possible_from_us(fd);
    long quiet_deadline = (answer_from > start ? answer_from : start) + timeout_us;
    int total = 0;
    bool looked_last = false;
    while (total < count) {
        const long now = monotonic_now_us();
        if (limit_us >= 0 && now - start >= limit_us) {
            break;
        }
        long wait_us = quiet_deadline - now;
        if (limit_us >= 0 && start + limit_us - now < wait_us) {
            wait_us = start + limit_us - now;
        }
        if (wait_us <= 0) {
            // The time is up, but the program itself may have been held up past it: bytes that
            // arrived in time are taken by one last look that does not wait.
            if (looked_last) {
                break;
            }
            looked_last = true;
            wait_us = 0;
        }
        if (wait_for(fd, POLLIN, wait_us) <= 0) {
            break;
        }
        const ssize_t got = read(fd, buffer + total, static_cast<std::size_t>(count - total));
        if (got > 0) {
            total += static_cast<int>(got);
            quiet_deadline = monotonic_now_us() + timeout_us;
            looked_last = false;
        } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
            break;
        }
        // EINTR and EAGAIN wait again, within the same quiet deadline.
    }
    return total;
}

void pause_us(long duration_us) {
    const timespec pause{duration_us / MICROSECONDS_PER_SECOND,
                         (duration_us % MICROSECONDS_PER_SECOND) * 1000};
    nanosleep(&pause, nullptr);
}

/// What a layer above installed to see the line; null: nothing.
const serial_tap* tap = nullptr;

/// Closes fd after a failed step of serial_open and reports why; -1.
int refuse_open(int fd, const char* path, open_step step) {
    const int reason = errno;
    close(fd);
    report_open_failure(path, reason, step);
    return -1;
}

} // namespace

long monotonic_now_us() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * MICROSECONDS_PER_SECOND + now.tv_nsec / 1000;
}

int serial_pending(int fd) {
    int waiting = 0;
    if (ioctl(fd, FIONREAD, &waiting) != 0 || waiting < 0) {
        return 0;
    }
    return waiting;
}

void serial_set_interrupt_note(const char* note) {
    guard_set_note(note);
}

void serial_set_tap(const serial_tap* installed) {
    tap = installed;
    guard_set_signal_tap(installed != nullptr ? installed->ended_by_signal : nullptr);
}

/// The descriptor, or -1 after "Cannot open: <path>" and the reason for a missing path, a
/// refused permission, a non-terminal or a port locked by another open; *saved_settings is
/// written only on success.
int serial_open(const char* path, int baud_rate, termios* saved_settings) {
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        report_open_failure(path, errno, OPEN_STEP_OPEN);
        return -1;
    }
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        return refuse_open(fd, path, OPEN_STEP_SETTINGS);
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return refuse_open(fd, path, OPEN_STEP_LOCK);
    }
    if (saved_settings != nullptr) {
        std::memcpy(saved_settings, &settings, sizeof settings);
    }
    guard_settings(GUARD_PORT, fd, settings);
    const speed_t speed = serial_speed_constant(baud_rate);
    cfsetispeed(&settings, speed);
    cfsetospeed(&settings, speed);
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD | CS8;
    settings.c_iflag = 0;
    settings.c_oflag = 0;
    settings.c_lflag = 0;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &settings);
    track_line(fd, settings, baud_rate);
    port_request_low_latency(fd);
    if (tap != nullptr && tap->opened != nullptr) {
        tap->opened(fd, port_describe(fd, path, baud_rate));
    }
    return fd;
}

/// Restores saved_settings at once (queued output is not waited for) and closes fd, which
/// also releases the lock.
void serial_close(int fd, const termios* saved_settings) {
    if (tap != nullptr && tap->closing != nullptr) {
        tap->closing(fd);
    }
    port_restore_low_latency(fd);
    if (saved_settings != nullptr) {
        tcsetattr(fd, TCSANOW, saved_settings);
    }
    guard_release(GUARD_PORT);
    if (line_state* line = line_of(fd)) {
        line->fd = -1;
    }
    close(fd);
}

/// Retries short and interrupted writes; each wait for writability shares one bound of
/// SERIAL_SEND_LIMIT_US, after which (or after a hard error) the rest is dropped silently.
void serial_send(int fd, const void* data, std::size_t count) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    const long deadline = monotonic_now_us() + SERIAL_SEND_LIMIT_US;
    line_state* line = line_of(fd);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t written = write(fd, bytes + done, count - done);
        if (written > 0) {
            if (tap != nullptr && tap->sent != nullptr) {
                tap->sent(fd, bytes + done, static_cast<std::size_t>(written));
            }
            done += static_cast<std::size_t>(written);
            if (line != nullptr) {
                const long now = monotonic_now_us();
                const long from = line->tx_done_us > now ? line->tx_done_us : now;
                line->tx_done_us = from + written * line->char_us;
            }
            continue;
        }
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0 && errno != EAGAIN) {
            return;
        }
        const long left = deadline - monotonic_now_us();
        if (left <= 0 || wait_for(fd, POLLOUT, left) <= 0) {
            return;
        }
    }
}

/// Each wait for the next bytes lasts at most timeout_us; a silent adapter costs one wait.
int serial_read_timed(int fd, uint8_t* buffer, int count, long timeout_us) {
    const int got = read_bounded(fd, buffer, count, timeout_us, -1);
    if (tap != nullptr && tap->received != nullptr) {
        tap->received(fd, buffer, got, count, timeout_us);
    }
    return got;
}

/// -1 when no byte came within timeout_us.
int serial_read_byte(int fd, long timeout_us) {
    uint8_t byte = 0;
    if (serial_read_timed(fd, &byte, 1, timeout_us) != 1) {
        return -1;
    }
    return byte;
}

/// Ends after timeout_us of silence, or after SERIAL_DRAIN_LIMIT_US on a noisy line.
int serial_drain(int fd, long timeout_us) {
    std::array<uint8_t, 256> scratch{};
    const long deadline = monotonic_now_us() + SERIAL_DRAIN_LIMIT_US;
    int discarded = 0;
    if (tap != nullptr && tap->drain_begin != nullptr) {
        tap->drain_begin(fd);
    }
    for (;;) {
        const long left = deadline - monotonic_now_us();
        if (left <= 0) {
            return discarded;
        }
        const int got =
            read_bounded(fd, scratch.data(), static_cast<int>(scratch.size()), timeout_us, left);
        if (tap != nullptr && tap->drained != nullptr) {
            tap->drained(fd, scratch.data(), got);
        }
        if (got == 0) {
            return discarded;
        }
        discarded += got;
    }
}

/// Waits until the output queue is empty, at most SERIAL_SENT_LIMIT_US, and then for the
/// transmitter to finish its last bytes.
void serial_wait_sent(int fd) {
    const long deadline = monotonic_now_us() + SERIAL_SENT_LIMIT_US;
    for (;;) {
        int queued = 0;
        if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) {
            break;
        }
        if (monotonic_now_us() >= deadline) {
            return; // output is stuck: waiting for the transmitter could last forever
        }
        pause_us(SERIAL_SENT_POLL_US);
    }
    while (tcdrain(fd) != 0 && errno == EINTR) {
    }
}
