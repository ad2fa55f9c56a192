// SPDX-License-Identifier: MIT
// The small languages of the vantrel-emu command line: adapter command names
// and the --fault specs that turn into emulator faults; and the trace line of
// an exchange. The command table itself is in protocol/adapter_protocol.h.
#pragma once

#include "emulator.h"
#include "protocol/adapter_protocol.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

/// A command given by name ("PROGRAM_MODE", "ADP_PROGRAM_MODE", any letter case) or by
/// byte ("0x20", "32"; 0x01..0x7F); nullopt for anything else.
std::optional<uint8_t> parse_command(std::string_view text);

/// Bytes written as hexadecimal pairs, optionally separated by ',' or ':' ("433201",
/// "43,32,01"); nullopt when empty or malformed.
std::optional<std::vector<uint8_t>> parse_hex_bytes(std::string_view text);

/// One --fault argument, understood.
struct fault_request {
    bool is_stale = false;         // stale=HEX: bytes waiting on the line at start
    fault f{fault_kind::no_reply}; // the fault to add when !is_stale
    std::vector<uint8_t> stale_bytes{};
};

/// Parses one --fault spec; on failure returns nullopt and puts a one-line
/// reason (without the offending text itself) in error.
std::optional<fault_request> parse_fault_spec(std::string_view spec, std::string& error);

/// One exchange as a trace line without line end: "BLOCK_WRITE 0x0100 16 bytes -> 00",
/// "ADDRESS_WRITE 0xB4", "IDENTIFY -> 43 32 01 03", "PROGRAM_MODE -> (no reply)"; a byte lost
/// while the adapter was busy: "lost while busy: 15".
std::string describe_exchange(const exchange& e);

/// The accepted syntax, one form per line, for --help.
const char* fault_spec_syntax();

} // namespace sim
