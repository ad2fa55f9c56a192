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
};

/// The options of argv. --help prints the help and exits 0; a bad option or value prints
/// a message on standard error and exits with EXIT_USAGE.
tool_options parse_command_line(int argc, char** argv);

} // namespace emu_tool
