// SPDX-License-Identifier: MIT
// Runs one program as a child process for a measured run: its wall time from the spawn to the
// reap, and the CPU time it and its descendants used.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace bench {

using steady = std::chrono::steady_clock;

struct child_result {
    int status = -1;
    bool timed_out = false;
    double wall_s = 0;
    double cpu_s = 0;
    steady::time_point started{};
    steady::time_point ended{};
};

/// Spawns program with args, standard input from in_path, standard output and error to the
/// given files, and reaps it with its resource usage. Kills it after two minutes.
child_result run_child(const std::vector<std::string>& argv_strings, const std::string& in_path,
                       const std::string& out_path, const std::string& err_path);

} // namespace bench
