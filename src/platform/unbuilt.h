// Stand-ins for run modes whose subsystems are not in this build yet: they
// say so on standard error and end the run with status 70, so nothing ever
// pretends to have succeeded. Each subsystem deletes its stand-ins when it
// lands.
#pragma once

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void unbuilt(const char* what) {
  std::fflush(stdout);
  std::fprintf(stderr, "installer: %s is not available in this build\n", what);
  std::exit(70);
}
