#include "platform/device.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fs.h"

namespace device {
namespace {

// Processor version registers whose class the board decides.
constexpr uint32_t board_decides_a = 0x80211000;
constexpr uint32_t board_decides_b = 0x80212100;
constexpr uint32_t board_flag_class_2 = 0x10;

constexpr const char* flash_device = "/dev/flash";
constexpr unsigned long board_query = 0x2000462B;
constexpr unsigned long min_version_query = 0xC0044626;
constexpr uint32_t min_version_item = 0x00040025;

// Reads "key value" from the text stand-in of the flash device.
std::optional<uint32_t> read_stand_in(const char* key) {
  std::FILE* file = fs::fopen_read(flash_device);
  if (!file) return std::nullopt;
  char line[256];
  std::optional<uint32_t> value;
  size_t key_size = std::strlen(key);
  while (std::fgets(line, sizeof line, file)) {
    if (std::strncmp(line, key, key_size) != 0 || (line[key_size] != ' ' && line[key_size] != '\t'))
      continue;
    char* end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(line + key_size, &end, 0);
    if (errno == 0 && end != line + key_size && n <= 0xFFFFFFFFull) value = static_cast<uint32_t>(n);
    break;
  }
  std::fclose(file);
  return value;
}

bool flash_is_stand_in() {
  struct stat info;
  return fs::stat(flash_device, &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

std::optional<uint32_t> board_flags() {
  if (flash_is_stand_in()) return read_stand_in("board-flags");
  int fd = fs::open_existing(flash_device, O_RDONLY);
  if (fd < 0) return std::nullopt;
  int result = ioctl(fd, board_query, 0);
  close(fd);
  if (result < 0) return std::nullopt;
  return static_cast<uint32_t>(result);
}

uint32_t min_system_version() {
  if (flash_is_stand_in()) return read_stand_in("min-version").value_or(0);
  int fd = fs::open_existing(flash_device, O_RDWR);
  if (fd < 0) return 0;
  uint32_t words[2] = {min_version_item, 0};
  ioctl(fd, min_version_query, words);
  close(fd);
  return words[1];
}

std::optional<uint32_t> processor_version() {
#if defined(__powerpc__) && !defined(INSTALLER_PVR_FROM_CPUINFO)
  uint32_t pvr;
  asm volatile("mfpvr %0" : "=r"(pvr));
  return pvr;
#else
  std::FILE* file = fs::fopen_read("/proc/cpuinfo");
  if (!file) return std::nullopt;
  char line[256];
  std::optional<uint32_t> value;
  while (std::fgets(line, sizeof line, file)) {
    if (std::strncmp(line, "pvr", 3) != 0) continue;
    const char* colon = std::strchr(line, ':');
    if (!colon) continue;
    char* end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(colon + 1, &end, 16);
    if (errno == 0 && end != colon + 1 && n <= 0xFFFFFFFFull) value = static_cast<uint32_t>(n);
    break;
  }
  std::fclose(file);
  return value;
#endif
}

int processor_class() {
  std::optional<uint32_t> pvr = processor_version();
  if (!pvr) return 0;
  uint32_t family = *pvr & ~0xFFu;
  if (family == board_decides_a || family == board_decides_b) {
    std::optional<uint32_t> flags = board_flags();
    return flags && (*flags & board_flag_class_2) ? 2 : 4;
  }
  uint32_t b = (*pvr >> 16) & 0xFF;
  if (b >= 0x83 && b <= 0x85) return 1;
  if (b >= 0x20 && b <= 0x21) return 2;
  if ((*pvr >> 16) == 0x1302) return 3;
  return 0;
}

}  // namespace device
