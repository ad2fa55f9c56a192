// SPDX-License-Identifier: MIT
#include "support/process.h"

#include "support/clock.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <thread>

extern char** environ;

namespace test_support {

const std::string& vantrel_binary() {
    static const std::string path = VANTREL_BINARY;
    return path;
}

const std::string& short_range_binary() {
    static const std::string path = VANTREL_SHORT_RANGE_BINARY;
    return path;
}

namespace {

void check(int result, const char* what) {
    if (result != 0) {
        throw std::system_error(result, std::generic_category(), what);
    }
}

void close_fd(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

/// A pipe whose ends close themselves unless handed on.
struct pipe_pair {
    int read_end = -1;
    int write_end = -1;
    pipe_pair() {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) {
            throw std::system_error(errno, std::generic_category(), "pipe2");
        }
        read_end = ends[0];
        write_end = ends[1];
    }
    ~pipe_pair() {
        close_fd(read_end);
        close_fd(write_end);
    }
    pipe_pair(const pipe_pair&) = delete;
    pipe_pair& operator=(const pipe_pair&) = delete;
};

/// What a child's spawn needs: its descriptors and signal state.
class spawn_setup {
  public:
    spawn_setup() {
        check(posix_spawn_file_actions_init(&actions_), "file actions");
        check(posix_spawnattr_init(&attributes_), "spawn attributes");
    }
    ~spawn_setup() {
        posix_spawn_file_actions_destroy(&actions_);
        posix_spawnattr_destroy(&attributes_);
    }
    spawn_setup(const spawn_setup&) = delete;
    spawn_setup& operator=(const spawn_setup&) = delete;

    void open(int fd, const std::string& path, int flags) {
        check(posix_spawn_file_actions_addopen(&actions_, fd, path.c_str(), flags, 0644), "open");
    }
    void dup(int from, int fd) {
        check(posix_spawn_file_actions_adddup2(&actions_, from, fd), "dup2");
    }
    void close(int fd) { check(posix_spawn_file_actions_addclose(&actions_, fd), "close"); }

    /// Default signal handling and no blocked signals, whatever the test process has set.
    void default_signals(bool new_session) {
        sigset_t none;
        sigemptyset(&none);
        sigset_t defaults;
        sigemptyset(&defaults);
        for (int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
            sigaddset(&defaults, number);
        }
        check(posix_spawnattr_setsigmask(&attributes_, &none), "signal mask");
        check(posix_spawnattr_setsigdefault(&attributes_, &defaults), "signal defaults");
        short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
        if (new_session) {
            flags |= POSIX_SPAWN_SETSID;
        }
        check(posix_spawnattr_setflags(&attributes_, flags), "spawn flags");
    }

    pid_t spawn(const std::string& program, const std::vector<std::string>& args,
                std::vector<std::string> env) {
        std::vector<std::string> storage{program};
        storage.insert(storage.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& s : storage) {
            argv.push_back(s.data());
        }
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            if (std::string_view(*entry).starts_with("VANTREL_")) {
                continue;
            }
            envp.push_back(*entry);
        }
        for (auto& s : env) {
            envp.push_back(s.data());
        }
        envp.push_back(nullptr);
        pid_t pid = -1;
        check(
            posix_spawnp(&pid, program.c_str(), &actions_, &attributes_, argv.data(), envp.data()),
            "spawn");
        return pid;
    }

  private:
    posix_spawn_file_actions_t actions_;
    posix_spawnattr_t attributes_;
};

} // namespace

child_process::child_process(const std::string& program, const std::vector<std::string>& args,
                             const run_options& options)
    : stdin_data_(options.stdin_data) {
    // A child that ends before taking all of stdin_data must not end the test with SIGPIPE;
    // children get the default handling back through spawn_setup.
    static const bool pipe_ignored = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
    (void)pipe_ignored;
    spawn_setup setup;
    pipe_pair in, out, err;
    // Each standard stream is the file named, or else the child's end of a pipe. A pipe the
    // child does not get reads as ended at once.
    const auto stream = [&](int fd, const std::string& file, int flags, int pipe_end) {
        if (std::find(options.closed.begin(), options.closed.end(), fd) != options.closed.end()) {
            setup.close(fd);
        } else if (file.empty()) {
            setup.dup(pipe_end, fd);
        } else {
            setup.open(fd, file, flags);
        }
    };
    stream(0, options.stdin_file, O_RDONLY, in.read_end);
    stream(1, options.stdout_file, O_WRONLY | O_CREAT | O_TRUNC, out.write_end);
    stream(2, options.stderr_file, O_WRONLY | O_CREAT | O_TRUNC, err.write_end);
    setup.default_signals(options.new_session);
    pid_ = setup.spawn(program, args, options.env);

    if (options.stdin_file.empty() && !stdin_data_.empty()) {
        std::swap(in_fd_, in.write_end);
        fcntl(in_fd_, F_SETFL, O_NONBLOCK);
    }
    std::swap(out_fd_, out.read_end);
    std::swap(err_fd_, err.read_end);
}

child_process::~child_process() {
    if (!reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    close_fd(in_fd_);
    close_fd(out_fd_);
    close_fd(err_fd_);
}

void child_process::reap(int status, const rusage& usage) {
    reaped_ = true;
    result_.cpu_s = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                    static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    if (WIFEXITED(status)) {
        result_.exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result_.term_signal = WTERMSIG(status);
    }
}

std::string child_process::first_line(double bound_s) {
    const deadline end(bound_s);
    for (;;) {
        const auto line_end = result_.out.find('\n');
        if (line_end != std::string::npos) {
            return result_.out.substr(0, line_end);
        }
        pollfd entry{out_fd_, POLLIN, 0};
        if (out_fd_ < 0 || end.passed()) {
            return "";
        }
        if (poll(&entry, 1, end.left_ms(100)) <= 0) {
            continue;
        }
        char buffer[256];
        const ssize_t got = read(out_fd_, buffer, sizeof buffer);
        if (got <= 0) {
            return "";
        }
        result_.out.append(buffer, static_cast<std::size_t>(got));
    }
}

void child_process::signal(int signal_number) const {
    if (!reaped_) {
        kill(pid_, signal_number);
    }
}

bool child_process::ended(double bound_s) {
    return reaped_ || wait_for(
                          [this] {
                              int status = 0;
                              rusage usage{};
                              if (wait4(pid_, &status, WNOHANG, &usage) == pid_) {
                                  reap(status, usage);
                              }
                              return reaped_;
                          },
                          std::chrono::milliseconds(static_cast<long>(bound_s * 1000)),
                          std::chrono::milliseconds(2));
}

run_result child_process::finish(double bound_s) {
    const deadline end(bound_s);
    std::size_t fed = 0;
    while (out_fd_ >= 0 || err_fd_ >= 0 || in_fd_ >= 0) {
        if (end.passed()) {
            result_.timed_out = true;
            break;
        }
        pollfd entries[3];
        int* fds[3];
        nfds_t count = 0;
        for (int* fd : {&out_fd_, &err_fd_}) {
            if (*fd >= 0) {
                entries[count] = {*fd, POLLIN, 0};
                fds[count++] = fd;
            }
        }
        if (in_fd_ >= 0) {
            entries[count] = {in_fd_, POLLOUT, 0};
            fds[count++] = &in_fd_;
        }
        if (poll(entries, count, end.left_ms(200)) < 0 && errno != EINTR) {
            break;
        }
        for (nfds_t k = 0; k < count; ++k) {
            if (entries[k].revents == 0) {
                continue;
            }
            int& fd = *fds[k];
            if (&fd == &in_fd_) {
                const ssize_t wrote = write(fd, stdin_data_.data() + fed, stdin_data_.size() - fed);
                if (wrote > 0) {
                    fed += static_cast<std::size_t>(wrote);
                } else if (errno != EAGAIN && errno != EINTR) {
                    fed = stdin_data_.size(); // the child does not read it
                }
                if (fed >= stdin_data_.size()) {
                    close_fd(fd);
                }
                continue;
            }
            char buffer[4096];
            const ssize_t got = read(fd, buffer, sizeof buffer);
            if (got > 0) {
                (&fd == &out_fd_ ? result_.out : result_.err)
                    .append(buffer, static_cast<std::size_t>(got));
            } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                close_fd(fd);
            }
        }
    }
    close_fd(in_fd_);
    // The output is complete: the child is ending; wait for it within what is left of the bound.
    if (result_.timed_out || !ended(end.left_ms(1000000) / 1000.0)) {
        result_.timed_out = true;
        kill(pid_, SIGKILL);
        int status = 0;
        rusage usage{};
        wait4(pid_, &status, 0, &usage);
        reap(status, usage);
    }
    close_fd(out_fd_);
    close_fd(err_fd_);
    return result_;
}

run_result run_program(const std::string& program, const std::vector<std::string>& args,
                       const run_options& options) {
    child_process child(program, args, options);
    return child.finish(options.timeout_s);
}

run_result run_vantrel(const std::vector<std::string>& args, const run_options& options) {
    return run_program(vantrel_binary(), args, options);
}

std::string find_program(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = dir + "/" + name;
        if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return "";
}

temp_dir::temp_dir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/vantrel-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    }
    path_ = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

} // namespace test_support
