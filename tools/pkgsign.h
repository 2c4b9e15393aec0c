// Signing packages with the private halves of a key file.
#pragma once

#include "keyfile.h"
#include "pkgbuild.h"
#include "sign.h"

// A signer for pkgbuild that signs each digest with `keys` (copied) under
// `scheme`.
pkgbuild::signer key_file_signer(const key_file& keys, sign_scheme scheme);
