// SPDX-License-Identifier: MIT
// vantrel-emu's command line.
#pragma once

#include "emulator.h"

#include <cstdint>
#include <string>
#include <vector>

namespace emu_tool {

inline constexpr int EXIT_USAGE = 2;

struct tool_options {
    sim::config cfg;
    std::vector<sim::fault> faults;
    std::vector<uint8_t> stale;
    std::string flash_file;
    std::string save_file;
    std::string link_path;
    bool once = false;
    bool trace = false;
    enum { SERVE, HELP, VERSION } show = SERVE; // --help and --version print instead of serving
};

/// The options of argv. A bad option, value or argument prints a message on standard error
/// and exits with EXIT_USAGE; otherwise --help and --version print their text and exit 0.
tool_options parse_command_line(int argc, char** argv);

} // namespace emu_tool
