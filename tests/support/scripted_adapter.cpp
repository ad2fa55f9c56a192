// SPDX-License-Identifier: MIT
// A scripted adapter on a pseudo-terminal.
#include "support/scripted_adapter.h"

#include "support/clock.h"

#include <poll.h>
#include <unistd.h>

#include <chrono>

namespace test_support {

scripted_adapter::bytes scripted_adapter::received(int quiet_ms) {
    wait_until_steady(
        [this] {
            std::lock_guard lock(mutex_);
            return received_.size();
        },
        std::chrono::milliseconds(quiet_ms), std::chrono::seconds(10));
    std::lock_guard lock(mutex_);
    return received_;
}

void scripted_adapter::serve() {
    while (!stop_) {
        pollfd entry{line_.master(), POLLIN, 0};
        if (poll(&entry, 1, 10) <= 0) {
            continue;
        }
        uint8_t chunk[256];
        const ssize_t n = read(line_.master(), chunk, sizeof chunk);
        if (n <= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        for (ssize_t i = 0; i < n; ++i) {
            step answer{};
            bool answering = false;
            {
                std::lock_guard lock(mutex_);
                received_.push_back(chunk[i]);
                const uint8_t b = chunk[i];
                if (b >= 0x01 && b <= 0x7F && !script_.empty() && script_.front().command == b) {
                    answer = script_.front();
                    script_.pop_front();
                    answering = true;
                }
            }
            if (answering && !answer.reply.empty()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(answer.delay_ms));
                (void)!write(line_.master(), answer.reply.data(), answer.reply.size());
            }
        }
    }
}

} // namespace test_support
