// SPDX-License-Identifier: MIT
#include "adapter_model.h"

namespace sim {

std::optional<exchange> adapter_model::take(uint8_t b) {
    auto c = decoder_.take(b);
    if (!c) {
        return std::nullopt;
    }
    ++counts_[c->command];
    exchange e;
    e.command = c->command;
    e.frame.assign(c->data.begin(), c->data.end());
    e.frame_overflow = c->overflow;
    e.busy_us = target_.busy_us(*c);
    e.reply = target_.handle(*c, &faults_);
    faults_.apply(e);
    return e;
}

int adapter_model::command_count(uint8_t command) const {
    return command < counts_.size() ? counts_[command] : 0;
}

} // namespace sim
