# Hardening for everything built here, above all for the two programs shipped
# to routers: position-independent executables (static-PIE in a static build
# where the toolchain can make one), full RELRO with BIND_NOW, the stack
# protector, FORTIFY, a non-executable stack, and code in segments of its own,
# so that no data is executable and no segment is both writable and
# executable. None of it is traded for size or speed: scripts/ci/hardening.sh
# reads the built programs and fails on any that lacks one.

include(CheckCXXSourceCompiles)
include(CheckLinkerFlag)

# Position-independent code in everything but shared objects, which CMake
# makes with -fPIC; every executable is linked as PIE.
add_compile_options(
  "$<$<NOT:$<IN_LIST:$<TARGET_PROPERTY:TYPE>,SHARED_LIBRARY;MODULE_LIBRARY>>:-fPIE>")
add_link_options($<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,EXECUTABLE>:-pie>)

add_compile_options(-fstack-protector-strong)

# Level 3 where the compiler and C library have it (gcc 12 with glibc 2.34 and
# later), else 2. FORTIFY needs an optimizing build: a Debug build does
# without, rather than warn in every file.
set(CMAKE_REQUIRED_FLAGS "-O2 -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=3")
check_cxx_source_compiles([[
#include <cstdio>
#if !defined(__USE_FORTIFY_LEVEL) || __USE_FORTIFY_LEVEL < 3
#error no FORTIFY level 3
#endif
int main() { return 0; }
]] TARVICK_HAS_FORTIFY_3)
unset(CMAKE_REQUIRED_FLAGS)
if(TARVICK_HAS_FORTIFY_3)
  set(TARVICK_FORTIFY_LEVEL 3)
else()
  set(TARVICK_FORTIFY_LEVEL 2)
endif()
add_compile_options($<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE>
                    $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=${TARVICK_FORTIFY_LEVEL}>)

add_link_options(-Wl,-z,relro -Wl,-z,now -Wl,-z,noexecstack -Wl,-z,separate-code)

# A fully static program is static-PIE where the C library has its start file
# for one (rcrt1.o); Debian's armhf and mipsel cross toolchains have none, so
# there a static program is position-dependent.
if(TARVICK_STATIC)
  check_linker_flag(CXX -static-pie TARVICK_HAS_STATIC_PIE)
  if(TARVICK_HAS_STATIC_PIE)
    set(TARVICK_STATIC_LINK -static-pie)
  else()
    message(NOTICE "TARVICK_STATIC: this toolchain cannot link static-PIE (no rcrt1.o), "
                   "so the static programs are not position-independent")
    set(TARVICK_STATIC_LINK -static)
  endif()
endif()
