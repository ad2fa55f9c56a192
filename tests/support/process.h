// Runs the real vantrel binary as a child process, with a bound on its run time.
#pragma once

#include <string>
#include <vector>

namespace test_support {

struct run_result {
    int exit_status = -1;  // exit code, or -1 when killed by a signal
    int term_signal = 0;   // the signal that ended it, if any
    bool timed_out = false;
    std::string out;       // everything written to standard output
    std::string err;       // everything written to standard error
};

struct run_options {
    std::string stdin_data{};            // fed on a pipe, then closed
    std::string stdin_file{};            // if set, standard input is this file
    std::string stdout_file{};            // if set, standard output goes here
    double timeout_s = 60;               // the child is killed after this
};

/// Path of the built vantrel binary.
const std::string& vantrel_binary();

/// Runs vantrel with args; never hangs past options.timeout_s.
run_result run_vantrel(const std::vector<std::string>& args, const run_options& options = {});

/// Runs any program with args.
run_result run_program(const std::string& program, const std::vector<std::string>& args,
                       const run_options& options = {});

/// A directory of its own under the system's temporary directory, removed with its content.
class temp_dir {
  public:
    temp_dir();
    ~temp_dir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
  private:
    std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);

} // namespace test_support
