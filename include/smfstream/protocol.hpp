// smfstream/protocol.hpp: the control protocol's limits, the one place they
// are written. The player reads commands by them, the C++ controller library
// writes them by them, and the Python module's numbers are checked against
// this file by its tests.
//
// A command is two bytes B0 B1:
//   B0 = 0x00 or 0x80..0xFF, B1 = the volume      a new volume, 0 to 255
//   B0 = 0x01..0x7F, B1, then L = B0 + 256 * B1    a file name of L bytes
// A name's length therefore needs a low byte from 0x01 to 0x7F (otherwise its
// first byte reads as a volume command), and its high byte stays at most 0x7F.
//
// Licence: MIT (the smfstream developers).
#pragma once

#include <cstddef>

namespace smfstream::protocol {

// The first byte of every volume command we write.
constexpr unsigned char volume_command = 0x00;

// The low byte of a name's length, which is also the command's first byte.
constexpr unsigned first_name_low_byte = 0x01;
constexpr unsigned last_name_low_byte = 0x7F;
// The high byte of a name's length.
constexpr unsigned last_name_high_byte = 0x7F;

// The longest name the protocol carries: length bytes 0x7F, 0x7F.
constexpr std::size_t max_name_length = last_name_low_byte + 256 * last_name_high_byte;

// Whether B0 starts a file-name command (otherwise it is a volume command).
constexpr bool is_name_command(unsigned char b0) { return b0 >= first_name_low_byte && b0 <= last_name_low_byte; }

}  // namespace smfstream::protocol
