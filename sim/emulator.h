// SPDX-License-Identifier: MIT
// An emulated C2 interface adapter with a C8051F30x target behind it, served
// on the master side of a pseudo-terminal. The program under test opens
// slave_path() exactly as it would open a real serial device.
#pragma once

#include "sim_types.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim {

struct received_byte;

class emulator {
  public:
    explicit emulator(const config& cfg = {});
    ~emulator(); // stops serving and closes the pseudo-terminal
    emulator(const emulator&) = delete;
    emulator& operator=(const emulator&) = delete;

    /// Path of the slave side, to give to --serial.
    const std::string& slave_path() const { return slave_path_; }

    /// Starts the service thread.
    void start();
    /// Stops the service thread (idempotent).
    void stop();

    /// Faults count commands (nth) and received bytes (after_bytes) from the moment they are
    /// added; several faults on one command apply in the order added.
    void add_fault(const fault& f);
    void clear_faults();

    /// Called on the service thread once per command byte, after its reply (if any) is
    /// written, and once per byte lost while the adapter was busy (marked lost), in the order
    /// the bytes arrived; an empty hook turns the trace off.
    void set_trace(trace_hook hook);

    /// Writes bytes onto the line now, as if the adapter had sent them
    /// unasked (stale bytes waiting before the program starts). They reach the
    /// input queue unprocessed even while the line is in cooked mode (no echo),
    /// and count as sent bytes in the transcript.
    void inject(const std::vector<uint8_t>& bytes);

    /// Stops serving and closes the line: the program's next read sees a hang-up.
    /// With hang_up_after the line closes as the nth byte arrives; that byte is
    /// logged but not acted on.
    void hang_up();

    /// Flash contents (copy) and loading.
    std::array<uint8_t, FLASH_SPACE> flash() const;
    void set_flash(uint16_t address, const std::vector<uint8_t>& bytes);
    void erase_flash();

    /// Every byte in both directions, time-stamped, in order. A received byte carries the
    /// time its read from the line returned (before any pacing), a sent byte the time its
    /// write returned: from a reply's last byte to the next request's first is the
    /// program's own turnaround. Received bytes are logged as the program sent them, before
    /// a request fault changes what the adapter takes.
    std::vector<transcript_entry> transcript() const;
    std::vector<uint8_t> received() const; // bytes from the program
    std::vector<uint8_t> sent() const;     // bytes to the program
    void clear_transcript();               // also sets every command_count back to 0

    /// Number of times the adapter has taken a command byte (0x01..0x7F), request faults applied.
    int command_count(uint8_t command) const;
    bool programming_mode() const;

    /// Bytes that arrived while the adapter was busy with its hold full, since the start.
    int lost_bytes() const;
    /// The time the adapter has been busy driving the chip, summed over commands, since the start.
    std::chrono::microseconds busy_time() const;

    /// A descriptor of the slave side kept open by the emulator: the line's
    /// settings can be read with tcgetattr on it, and they persist between
    /// the program's opens, as on a real device.
    int settings_fd() const { return slave_fd_; }

  private:
    struct impl;
    enum class intake { some, none, broken };

    void serve();     // the service thread's loop
    intake receive(); // reads what the line holds into the queue, logged and judged
    // Each returns false when serving must stop.
    bool serve_queue(); // hands the queued bytes to the adapter, in order, at their time
    bool answer(uint8_t b, std::chrono::steady_clock::time_point arrived);
    bool transmit(const std::vector<uint8_t>& bytes);
    bool wait_reading(std::chrono::steady_clock::time_point deadline); // reads meanwhile
    void start_busy(std::chrono::steady_clock::time_point taken, long busy_us);
    void judge_locked(received_byte& r);                               // caller holds mutex_
    std::chrono::steady_clock::duration byte_period(bool reply) const; // zero: unpaced
    bool hands_over_bytewise() const;                     // each reply byte written on its own
    void write_locked(const std::vector<uint8_t>& bytes); // caller holds mutex_
    void close_master_locked();                           // caller holds mutex_
    std::vector<uint8_t> logged(direction dir) const;     // the transcript's bytes one way
    long line_baud() const; // bits per second set on the line when pacing, else 0

    std::unique_ptr<impl> impl_; // service state, behind the mutex
    std::string slave_path_;
    int master_fd_ = -1;
    int slave_fd_ = -1;
    mutable std::mutex mutex_;
    std::thread thread_;
};

} // namespace sim
