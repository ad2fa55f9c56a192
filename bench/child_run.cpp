// SPDX-License-Identifier: MIT
#include "child_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

extern char** environ;

namespace bench {

namespace {

constexpr double CHILD_LIMIT_S = 120;

} // namespace

child_result run_child(const std::vector<std::string>& argv_strings, const std::string& in_path,
                       const std::string& out_path, const std::string& err_path) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in_path.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<std::string> storage = argv_strings;
    std::vector<char*> argv;
    for (auto& s : storage) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);

    child_result result;
    pid_t pid = -1;
    const auto start = steady::now();
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        std::fprintf(stderr, "cannot start %s\n", argv[0]);
        std::exit(2);
    }
    posix_spawn_file_actions_destroy(&actions);

    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    const auto deadline = start + std::chrono::duration<double>(CHILD_LIMIT_S);
    int status = 0;
    rusage usage{};
    for (;;) {
        const pid_t done = wait4(pid, &status, WNOHANG, &usage);
        if (done == pid) {
            break;
        }
        if (steady::now() > deadline) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            wait4(pid, &status, 0, &usage);
            break;
        }
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            poll(&p, 1, 100);
        } else {
            usleep(200);
        }
    }
    const auto end = steady::now();
    if (pidfd >= 0) {
        close(pidfd);
    }
    result.wall_s = std::chrono::duration<double>(end - start).count();
    result.started = start;
    result.ended = end;
    result.cpu_s = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

} // namespace bench
