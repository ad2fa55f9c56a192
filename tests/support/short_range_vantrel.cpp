// SPDX-License-Identifier: MIT
// vantrel with a flash range of its own choosing, for fault sweeps that must visit every
// exchange of a read: "vantrel-short-range BYTES ARGS..." runs the program's own driver on
// ARGS with the read and write covering the first BYTES bytes of flash.
#include "cli/driver.h"
#include "cli/options.h"

#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 2) {
        return 2;
    }
    option_context ctx{};
    option_context_init(ctx, argc - 1, argv + 1); // argv[1], the size, stands as the name
    ctx.flash_size = static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 0));
    return run_program(ctx);
}
