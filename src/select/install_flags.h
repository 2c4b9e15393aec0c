// Candidate-check findings and the tolerated set (install_flags) share these
// bit values.
#pragma once

#include <cstdint>

using install_flags = uint32_t;

inline constexpr install_flags ALLOW_NEWER = 1;
inline constexpr install_flags ALLOW_OLDER = 2;
inline constexpr install_flags ALLOW_UNMET = 8;
inline constexpr install_flags ALLOW_CONFLICT = 16;
inline constexpr install_flags ALLOW_SAME = 32;
inline constexpr install_flags ALLOW_ALL = 0xFFFFFFFFu;
