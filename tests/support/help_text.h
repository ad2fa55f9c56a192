// SPDX-License-Identifier: MIT
// What the programs say they take, for the manual pages and the completions to be checked
// against: the option table of vantrel and the help of vantrel-emu.
#pragma once

#include "cli/options.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace test_support {

/// The option names of the table, as the program looks them up.
inline std::set<std::string> table_names() {
    sort_option_table();
    std::set<std::string> names;
    for (const auto& row : option_table) {
        names.insert(row.name);
    }
    return names;
}

/// The lines of vantrel-emu --help.
inline std::vector<std::string> emu_help_lines() {
    test_support::run_options opts;
    opts.timeout_s = 30;
    run_result help = run_program(VANTREL_EMU_BINARY, {"--help"}, opts);
    EXPECT_EQ(help.exit_status, 0);
    std::vector<std::string> out;
    std::stringstream lines(help.out);
    std::string line;
    while (std::getline(lines, line)) {
        out.push_back(line);
    }
    return out;
}

/// The options of vantrel-emu --help: the first word of each line that begins "  --".
inline std::set<std::string> emu_help_options() {
    std::set<std::string> names;
    for (const auto& line : emu_help_lines()) {
        if (line.rfind("  --", 0) == 0) {
            names.insert(line.substr(2, line.find(' ', 2) - 2));
        }
    }
    return names;
}

} // namespace test_support
