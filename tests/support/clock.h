// SPDX-License-Identifier: MIT
// Time in the tests: elapsed time, deadlines and waits that always end.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

namespace test_support {

using steady = std::chrono::steady_clock;

/// Microseconds from since until now.
long elapsed_us(steady::time_point since);

/// Seconds from since until now.
double elapsed_s(steady::time_point since);

/// A moment some time from now, for loops that wait in steps.
class deadline {
  public:
    explicit deadline(std::chrono::milliseconds from_now) : at_(steady::now() + from_now) {}
    explicit deadline(double seconds_from_now)
        : deadline(std::chrono::milliseconds(static_cast<long>(seconds_from_now * 1000))) {}

    bool passed() const { return steady::now() >= at_; }

    /// Milliseconds left, 0 once passed and at most cap_ms: a timeout for poll().
    int left_ms(int cap_ms = 1000) const;

  private:
    steady::time_point at_;
};

/// Checks done every step until it holds; false when bound passes first.
bool wait_for(const std::function<bool()>& done, std::chrono::milliseconds bound,
              std::chrono::milliseconds step = std::chrono::milliseconds(5));

/// Looks at measure() every quiet until two looks in a row agree, or bound passes; returns
/// the last value. For "the peer has taken in everything sent".
std::size_t wait_until_steady(const std::function<std::size_t()>& measure,
                              std::chrono::milliseconds quiet, std::chrono::milliseconds bound);

} // namespace test_support
