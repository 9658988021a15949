# Sourced (POSIX sh) by the scripts that install what they need when it is
# missing.
#
# pkg_installed PACKAGE: true when PACKAGE is installed for this machine's own
# architecture (dpkg --print-architecture), or is an Architecture: all
# package; PACKAGE:ARCH asks for that architecture's. dpkg-query alone is
# fooled by a package of the same name for another architecture: once a cross
# build has installed libqrencode-dev:armhf, "dpkg-query -W libqrencode-dev"
# reports that one while the native one is missing.
pkg_installed() (
  case "$1" in
    *:*) arch=${1##*:} ;;
    *) arch=$(dpkg --print-architecture) ;;
  esac
  dpkg-query -W -f='${Architecture} ${Status}\n' "$1" 2>/dev/null |
    grep -qx -e "$arch install ok installed" -e "all install ok installed"
)
