# Cross build for ARMv8 routers with Debian's aarch64-linux-gnu toolchain
# (package g++-aarch64-linux-gnu) and the multiarch json-c (libjson-c-dev:arm64)
# and libqrencode for tarvick-node (libqrencode-dev:arm64).
set(CMAKE_SYSTEM_NAME Linux)
# The name uname -m prints on such a router; it also names the package.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TARVICK_TRIPLET aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch.cmake)
