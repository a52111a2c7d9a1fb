# Cross-compiling for 64-bit Arm Linux on an x86-64 Debian machine with Debian's GCC cross
# toolchain (apt-get install g++-aarch64-linux-gnu), whose own target tree /usr/aarch64-linux-gnu
# holds the C library and libstdc++ the modules link against. The same GCC 12 and glibc 2.36 as
# Debian bookworm's arm64 release, so that its modules load there (scripts/aarch64.sh runs them
# in such a root under qemu).
#
# Python's and NumPy's headers are not part of the toolchain: the configure names them
# (Python_INCLUDE_DIR, NUMPY_INCLUDE_DIR), as scripts/aarch64.sh does from the arm64 root.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Libraries and packages from the target tree only, programs (the build tools) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Headers may come from anywhere named explicitly (Python's from the arm64 root).
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
