// SPDX-License-Identifier: MIT
// vantrel-emu's watch on the terminal's opens and closes (for --once) and its
// symbolic link to the terminal (for --link).
#pragma once

#include <chrono>
#include <string>

namespace emu_tool {

/// Counts the opens and closes of the terminal by other processes; the emulator's own
/// descriptor was opened before the watch and stays open, so it never shows.
class open_watch {
  public:
    /// After the last close, an open within grace belongs to the same run.
    open_watch(const std::string& path, std::chrono::milliseconds grace);
    ~open_watch();
    open_watch(const open_watch&) = delete;
    open_watch& operator=(const open_watch&) = delete;

    /// The descriptor to poll for events; -1 when the watch could not be set up.
    int fd() const { return fd_; }

    /// Reads the pending events.
    void take_events();

    /// True once the line was opened and every open has been closed for the grace time.
    bool run_finished() const;

  private:
    int fd_ = -1;
    std::chrono::milliseconds grace_;
    long opens_ = 0;
    long closes_ = 0;
    std::chrono::steady_clock::time_point last_event_{};
};

/// The symbolic link of --link, removed again when it still points at the terminal.
class line_link {
  public:
    line_link(std::string path, std::string target)
        : path_(std::move(path)), target_(std::move(target)) {}
    ~line_link() { remove(); }
    line_link(const line_link&) = delete;
    line_link& operator=(const line_link&) = delete;

    /// Makes the link, replacing a symbolic link there; false with a reason in error when
    /// another kind of file is in the way or the link cannot be made.
    bool make(std::string& error);
    void remove();

  private:
    std::string path_;
    std::string target_;
    bool made_ = false;
};

} // namespace emu_tool
