#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace test_support {

const std::string& vantrel_binary() {
    static const std::string path = VANTREL_BINARY;
    return path;
}

namespace {

void check(int result, const char* what) {
    if (result != 0) {
        throw std::system_error(result, std::generic_category(), what);
    }
}

} // namespace

run_result run_program(const std::string& program, const std::vector<std::string>& args,
                       const run_options& options) {
    int in_pipe[2] = {-1, -1};
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe2");
    }
    posix_spawn_file_actions_t actions;
    check(posix_spawn_file_actions_init(&actions), "file actions");
    if (!options.stdin_file.empty()) {
        check(posix_spawn_file_actions_addopen(&actions, 0, options.stdin_file.c_str(), O_RDONLY, 0),
              "stdin file");
    } else {
        if (pipe2(in_pipe, O_CLOEXEC) != 0) {
            throw std::system_error(errno, std::generic_category(), "pipe2");
        }
        check(posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0), "dup2 stdin");
    }
    if (!options.stdout_file.empty()) {
        check(posix_spawn_file_actions_addopen(&actions, 1, options.stdout_file.c_str(),
                                               O_WRONLY | O_CREAT | O_TRUNC, 0644),
              "stdout file");
    } else {
        check(posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1), "dup2 stdout");
    }
    check(posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2), "dup2 stderr");

    std::vector<std::string> storage;
    storage.push_back(program);
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : storage) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    check(spawned, "spawn");
    close(out_pipe[1]);
    close(err_pipe[1]);

    int in_fd = -1;
    std::size_t in_done = 0;
    if (in_pipe[0] >= 0) {
        close(in_pipe[0]);
        in_fd = in_pipe[1];
        fcntl(in_fd, F_SETFL, O_NONBLOCK);
        if (options.stdin_data.empty()) {
            close(in_fd);
            in_fd = -1;
        }
    }

    run_result result;
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(static_cast<long>(options.timeout_s * 1000));
    int fds[2] = {out_pipe[0], err_pipe[0]};
    std::string* sinks[2] = {&result.out, &result.err};
    bool open_fds[2] = {true, true};
    while (open_fds[0] || open_fds[1] || in_fd >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        pollfd p[3];
        int n = 0;
        int index[3];
        for (int i = 0; i < 2; ++i) {
            if (open_fds[i]) {
                p[n] = {fds[i], POLLIN, 0};
                index[n++] = i;
            }
        }
        if (in_fd >= 0) {
            p[n] = {in_fd, POLLOUT, 0};
            index[n++] = 2;
        }
        int ready = poll(p, static_cast<nfds_t>(n), static_cast<int>(left < 200 ? left : 200));
        if (ready < 0 && errno != EINTR) {
            break;
        }
        for (int k = 0; k < n; ++k) {
            if (p[k].revents == 0) {
                continue;
            }
            int i = index[k];
            if (i == 2) {
                ssize_t w = write(in_fd, options.stdin_data.data() + in_done,
                                  options.stdin_data.size() - in_done);
                if (w > 0) {
                    in_done += static_cast<std::size_t>(w);
                }
                if (w < 0 && errno != EAGAIN && errno != EINTR) {
                    in_done = options.stdin_data.size();
                }
                if (in_done >= options.stdin_data.size()) {
                    close(in_fd);
                    in_fd = -1;
                }
                continue;
            }
            char buffer[4096];
            ssize_t got = read(fds[i], buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(got));
            } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                open_fds[i] = false;
            }
        }
    }
    if (in_fd >= 0) {
        close(in_fd);
    }
    int status = 0;
    if (result.timed_out) {
        waitpid(pid, &status, 0);
    } else {
        // Both pipes are closed: the child is ending; wait for it within the bound.
        while (true) {
            pid_t done = waitpid(pid, &status, WNOHANG);
            if (done == pid) {
                break;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                result.timed_out = true;
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                break;
            }
            usleep(2000);
        }
    }
    close(out_pipe[0]);
    close(err_pipe[0]);
    if (WIFEXITED(status)) {
        result.exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.term_signal = WTERMSIG(status);
    }
    return result;
}

run_result run_vantrel(const std::vector<std::string>& args, const run_options& options) {
    return run_program(vantrel_binary(), args, options);
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
