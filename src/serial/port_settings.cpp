// SPDX-License-Identifier: MIT
// The line's settings: the speeds it can be set to, and the low-latency flag of USB serial
// converters.
#include "serial/port_settings.h"

#include "serial/signal_guard.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <array>

namespace {

struct speed_entry {
    int baud_rate;
    speed_t constant;
};

constexpr std::array<speed_entry, 11> SPEED_TABLE{{
    {300, B300},
    {600, B600},
    {1200, B1200},
    {2400, B2400},
    {4800, B4800},
    {9600, B9600},
    {19200, B19200},
    {38400, B38400},
    {57600, B57600},
    {115200, B115200},
    {230400, B230400},
}};

// USB serial converters hold small replies back for their latency timer (16 ms on common
// chips) unless the driver is asked for low latency. Best effort: drivers without the
// request (a pseudo-terminal among them) are left alone, silently. The port whose flag this
// process turned on, so that closing it can turn the flag off again.
int low_latency_fd = -1;

} // namespace

void port_request_low_latency(int fd) {
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY) != 0) {
        return;
    }
    serial.flags |= ASYNC_LOW_LATENCY;
    // Guarded before it is set: a signal between the two finds the flag to clear.
    guard_low_latency(fd);
    if (ioctl(fd, TIOCSSERIAL, &serial) == 0) {
        low_latency_fd = fd;
    } else {
        guard_low_latency(-1);
    }
}

void port_restore_low_latency(int fd) {
    if (fd != low_latency_fd) {
        return;
    }
    low_latency_fd = -1;
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags &= ~static_cast<int>(ASYNC_LOW_LATENCY);
        ioctl(fd, TIOCSSERIAL, &serial);
    }
    guard_low_latency(-1);
}

/// What the tap is told of the port just opened: the speed the driver set and whether it keeps
/// the low-latency flag.
serial_port_opened port_describe(int fd, const char* path, int baud_rate) {
    serial_port_opened port{path, baud_rate, 0, LOW_LATENCY_NOT_OFFERED};
    termios settings{};
    if (tcgetattr(fd, &settings) == 0) {
        const speed_t speed = cfgetospeed(&settings);
        for (const speed_entry& entry : SPEED_TABLE) {
            if (entry.constant == speed) {
                port.speed_set = entry.baud_rate;
            }
        }
    }
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        port.low_latency =
            (serial.flags & ASYNC_LOW_LATENCY) != 0 ? LOW_LATENCY_ON : LOW_LATENCY_REFUSED;
    }
    return port;
}

speed_t serial_speed_constant(int baud_rate) {
    for (const speed_entry& entry : SPEED_TABLE) {
        if (entry.baud_rate == baud_rate) {
            return entry.constant;
        }
    }
    return B19200;
}

bool is_accepted_rate(long baud_rate) {
    for (const speed_entry& entry : SPEED_TABLE) {
        if (entry.baud_rate == baud_rate) {
            return true;
        }
    }
    return false;
}
