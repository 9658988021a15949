# Shared part of the cross toolchain files: Debian's cross compilers for
# TARVICK_TRIPLET, with the target's libraries taken from the multiarch
# directories (/usr/lib/<triplet>) that "apt-get install libfoo-dev:<arch>"
# fills, rather than from a separate sysroot.
set(CMAKE_C_COMPILER ${TARVICK_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TARVICK_TRIPLET}-g++)
set(CMAKE_AR ${TARVICK_TRIPLET}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${TARVICK_TRIPLET}-ranlib CACHE FILEPATH "")
set(CMAKE_STRIP ${TARVICK_TRIPLET}-strip CACHE FILEPATH "")
set(CMAKE_LIBRARY_ARCHITECTURE ${TARVICK_TRIPLET})

# The cross compiler's own runtime lives under /usr/<triplet>; json-c and
# libqrencode live in the multiarch tree of /usr. Programs run during the
# build are the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${TARVICK_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pkg-config must see the target's .pc files only, or it would hand out the
# build machine's json-c and libqrencode.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${TARVICK_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
