// SPDX-License-Identifier: MIT
#include "support/clock.h"

#include <algorithm>
#include <thread>

namespace test_support {

long elapsed_us(steady::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::microseconds>(steady::now() - since).count());
}

double elapsed_s(steady::time_point since) {
    return std::chrono::duration<double>(steady::now() - since).count();
}

int deadline::left_ms(int cap_ms) const {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(at_ - steady::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, cap_ms));
}

bool wait_for(const std::function<bool()>& done, std::chrono::milliseconds bound,
              std::chrono::milliseconds step) {
    const deadline end(bound);
    while (!done()) {
        if (end.passed()) {
            return false;
        }
        std::this_thread::sleep_for(step);
    }
    return true;
}

std::size_t wait_until_steady(const std::function<std::size_t()>& measure,
                              std::chrono::milliseconds quiet, std::chrono::milliseconds bound) {
    const deadline end(bound);
    std::size_t seen = measure();
    do {
        std::this_thread::sleep_for(quiet);
        const std::size_t now = measure();
        if (now == seen) {
            return now;
        }
        seen = now;
    } while (!end.passed());
    return seen;
}

} // namespace test_support
