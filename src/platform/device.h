// What the router's hardware supplies: the flash device's queries and the
// processor version register and the processor class it gives.
//
// On the router "/dev/flash" is the flash device and is asked with ioctl.
// On a development machine or in tests a device root holds a regular file
// "/dev/flash" instead, whose lines "key value" answer the queries:
//   board-flags N   the board query (ioctl 0x2000462B)
//   min-version N   the lowest accepted system version (ioctl 0xC0044626),
//                   decimal or 0x-hex
// A missing key or an unreadable file means the query failed.
// The processor version register is read directly on the router's own
// processor; any other build reads the line "pvr : 0x..." of
// "/proc/cpuinfo" (inside the device root).
#pragma once

#include <cstdint>
#include <optional>

namespace device {

// Result of the board query, or nothing when "/dev/flash" cannot be opened
// or the query fails.
std::optional<uint32_t> board_flags();
// The device's lowest accepted system version; 0 when unknown.
uint32_t min_system_version();
// The processor version register, or nothing when it cannot be read.
std::optional<uint32_t> processor_version();
// The processor's class for the file variants of a package (1..4), from the
// version register and, for two register families, the board query; 0 when
// it has none.
int processor_class();

}  // namespace device
