// SPDX-License-Identifier: MIT
// The run of the program once its option context holds the command line.
#include "cli/driver.h"

#include "cli/options.h"
#include "cli/usage.h"
#include "commands/erase_reset.h"
#include "commands/inquire.h"
#include "commands/read.h"
#include "commands/write.h"
#include "trace/wire_trace.h"

#include <cstdlib>
#include <cstring>

namespace {

/// True when the environment variable is set to anything but "" or "0".
bool variable_set(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

} // namespace

int run_program(option_context& ctx) {
    wire_trace_install();
    ctx.any_device = variable_set(ANY_DEVICE_VARIABLE) ? 1 : 0;
    ctx.check_image = variable_set(CHECK_IMAGE_VARIABLE) ? 1 : 0;
    sort_option_table();
    parse_options(option_table.data(), static_cast<int>(option_table.size()), ctx);
    if (ctx.value_missing != 0) {
        return 1;
    }

    switch (ctx.command) {
    case CMD_NONE:
        break;
    case CMD_READ:
        cmd_read(ctx);
        break;
    case CMD_WRITE:
        cmd_write(ctx);
        break;
    case CMD_DEVICE_ERASE:
        cmd_device_erase(ctx);
        break;
    case CMD_INQUIRE:
        cmd_inquire(ctx);
        break;
    case CMD_TEST:
        cmd_test(ctx);
        break;
    default: // CMD_HELP and any value outside the codes
        if (ctx.reset_target == 0 && ctx.error == 0) {
            print_usage();
        }
        break;
    }

    if (ctx.reset_target != 0) {
        cmd_reset(ctx);
    }
    wire_trace_end_of_run(ctx.error != 0 ? 1 : 0);
    return ctx.error != 0 ? 1 : 0;
}
