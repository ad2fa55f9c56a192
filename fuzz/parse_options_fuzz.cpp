// SPDX-License-Identifier: MIT
// Fuzzes the command-line parser: the input, split on NUL bytes, is the argument vector after
// the program name. "--terminal" would take over the process with a port; its row in the
// table copy gets a stand-in that only counts calls.
#include "cli/options.h"
#include "commands/option_context.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::size_t ARGUMENTS_MAX = 64;

int terminal_calls = 0;

void terminal_stand_in(option_context& /*ctx*/, const char* /*value*/) {
    ++terminal_calls;
}

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "parse_options invariant broken: %s\n", what);
        std::abort();
    }
}

/// True when text is one of the arguments or lies inside one (a value after '=').
bool inside_arguments(const char* text, const std::vector<std::string>& arguments) {
    for (const std::string& argument : arguments) {
        const char* begin = argument.c_str();
        if (text >= begin && text <= begin + argument.size()) {
            return true;
        }
    }
    return false;
}

bool accepted(int32_t rate) {
    constexpr std::array<int32_t, 11> rates = {300,   600,   1200,  2400,   4800,  9600,
                                               19200, 38400, 57600, 115200, 230400};
    for (int32_t r : rates) {
        if (r == rate) {
            return true;
        }
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    sort_option_table();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments;
    arguments.emplace_back("vantrel");
    std::string current;
    for (std::size_t i = 0; i < size && arguments.size() < ARGUMENTS_MAX; ++i) {
        if (data[i] == 0) {
            arguments.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    if (arguments.size() < ARGUMENTS_MAX) {
        arguments.push_back(current);
    }

    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    const int argc = static_cast<int>(arguments.size());

    std::array<option_entry, OPTION_COUNT> table = option_table;
    for (option_entry& row : table) {
        if (std::strcmp(row.name, "--terminal") == 0) {
            row.handler = terminal_stand_in;
        }
    }

    option_context ctx{};
    option_context_init(ctx, argc, argv.data());
    const char* const default_port = ctx.serial_port;
    terminal_calls = 0;
    parse_options(table.data(), static_cast<int>(table.size()), ctx);

    require(ctx.args_left == 0, "arguments left over");
    require(ctx.next_arg == argv.data() + argc, "next_arg not at the end");
    require(ctx.command >= CMD_NONE && ctx.command <= CMD_TEST, "command outside the codes");
    require(ctx.error == 0 || ctx.error == 1, "error neither 0 nor 1");
    require(ctx.reset_target == 0 || ctx.reset_target == 1, "reset_target neither 0 nor 1");
    require(accepted(ctx.baud_rate), "baud_rate not an accepted rate");
    require(ctx.flash_size == 7680, "flash_size changed");
    require(ctx.serial_port == default_port || inside_arguments(ctx.serial_port, arguments),
            "serial_port points outside the arguments");
    require(ctx.hex_file == nullptr || inside_arguments(ctx.hex_file, arguments),
            "hex_file points outside the arguments");
    require(terminal_calls <= argc, "terminal handler called more often than arguments");
    return 0;
}
