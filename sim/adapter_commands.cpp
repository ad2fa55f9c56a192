// SPDX-License-Identifier: MIT
#include "adapter_commands.h"

namespace sim {

const std::vector<command_info>& command_table() {
    // clang-format off
    static const std::vector<command_info> table = {
        {ADP_IDENTIFY,      "IDENTIFY",      true},  {ADP_TARGET_RESET, "TARGET_RESET", false},
        {ADP_ADDRESS_WRITE, "ADDRESS_WRITE", false}, {ADP_ADDRESS_READ, "ADDRESS_READ", true},
        {ADP_DATA_WRITE,    "DATA_WRITE",    false}, {ADP_DATA_READ,    "DATA_READ",    true},
        {ADP_BLOCK_FETCH,   "BLOCK_FETCH",   true},  {ADP_BLOCK_SUM,    "BLOCK_SUM",    true},
        {ADP_PROGRAM_MODE,  "PROGRAM_MODE",  true},  {ADP_BLOCK_WRITE,  "BLOCK_WRITE",  true},
        {ADP_BLOCK_READ,    "BLOCK_READ",    true},  {ADP_QUERY,        "QUERY",        true},
    };
    // clang-format on
    return table;
}

const command_info* find_command(uint8_t command) {
    for (const auto& c : command_table()) {
        if (c.byte == command) {
            return &c;
        }
    }
    return nullptr;
}

const char* command_name(uint8_t command) {
    const command_info* c = find_command(command);
    return c != nullptr ? c->name : nullptr;
}

} // namespace sim
