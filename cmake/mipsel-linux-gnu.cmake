# Cross build for the routers: 32-bit little-endian MIPS, with Debian's
# mipsel-linux-gnu cross compiler and the mipsel builds of the libraries from
# Debian's multiarch packages (scripts/setup-mipsel installs both).
#   cmake -S . -B build/mipsel -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

# time_t is 32 bits on this target unless asked otherwise: with 64-bit time
# the daemon's timestamps survive 2038. The configure-time probes see the
# same flags as the build.
set(CMAKE_C_FLAGS_INIT "-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64")

# Headers and libraries of the target only: the multiarch directories, never
# the build machine's own.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/mipsel-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /usr/include/x86_64-linux-gnu)

# Test programs run under user-mode emulation, without -L: the mipsel loader
# and libraries come from the multiarch packages, and mixing in a second C
# library root makes threaded programs crash.
find_program(VORLASK_QEMU_MIPSEL qemu-mipsel-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${VORLASK_QEMU_MIPSEL}")
