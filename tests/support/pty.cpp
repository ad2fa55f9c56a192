// SPDX-License-Identifier: MIT
#include "support/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace test_support {

pty_pair::pty_pair(bool raw) {
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) {
        throw std::system_error(errno, std::generic_category(), "openpty");
    }
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    if (raw) {
        termios settings{};
        tcgetattr(slave_, &settings);
        cfmakeraw(&settings);
        tcsetattr(slave_, TCSANOW, &settings);
    }
    path_ = ttyname(slave_);
}

pty_pair::~pty_pair() {
    close_master();
    close(slave_);
}

std::vector<uint8_t> pty_pair::receive(int wait_ms) const {
    pollfd entry{master_, POLLIN, 0};
    if (poll(&entry, 1, wait_ms) <= 0) {
        return {};
    }
    std::vector<uint8_t> chunk(4096);
    const ssize_t got = read(master_, chunk.data(), chunk.size());
    chunk.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return chunk;
}

bool pty_pair::send(const std::vector<uint8_t>& data) const {
    return write(master_, data.data(), data.size()) == static_cast<ssize_t>(data.size());
}

void pty_pair::close_master() {
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
}

} // namespace test_support
