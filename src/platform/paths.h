// Paths of the device's trees that more than one part of the program names.
#pragma once

namespace paths {

// The download directories, in the order an upgrade tries them. Whoever may
// upload to the router may write here: nothing in them is trusted until its
// signature holds.
inline constexpr const char* download_dirs[] = {"/rw/pckg/.download/", "/flash/rw/pckg/",
                                                "/flash/var/pckg/"};

inline constexpr const char* flash_root = "/flash/";
// The boot image a boot package supplies.
inline constexpr const char* boot_image = "/flash/bootimage";
// Its presence requires the Ed25519 signature of every package.
inline constexpr const char* secure_marker = "/ram/SECURE";
inline constexpr const char* stored_images = "/rw/pckg/.images/";
inline constexpr const char* ram_dir = "/ram";
inline constexpr const char* fallback_staging_dir = "/tmp";

}  // namespace paths
