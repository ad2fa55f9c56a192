// SPDX-License-Identifier: MIT
// How much of each fault sweep a program that links the sweeps runs: every SWEEP_STRIDE-th trial.
#include <cstddef>

extern const std::size_t sweep_stride = SWEEP_STRIDE;
