// SPDX-License-Identifier: MIT
// What the emulator's users read and set between exchanges: faults, the trace hook,
// the flash, the transcript, the command counts and the busy adapter's totals.
#include "emulator_impl.h"

namespace sim {

void emulator::add_fault(const fault& f) {
    std::lock_guard<std::mutex> lock(mutex_);
    impl_->adapter.faults().add(f, impl_->rx_total, line_clock::now());
}

void emulator::clear_faults() {
    std::lock_guard<std::mutex> lock(mutex_);
    impl_->adapter.faults().clear();
}

void emulator::set_trace(trace_hook hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    impl_->trace = std::move(hook);
}

std::array<uint8_t, FLASH_SPACE> emulator::flash() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return impl_->adapter.target().flash();
}

void emulator::set_flash(uint16_t address, const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& flash = impl_->adapter.target().flash();
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        flash[static_cast<uint16_t>(address + i)] = bytes[i];
    }
}

void emulator::erase_flash() {
    std::lock_guard<std::mutex> lock(mutex_);
    impl_->adapter.target().flash().fill(0xFF);
}

std::vector<transcript_entry> emulator::transcript() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return impl_->log;
}

std::vector<uint8_t> emulator::logged(direction dir) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint8_t> out;
    for (const auto& e : impl_->log) {
        if (e.dir == dir) {
            out.push_back(e.byte);
        }
    }
    return out;
}

std::vector<uint8_t> emulator::received() const {
    return logged(direction::to_adapter);
}

std::vector<uint8_t> emulator::sent() const {
    return logged(direction::from_adapter);
}

void emulator::clear_transcript() {
    std::lock_guard<std::mutex> lock(mutex_);
    impl_->log.clear();
    impl_->adapter.clear_counts();
}

int emulator::command_count(uint8_t command) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return impl_->adapter.command_count(command);
}

bool emulator::programming_mode() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return impl_->adapter.target().programming();
}

int emulator::lost_bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return impl_->lost;
}

std::chrono::microseconds emulator::busy_time() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return impl_->busy_total;
}

} // namespace sim
