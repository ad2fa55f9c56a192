// SPDX-License-Identifier: MIT
#include "cli/options.h"

#include "commands/terminal.h"
#include "protocol/adapter_protocol.h"
#include "serial/port_settings.h"
#include "trace/wire_trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

std::array<option_entry, OPTION_COUNT> option_table = {{
    {"--write", opt_write},
    {"-w", opt_write},
    {"--read", opt_read},
    {"-r", opt_read},
    {"--device-erase", opt_device_erase},
    {"--inquire", opt_inquire},
    {"-i", opt_inquire},
    {"--help", opt_help},
    {"-h", opt_help},
    {"--file", opt_file},
    {"-f", opt_file},
    {"--serial", opt_serial},
    {"--speed", opt_speed},
    {"--reset", opt_reset},
    {"--terminal", opt_terminal},
    {"--test", opt_test},
}};

namespace {

// Compares the key (the argument up to its first '=') with a row's name:
// the first differing character decides, and text that ends earlier is smaller.
int compare_key(const char* key, const char* name) {
    for (std::size_t i = 0;; ++i) {
        unsigned char k = key[i] == '=' ? 0 : static_cast<unsigned char>(key[i]);
        auto n = static_cast<unsigned char>(name[i]);
        if (k != n) {
            return k < n ? -1 : 1;
        }
        if (k == 0) {
            return 0;
        }
    }
}

const option_entry* find_option(const option_entry* table, int count, const char* key) {
    int start = 0;
    while (count > 0) {
        int middle = start + count / 2;
        int order = compare_key(key, table[middle].name);
        if (order == 0) {
            return &table[middle];
        }
        if (order < 0) {
            count = count / 2;
        } else {
            start = middle + 1;
            count = count - count / 2 - 1;
        }
    }
    return nullptr;
}

void select_command(option_context& ctx, command_code command) {
    ctx.command = command;
}

/// The next argument as an option value, consumed; null (nothing consumed)
/// when none is left or it begins with '-'.
const char* next_option_value(option_context& ctx) {
    if (ctx.args_left <= 0) {
        return nullptr;
    }
    const char* value = *ctx.next_arg;
    if (value[0] == '-') {
        return nullptr;
    }
    ++ctx.next_arg;
    --ctx.args_left;
    return value;
}

/// The option's value, from after its '=' or from the next argument; null after printing
/// message when there is none. A missing value fails the run before any port is opened:
/// the command, a later --terminal and the reset are all left out.
const char* required_value(option_context& ctx, const char* value, const char* message) {
    if (value == nullptr) {
        value = next_option_value(ctx);
    }
    if (value == nullptr) {
        std::fputs(message, stderr);
        ctx.error = 1;
        ctx.value_missing = 1;
    }
    return value;
}

} // namespace

void option_context_init(option_context& ctx, int argc, char** argv) {
    ctx.args_left = argc - 1;
    ctx.next_arg = argv + 1;
    ctx.command = CMD_HELP;
    ctx.error = 0;
    ctx.serial_port = "/dev/ttyS0";
    ctx.hex_file = nullptr;
    ctx.flash_size = CHIP_FLASH_SIZE;
    ctx.baud_rate = 19200;
    ctx.reset_target = 0;
    ctx.value_missing = 0;
    ctx.any_device = 0;
    ctx.check_image = 0;
}

int compare_option_names(const void* a, const void* b) {
    return std::strcmp(static_cast<const option_entry*>(a)->name,
                       static_cast<const option_entry*>(b)->name);
}

void sort_option_table() {
    std::qsort(option_table.data(), option_table.size(), sizeof(option_entry),
               compare_option_names);
}

void parse_options(option_entry* table, int count, option_context& ctx) {
    while (ctx.args_left > 0) {
        const char* argument = *ctx.next_arg;
        ++ctx.next_arg;
        --ctx.args_left;
        if (argument[0] != '-') {
            continue;
        }
        const option_entry* entry = find_option(table, count, argument);
        if (entry == nullptr) {
            std::fprintf(stderr, "Unknown option: %s\n", argument);
            if (ctx.command == CMD_HELP) {
                ctx.command = CMD_NONE;
            }
            continue;
        }
        const char* equals = std::strchr(argument, '=');
        entry->handler(ctx, equals != nullptr ? equals + 1 : nullptr);
    }
}

void opt_device_erase(option_context& ctx, const char* /*value*/) {
    select_command(ctx, CMD_DEVICE_ERASE);
}

void opt_help(option_context& ctx, const char* /*value*/) {
    select_command(ctx, CMD_HELP);
}

void opt_inquire(option_context& ctx, const char* /*value*/) {
    select_command(ctx, CMD_INQUIRE);
}

void opt_read(option_context& ctx, const char* /*value*/) {
    select_command(ctx, CMD_READ);
}

void opt_test(option_context& ctx, const char* /*value*/) {
    select_command(ctx, CMD_TEST);
}

void opt_write(option_context& ctx, const char* /*value*/) {
    select_command(ctx, CMD_WRITE);
}

void opt_reset(option_context& ctx, const char* /*value*/) {
    ctx.reset_target = 1;
}

void opt_file(option_context& ctx, const char* value) {
    value = required_value(ctx, value, "File name is required: --file <path>\n");
    if (value == nullptr) {
        return;
    }
    ctx.hex_file = value;
    wire_trace_set_input(value);
    if (ctx.command == CMD_HELP) {
        ctx.command = CMD_NONE;
    }
}

void opt_serial(option_context& ctx, const char* value) {
    value = required_value(ctx, value, "Serial port is required: --serial <path>\n");
    if (value == nullptr) {
        return;
    }
    ctx.serial_port = value;
}

void opt_speed(option_context& ctx, const char* value) {
    value = required_value(ctx, value, "Baud rate is required: --speed <bits per second>\n");
    if (value == nullptr) {
        return;
    }
    // Decimal as atol reads it (leading blanks, a sign, digits up to the
    // first other character, 0 without digits), but clamped instead of
    // undefined on overflow.
    long rate = std::strtol(value, nullptr, 10);
    if (!is_accepted_rate(rate)) {
        std::fputs("Invalid baud rate: --speed <bits per second>\n", stderr);
        return;
    }
    ctx.baud_rate = static_cast<int32_t>(rate);
}

/// Left out after a missing option value, like every other use of a port.
void opt_terminal(option_context& ctx, const char* /*value*/) {
    if (ctx.value_missing == 0) {
        terminal_mode(ctx);
    }
}
