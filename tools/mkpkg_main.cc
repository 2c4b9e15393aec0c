#include <cstdio>

int main() {
  std::fprintf(stderr, "mkpkg: not available in this build\n");
  return 70;
}
