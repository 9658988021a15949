# Cross build for ARMv7 routers (hard-float) with Debian's arm-linux-gnueabihf toolchain
# (package g++-arm-linux-gnueabihf) and the multiarch json-c (libjson-c-dev:armhf)
# and libqrencode for tarvick-node (libqrencode-dev:armhf).
set(CMAKE_SYSTEM_NAME Linux)
# The name uname -m prints on such a router; it also names the package.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(TARVICK_TRIPLET arm-linux-gnueabihf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch.cmake)
