// Generating a fresh key file (format: doc/key-file.md) with both key pairs
// and new constants for the older scheme's hash.
#pragma once

#include <string>

// The text of a new key file, private entries included. False with *err set
// when the random source or a key operation fails.
bool generate_key_file(std::string* text, std::string* err);

// The text of `full` without its private entries (ed25519-seed,
// legacy-secret): what a production build embeds from.
std::string public_part(const std::string& full);
