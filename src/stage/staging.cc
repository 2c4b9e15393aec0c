#include "stage/staging.h"

#include <cerrno>
#include <climits>
#include <string_view>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include "platform/fs.h"
#include "stage/leftovers.h"
#include "stage/manifest.h"
#include "stage/out_file.h"

namespace {

constexpr const char* ram_dir = "/ram";
constexpr const char* fallback_dir = "/tmp";
constexpr const char* flash_prefix = "/flash/";
// Room a file system must keep beyond a staged file for it to be placed there.
constexpr uint64_t placement_reserve = 65536;
// A flash file system whose free space falls must keep more than this.
constexpr int64_t space_margin = 32768;

bool is_top(const std::string& dir) { return dir == "/" || dir == "."; }

// The nearest existing directory at or above parent_dir(target) when its file
// system has more than size_hint + placement_reserve bytes free; "" when
// there is none or it lacks the room. The free space is asked every time:
// other writes of the run (and the staged files, as they fill) use it up.
std::string directory_with_room(staging_places& places, const std::string& target, uint64_t size_hint,
                                bool dry_run) {
  std::string parent = parent_dir(target);
  auto found = places.nearest.find(parent);
  if (found == places.nearest.end()) found = places.nearest.emplace(parent, nearest_existing_dir(parent)).first;
  const std::string& dir = found->second;
  struct statfs info;
  if (dir.empty() || fs::statfs(dir.c_str(), &info) != 0) return {};
  unsigned __int128 free_bytes = static_cast<unsigned __int128>(info.f_bfree) * static_cast<uint64_t>(info.f_bsize);
  unsigned __int128 wanted = static_cast<unsigned __int128>(size_hint) + placement_reserve;
  // A dry run's planned files take no room yet: they are counted here.
  struct stat st;
  uint64_t* planned = nullptr;
  if (dry_run && fs::stat(dir.c_str(), &st) == 0) planned = &places.planned_on_device[st.st_dev];
  if (planned) wanted += *planned;
  if (wanted >= free_bytes) return {};
  if (planned) *planned += size_hint;
  return dir;
}

std::string staging_dir(staging_places& places, const std::string& target, uint64_t size_hint, bool dry_run) {
  if (size_hint != 0) {
    std::string dir = directory_with_room(places, target, size_hint, dry_run);
    return dir.empty() ? ram_dir : dir;
  }
  if (places.ram_exists < 0) {
    struct stat st;
    places.ram_exists = fs::stat(ram_dir, &st) == 0;
  }
  return places.ram_exists ? ram_dir : fallback_dir;
}

// One watched file system of the free-space check.
struct space_account {
  std::string mount;
  int64_t block_size = 1;
  int64_t free_blocks = 0;
  int64_t initial_free = 0;
};

space_account open_account(const char* mount) {
  space_account account;
  account.mount = mount;
  struct statfs info;
  if (fs::statfs(mount, &info) == 0 && info.f_bsize > 0) {
    account.block_size = static_cast<int64_t>(info.f_bsize);
    account.free_blocks = static_cast<int64_t>(info.f_bfree);
    account.initial_free = account.free_blocks;
  }
  return account;
}

int64_t blocks_of(const space_account& account, uint64_t size) {
  uint64_t block = static_cast<uint64_t>(account.block_size);
  return static_cast<int64_t>(size / block + (size % block != 0));
}

bool counts_in(const space_account& account, const std::string& target) {
  return target.compare(0, account.mount.size(), account.mount) == 0;
}

// The space a removed or replaced target gives back. lstat: removing a link
// frees nothing of what it points to.
void credit_target(space_account& account, const std::string& target) {
  struct stat st;
  if (fs::lstat(target.c_str(), &st) == 0) account.free_blocks += blocks_of(account, static_cast<uint64_t>(st.st_size));
}

// True when the move's target lies on the file system that already holds
// the source, so committing it takes no new space.
bool stays_on_device(const std::string& target, const struct stat& source) {
  std::string dir = parent_dir(target);
  struct stat st;
  while (fs::stat(dir.c_str(), &st) != 0) {
    if (is_top(dir)) return false;
    dir = parent_dir(dir);
  }
  return st.st_dev == source.st_dev;
}

// A dry run's planned file takes the room a run's staged file would have
// taken: one on flash before the check (beside its target, or the stream
// install's received image), one in "/ram" when it is copied over.
void count_planned(space_account& account, const std::string& target, const file_op& op, uint64_t size) {
  account.free_blocks -= blocks_of(account, size);
  if (op.kind == OP_STAGED && !is_staged_beside_target(op)) credit_target(account, target);
}

void count_entry(space_account& account, const std::string& target, const file_op& op,
                 const std::unordered_map<std::string, uint64_t>& planned) {
  if (op.kind == OP_REMOVE) {
    credit_target(account, target);
    return;
  }
  if (!is_move(op)) return;
  if (auto plan = planned.find(op.source); plan != planned.end()) {
    count_planned(account, target, op, plan->second);
    return;
  }
  if (is_staged_beside_target(op)) return;
  struct stat source;
  if (fs::stat(op.source.c_str(), &source) != 0) {
    credit_target(account, target);
    return;
  }
  if (stays_on_device(target, source)) return;
  account.free_blocks -= blocks_of(account, static_cast<uint64_t>(source.st_size));
  credit_target(account, target);
}

bool is_short(const space_account& account) {
  if (account.free_blocks >= account.initial_free) return false;
  __int128 free_bytes = static_cast<__int128>(account.free_blocks) * account.block_size;
  return free_bytes <= space_margin;
}

// A path that system calls accept: shorter than PATH_MAX with its NUL, and
// no component longer than NAME_MAX.
bool is_nameable(std::string_view path) {
  if (path.size() >= PATH_MAX) return false;
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (end - start > NAME_MAX) return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

bool is_temporary_name(std::string_view file_name) {
  if (file_name.size() != temporary_prefix.size() + 6 || !file_name.starts_with(temporary_prefix)) return false;
  for (char c : file_name.substr(temporary_prefix.size()))
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
  return true;
}

std::string temporary_template(const std::string& dir) {
  return dir + "/" + std::string(temporary_prefix) + "XXXXXX";
}

bool is_staged_beside_target(const file_op& op) {
  std::string_view source = op.source;
  return op.kind == OP_STAGED && !source.starts_with(std::string(ram_dir) + "/") &&
         !source.starts_with(std::string(fallback_dir) + "/");
}

std::string installed_path(std::string_view stored) {
  if (stored.starts_with(flash_prefix)) return std::string(stored);
  std::string path = flash_prefix;
  path += stored;
  return path;
}

std::string parent_dir(std::string_view path) {
  size_t end = path.find_last_not_of('/');
  if (end == std::string_view::npos) return ".";
  std::string_view trimmed = path.substr(0, end + 1);
  size_t slash = trimmed.rfind('/');
  if (slash == std::string_view::npos) return ".";
  size_t dir_end = trimmed.find_last_not_of('/', slash);
  if (dir_end == std::string_view::npos) return "/";
  return std::string(trimmed.substr(0, dir_end + 1));
}

// A path that exists but is not a directory (a file that an upgrade turns
// into a directory) is climbed past.
std::string nearest_existing_dir(std::string dir) {
  for (;;) {
    struct stat st;
    if (fs::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return dir;
    if (is_top(dir)) return {};
    dir = parent_dir(dir);
  }
}

bool open_staged_file(out_file* out, manifest& m, const std::string& target, uint64_t size_hint,
                      mode_t mode) {
  // The commit renames the staged file onto the target: a target that no
  // system call can name would be accepted here and fail there, after the
  // package is recorded and half its tree is in place.
  if (!is_nameable(target)) {
    errno = ENAMETOOLONG;
    return false;
  }
  if (m.dry_run) {
    // A name no real temporary has, different for every planned file.
    std::string path = staging_dir(m.places, target, size_hint, true) + "/" + std::string(temporary_prefix) + "plan" +
                       std::to_string(m.places.planned.size());
    m.places.planned[path] = size_hint;
    add_op(m, target, {OP_STAGED, path});
    out->attach_nothing();
    return true;
  }
  mark_staging(m.places);
  std::string path = temporary_template(staging_dir(m.places, target, size_hint, false));
  int fd = fs::mkstemp(path.data(), mode != 0 ? mode & 07777 : 0600);
  if (fd < 0) return false;
  add_op(m, target, {OP_STAGED, path});
  out->attach(fd);
  return true;
}

bool check_space(const manifest& m) {
  space_account accounts[] = {open_account("/flash/boot"), open_account("/flash")};
  for (const auto& [target, op] : m.ops)
    for (space_account& account : accounts)
      if (counts_in(account, target)) count_entry(account, target, op, m.places.planned);
  for (const space_account& account : accounts)
    if (is_short(account)) return false;
  return true;
}
