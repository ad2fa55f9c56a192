// SPDX-License-Identifier: MIT
// A pseudo-terminal of the test's own: code under test opens path(), the test plays the other
// end on master() and looks at the line's settings through slave().
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace test_support {

class pty_pair {
  public:
    /// raw: the line starts without echo, line editing or translations.
    explicit pty_pair(bool raw = true);
    ~pty_pair();
    pty_pair(const pty_pair&) = delete;
    pty_pair& operator=(const pty_pair&) = delete;

    int master() const { return master_; }
    int slave() const { return slave_; }
    const std::string& path() const { return path_; }

    /// What the other side sent, read on the test's end after waiting at most wait_ms for it;
    /// empty when nothing came or the other side has gone.
    std::vector<uint8_t> receive(int wait_ms) const;

    /// Writes data on the test's end; false when not all of it went.
    bool send(const std::vector<uint8_t>& data) const;

    /// Closes the test's end: the other side then sees a hang-up.
    void close_master();

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

} // namespace test_support
