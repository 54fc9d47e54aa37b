# What the target's compiler, C library and kernel headers provide. Every
# probe that can be forced off has an option VORLASK_PROBE_<NAME>; with it OFF
# the build takes the fallback whatever the probe would find, which is how the
# fallback configuration tests them on this machine.
include(CheckCXXSourceCompiles)

# 64-bit atomic counters: 32-bit MIPS has no 64-bit atomic instructions, so
# GCC lowers them to calls into libatomic.
set(vorlask_atomic64_probe "
#include <atomic>
#include <cstdint>
std::atomic<uint64_t> v{0};
int main() { return static_cast<int>(v.fetch_add(1)); }")
check_cxx_source_compiles("${vorlask_atomic64_probe}" VORLASK_HAVE_ATOMIC64_BUILTIN)
add_library(vorlask_atomic INTERFACE)
if(NOT VORLASK_HAVE_ATOMIC64_BUILTIN)
  set(CMAKE_REQUIRED_LIBRARIES atomic)
  check_cxx_source_compiles("${vorlask_atomic64_probe}" VORLASK_HAVE_ATOMIC64_LIBATOMIC)
  unset(CMAKE_REQUIRED_LIBRARIES)
  if(NOT VORLASK_HAVE_ATOMIC64_LIBATOMIC)
    message(FATAL_ERROR "64-bit atomics need neither the compiler alone nor libatomic")
  endif()
  target_link_libraries(vorlask_atomic INTERFACE atomic)
endif()

# On a 32-bit target the daemon's timestamps (gettimeofday) must not end in
# 2038: the build has to ask for 64-bit time (the mipsel toolchain file does).
include(CheckCXXSourceCompiles)
check_cxx_source_compiles("
#include <sys/time.h>
#include <ctime>
static_assert(sizeof(time_t) == 8, \"time_t\");
static_assert(sizeof(((struct timeval*)nullptr)->tv_sec) == 8, \"tv_sec\");
int main() { return 0; }" VORLASK_HAVE_TIME64)
if(NOT VORLASK_HAVE_TIME64)
  message(FATAL_ERROR "time_t is 32 bits on this target: build with -D_TIME_BITS=64 "
    "-D_FILE_OFFSET_BITS=64 (see cmake/mipsel-linux-gnu.cmake)")
endif()
