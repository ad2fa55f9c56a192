// SPDX-License-Identifier: MIT
#include "fault_injector.h"

#include "protocol/adapter_protocol.h"

#include <algorithm>

namespace sim {

namespace {

constexpr std::size_t BLOCK_SPAN = 16; // a block fault covers the 16-byte block of its address

bool is_per_command(fault_kind k) {
    return k == fault_kind::no_reply || k == fault_kind::wrong_reply ||
           k == fault_kind::delay_reply || k == fault_kind::surplus_reply;
}

std::chrono::milliseconds noise_period(const fault& f) {
    return std::chrono::milliseconds(std::max(f.period_ms, 1));
}

} // namespace

void fault_injector::add(const fault& f, std::size_t rx_total, clock::time_point now) {
    active_fault a;
    a.f = f;
    a.rx_base = rx_total;
    a.next_noise = now + noise_period(f);
    faults_.push_back(a);
}

bool fault_injector::active(fault_kind k) const {
    return std::any_of(faults_.begin(), faults_.end(),
                       [k](const active_fault& a) { return a.f.kind == k; });
}

bool fault_injector::block_fault(fault_kind k, uint16_t address, std::size_t length) {
    for (auto& a : faults_) {
        if (a.f.kind != k || (a.f.times >= 0 && a.fired >= a.f.times)) {
            continue;
        }
        auto base = static_cast<uint16_t>(a.f.address & ~(BLOCK_SPAN - 1));
        for (std::size_t i = 0; i < length; ++i) {
            auto at = static_cast<uint16_t>(address + i);
            if (static_cast<uint16_t>(at - base) < BLOCK_SPAN) {
                ++a.fired;
                return true;
            }
        }
    }
    return false;
}

uint8_t fault_injector::status(uint8_t truthful) const {
    uint8_t s = truthful;
    if (active(fault_kind::never_ready)) {
        s &= static_cast<uint8_t>(~C2_OUT_READY);
    }
    if (active(fault_kind::always_busy)) {
        s |= C2_IN_BUSY;
    }
    return s;
}

void fault_injector::apply(exchange& e) {
    for (auto& a : faults_) {
        const fault& f = a.f;
        if (!is_per_command(f.kind) || f.command != e.command) {
            continue;
        }
        ++a.seen;
        if (f.nth != 0 && a.seen != f.nth) {
            continue;
        }
        switch (f.kind) {
        case fault_kind::no_reply:
            e.reply.clear();
            break;
        case fault_kind::wrong_reply:
            e.reply = f.bytes;
            break;
        case fault_kind::delay_reply:
            e.delay_ms += f.delay_ms;
            break;
        case fault_kind::surplus_reply:
            e.reply.insert(e.reply.end(), f.bytes.begin(), f.bytes.end());
            break;
        default:
            break;
        }
    }
}

bool fault_injector::hang_up_due(std::size_t rx_total) const {
    return std::any_of(faults_.begin(), faults_.end(), [rx_total](const active_fault& a) {
        return a.f.kind == fault_kind::hang_up_after && rx_total - a.rx_base >= a.f.after_bytes;
    });
}

std::vector<uint8_t> fault_injector::relay(uint8_t b, std::size_t rx_total) const {
    std::vector<uint8_t> out{b};
    for (const auto& a : faults_) {
        if (rx_total - a.rx_base != a.f.after_bytes) {
            continue;
        }
        switch (a.f.kind) {
        case fault_kind::request_flip: {
            const uint8_t mask = a.f.bytes.empty() ? uint8_t{0} : a.f.bytes[0];
            for (auto& x : out) {
                x = static_cast<uint8_t>(x ^ mask);
            }
            break;
        }
        case fault_kind::request_drop:
            out.clear();
            break;
        case fault_kind::request_twice: {
            const std::vector<uint8_t> once = out;
            out.insert(out.end(), once.begin(), once.end());
            break;
        }
        default:
            break;
        }
    }
    return out;
}

void fault_injector::restart_noise(clock::time_point now) {
    for (auto& a : faults_) {
        a.next_noise = now + noise_period(a.f);
    }
}

std::vector<uint8_t> fault_injector::noise_due(clock::time_point now) {
    std::vector<uint8_t> due;
    for (auto& a : faults_) {
        if (a.f.kind != fault_kind::noise || a.next_noise > now) {
            continue;
        }
        due.push_back(a.f.bytes.empty() ? uint8_t{0x55} : a.f.bytes[0]);
        a.next_noise = std::max(a.next_noise + noise_period(a.f), now);
    }
    return due;
}

fault_injector::clock::time_point fault_injector::next_noise(clock::time_point no_later) const {
    for (const auto& a : faults_) {
        if (a.f.kind == fault_kind::noise) {
            no_later = std::min(no_later, a.next_noise);
        }
    }
    return no_later;
}

} // namespace sim
