// SPDX-License-Identifier: MIT
// Hexadecimal digits, as the fault specs and Intel HEX files write them.
#pragma once

namespace sim {

/// Value of one hexadecimal digit (either letter case); -1 for any other character.
inline int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

/// Value of the byte written as the two digits hi lo; -1 when either is not a digit.
inline int hex_pair(char hi, char lo) {
    int h = hex_digit(hi);
    int l = hex_digit(lo);
    return h < 0 || l < 0 ? -1 : h * 16 + l;
}

} // namespace sim
