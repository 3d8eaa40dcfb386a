# Shared part of the Debian cross toolchain files: the caller sets
# TAVEL_CROSS_TRIPLET (the GNU triplet, also the multiarch folder name) and
# TAVEL_CROSS_QEMU (the qemu-user program of the target CPU).
set(CMAKE_C_COMPILER ${TAVEL_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TAVEL_CROSS_TRIPLET}-g++)
set(PKG_CONFIG_EXECUTABLE ${TAVEL_CROSS_TRIPLET}-pkg-config CACHE FILEPATH "pkg-config of the target")

# find_library and find_package look in /usr/lib/<triplet> first; libraries
# of the build machine (/usr/lib/x86_64-linux-gnu) are never on that path.
set(CMAKE_LIBRARY_ARCHITECTURE ${TAVEL_CROSS_TRIPLET})

# Tools run during the build (ppdc, cups-config) are the build machine's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# ctest, gtest_discover_tests and try_run start target programs through this.
# A packaging build may override it (for example with /usr/bin/qemu-aarch64
# and its own -L) on the command line.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${TAVEL_CROSS_QEMU};-L;/)
endif()
