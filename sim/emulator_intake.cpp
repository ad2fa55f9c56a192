// SPDX-License-Identifier: MIT
// The emulated adapter's intake: the program's bytes read from the line into a queue, each
// stamped with its time on the wire, judged against the adapter's busy periods (held while
// there is room in its hold, else lost) and served in order.
#include "emulator.h"

#include "emulator_impl.h"
#include "line_clock.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <unistd.h>

namespace sim {

using clock = line_clock;

/// Reads one chunk from the line. Each byte is logged as read, so the transcript shows when
/// the program sent it; it arrives then, or on a paced line once it has crossed the wire after
/// the bytes before it, and the chunk is served once its last byte has. A request fault acts
/// on the wire, before the adapter's hold takes or loses the byte.
emulator::intake emulator::receive() {
    std::array<uint8_t, 256> buf{};
    ssize_t n = read(master_fd_, buf.data(), buf.size());
    if (n <= 0) {
        return n == 0 || (errno != EAGAIN && errno != EINTR) ? intake::broken : intake::none;
    }
    const auto read_at = clock::now();
    const auto period = byte_period(false);
    auto start = read_at;
    auto due = read_at;
    if (period > clock::duration::zero()) {
        start = std::max(read_at, impl_->rx_wire_free);
        impl_->rx_wire_free = start + period * static_cast<long>(n);
        due = impl_->rx_wire_free;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (ssize_t i = 0; i < n; ++i) {
        const auto arrived = period > clock::duration::zero() ? start + period * (i + 1) : read_at;
        impl_->log.push_back({read_at, direction::to_adapter, buf[i]});
        ++impl_->rx_total;
        if (impl_->adapter.faults().hang_up_due(impl_->rx_total)) {
            // The bytes before it are served first; nothing is read after it.
            impl_->rx_queue.push_back({0, arrived, due, received_byte::fate::hang_up});
            impl_->hanging_up = true;
            break;
        }
        for (uint8_t b : impl_->adapter.faults().relay(buf[i], impl_->rx_total)) {
            received_byte r{b, arrived, due};
            judge_locked(r);
            impl_->rx_queue.push_back(r);
        }
    }
    return intake::some;
}

/// A byte that arrived during the latest busy period goes into the adapter's hold while there
/// is room in it, else is lost.
void emulator::judge_locked(received_byte& r) {
    if (r.state != received_byte::fate::waiting || r.arrived < impl_->busy_start ||
        r.arrived >= impl_->busy_end) {
        return;
    }
    if (impl_->held < std::clamp(impl_->cfg.rx_hold, 0, MAX_RX_HOLD)) {
        r.state = received_byte::fate::held;
        ++impl_->held;
    } else {
        r.state = received_byte::fate::lost;
        ++impl_->lost;
    }
}

/// The adapter, having taken a command at taken, is busy for busy_us: the bytes queued that
/// arrived since are judged, and so are those that arrive later, as they are read.
void emulator::start_busy(clock::time_point taken, long busy_us) {
    const auto busy = std::chrono::microseconds(std::clamp(busy_us, 0L, MAX_BUSY_US));
    impl_->busy_start = taken;
    impl_->busy_end = taken + busy;
    auto& queue = impl_->rx_queue;
    // Bytes held during an earlier period still fill the hold.
    impl_->held = static_cast<int>(std::count_if(queue.begin(), queue.end(), [](const auto& r) {
        return r.state == received_byte::fate::held;
    }));
    std::lock_guard<std::mutex> lock(mutex_);
    impl_->busy_total += busy;
    for (auto& r : queue) {
        judge_locked(r);
    }
}

bool emulator::serve_queue() {
    auto& queue = impl_->rx_queue;
    while (!queue.empty()) {
        if (!wait_reading(queue.front().due)) {
            return false;
        }
        const received_byte r = queue.front();
        queue.pop_front();
        if (r.state == received_byte::fate::hang_up) {
            std::lock_guard<std::mutex> lock(mutex_);
            close_master_locked();
            return false;
        }
        if (r.state == received_byte::fate::lost) {
            trace_hook trace;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                trace = impl_->trace;
            }
            if (trace) {
                trace(exchange{.command = r.byte, .lost = true});
            }
            continue;
        }
        if (!answer(r.byte, r.arrived)) {
            return false;
        }
    }
    return true;
}

/// Waits until deadline, reading what the line brings meanwhile so that each byte is stamped
/// as it comes; false when serving must stop.
bool emulator::wait_reading(clock::time_point deadline) {
    const int stop_fd = impl_->stop_r;
    for (;;) {
        const int watch = impl_->hanging_up ? -1 : master_fd_;
        switch (wait_or_readable(deadline, stop_fd, watch)) {
        case wake::deadline:
            return true;
        case wake::stopped:
            return false;
        case wake::readable:
            if (receive() != intake::broken) {
                continue;
            }
            [[fallthrough]];
        case wake::broken:
            return wait_until(deadline, stop_fd);
        }
    }
}

} // namespace sim
