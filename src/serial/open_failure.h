// SPDX-License-Identifier: MIT
// Why a serial port cannot be opened, said in the user's terms. Private to the serial layer.
#pragma once

/// The step of the open that failed.
enum open_step { OPEN_STEP_OPEN, OPEN_STEP_SETTINGS, OPEN_STEP_LOCK };

/// Prints "Cannot open: <path>" on standard error and, on the next line, why: no such device,
/// permission denied (with the group to join), in use by another program, not a serial port,
/// or the system's own words for anything else. error_number is the errno of the failed step.
void report_open_failure(const char* path, int error_number, open_step step);
