// SPDX-License-Identifier: MIT
// Where a trace may be written: a regular file of the user's own that the run does not
// otherwise read or write.
#pragma once

/// Opens path for the trace: the descriptor, or -1 with why set to the reason. The open never
/// waits (a FIFO without reader), never follows a final symbolic link, never takes a terminal,
/// and a new file is for its owner only: the trace holds every byte of the firmware. port_fd is
/// the serial port and input_path the HEX input (null: none); neither may be the trace, nor
/// standard input or output.
int trace_file_open(const char* path, int port_fd, const char* input_path, const char*& why);
