# Cross build for a big-endian Linux target (s390x) with Debian's
# g++-s390x-linux-gnu. The target's own zlib, Nettle, GMP and GoogleTest come
# from Debian's s390x packages unpacked (dpkg -x) into a sysroot directory;
# scripts/bigendian-test prepares one and uses this file:
#
#   cmake -S . -B build-s390x -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/s390x-linux-gnu.cmake \
#     -DINSTALLER_SYSROOT=/path/to/sysroot
#
# The C library and libstdc++ to link against are the cross compiler's own.
# The test binary, and the program and mkpkg that the tests start, run under
# qemu-s390x with the target's C library and dynamic loader from the sysroot.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(installer_triple s390x-linux-gnu)

set(CMAKE_C_COMPILER ${installer_triple}-gcc)
set(CMAKE_CXX_COMPILER ${installer_triple}-g++)

# The sysroot reaches the compiler checks (try_compile) through the
# environment as well as the cache.
if(NOT INSTALLER_SYSROOT AND DEFINED ENV{INSTALLER_SYSROOT})
  set(INSTALLER_SYSROOT "$ENV{INSTALLER_SYSROOT}")
endif()
if(NOT INSTALLER_SYSROOT)
  message(FATAL_ERROR "Set INSTALLER_SYSROOT to the directory holding the unpacked s390x packages "
                      "(scripts/bigendian-test makes one)")
endif()
set(INSTALLER_SYSROOT "${INSTALLER_SYSROOT}" CACHE PATH "Unpacked s390x libraries")
set(ENV{INSTALLER_SYSROOT} "${INSTALLER_SYSROOT}")

set(CMAKE_FIND_ROOT_PATH "${INSTALLER_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_LIBRARY_ARCHITECTURE ${installer_triple})
# pkg-config reads the target's descriptions only; the paths they give are
# re-rooted into the sysroot like every other search path.
set(ENV{PKG_CONFIG_LIBDIR} "${INSTALLER_SYSROOT}/usr/lib/${installer_triple}/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# GMP keeps its target-specific header in the multiarch directory, which
# the cross compiler does not search on its own; libraries that the unpacked
# ones need are found beside them.
set(installer_libdirs "${INSTALLER_SYSROOT}/usr/lib/${installer_triple}"
                      "${INSTALLER_SYSROOT}/lib/${installer_triple}")
set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES "${INSTALLER_SYSROOT}/usr/include/${installer_triple}")
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES "${INSTALLER_SYSROOT}/usr/include/${installer_triple}")
foreach(dir IN LISTS installer_libdirs)
  string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,-rpath-link,${dir}")
endforeach()

# ctest, test discovery and the tests' own runs of the program go through
# the emulator. The target's dynamic loader is started by its path with the
# sysroot's library directories, rather than with qemu's -L prefix: -L
# redirects every absolute path the program opens that also exists in the
# sysroot ("/", "/usr", "/etc"), so the program would list the sysroot's "/"
# instead of the machine's, as the tests' runner does when it builds the new
# root of a run.
find_program(INSTALLER_QEMU qemu-s390x)
if(NOT INSTALLER_QEMU)
  set(INSTALLER_QEMU qemu-s390x)
endif()
list(JOIN installer_libdirs ":" installer_library_path)
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${INSTALLER_QEMU};${INSTALLER_SYSROOT}/lib/${installer_triple}/ld64.so.1;--library-path;${installer_library_path}")
