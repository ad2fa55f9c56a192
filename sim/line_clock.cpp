// SPDX-License-Identifier: MIT
#include "line_clock.h"

#include <array>
#include <ctime>
#include <poll.h>

namespace sim {

namespace {

struct speed_entry {
    speed_t code;
    long baud;
};

constexpr std::array<speed_entry, 30> SPEEDS = {{
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
}};

constexpr long BITS_PER_BYTE = 10;

timespec to_timespec(line_clock::duration d) {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    return ts;
}

} // namespace

long baud_of(speed_t code) {
    for (const auto& s : SPEEDS) {
        if (s.code == code) {
            return s.baud;
        }
    }
    return 0;
}

line_clock::duration byte_time(long baud) {
    if (baud <= 0) {
        return line_clock::duration::zero();
    }
    return std::chrono::duration_cast<line_clock::duration>(
        std::chrono::nanoseconds(BITS_PER_BYTE * 1'000'000'000LL / baud));
}

bool wait_until(line_clock::time_point deadline, int stop_fd) {
    return wait_or_readable(deadline, stop_fd, -1) != wake::stopped;
}

wake wait_or_readable(line_clock::time_point deadline, int stop_fd, int watch_fd) {
    for (;;) {
        auto left = deadline - line_clock::now();
        if (left <= line_clock::duration::zero()) {
            return wake::deadline;
        }
        const bool spin = left <= DEADLINE_SPIN;
        if (spin && watch_fd < 0) {
            while (line_clock::now() < deadline) {
                // at most DEADLINE_SPIN: the sleeps end that long before the deadline
            }
            return wake::deadline;
        }
        // While spinning, the watched descriptor is looked at without sleeping.
        timespec sleep = to_timespec(spin ? line_clock::duration::zero() : left - DEADLINE_SPIN);
        std::array<pollfd, 2> p{{{stop_fd, POLLIN, 0}, {watch_fd, POLLIN, 0}}};
        if (ppoll(p.data(), p.size(), &sleep, nullptr) <= 0) {
            continue;
        }
        if (p[0].revents != 0) {
            return wake::stopped;
        }
        if ((p[1].revents & POLLIN) != 0) {
            return wake::readable;
        }
        if (p[1].revents != 0) {
            return wake::broken;
        }
    }
}

} // namespace sim
