// The --show listing of installed packages.
//
// The listing keeps of each record only what it prints: a small fixed row,
// with the name and note in one shared store of text bytes, so that a
// database of thousands of packages costs some tens of bytes a package
// rather than whole records.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <string_view>

#include "model/path_store.h"

struct pkg_image;

// What the listing prints of one record.
struct listing_row {
  path_ref name;  // bytes in the listing's texts
  path_ref note;
  uint32_t version = 0;
  uint32_t build_time = 0;
  bool disabled = false;
  bool in_bundle = false;  // installed from a bundle
};

struct package_listing {
  std::deque<listing_row> rows;  // in the order printed
  path_arena texts;              // the rows' names and notes

  // The row of `record`, its name and note stored in `texts`.
  listing_row row_of(const pkg_image& record);
  std::string_view name(const listing_row& row) const { return texts.view(row.name); }
  std::string_view note(const listing_row& row) const { return texts.view(row.note); }
};

// Prints the table of every row to `out`. Not quiet-sensitive, not logged.
void show_packages(const package_listing& listing, std::FILE* out);
