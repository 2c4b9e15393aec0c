// Stand-ins until installation and upgrade land.
#include "install/install.h"
#include "install/upgrade.h"
#include "platform/unbuilt.h"

int install_stream(pkg_repo&, manifest&, std::streambuf*, install_flags, const user_state_map&,
                   std::streambuf*, std::string*, bool*) {
  unbuilt("the stream install mode");
}
std::vector<pkg_record> upgrade(pkg_repo&, manifest&, install_flags) { unbuilt("the upgrade mode"); }
void write_postlog(pkg_repo&) { unbuilt("the post-log"); }
