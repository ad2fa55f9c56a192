// SPDX-License-Identifier: MIT
// Runs programs as child processes, in the foreground or in the background, never past a bound.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace test_support {

struct run_result {
    int exit_status = -1;   // exit code, or -1 when a signal ended it
    int term_signal = 0;    // the signal that ended it, if any
    bool timed_out = false; // it was killed at its bound
    std::string out{};      // everything written to standard output
    std::string err{};      // everything written to standard error
    double cpu_s = 0;       // user and system CPU seconds of the child and what it reaped
};

struct run_options {
    std::string stdin_data{};  // fed on a pipe, then closed
    std::string stdin_file{};  // if set, standard input is this file
    std::string stdout_file{}; // if set, standard output goes here
    std::string stderr_file{}; // if set, standard error goes here
    std::vector<int> closed{}; // standard descriptors (0, 1, 2) the child starts without
    bool new_session = false;  // the child leads a session of its own, so a terminal opened as
                               // stdin_file becomes its controlling terminal
    double timeout_s = 60;     // the child is killed after this
    // "NAME=value" entries added to the environment, which never passes on the test's own
    // VANTREL_ variables (VANTREL_TRACE, VANTREL_ANY_DEVICE, ...)
    std::vector<std::string> env{};
};

/// A program started in the background. Its output pipes are read only by first_line() and
/// finish(): a child that writes more than a pipe holds before then waits for them.
class child_process {
  public:
    child_process(const std::string& program, const std::vector<std::string>& args,
                  const run_options& options = {});
    ~child_process(); // a child still running is killed and reaped
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    pid_t pid() const { return pid_; }

    /// The first line of standard output without its line end; "" at its end or after bound_s.
    std::string first_line(double bound_s = 20);

    void signal(int signal_number) const;

    /// True once the child has ended, waiting for that at most bound_s; it is not killed.
    bool ended(double bound_s);

    /// Feeds stdin_data and collects the output until the child ends; killed after bound_s.
    run_result finish(double bound_s);

  private:
    void reap(int status, const rusage& usage);

    pid_t pid_ = -1;
    bool reaped_ = false;
    int in_fd_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    std::string stdin_data_;
    run_result result_;
};

/// Path of the built vantrel binary.
const std::string& vantrel_binary();

/// Path of vantrel-short-range: "vantrel-short-range BYTES ARGS..." runs the program's driver
/// on ARGS with reads and writes covering the first BYTES bytes of flash.
const std::string& short_range_binary();

/// Runs vantrel with args; never hangs past options.timeout_s.
run_result run_vantrel(const std::vector<std::string>& args, const run_options& options = {});

/// Runs any program (a path, or a name looked up on PATH) with args.
run_result run_program(const std::string& program, const std::vector<std::string>& args,
                       const run_options& options = {});

/// Absolute path of a program on PATH; empty when it is not installed.
std::string find_program(const std::string& name);

/// A directory of its own under the system's temporary directory, removed with its content.
class temp_dir {
  public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);

} // namespace test_support
