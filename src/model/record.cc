#include "model/record.h"

const char* action_word(uint32_t pending) {
  static const char* const words[] = {"", "uninstall", "enable", "disable"};
  return pending < 4 ? words[pending] : "";
}

std::string pdb_dir(const pkg_record& record) {
  return "/flash/var/pdb/" + record.name + "/";
}

bool is_inert(const pkg_record& record) {
  return record.version == 0xFFFFFFFFu && record.build_time == 0xFFFFFFFFu;
}

pkg_record copy_base(const pkg_record& record) {
  return pkg_record(record);  // slices: the copy is an ordinary pkg_record
}
