// SPDX-License-Identifier: MIT
// The adapter's byte protocol, the one table that the program, the emulated adapter and the
// fuzzers read: the command bytes and their names, which of them take a data frame and which
// are answered, the identification reply and the other answers, the chip's C2 registers and
// its device erase, and the sizes of blocks and of the chip's flash. Frames themselves are
// coded in adapter_frame.h.
#pragma once

#include <array>
#include <cstdint>

enum adapter_command : uint8_t {
    ADP_FRAME_START = 0x00,
    ADP_IDENTIFY = 0x01,
    ADP_TARGET_RESET = 0x10,
    ADP_ADDRESS_WRITE = 0x11,
    ADP_ADDRESS_READ = 0x12,
    ADP_DATA_WRITE = 0x13,
    ADP_DATA_READ = 0x14,
    ADP_BLOCK_FETCH = 0x15,
    ADP_BLOCK_SUM = 0x16,
    ADP_PROGRAM_MODE = 0x20,
    ADP_BLOCK_WRITE = 0x21,
    ADP_BLOCK_READ = 0x22,
    ADP_QUERY = 0x3F,
};

/// The data frame a command acts on.
enum adapter_frame_use : uint8_t {
    FRAME_NONE,      // no frame
    FRAME_REGISTER,  // one byte: a C2 register address or value
    FRAME_BLOCK,     // address high, address low, length
    FRAME_BLOCK_DATA // address high, address low, length, then that many bytes
};

struct adapter_command_info {
    uint8_t byte;
    const char* name; // as traces show it: the command's name without ADP_
    adapter_frame_use frame;
    bool replies; // the adapter answers it (BLOCK_READ's answer may be left out)
};

/// The twelve commands the program sends, in byte order.
inline constexpr std::array<adapter_command_info, 12> ADAPTER_COMMANDS{{
    {ADP_IDENTIFY, "IDENTIFY", FRAME_NONE, true},
    {ADP_TARGET_RESET, "TARGET_RESET", FRAME_NONE, false},
    {ADP_ADDRESS_WRITE, "ADDRESS_WRITE", FRAME_REGISTER, false},
    {ADP_ADDRESS_READ, "ADDRESS_READ", FRAME_NONE, true},
    {ADP_DATA_WRITE, "DATA_WRITE", FRAME_REGISTER, false},
    {ADP_DATA_READ, "DATA_READ", FRAME_NONE, true},
    {ADP_BLOCK_FETCH, "BLOCK_FETCH", FRAME_NONE, true},
    {ADP_BLOCK_SUM, "BLOCK_SUM", FRAME_NONE, true},
    {ADP_PROGRAM_MODE, "PROGRAM_MODE", FRAME_NONE, true},
    {ADP_BLOCK_WRITE, "BLOCK_WRITE", FRAME_BLOCK_DATA, true},
    {ADP_BLOCK_READ, "BLOCK_READ", FRAME_BLOCK, true},
    {ADP_QUERY, "QUERY", FRAME_NONE, true},
}};

/// The table's row for a command byte; null for a byte outside the table.
constexpr const adapter_command_info* adapter_command_find(uint8_t command) {
    for (const adapter_command_info& info : ADAPTER_COMMANDS) {
        if (info.byte == command) {
            return &info;
        }
    }
    return nullptr;
}

/// The name of a command byte ("BLOCK_WRITE"); null for a byte outside the table.
constexpr const char* adapter_command_name(uint8_t command) {
    const adapter_command_info* info = adapter_command_find(command);
    return info != nullptr ? info->name : nullptr;
}

/// Bytes 0x01 to 0x7F are commands: each ends the frame sent before it. 0x00 starts a frame
/// and 0x80 and above are its body.
constexpr bool adapter_is_command_byte(uint8_t b) {
    return b != ADP_FRAME_START && b < 0x80;
}

/// The first two bytes of every identification reply: the characters C and 2.
inline constexpr uint8_t ADAPTER_ID_FIRST = 0x43;
inline constexpr uint8_t ADAPTER_ID_SECOND = 0x32;

/// Bytes of an identification reply: the two above, the major and the minor version.
inline constexpr int ADAPTER_ID_SIZE = 4;

/// Bits of the C2 status that answers ADP_ADDRESS_READ.
inline constexpr int C2_OUT_READY = 0x01;
inline constexpr int C2_IN_BUSY = 0x02;

/// The answer to ADP_PROGRAM_MODE once the target is in programming mode.
inline constexpr uint8_t PROGRAM_MODE_ENTERED = 0x00;

/// The answer to ADP_BLOCK_WRITE once the block is written; anything else is a failure.
inline constexpr uint8_t BLOCK_WRITE_DONE = 0x00;

/// The chip's C2 registers that ADP_ADDRESS_WRITE selects for the data reads and writes: its
/// identifiers, and the flash programming data register, through which the device erase goes.
inline constexpr uint8_t C2_DEVICE_ID_REGISTER = 0x00;
inline constexpr uint8_t C2_REVISION_ID_REGISTER = 0x01;
inline constexpr uint8_t C2_FLASH_DATA_REGISTER = 0xB4;

/// The device erase, through C2_FLASH_DATA_REGISTER: C2_DEVICE_ERASE written, C2_ERASE_ACCEPTED
/// read back once the chip takes it, then the bytes of C2_ERASE_KEY written one by one.
inline constexpr uint8_t C2_DEVICE_ERASE = 0x03;
inline constexpr uint8_t C2_ERASE_ACCEPTED = 0x0D;
inline constexpr std::array<uint8_t, 3> C2_ERASE_KEY{0xDE, 0xAD, 0xA5};

/// The answer to ADP_QUERY once the device erase is done.
inline constexpr uint8_t QUERY_ERASE_DONE = 0x21;

/// Most flash bytes moved by one block command.
inline constexpr int FLASH_BLOCK_MAX = 16;

/// The bytes of a block request before its data: address high, address low, length.
inline constexpr int BLOCK_REQUEST_HEADER = 3;

/// Most bytes of one frame: a block write request of FLASH_BLOCK_MAX bytes.
inline constexpr int ADAPTER_FRAME_MAX = BLOCK_REQUEST_HEADER + FLASH_BLOCK_MAX;

/// The device identifier of the C8051F30x family, the one chip this program writes.
inline constexpr int C8051F30X_DEVICE_ID = 0x04;

/// The chip's programmable flash, 0x0000 to 0x1DFF: the range read and written by default.
inline constexpr uint32_t CHIP_FLASH_SIZE = 0x1E00;
