#include <cstdio>

#include "mkpkg_cli.h"

int main(int argc, char** argv) {
  return mkpkg_main(std::vector<std::string>(argv + 1, argv + argc), stdout, stderr);
}
