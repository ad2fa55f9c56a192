// SPDX-License-Identifier: MIT
#include "cli/usage.h"

#include <cstdio>
#include <string_view>

namespace {

constexpr std::string_view usage_text =
    "Vantrel Programmer, v2.1\r\n"
    "\n"
    "commands:\n"
    "    -r --read                           : Read from flash memory\n"
    "    -w --write                          : Write to flash memory\n"
    "       --device-erase                   : Erase flash memory entirely\n"
    "    -i --inquire                        : Inquire target device\n"
    "    -h --help                           : Display this message\n"
    "options:\n"
    "    -f --file <hex file>                : Hex file for serial_write command\n"
    "       --serial <serial port>           : Serial port (default=/dev/ttyS0)\n"
    "       --speed <bits per second>        : Baud rate (default=19200)\n"
    "examples:\n"
    "    vantrel -i\n"
    "    vantrel -r\n"
    "    vantrel -w <hexfile\n"
    "    vantrel -w -f hexfile\n"
    "    vantrel --device-erase\n"
    "    vantrel --serial /dev/ttyS1 --speed 115200 -i\n"
    "\n";

static_assert(usage_text.size() == 759, "the usage text is 759 bytes");

} // namespace

void print_usage() {
    std::fwrite(usage_text.data(), 1, usage_text.size(), stdout);
}

void cmd_test(option_context& /*ctx*/) {}
