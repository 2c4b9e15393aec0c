// keygen: writes a new key file to standard output, or with --public FILE
// the public entries of an existing one.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "keygen.h"

int main(int argc, char** argv) {
  std::string text, err;
  if (argc == 3 && std::strcmp(argv[1], "--public") == 0) {
    std::ifstream in(argv[2]);
    std::ostringstream content;
    content << in.rdbuf();
    if (!in) {
      std::fprintf(stderr, "keygen: cannot read %s\n", argv[2]);
      return 1;
    }
    text = public_part(content.str());
  } else if (argc != 1) {
    std::fprintf(stderr, "usage: keygen [--public KEYFILE] > KEYFILE\n");
    return 2;
  } else if (!generate_key_file(&text, &err)) {
    std::fprintf(stderr, "keygen: %s\n", err.c_str());
    return 1;
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
