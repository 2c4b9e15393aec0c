#include "model/relations.h"

#include "model/record.h"

bool satisfies(const pkg_record& r, const pkg_dep& d) {
  return r.name == d.name && r.version >= d.min_version &&
         (d.max_version == 0 || r.version <= d.max_version);
}

bool provides_match(const pkg_record& r, const pkg_dep& d) {
  for (const pkg_dep& p : r.provides) {
    if (p.name != d.name) continue;
    bool above = p.min_version != 0 && d.max_version != 0 && p.min_version > d.max_version;
    bool below = p.max_version != 0 && p.max_version < d.min_version;
    if (!above && !below) return true;
  }
  return false;
}

bool has_name(const pkg_record& r, std::string_view name) {
  if (r.name == name) return true;
  for (const pkg_record* m : r.members)
    if (m->name == name) return true;
  return false;
}

bool requires_package(const pkg_record& a, const pkg_record& b) {
  for (const pkg_dep& d : a.depends)
    if (satisfies(b, d) || provides_match(b, d)) return true;
  for (const pkg_record* m : b.members)
    if (requires_package(a, *m)) return true;
  for (const pkg_record* m : a.members)
    if (requires_package(*m, b)) return true;
  return false;
}

bool conflicts_with(const pkg_record& a, const pkg_record& b) {
  if (is_inert(a) || is_inert(b)) return false;
  for (const pkg_dep& c : a.conflicts)
    if (satisfies(b, c)) return true;
  // What two packages provide decides at the first name that links them,
  // either way, and nothing later is looked at.
  for (const pkg_dep& p : b.provides)
    if (p.name == a.name) return p.extra < 0;
  for (const pkg_dep& p : a.provides) {
    if (p.name == b.name) return p.extra >= 0;
    for (const pkg_dep& q : b.provides)
      if (q.name == p.name) return q.extra < p.extra;
  }
  for (const pkg_dep& c : a.conflicts)
    if (provides_match(b, c)) return true;
  for (const pkg_record* m : b.members)
    if (m->name == a.name) return true;
  for (const pkg_record* m : a.members)
    if (conflicts_with(*m, b)) return true;
  return false;
}
