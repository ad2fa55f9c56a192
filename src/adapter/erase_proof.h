// SPDX-License-Identifier: MIT
// The whole-chip erase, proven by the chip's first block.
#pragma once

struct block_reader;

/// Erases the whole chip of a target in programming mode and proves it by the chip: 1 when the
/// adapter confirmed the erase and the first block of flash then reads back all 0xFF, else 0.
/// A failed erase leaves a chip whose first block holds data unchanged.
int flash_erase_proven(block_reader& reader);
