# Turns a key file (doc/key-file.md) into the C++ source of the installer's
# trust anchors (src/platform/keys.h). Run as a script:
#   cmake -DKEY_FILE=<key file> -DOUTPUT=<keys.cc> -P embed_keys.cmake
# Only the public entries are embedded; private entries are checked for form
# and otherwise ignored, so a production file without them builds the same.
# Any malformed line or missing public entry stops with an error naming it.

if(NOT DEFINED KEY_FILE OR NOT DEFINED OUTPUT)
  message(FATAL_ERROR "embed_keys: KEY_FILE and OUTPUT must be given")
endif()
if(NOT EXISTS "${KEY_FILE}")
  message(FATAL_ERROR "embed_keys: cannot read key file ${KEY_FILE}")
endif()

set(size_ed25519-public 32)
set(size_ed25519-seed 32)
set(size_legacy-public 32)
set(size_legacy-secret 32)
set(size_legacy-hash-iv 32)
set(size_legacy-hash-k 256)

file(READ "${KEY_FILE}" content)
# Semicolons would split list items; they can only occur in comments or in
# lines that are rejected anyway.
string(REPLACE ";" "," content "${content}")
string(REPLACE "\r" "" content "${content}")
string(REPLACE "\n" ";" lines "${content}")

set(number 0)
foreach(line IN LISTS lines)
  math(EXPR number "${number} + 1")
  string(STRIP "${line}" line)
  if(line STREQUAL "" OR line MATCHES "^#")
    continue()
  endif()
  if(NOT line MATCHES "^([^ \t]+)[ \t]+([^ \t]+)$")
    message(FATAL_ERROR "${KEY_FILE}:${number}: expected 'name hex'")
  endif()
  set(name "${CMAKE_MATCH_1}")
  set(hex "${CMAKE_MATCH_2}")
  if(NOT hex MATCHES "^([0-9a-fA-F][0-9a-fA-F])+$")
    message(FATAL_ERROR "${KEY_FILE}:${number}: bad hex digits")
  endif()
  string(LENGTH "${hex}" digits)
  math(EXPR bytes "${digits} / 2")
  if(DEFINED size_${name} AND NOT bytes EQUAL size_${name})
    message(FATAL_ERROR "${KEY_FILE}:${number}: ${name} must be ${size_${name}} bytes")
  endif()
  string(TOLOWER "${hex}" value_${name})
endforeach()

foreach(name ed25519-public legacy-public legacy-hash-iv legacy-hash-k)
  if(NOT DEFINED value_${name})
    message(FATAL_ERROR "${KEY_FILE}: no ${name} entry")
  endif()
endforeach()

# "0011..." -> "0x00, 0x11, ..." and "00112233..." -> "0x00112233, ..."
function(byte_list hex out)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " list "${hex}")
  string(REGEX REPLACE ", $" "" list "${list}")
  set(${out} "${list}" PARENT_SCOPE)
endfunction()
function(word_list hex out)
  string(REGEX REPLACE "([0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f])"
         "0x\\1, " list "${hex}")
  string(REGEX REPLACE ", $" "" list "${list}")
  set(${out} "${list}" PARENT_SCOPE)
endfunction()

byte_list("${value_ed25519-public}" ed25519_public)
byte_list("${value_legacy-public}" legacy_public)
word_list("${value_legacy-hash-k}" hash_k)
word_list("${value_legacy-hash-iv}" hash_iv)
get_filename_component(source_name "${KEY_FILE}" NAME)

set(text "// Generated from the key file ${source_name} by cmake/embed_keys.cmake: do not edit.
#include \"platform/keys.h\"

namespace keys {

const uint8_t ed25519_public[32] = {${ed25519_public}};
const uint8_t legacy_public[32] = {${legacy_public}};
// The round constants, then the initial value right after them.
const uint32_t legacy_hash_k[64] = {${hash_k}};
const uint32_t legacy_hash_iv[8] = {${hash_iv}};

}  // namespace keys
")

# Rewrite only on change, so that a re-run does not rebuild the library.
set(old "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()
