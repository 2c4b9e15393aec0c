// Stand-ins until the schedule pass lands.
#include "platform/unbuilt.h"
#include "select/schedule.h"

bool schedule_pass(pkg_repo&, manifest&, int) { unbuilt("the schedule pass"); }
bool cleanup_packages(pkg_repo&, manifest&) { unbuilt("the clean-up mode"); }
void enable_packages(pkg_repo&, manifest&, const std::vector<pkg_image*>&, bool) {
  unbuilt("the schedule pass");
}
