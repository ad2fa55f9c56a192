// The emulated adapter: a service thread reads the program's bytes from the
// pseudo-terminal master, decodes data frames and command bytes, drives a
// model of the target (C2 registers, device erase, flash that programming can
// only clear) and writes the replies back, with the faults a test asked for.
#include "emulator.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

using clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint8_t CMD_IDENTIFY = 0x01;
constexpr uint8_t CMD_TARGET_RESET = 0x10;
constexpr uint8_t CMD_ADDRESS_WRITE = 0x11;
constexpr uint8_t CMD_ADDRESS_READ = 0x12;
constexpr uint8_t CMD_DATA_WRITE = 0x13;
constexpr uint8_t CMD_DATA_READ = 0x14;
constexpr uint8_t CMD_BLOCK_FETCH = 0x15;
constexpr uint8_t CMD_BLOCK_SUM = 0x16;
constexpr uint8_t CMD_PROGRAM_MODE = 0x20;
constexpr uint8_t CMD_BLOCK_WRITE = 0x21;
constexpr uint8_t CMD_BLOCK_READ = 0x22;
constexpr uint8_t CMD_QUERY = 0x3F;

constexpr uint8_t STATUS_OUT_READY = 0x01;
constexpr uint8_t STATUS_IN_BUSY = 0x02;

constexpr uint8_t REG_DEVICE_ID = 0x00;
constexpr uint8_t REG_REVISION_ID = 0x01;
constexpr uint8_t REG_FLASH_DATA = 0xB4;

constexpr uint8_t ERASE_START = 0x03;
constexpr uint8_t ERASE_ACCEPTED = 0x0D;
constexpr uint8_t ERASE_REFUSED = 0x02;
constexpr std::array<uint8_t, 3> ERASE_CONFIRM = {0xDE, 0xAD, 0xA5};

constexpr std::size_t BLOCK_MAX = 16;
constexpr std::size_t FRAME_CAPACITY = 64; // data bytes kept per frame; more marks it invalid
constexpr auto IDLE_POLL = 50ms;
constexpr auto HANGUP_BACKOFF = 5ms;
constexpr auto WRITE_GIVE_UP = 2s;    // a reply the program never reads is dropped after this
constexpr auto INJECT_SETTLE = 500ms; // bound on waiting for injected bytes to reach the queue

struct speed_entry {
    speed_t code;
    long baud;
};

constexpr std::array<speed_entry, 30> SPEEDS = {{
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
}};

long baud_of(speed_t code) {
    for (const auto& s : SPEEDS) {
        if (s.code == code) {
            return s.baud;
        }
    }
    return 0;
}

timespec to_timespec(clock::time_point t) {
    // steady_clock is CLOCK_MONOTONIC on Linux.
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    return ts;
}

/// Waits until deadline; false as soon as the stop pipe becomes readable.
bool wait_until(clock::time_point deadline, int stop_fd) {
    for (;;) {
        auto left = deadline - clock::now();
        if (left <= clock::duration::zero()) {
            return true;
        }
        if (left > 3ms) {
            pollfd p{stop_fd, POLLIN, 0};
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count() - 2;
            if (poll(&p, 1, static_cast<int>(ms)) > 0) {
                return false;
            }
            continue;
        }
        timespec ts = to_timespec(deadline);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
        return true;
    }
}

bool is_raw(const termios& t) {
    return (t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 &&
           (t.c_iflag & (IXON | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT | PARMRK)) == 0;
}

} // namespace

struct emulator::impl {
    struct active_fault {
        fault f;
        int seen = 0;            // occurrences of the command since the fault was added
        int fired = 0;           // block faults: times fired
        std::size_t rx_base = 0; // hang_up_after: bytes received before the fault was added
        clock::time_point next_noise{};
    };

    struct reply {
        std::vector<uint8_t> bytes;
        int delay_ms = 0;
        exchange seen; // filled only while a trace hook is set
    };

    explicit impl(const config& c) : cfg(c) { flash.fill(0xFF); }

    config cfg;
    std::array<uint8_t, FLASH_SPACE> flash{};
    std::vector<active_fault> faults;
    std::vector<transcript_entry> log;
    std::array<int, 128> counts{};
    std::size_t rx_total = 0;
    trace_hook trace;
    int stop_r = -1;
    int stop_w = -1;

    // Frame being received.
    bool in_frame = false;
    std::size_t body_pos = 0;
    uint8_t header = 0;
    std::array<uint8_t, FRAME_CAPACITY> frame{};
    std::size_t frame_len = 0;
    bool frame_overflow = false;

    // Target.
    bool programming = false;
    uint8_t c2_address = 0;
    int erase_step = 0; // 1: start taken, 2: accepted and read, 3/4: confirmations, 5: erased
    int busy_polls = 0;
    bool ready_pending = false;
    uint8_t pending_value = 0;
    bool erase_pending = false;
    bool out_ready = false;
    uint8_t data_reg = 0;

    // Block taken by the last block read.
    bool block_valid = false;
    uint16_t block_addr = 0;
    std::size_t block_len = 0;
    std::array<uint8_t, BLOCK_MAX> block{};

    // Wire model for baud pacing.
    clock::time_point rx_wire_free{};
    clock::time_point tx_wire_free{};

    bool has_fault(fault_kind k) const {
        return std::any_of(faults.begin(), faults.end(),
                           [k](const active_fault& a) { return a.f.kind == k; });
    }

    /// True when a block fault of kind k covers any byte of [addr, addr+len) and may still fire.
    bool block_fault(fault_kind k, uint16_t addr, std::size_t len) {
        for (auto& a : faults) {
            if (a.f.kind != k || (a.f.times >= 0 && a.fired >= a.f.times)) {
                continue;
            }
            auto base = static_cast<uint16_t>(a.f.address & ~0xFu);
            for (std::size_t i = 0; i < len; ++i) {
                auto at = static_cast<uint16_t>(addr + i);
                if (static_cast<uint16_t>(at - base) < BLOCK_MAX) {
                    ++a.fired;
                    return true;
                }
            }
        }
        return false;
    }

    bool hang_up_due() const {
        return std::any_of(faults.begin(), faults.end(), [this](const active_fault& a) {
            return a.f.kind == fault_kind::hang_up_after && rx_total - a.rx_base >= a.f.after_bytes;
        });
    }

    void reset_c2() {
        erase_step = 0;
        busy_polls = 0;
        ready_pending = false;
        erase_pending = false;
        out_ready = false;
        data_reg = 0;
    }

    void finish_busy() {
        if (ready_pending) {
            out_ready = true;
            data_reg = pending_value;
            ready_pending = false;
        }
        if (erase_pending) {
            flash.fill(0xFF);
            erase_pending = false;
        }
    }

    void start_busy(int polls, bool ready, uint8_t value, bool erase) {
        out_ready = false;
        busy_polls = std::max(polls, 0);
        ready_pending = ready;
        pending_value = value;
        erase_pending = erase;
        if (busy_polls == 0) {
            finish_busy();
        }
    }

    uint8_t status_poll() {
        uint8_t s = 0;
        if (busy_polls > 0) {
            s |= STATUS_IN_BUSY;
            if (--busy_polls == 0) {
                finish_busy();
            }
        }
        if (out_ready) {
            s |= STATUS_OUT_READY;
        }
        if (has_fault(fault_kind::never_ready)) {
            s &= static_cast<uint8_t>(~STATUS_OUT_READY);
        }
        if (has_fault(fault_kind::always_busy)) {
            s |= STATUS_IN_BUSY;
        }
        return s;
    }

    void data_write(uint8_t v) {
        if (c2_address != REG_FLASH_DATA || !programming) {
            return;
        }
        int step_polls = cfg.erase_busy_polls > 0 ? 1 : 0;
        if (v == ERASE_START) {
            erase_step = 1;
            start_busy(cfg.erase_busy_polls, true, ERASE_ACCEPTED, false);
        } else if (erase_step >= 2 && erase_step <= 4 &&
                   v == ERASE_CONFIRM[static_cast<std::size_t>(erase_step - 2)]) {
            ++erase_step;
            if (erase_step == 5) {
                start_busy(cfg.erase_busy_polls, true, 0x00, true);
            } else {
                start_busy(step_polls, false, 0, false);
            }
        } else {
            erase_step = 0;
            start_busy(step_polls, true, ERASE_REFUSED, false);
        }
    }

    uint8_t data_read() {
        switch (c2_address) {
        case REG_DEVICE_ID:
            return cfg.device_id;
        case REG_REVISION_ID:
            return cfg.revision_id;
        case REG_FLASH_DATA:
            if (out_ready && !has_fault(fault_kind::never_ready)) {
                out_ready = false;
                if (erase_step == 1 && data_reg == ERASE_ACCEPTED) {
                    erase_step = 2;
                }
                return data_reg;
            }
            return 0x00;
        default:
            return 0x00;
        }
    }

    uint8_t block_write() {
        if (!programming || frame_overflow || frame_len < 3) {
            return 0x01;
        }
        auto addr = static_cast<uint16_t>(frame[0] << 8 | frame[1]);
        std::size_t len = frame[2];
        if (len < 1 || len > BLOCK_MAX || frame_len != 3 + len || addr + len > USABLE_FLASH_END) {
            return 0x01;
        }
        if (block_fault(fault_kind::write_refused, addr, len)) {
            return 0x01;
        }
        for (std::size_t i = 0; i < len; ++i) {
            flash[addr + i] &= frame[3 + i];
        }
        return 0x00;
    }

    void block_read() {
        block_valid = false;
        if (!programming || frame_overflow || frame_len != 3) {
            return;
        }
        std::size_t len = frame[2];
        if (len < 1 || len > BLOCK_MAX) {
            return;
        }
        block_addr = static_cast<uint16_t>(frame[0] << 8 | frame[1]);
        block_len = len;
        for (std::size_t i = 0; i < len; ++i) {
            block[i] = flash[static_cast<uint16_t>(block_addr + i)];
        }
        block_valid = true;
    }

    std::vector<uint8_t> handle_command(uint8_t cmd) {
        switch (cmd) {
        case CMD_IDENTIFY:
            return {'C', '2', cfg.version_major, cfg.version_minor};
        case CMD_TARGET_RESET:
            programming = false;
            block_valid = false;
            reset_c2();
            return {};
        case CMD_ADDRESS_WRITE:
            if (frame_len == 1 && !frame_overflow) {
                c2_address = frame[0];
            }
            return {};
        case CMD_ADDRESS_READ:
            return {status_poll()};
        case CMD_DATA_WRITE:
            if (frame_len == 1 && !frame_overflow) {
                data_write(frame[0]);
            }
            return {};
        case CMD_DATA_READ:
            return {data_read()};
        case CMD_BLOCK_FETCH: {
            if (!programming || !block_valid) {
                return {};
            }
            std::vector<uint8_t> r;
            r.push_back(0x00);
            for (std::size_t i = 0; i < block_len; ++i) {
                r.push_back(block[i]);
            }
            r.push_back(0x00);
            if (block_fault(fault_kind::short_fetch, block_addr, block_len)) {
                r.pop_back();
            }
            return r;
        }
        case CMD_BLOCK_SUM: {
            if (!programming || !block_valid) {
                return {};
            }
            unsigned sum = 0;
            for (std::size_t i = 0; i < block_len; ++i) {
                sum += block[i];
            }
            if (block_fault(fault_kind::wrong_sum, block_addr, block_len)) {
                ++sum;
            }
            return {static_cast<uint8_t>(sum & 0xFF)};
        }
        case CMD_PROGRAM_MODE:
            programming = true;
            reset_c2();
            return {0x00};
        case CMD_BLOCK_WRITE:
            return {block_write()};
        case CMD_BLOCK_READ:
            block_read();
            if (cfg.block_read_ack) {
                return {0x00};
            }
            return {};
        case CMD_QUERY:
            return {0x21};
        default:
            return {};
        }
    }

    /// Applies the per-command faults in the order they were added.
    void apply_command_faults(uint8_t cmd, reply& r) {
        for (auto& a : faults) {
            const fault& f = a.f;
            bool per_command =
                f.kind == fault_kind::no_reply || f.kind == fault_kind::wrong_reply ||
                f.kind == fault_kind::delay_reply || f.kind == fault_kind::surplus_reply;
            if (!per_command || f.command != cmd) {
                continue;
            }
            ++a.seen;
            if (f.nth != 0 && a.seen != f.nth) {
                continue;
            }
            switch (f.kind) {
            case fault_kind::no_reply:
                r.bytes.clear();
                break;
            case fault_kind::wrong_reply:
                r.bytes = f.bytes;
                break;
            case fault_kind::delay_reply:
                r.delay_ms += f.delay_ms;
                break;
            case fault_kind::surplus_reply:
                r.bytes.insert(r.bytes.end(), f.bytes.begin(), f.bytes.end());
                break;
            default:
                break;
            }
        }
    }

    /// Takes one received byte; a command byte yields its reply.
    bool take_byte(uint8_t b, reply& r) {
        if (b == 0x00) {
            in_frame = true;
            body_pos = 0;
            frame_len = 0;
            frame_overflow = false;
            return false;
        }
        if (b >= 0x80) {
            if (!in_frame) {
                return false;
            }
            std::size_t k = body_pos % 8;
            ++body_pos;
            if (k == 0) {
                header = b;
                return false;
            }
            auto restored = static_cast<uint8_t>((b & 0x7F) | (((header >> (7 - k)) & 1) << 7));
            if (frame_len < frame.size()) {
                frame[frame_len++] = restored;
            } else {
                frame_overflow = true;
            }
            return false;
        }
        ++counts[b];
        if (trace) {
            r.seen.command = b;
            r.seen.frame.assign(frame.begin(), frame.begin() + static_cast<long>(frame_len));
            r.seen.frame_overflow = frame_overflow;
        }
        r.bytes = handle_command(b);
        in_frame = false;
        frame_len = 0;
        frame_overflow = false;
        apply_command_faults(b, r);
        return true;
    }
};

emulator::emulator(config cfg) : impl_(new impl(cfg)) {
    master_fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_fd_ < 0) {
        delete impl_;
        throw std::runtime_error(std::string("posix_openpt: ") + std::strerror(errno));
    }
    std::array<char, 128> name{};
    bool ok = grantpt(master_fd_) == 0 && unlockpt(master_fd_) == 0 &&
              ptsname_r(master_fd_, name.data(), name.size()) == 0;
    int flags = ok ? fcntl(master_fd_, F_GETFL) : -1;
    ok = ok && flags >= 0 && fcntl(master_fd_, F_SETFL, flags | O_NONBLOCK) == 0;
    if (ok) {
        slave_path_ = name.data();
        slave_fd_ = open(name.data(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    std::array<int, 2> pipe_fds{-1, -1};
    ok = ok && slave_fd_ >= 0 && pipe2(pipe_fds.data(), O_CLOEXEC | O_NONBLOCK) == 0;
    if (!ok) {
        int saved = errno;
        if (slave_fd_ >= 0) {
            close(slave_fd_);
        }
        close(master_fd_);
        delete impl_;
        throw std::runtime_error(std::string("pseudo-terminal setup: ") + std::strerror(saved));
    }
    impl_->stop_r = pipe_fds[0];
    impl_->stop_w = pipe_fds[1];
}

emulator::~emulator() {
    stop();
    if (master_fd_ >= 0) {
        close(master_fd_);
    }
    if (slave_fd_ >= 0) {
        close(slave_fd_);
    }
    close(impl_->stop_r);
    close(impl_->stop_w);
    delete impl_;
}

void emulator::start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (thread_.joinable() || master_fd_ < 0) {
        return;
    }
    std::array<uint8_t, 16> junk{};
    while (read(impl_->stop_r, junk.data(), junk.size()) > 0) {
    }
    auto now = clock::now();
    for (auto& a : impl_->faults) {
        a.next_noise = now + std::chrono::milliseconds(std::max(a.f.period_ms, 1));
    }
    thread_ = std::thread([this] { serve(); });
}

void emulator::stop() {
    if (!thread_.joinable()) {
        return;
    }
    uint8_t one = 1;
    while (write(impl_->stop_w, &one, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
}

void emulator::add_fault(const fault& f) {
    std::lock_guard<std::mutex> lock(mutex_);
    impl::active_fault a;
    a.f = f;
    a.rx_base = impl_->rx_total;
    a.next_noise = clock::now() + std::chrono::milliseconds(std::max(f.period_ms, 1));
    impl_->faults.push_back(a);
}

void emulator::clear_faults() {
    std::lock_guard<std::mutex> lock(mutex_);
    impl_->faults.clear();
}

void emulator::set_trace(trace_hook hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    impl_->trace = std::move(hook);
}

void emulator::write_locked(const std::vector<uint8_t>& bytes) {
    std::size_t done = 0;
    auto give_up = clock::now() + WRITE_GIVE_UP;
    while (done < bytes.size() && master_fd_ >= 0) {
        ssize_t n = write(master_fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            auto when = clock::now();
            for (ssize_t i = 0; i < n; ++i) {
                impl_->log.push_back({when, direction::from_adapter, bytes[done + i]});
            }
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            return;
        }
        if (clock::now() >= give_up) {
            return;
        }
        // A reply the program does not read must not keep stop() waiting.
        pollfd p[2] = {{master_fd_, POLLOUT, 0}, {impl_->stop_r, POLLIN, 0}};
        poll(p, 2, 20);
        if ((p[1].revents & POLLIN) != 0) {
            return;
        }
    }
}

void emulator::inject(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (master_fd_ < 0 || bytes.empty()) {
        return;
    }
    // A line in cooked mode would echo, translate or swallow the bytes; let them into the
    // input queue unprocessed and put the settings back as they were.
    termios found{};
    bool switched = false;
    if (tcgetattr(slave_fd_, &found) == 0 && !is_raw(found)) {
        termios raw = found;
        cfmakeraw(&raw);
        switched = tcsetattr(slave_fd_, TCSANOW, &raw) == 0;
    }
    int before = 0;
    if (switched) {
        ioctl(slave_fd_, FIONREAD, &before);
    }
    write_locked(bytes);
    if (switched) {
        auto give_up = clock::now() + INJECT_SETTLE;
        int queued = 0;
        while (clock::now() < give_up) {
            if (ioctl(slave_fd_, FIONREAD, &queued) == 0 &&
                queued >= before + static_cast<int>(bytes.size())) {
                break;
            }
            std::this_thread::sleep_for(1ms);
        }
        tcsetattr(slave_fd_, TCSANOW, &found);
    }
}

void emulator::close_master_locked() {
    if (master_fd_ >= 0) {
        close(master_fd_);
        master_fd_ = -1;
    }
}

void emulator::hang_up() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        stop();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    close_master_locked();
}

std::array<uint8_t, FLASH_SPACE> emulator::flash() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return impl_->flash;
}

void emulator::set_flash(uint16_t address, const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        impl_->flash[static_cast<uint16_t>(address + i)] = bytes[i];
    }
}

void emulator::erase_flash() {
    std::lock_guard<std::mutex> lock(mutex_);
    impl_->flash.fill(0xFF);
}

std::vector<transcript_entry> emulator::transcript() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return impl_->log;
}

std::vector<uint8_t> emulator::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint8_t> out;
    for (const auto& e : impl_->log) {
        if (e.dir == direction::to_adapter) {
            out.push_back(e.byte);
        }
    }
    return out;
}

std::vector<uint8_t> emulator::sent() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint8_t> out;
    for (const auto& e : impl_->log) {
        if (e.dir == direction::from_adapter) {
            out.push_back(e.byte);
        }
    }
    return out;
}

void emulator::clear_transcript() {
    std::lock_guard<std::mutex> lock(mutex_);
    impl_->log.clear();
    impl_->counts.fill(0);
}

int emulator::command_count(uint8_t command) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return command < impl_->counts.size() ? impl_->counts[command] : 0;
}

bool emulator::programming_mode() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return impl_->programming;
}

long emulator::line_baud() const {
    termios t{};
    if (!config_pacing() || tcgetattr(slave_fd_, &t) != 0) {
        return 0;
    }
    return baud_of(cfgetospeed(&t));
}

bool emulator::config_pacing() const {
    return impl_->cfg.baud_pacing;
}

void emulator::serve() {
    std::array<uint8_t, 256> buf{};
    const int stop_fd = impl_->stop_r;
    for (;;) {
        auto timeout = clock::now() + IDLE_POLL;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (master_fd_ < 0) {
                return;
            }
            if (impl_->hang_up_due()) {
                close_master_locked();
                return;
            }
            auto now = clock::now();
            for (auto& a : impl_->faults) {
                if (a.f.kind != fault_kind::noise) {
                    continue;
                }
                auto period = std::chrono::milliseconds(std::max(a.f.period_ms, 1));
                if (a.next_noise <= now) {
                    write_locked({a.f.bytes.empty() ? uint8_t{0x55} : a.f.bytes[0]});
                    a.next_noise = std::max(a.next_noise + period, now);
                }
                timeout = std::min(timeout, a.next_noise);
            }
        }
        auto wait_ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(timeout - clock::now());
        std::array<pollfd, 2> fds{{{master_fd_, POLLIN, 0}, {stop_fd, POLLIN, 0}}};
        int r = poll(fds.data(), fds.size(), static_cast<int>(std::max<long>(wait_ms.count(), 0)));
        if (r < 0) {
            if (errno != EINTR && !wait_until(clock::now() + HANGUP_BACKOFF, stop_fd)) {
                return;
            }
            continue;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            return;
        }
        if ((fds[0].revents & POLLIN) == 0) {
            if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 &&
                !wait_until(clock::now() + HANGUP_BACKOFF, stop_fd)) {
                return;
            }
            continue;
        }
        ssize_t n = read(master_fd_, buf.data(), buf.size());
        if (n <= 0) {
            if ((n == 0 || (errno != EAGAIN && errno != EINTR)) &&
                !wait_until(clock::now() + HANGUP_BACKOFF, stop_fd)) {
                return;
            }
            continue;
        }
        if (!serve_bytes(buf.data(), static_cast<std::size_t>(n))) {
            return;
        }
    }
}

bool emulator::serve_bytes(const uint8_t* bytes, std::size_t count) {
    const int stop_fd = impl_->stop_r;
    const auto arrived = clock::now();
    const long baud = line_baud();
    const auto byte_time =
        baud > 0 ? std::chrono::nanoseconds(10'000'000'000LL / baud) : std::chrono::nanoseconds(0);
    for (std::size_t i = 0; i < count; ++i) {
        if (baud > 0) {
            impl_->rx_wire_free = std::max(arrived, impl_->rx_wire_free) + byte_time;
            if (!wait_until(impl_->rx_wire_free, stop_fd)) {
                return false;
            }
        }
        impl::reply r;
        bool has_reply = false;
        trace_hook trace;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            impl_->log.push_back({clock::now(), direction::to_adapter, bytes[i]});
            ++impl_->rx_total;
            if (impl_->hang_up_due()) {
                close_master_locked();
                return false;
            }
            has_reply = impl_->take_byte(bytes[i], r);
            if (has_reply && impl_->trace) {
                trace = impl_->trace;
            }
        }
        if (!has_reply) {
            continue;
        }
        if (r.delay_ms > 0 &&
            !wait_until(clock::now() + std::chrono::milliseconds(r.delay_ms), stop_fd)) {
            return false;
        }
        if (!r.bytes.empty()) {
            if (baud > 0) {
                impl_->tx_wire_free = std::max(clock::now(), impl_->tx_wire_free) +
                                      byte_time * static_cast<long>(r.bytes.size());
                if (!wait_until(impl_->tx_wire_free, stop_fd)) {
                    return false;
                }
            }
            std::lock_guard<std::mutex> lock(mutex_);
            write_locked(r.bytes);
        }
        if (trace) {
            r.seen.reply = r.bytes;
            r.seen.delay_ms = r.delay_ms;
            trace(r.seen);
        }
    }
    return true;
}

} // namespace sim
