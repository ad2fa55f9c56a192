// SPDX-License-Identifier: MIT
// System call counts and CPU time, for checking that a wait sleeps instead of spinning.
#pragma once

#include <sys/types.h>

#include <string>

namespace test_support {

/// One of this thread's system call counters ("syscr:", "syscw:"); -1 when not available, and
/// then the running test is marked skipped with the reason.
long thread_io_counter(const std::string& name);

/// User and system CPU time of a running process, in clock ticks; -1 when unreadable.
long cpu_ticks(pid_t pid);

} // namespace test_support
