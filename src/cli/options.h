// SPDX-License-Identifier: MIT
// The option table and its parser.
#pragma once

#include "commands/option_context.h"

#include <array>
#include <cstddef>

using option_handler = void (*)(option_context& ctx, const char* value);

struct option_entry {
    const char* name; // complete option text, dashes included
    option_handler handler;
};

inline constexpr std::size_t OPTION_COUNT = 16;

/// The 16 options, in declaration order; sort_option_table puts them in name order.
extern std::array<option_entry, OPTION_COUNT> option_table;

/// Fills the context with the defaults for the given argument vector.
void option_context_init(option_context& ctx, int argc, char** argv);

/// qsort comparator over two option_entry rows: strcmp of their names.
int compare_option_names(const void* a, const void* b);

/// Sorts option_table by name; must run before the first lookup.
void sort_option_table();

/// Consumes every remaining argument of ctx, running the handlers in order.
void parse_options(option_entry* table, int count, option_context& ctx);

void opt_device_erase(option_context& ctx, const char* value);
void opt_file(option_context& ctx, const char* value);
void opt_help(option_context& ctx, const char* value);
void opt_inquire(option_context& ctx, const char* value);
void opt_read(option_context& ctx, const char* value);
void opt_reset(option_context& ctx, const char* value);
void opt_serial(option_context& ctx, const char* value);
void opt_speed(option_context& ctx, const char* value);
void opt_terminal(option_context& ctx, const char* value);
void opt_test(option_context& ctx, const char* value);
void opt_write(option_context& ctx, const char* value);
