# CMake toolchain for aarch64 Linux wheels cross-built on an x86-64 Debian with its multiarch
# packages (packaging/aarch64.sh installs them): Debian's cross compilers, and the arm64 -dev
# libraries under /usr/lib/aarch64-linux-gnu beside the machine's own. No sysroot: headers that
# are the same for every architecture are shared in /usr/include, the rest are under
# /usr/include/aarch64-linux-gnu, where the cross compilers look by themselves.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# find_library() looks in /usr/lib/aarch64-linux-gnu (and never in the machine's own folder, which
# is not on the search path of any other architecture).
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# pkg-config (FindOpenSSL asks it first) reads the arm64 packages' .pc files, never the machine's.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
