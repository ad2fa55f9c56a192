// An emulated C2 interface adapter with a C8051F30x target behind it, served
// on the master side of a pseudo-terminal. The program under test opens
// slave_path() exactly as it would open a real serial device.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim {

inline constexpr std::size_t FLASH_SPACE = 65536;
inline constexpr uint16_t USABLE_FLASH_END = 0x1E00; // 0x0000..0x1DFF programmable

struct config {
    uint8_t device_id = 0x04;
    uint8_t revision_id = 0x02;
    uint8_t version_major = 1;
    uint8_t version_minor = 3;
    bool block_read_ack = true; // answer ADP_BLOCK_READ with one byte
    int erase_busy_polls = 3;   // status polls that stay busy during an erase step
    bool baud_pacing = false;   // deliver bytes at the speed set on the line
};

enum class fault_kind {
    no_reply,      // command, nth: the reply is dropped
    wrong_reply,   // command, nth, bytes: the reply is replaced by bytes
    delay_reply,   // command, nth, delay_ms: the reply comes late
    surplus_reply, // command, nth, bytes: bytes follow the reply
    write_refused, // address, times: block write covering address answers 0x01
    wrong_sum,     // address, times: block sum covering address is off by one
    short_fetch,   // address, times: block fetch covering address is one byte short
    never_ready,   // status never shows C2_OUT_READY
    always_busy,   // status always shows C2_IN_BUSY
    noise,         // period_ms: a noise byte (bytes[0] or 0x55) every period
    hang_up_after, // after_bytes: the line is closed after that many received bytes
};

struct fault {
    fault_kind kind;
    uint8_t command = 0;          // per-command faults: the command byte
    int nth = 0;                  // 1-based occurrence of the command; 0 = every one
    std::vector<uint8_t> bytes{}; // wrong or surplus reply, noise byte
    int delay_ms = 0;
    uint16_t address = 0; // block faults: any address inside the block
    int times = -1;       // block faults: how often it fires; -1 = always
    int period_ms = 10;   // noise
    std::size_t after_bytes = 0;
};

enum class direction { to_adapter, from_adapter };

/// One command as the emulator handled it, for a trace of the line.
struct exchange {
    uint8_t command = 0;
    std::vector<uint8_t> frame{}; // data bytes of the frame before the command, decoded
    bool frame_overflow = false;  // the frame held more bytes than the emulator keeps
    std::vector<uint8_t> reply{}; // what went back, faults applied; empty: nothing
    int delay_ms = 0;             // how late the reply came
};

using trace_hook = std::function<void(const exchange&)>;

struct transcript_entry {
    std::chrono::steady_clock::time_point when;
    direction dir;
    uint8_t byte;
};

class emulator {
  public:
    explicit emulator(config cfg = {});
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
    /// written; an empty hook turns the trace off.
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

    /// Every byte in both directions, time-stamped, in order.
    std::vector<transcript_entry> transcript() const;
    std::vector<uint8_t> received() const; // bytes from the program
    std::vector<uint8_t> sent() const;     // bytes to the program
    void clear_transcript();               // also sets every command_count back to 0

    /// Number of times a command byte (0x01..0x7F) has been handled.
    int command_count(uint8_t command) const;
    bool programming_mode() const;

    /// A descriptor of the slave side kept open by the emulator: the line's
    /// settings can be read with tcgetattr on it, and they persist between
    /// the program's opens, as on a real device.
    int settings_fd() const { return slave_fd_; }

  private:
    struct impl;
    void serve();                                              // the service thread's loop
    bool serve_bytes(const uint8_t* bytes, std::size_t count); // false: stop serving
    void write_locked(const std::vector<uint8_t>& bytes);      // caller holds mutex_
    void close_master_locked();                                // caller holds mutex_
    long line_baud() const; // bits per second set on the line when pacing, else 0
    bool config_pacing() const;

    impl* impl_; // service state, behind the mutex
    std::string slave_path_;
    int master_fd_ = -1;
    int slave_fd_ = -1;
    mutable std::mutex mutex_;
    std::thread thread_;
};

} // namespace sim
