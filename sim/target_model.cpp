// SPDX-License-Identifier: MIT
#include "target_model.h"

#include "protocol/adapter_protocol.h"

#include <algorithm>

namespace sim {

namespace {

// The emulated chip's own failures: the program takes anything but the answer it waits for as
// one.
constexpr uint8_t ERASE_REFUSED = 0x02;
constexpr uint8_t BLOCK_FAILED = 0x01;
constexpr uint8_t QUERY_NOT_DONE = 0x00;

/// The argument of a one-byte frame; null for any other frame.
const uint8_t* single_byte(const command_frame& c) {
    return c.data.size() == 1 && !c.overflow ? c.data.data() : nullptr;
}

} // namespace

target_model::target_model(const config& cfg) : cfg_(cfg) {
    flash_.fill(0xFF);
}

std::vector<uint8_t> target_model::handle(const command_frame& c, fault_injector* faults) {
    switch (c.command) {
    case ADP_IDENTIFY:
        return {'C', '2', cfg_.version_major, cfg_.version_minor};
    case ADP_TARGET_RESET:
        programming_ = false;
        block_valid_ = false;
        reset_c2();
        return {};
    case ADP_ADDRESS_WRITE:
        if (const uint8_t* v = single_byte(c)) {
            c2_address_ = *v;
        }
        return {};
    case ADP_ADDRESS_READ: {
        uint8_t s = status_poll();
        return {faults != nullptr ? faults->status(s) : s};
    }
    case ADP_DATA_WRITE:
        if (const uint8_t* v = single_byte(c)) {
            data_write(*v);
        }
        return {};
    case ADP_DATA_READ:
        return {data_read(faults)};
    case ADP_BLOCK_FETCH:
        return block_fetch(faults);
    case ADP_BLOCK_SUM:
        return block_sum(faults);
    case ADP_PROGRAM_MODE:
        programming_ = true;
        reset_c2();
        return {PROGRAM_MODE_ENTERED};
    case ADP_BLOCK_WRITE:
        return {block_write(c, faults)};
    case ADP_BLOCK_READ:
        block_read(c);
        ++block_reads_;
        if (cfg_.block_read_ack && block_reads_ % std::max(cfg_.block_read_ack_every, 1) == 0) {
            return {0x00};
        }
        return {};
    case ADP_QUERY:
        return {cfg_.query_says_done || erased_ ? QUERY_ERASE_DONE : QUERY_NOT_DONE};
    default:
        return {};
    }
}

long target_model::busy_us(const command_frame& c) const {
    long us = 0;
    if (c.command == ADP_BLOCK_READ) {
        us = cfg_.block_read_busy_us;
    } else if (c.command == ADP_BLOCK_WRITE) {
        us = cfg_.block_write_busy_us;
    } else if (c.command == ADP_DATA_WRITE && single_byte(c) != nullptr &&
               c2_address_ == C2_FLASH_DATA_REGISTER && programming_) {
        us = cfg_.erase_step_busy_us;
    }
    return std::clamp(us, 0L, MAX_BUSY_US);
}

void target_model::reset_c2() {
    erase_step_ = 0;
    busy_polls_ = 0;
    ready_pending_ = false;
    erase_pending_ = false;
    out_ready_ = false;
    data_reg_ = 0;
    erased_ = false;
}

void target_model::finish_busy() {
    if (ready_pending_) {
        out_ready_ = true;
        data_reg_ = pending_value_;
        ready_pending_ = false;
    }
    if (erase_pending_) {
        flash_.fill(0xFF);
        erase_pending_ = false;
        erased_ = true;
    }
}

/// Starts an operation that shows C2_IN_BUSY for polls status polls; then, with ready,
/// the flash data register holds value, and with erase the flash is erased.
void target_model::start_busy(int polls, bool ready, uint8_t value, bool erase) {
    out_ready_ = false;
    busy_polls_ = std::max(polls, 0);
    ready_pending_ = ready;
    pending_value_ = value;
    erase_pending_ = erase;
    if (busy_polls_ == 0) {
        finish_busy();
    }
}

uint8_t target_model::status_poll() {
    uint8_t s = 0;
    if (busy_polls_ > 0) {
        s |= C2_IN_BUSY;
        if (--busy_polls_ == 0) {
            finish_busy();
        }
    }
    if (out_ready_) {
        s |= C2_OUT_READY;
    }
    return s;
}

void target_model::data_write(uint8_t v) {
    if (c2_address_ != C2_FLASH_DATA_REGISTER || !programming_) {
        return;
    }
    int step_polls = cfg_.erase_busy_polls > 0 ? 1 : 0;
    if (v == C2_DEVICE_ERASE) {
        erase_step_ = 1;
        erased_ = false;
        start_busy(cfg_.erase_busy_polls, true, C2_ERASE_ACCEPTED, false);
    } else if (erase_step_ >= 2 && erase_step_ <= 4 &&
               v == C2_ERASE_KEY[static_cast<std::size_t>(erase_step_ - 2)]) {
        ++erase_step_;
        if (erase_step_ == 5) {
            start_busy(cfg_.erase_busy_polls, true, 0x00, true);
        } else {
            start_busy(step_polls, false, 0, false);
        }
    } else {
        erase_step_ = 0;
        start_busy(step_polls, true, ERASE_REFUSED, false);
    }
}

uint8_t target_model::data_read(const fault_injector* faults) {
    switch (c2_address_) {
    case C2_DEVICE_ID_REGISTER:
        return cfg_.device_id;
    case C2_REVISION_ID_REGISTER:
        return cfg_.revision_id;
    case C2_FLASH_DATA_REGISTER: {
        bool never_ready = faults != nullptr && faults->active(fault_kind::never_ready);
        if (!out_ready_ || never_ready) {
            return 0x00;
        }
        out_ready_ = false;
        if (erase_step_ == 1 && data_reg_ == C2_ERASE_ACCEPTED) {
            erase_step_ = 2;
        }
        return data_reg_;
    }
    default:
        return 0x00;
    }
}

uint8_t target_model::block_write(const command_frame& c, fault_injector* faults) {
    if (!programming_ || c.overflow || c.data.size() < 3) {
        return BLOCK_FAILED;
    }
    auto addr = static_cast<uint16_t>(c.data[0] << 8 | c.data[1]);
    std::size_t len = c.data[2];
    if (len < 1 || len > BLOCK_MAX || c.data.size() != 3 + len || addr + len > cfg_.flash_end) {
        return BLOCK_FAILED;
    }
    if (faults != nullptr && faults->block_fault(fault_kind::write_refused, addr, len)) {
        return BLOCK_FAILED;
    }
    for (std::size_t i = 0; i < len; ++i) {
        flash_[addr + i] &= c.data[3 + i];
    }
    return BLOCK_WRITE_DONE;
}

void target_model::block_read(const command_frame& c) {
    block_valid_ = false;
    if (!programming_ || c.overflow || c.data.size() != 3) {
        return;
    }
    std::size_t len = c.data[2];
    if (len < 1 || len > BLOCK_MAX) {
        return;
    }
    block_addr_ = static_cast<uint16_t>(c.data[0] << 8 | c.data[1]);
    block_len_ = len;
    for (std::size_t i = 0; i < len; ++i) {
        block_[i] = flash_[static_cast<uint16_t>(block_addr_ + i)];
    }
    block_valid_ = true;
}

/// With block_once the block is gone once served, as on an adapter that streams it out
/// of the target rather than keeping it.
void target_model::block_served() {
    if (cfg_.block_once) {
        block_valid_ = false;
    }
}

std::vector<uint8_t> target_model::block_fetch(fault_injector* faults) {
    if (!programming_ || !block_valid_) {
        return {};
    }
    std::vector<uint8_t> r(block_len_ + 2, 0x00); // a leading and a trailing byte around the block
    std::copy_n(block_.begin(), block_len_, r.begin() + 1);
    if (faults != nullptr &&
        faults->block_fault(fault_kind::short_fetch, block_addr_, block_len_)) {
        r.pop_back();
    }
    block_served();
    return r;
}

std::vector<uint8_t> target_model::block_sum(fault_injector* faults) {
    if (!programming_ || !block_valid_) {
        return {};
    }
    unsigned sum = 0;
    for (std::size_t i = 0; i < block_len_; ++i) {
        sum += block_[i];
    }
    if (faults != nullptr && faults->block_fault(fault_kind::wrong_sum, block_addr_, block_len_)) {
        ++sum;
    }
    block_served();
    return {static_cast<uint8_t>(sum & 0xFF)};
}

} // namespace sim
