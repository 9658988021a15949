# Cross build for MIPS little-endian routers with Debian's mipsel-linux-gnu toolchain
# (package g++-mipsel-linux-gnu) and the multiarch json-c (libjson-c-dev:mipsel)
# and libqrencode for tarvick-node (libqrencode-dev:mipsel).
set(CMAKE_SYSTEM_NAME Linux)
# The name uname -m prints on such a router; it also names the package.
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(TARVICK_TRIPLET mipsel-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch.cmake)
