// SPDX-License-Identifier: MIT
// Runs that mostly wait on the clock (replies that do not come, slow lines) run side by side.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <thread>
#include <vector>

namespace test_support {

/// Calls body(item) for every item, at most at_once of them at a time, each on a thread of its
/// own, and returns when every call has. Assertions in body count as usual; an ASSERT ends
/// only the call it is in. Each call needs a line and files of its own.
template <typename Items, typename Body>
void side_by_side(const Items& items, const Body& body, std::size_t at_once = 16) {
    const std::size_t count = std::size(items);
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> workers;
    for (std::size_t w = 0; w < std::min(at_once, count); ++w) {
        workers.emplace_back([&] {
            for (std::size_t i = next++; i < count; i = next++) {
                body(std::begin(items)[static_cast<std::ptrdiff_t>(i)]);
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
}

template <typename T, typename Body>
void side_by_side(std::initializer_list<T> items, const Body& body, std::size_t at_once = 16) {
    side_by_side<std::initializer_list<T>, Body>(items, body, at_once);
}

} // namespace test_support
