// SPDX-License-Identifier: MIT
// Fuzzes the block and C2 operations with adapter replies chosen by the input: an emulated
// adapter answers on a pseudo-terminal, and the input picks the operations and the faults
// (wrong, surplus, missing and late replies) applied to its answers.
//
// Input layout: one configuration byte; four bytes per operation (kind, address high, address
// low, length); then fault records of three bytes (command, occurrence, kind and size) each
// followed by the fault's reply bytes. Without faults the operations must give exactly what
// the emulated flash holds.
#include "adapter/adapter_link.h"
#include "adapter/block_reader.h"
#include "adapter/c2_control.h"
#include "adapter/flash_block.h"
#include "emulator.h"
#include "serial/serial_port.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr std::size_t FAULTS_MAX = 6;
constexpr std::size_t GUARD = 32;
constexpr uint8_t CANARY = 0xA5;
constexpr uint16_t USABLE_END = CHIP_FLASH_SIZE;

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "adapter operation invariant broken: %s\n", what);
        std::abort();
    }
}

/// Reads the input from the front; past its end every byte is 0.
struct input_reader {
    const uint8_t* data;
    std::size_t size;
    std::size_t pos = 0;
    uint8_t next() { return pos < size ? data[pos++] : 0; }
    bool done() const { return pos >= size; }
};

struct operation {
    uint8_t kind;
    uint16_t address;
    uint8_t length;
};

void check_guard(const std::vector<uint8_t>& buffer, std::size_t used, const char* what) {
    for (std::size_t i = used; i < buffer.size(); ++i) {
        require(buffer[i] == CANARY, what);
    }
}

/// Runs one operation; exact is true when no fault can have touched the replies.
void run_operation(sim::emulator& emu, block_reader& reader, const operation& op, bool exact) {
    const int fd = reader.fd;
    const bool programming = emu.programming_mode();
    const auto before = emu.flash();
    const unsigned kind = op.kind % 16U;
    if (kind < 4) {
        std::vector<uint8_t> destination(op.length + GUARD, CANARY);
        const int result = flash_block_read(reader, destination.data(), op.address, op.length);
        require(result == 0 || result == 1, "flash_block_read result");
        check_guard(destination, op.length, "flash_block_read wrote past length");
        if (exact && programming) {
            require(result == 1, "flash_block_read failed on a good line");
            for (unsigned i = 0; i < op.length; ++i) {
                require(destination[i] == before[static_cast<uint16_t>(op.address + i)],
                        "flash_block_read returned other bytes than the flash");
            }
        }
    } else if (kind < 7) {
        std::vector<uint8_t> source(op.length);
        for (unsigned i = 0; i < op.length; ++i) {
            source[i] = static_cast<uint8_t>(op.address * 7 + i * 13);
        }
        const int result = flash_block_write(fd, source.data(), op.address, op.length);
        require(result == 0 || result == 1, "flash_block_write result");
        bool in_range = true;
        for (unsigned done = 0; done < op.length; done += FLASH_BLOCK_MAX) {
            const unsigned piece = op.length - done < 16U ? op.length - done : 16U;
            if (static_cast<uint16_t>(op.address + done) + piece > USABLE_END) {
                in_range = false;
            }
        }
        if (exact && programming) {
            require(result == (in_range ? 1 : 0), "flash_block_write result on a good line");
            if (in_range) {
                const auto after = emu.flash();
                for (unsigned i = 0; i < op.length; ++i) {
                    const auto at = static_cast<uint16_t>(op.address + i);
                    require(after[at] == (before[at] & source[i]),
                            "flash_block_write programmed other bytes");
                }
            }
        }
    } else if (kind < 10) {
        const int result = flash_block_sum(reader, op.address, op.length);
        require(result >= -1 && result <= 255, "flash_block_sum result");
        if (exact && programming) {
            unsigned sum = 0;
            for (unsigned i = 0; i < op.length; ++i) {
                sum += before[static_cast<uint16_t>(op.address + i)];
            }
            require(result == static_cast<int>(sum & 0xFF), "flash_block_sum on a good line");
        }
    } else if (kind < 12) {
        const int result = c2_device_erase(fd);
        require(result == 0 || result == 1, "c2_device_erase result");
        if (exact && programming) {
            require(result == 1, "c2_device_erase failed on a good line");
            const auto after = emu.flash();
            for (std::size_t i = 0; i < after.size(); ++i) {
                require(after[i] == 0xFF, "c2_device_erase left bytes programmed");
            }
        }
    } else if (kind == 12) {
        const int capacity = 4 + op.length % 97;
        std::vector<uint8_t> buffer(static_cast<std::size_t>(capacity) + GUARD, CANARY);
        const int got = adapter_identify(fd, buffer.data(), capacity);
        require(got >= 0 && got <= capacity, "adapter_identify count");
        check_guard(buffer, static_cast<std::size_t>(capacity), "adapter_identify overran");
        if (exact) {
            require(got == 4 && buffer[0] == 'C' && buffer[1] == '2', "identify on a good line");
        }
    } else if (kind == 13) {
        const int result = enter_programming_mode(fd);
        require(result == 0 || result == 1, "enter_programming_mode result");
        if (exact) {
            require(result == 1, "enter_programming_mode failed on a good line");
        }
    } else {
        const int id = (kind == 14) ? read_device_id(fd) : read_revision_id(fd);
        require(id >= -1 && id <= 255, "identifier range");
        if (exact) {
            require(id == (kind == 14 ? 0x04 : 0x02), "identifier on a good line");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    input_reader in{data, size};
    const uint8_t settings = in.next();
    sim::config cfg;
    cfg.erase_busy_polls = settings & 7;
    cfg.block_read_ack = ((settings >> 3) & 7) != 0;
    const int operation_count = 1 + ((settings >> 6) & 3);

    std::vector<operation> operations;
    for (int i = 0; i < operation_count; ++i) {
        operation op{};
        op.kind = in.next();
        op.address = static_cast<uint16_t>(in.next() << 8);
        op.address = static_cast<uint16_t>(op.address | in.next());
        op.length = in.next();
        operations.push_back(op);
    }

    std::vector<sim::fault> faults;
    while (!in.done() && faults.size() < FAULTS_MAX) {
        sim::fault f{sim::fault_kind::wrong_reply};
        f.command = ADAPTER_COMMANDS[in.next() % ADAPTER_COMMANDS.size()].byte;
        f.nth = in.next() % 6;
        const uint8_t shape = in.next();
        const int count = (shape >> 2) & 7;
        switch (shape & 3) {
        case 0:
            f.kind = sim::fault_kind::wrong_reply;
            break;
        case 1:
            f.kind = sim::fault_kind::surplus_reply;
            break;
        case 2:
            f.kind = sim::fault_kind::no_reply;
            break;
        default:
            f.kind = sim::fault_kind::delay_reply;
            f.delay_ms = (shape >> 2) * 2; // at most 126 ms: some replies come too late
            break;
        }
        if (f.kind == sim::fault_kind::wrong_reply || f.kind == sim::fault_kind::surplus_reply) {
            for (int i = 0; i < count; ++i) {
                f.bytes.push_back(in.next());
            }
        }
        // A longer reply to every occurrence floods the line faster than the operations read
        // it, and the emulator then spends seconds per unread reply: keep such faults to one
        // occurrence, or to a reply of one byte.
        if (f.nth == 0 && f.kind == sim::fault_kind::surplus_reply) {
            f.nth = 1;
        }
        if (f.nth == 0 && f.bytes.size() > 1) {
            f.bytes.resize(1);
        }
        faults.push_back(f);
    }

    sim::emulator emu(cfg);
    for (unsigned i = 0; i < USABLE_END; i += 61) {
        emu.set_flash(static_cast<uint16_t>(i), {static_cast<uint8_t>(i), 0x00, 0x5A});
    }
    emu.start();
    termios saved{};
    const int fd = serial_open(emu.slave_path().c_str(), 230400, &saved);
    require(fd >= 0, "cannot open the emulated port");

    // Programming mode without the drain of enter_programming_mode, which costs a timeout.
    adapter_send_command(fd, ADP_PROGRAM_MODE);
    require(serial_read_byte(fd, READ_TIMEOUT_US) == 0x00, "emulator refused programming mode");

    for (const sim::fault& f : faults) {
        emu.add_fault(f);
    }
    block_reader reader{fd};
    for (const operation& op : operations) {
        run_operation(emu, reader, op, faults.empty());
    }
    serial_close(fd, &saved);
    emu.stop();
    return 0;
}
