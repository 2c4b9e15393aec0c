// Stand-ins until staging and commit land.
#include "platform/unbuilt.h"
#include "stage/commit.h"
#include "stage/manifest.h"
#include "stage/staging.h"

void add_op(manifest&, const std::string&, file_op) { unbuilt("staging"); }
void stage_move(manifest&, const std::string&, const std::string&) { unbuilt("staging"); }
void stage_link(manifest&, const std::string&, const std::string&) { unbuilt("staging"); }
void stage_removal(manifest&, const std::string&) { unbuilt("staging"); }
void discard(manifest&) { unbuilt("staging"); }
void discard_saved(manifest&) { unbuilt("the cancel mode"); }
void drop_op(manifest&, const std::string&) { unbuilt("staging"); }
bool save_manifest(const manifest&, const std::string&) { unbuilt("staging"); }
bool load_manifest(manifest&, const std::string&) { unbuilt("the commit and cancel modes"); }
std::string parent_dir(std::string_view) { unbuilt("staging"); }
bool open_staged_file(out_file*, manifest&, const std::string&, uint64_t, mode_t) { unbuilt("staging"); }
void stage_package_removal(const pkg_repo&, pkg_image&, manifest&) { unbuilt("staging"); }
bool claim_pdb_dir(const pkg_image&, manifest&) { unbuilt("staging"); }
bool check_space(const manifest&) { unbuilt("staging"); }
void commit(manifest&, const std::string&, bool) { unbuilt("commit"); }
int make_dirs(const std::string&) { unbuilt("commit"); }
bool copy_file(const std::string&, const std::string&, bool) { unbuilt("commit"); }
