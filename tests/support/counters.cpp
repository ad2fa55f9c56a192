// SPDX-License-Identifier: MIT
#include "support/counters.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <vector>

namespace test_support {

namespace {

/// The test goes on, and ends skipped unless another check fails.
void skip_counted_checks(const std::string& name) {
    GTEST_SKIP() << "no " << name << " counter in /proc/thread-self/io: system calls not counted";
}

} // namespace

long thread_io_counter(const std::string& name) {
    std::ifstream io("/proc/thread-self/io");
    std::string key;
    long value = 0;
    while (io >> key >> value) {
        if (key == name) {
            return value;
        }
    }
    skip_counted_checks(name);
    return -1;
}

long cpu_ticks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto name_end = line.rfind(')');
    if (name_end == std::string::npos) {
        return -1;
    }
    std::istringstream fields(line.substr(name_end + 2));
    std::vector<std::string> values;
    for (std::string value; fields >> value;) {
        values.push_back(value);
    }
    // After the command name: state is the 3rd field, utime the 14th, stime the 15th.
    if (values.size() < 13) {
        return -1;
    }
    return std::stol(values[11]) + std::stol(values[12]);
}

} // namespace test_support
