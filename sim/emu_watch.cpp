// SPDX-License-Identifier: MIT
#include "emu_watch.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace emu_tool {

open_watch::open_watch(const std::string& path, std::chrono::milliseconds grace)
    : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), grace_(grace) {
    if (fd_ >= 0 && inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_CLOSE) < 0) {
        close(fd_);
        fd_ = -1;
    }
}

open_watch::~open_watch() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

void open_watch::take_events() {
    alignas(inotify_event) std::array<char, 4096> buf{};
    for (;;) {
        ssize_t n = read(fd_, buf.data(), buf.size());
        if (n <= 0) {
            return;
        }
        for (ssize_t at = 0; at < n;) {
            inotify_event ev{};
            std::memcpy(&ev, buf.data() + at, sizeof ev);
            if ((ev.mask & IN_OPEN) != 0) {
                ++opens_;
            }
            if ((ev.mask & IN_CLOSE) != 0) {
                ++closes_;
            }
            last_event_ = std::chrono::steady_clock::now();
            at += static_cast<ssize_t>(sizeof(inotify_event) + ev.len);
        }
    }
}

bool open_watch::run_finished() const {
    return opens_ > 0 && closes_ >= opens_ &&
           std::chrono::steady_clock::now() - last_event_ >= grace_;
}

bool line_link::make(std::string& error) {
    struct stat st {};
    if (lstat(path_.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            error = path_ + ": exists and is not a symbolic link; not replaced";
            return false;
        }
        unlink(path_.c_str());
    }
    if (symlink(target_.c_str(), path_.c_str()) != 0) {
        error = path_ + ": " + std::strerror(errno);
        return false;
    }
    made_ = true;
    return true;
}

void line_link::remove() {
    if (!made_) {
        return;
    }
    made_ = false;
    std::array<char, 4096> buf{};
    ssize_t n = readlink(path_.c_str(), buf.data(), buf.size() - 1);
    if (n >= 0 && std::string(buf.data(), static_cast<std::size_t>(n)) == target_) {
        unlink(path_.c_str());
    }
}

} // namespace emu_tool
