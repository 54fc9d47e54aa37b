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

# Features that a small C library or an older kernel may lack, each with a
# fallback source file in daemon/platform/. VORLASK_PLATFORM_SOURCES collects
# the file chosen for each; VORLASK_PLATFORM_CHOICES names them for the log.
include(CheckCXXSymbolExists)
set(VORLASK_PLATFORM_SOURCES "")
set(VORLASK_PLATFORM_CHOICES "")
# VORLASK_FEATURE_<NAME>=1 or 0 for each, so that the tests know which they test.
set(VORLASK_PLATFORM_DEFINITIONS "")
set(vorlask_platform_dir ${PROJECT_SOURCE_DIR}/daemon/platform)

# vorlask_platform_feature(NAME DESCRIPTION FOUND_VAR SOURCE FALLBACK)
macro(vorlask_platform_feature name description found source fallback)
  option(VORLASK_PROBE_${name} "Use ${description} when the target has it" ON)
  if(VORLASK_PROBE_${name} AND ${found})
    list(APPEND VORLASK_PLATFORM_SOURCES ${vorlask_platform_dir}/${source})
    list(APPEND VORLASK_PLATFORM_CHOICES "${source}")
    list(APPEND VORLASK_PLATFORM_DEFINITIONS VORLASK_FEATURE_${name}=1)
  else()
    list(APPEND VORLASK_PLATFORM_SOURCES ${vorlask_platform_dir}/${fallback})
    list(APPEND VORLASK_PLATFORM_CHOICES "${fallback}")
    list(APPEND VORLASK_PLATFORM_DEFINITIONS VORLASK_FEATURE_${name}=0)
  endif()
endmacro()

# close_range (Linux 5.9), called through syscall(2) since musl and
# uClibc-ng have no wrapper; the kernel headers name the call.
check_cxx_symbol_exists(SYS_close_range "sys/syscall.h" VORLASK_HAVE_SYS_CLOSE_RANGE)
vorlask_platform_feature(CLOSE_RANGE "the close_range system call"
  VORLASK_HAVE_SYS_CLOSE_RANGE close_range_syscall.cpp close_range_none.cpp)

# get_current_dir_name: a GNU extension (uClibc-ng has it with _GNU_SOURCE,
# which g++ defines); getcwd is POSIX.
check_cxx_symbol_exists(get_current_dir_name "unistd.h" VORLASK_HAVE_GET_CURRENT_DIR_NAME)
vorlask_platform_feature(GET_CURRENT_DIR_NAME "get_current_dir_name"
  VORLASK_HAVE_GET_CURRENT_DIR_NAME current_directory_gnu.cpp current_directory_getcwd.cpp)

# getpagesize: dropped from POSIX; sysconf(_SC_PAGESIZE) replaces it.
check_cxx_symbol_exists(getpagesize "unistd.h" VORLASK_HAVE_GETPAGESIZE)
vorlask_platform_feature(GETPAGESIZE "getpagesize"
  VORLASK_HAVE_GETPAGESIZE page_size_getpagesize.cpp page_size_sysconf.cpp)

# NETLINK_NO_ENOBUFS (Linux 2.6.30): a kernel header constant.
check_cxx_symbol_exists(NETLINK_NO_ENOBUFS "linux/netlink.h" VORLASK_HAVE_NETLINK_NO_ENOBUFS)
vorlask_platform_feature(NETLINK_NO_ENOBUFS "the NETLINK_NO_ENOBUFS socket option"
  VORLASK_HAVE_NETLINK_NO_ENOBUFS netlink_no_enobufs.cpp netlink_no_enobufs_none.cpp)

# SO_MEMINFO (Linux 4.12) with the sock_diag layout of its answer.
check_cxx_source_compiles("
#include <linux/sock_diag.h>
#include <sys/socket.h>
int main() { return SO_MEMINFO + SK_MEMINFO_DROPS + SK_MEMINFO_VARS; }" VORLASK_HAVE_SO_MEMINFO)
vorlask_platform_feature(SO_MEMINFO "the SO_MEMINFO socket option"
  VORLASK_HAVE_SO_MEMINFO socket_meminfo.cpp socket_meminfo_none.cpp)

# syslog: optional in uClibc-ng (UCLIBC_HAS_SYSLOG).
check_cxx_source_compiles("
#include <syslog.h>
int main() { openlog(\"p\", LOG_PID, LOG_DAEMON); syslog(LOG_ERR, \"%s\", \"m\"); closelog(); }"
  VORLASK_HAVE_SYSLOG)
vorlask_platform_feature(SYSLOG "syslog" VORLASK_HAVE_SYSLOG
  system_log_syslog.cpp system_log_none.cpp)

string(REPLACE ";" ", " vorlask_platform_log "${VORLASK_PLATFORM_CHOICES}")
message(STATUS "Platform sources: ${vorlask_platform_log}")
