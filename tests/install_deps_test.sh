#!/usr/bin/env bash
# scripts/install-deps.sh against a stub apt-get, dpkg and dpkg-query first on
# PATH: a mirror caught mid-sync must not stop an install that the package
# lists already allow, and a package that cannot be installed must fail the
# run with one line naming it and apt's reason.
set -uo pipefail
installer="$(cd "$(dirname "$0")/.." && pwd)/scripts/install-deps.sh"
stub=$(mktemp -d)
trap 'rm -rf "$stub"' EXIT
export PATH="$stub/bin:$PATH" STUB="$stub"
mkdir "$stub/bin"

# installed: one package a line. STUB_UPDATE=mid-sync makes every update fail
# as a mirror caught mid-sync does; STUB_UNKNOWN names a package apt has not.
cat >"$stub/bin/apt-get" <<'EOF'
#!/bin/sh
for word; do
  case "$word" in
    update)
      echo update >>"$STUB/calls"
      if [ "${STUB_UPDATE:-}" = mid-sync ]; then
        echo "E: Failed to fetch http://deb.example/debian-security/dists/bookworm-security/main/binary-armhf/Packages.xz  File has unexpected size (263812 != 263900). Mirror sync in progress? [IP: 192.0.2.1 80]"
        echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
        exit 100
      fi
      exit 0 ;;
    install) install=1; echo install >>"$STUB/calls" ;;
    -*|*=*) ;;
    *) if [ -n "${install:-}" ] && [ "$word" = "${STUB_UNKNOWN:-}" ]; then
         echo "Reading package lists..."
         echo "E: Unable to locate package $word"
         exit 100
       fi ;;
  esac
done
for word; do
  case "$word" in -*|*=*|install) ;; *) echo "$word" >>"$STUB/installed" ;; esac
done
EOF
cat >"$stub/bin/dpkg-query" <<'EOF'
#!/bin/sh
for last; do :; done
grep -qx "$last" "$STUB/installed" || exit 1
echo "amd64 install ok installed"
EOF
cat >"$stub/bin/dpkg" <<'EOF'
#!/bin/sh
[ "$1" = --print-architecture ] && echo amd64
EOF
printf '#!/bin/sh\nexec "$@"\n' >"$stub/bin/sudo"
chmod +x "$stub/bin/"*

failures=0
# case, expected status, expected apt-get calls (one line each), expected
# stderr ("": none); runs "install-deps.sh build" with STUB_* from the environment.
check() {
  local name=$1 want_status=$2 want_calls=$3 want_err=$4 status
  "$installer" build >"$stub/out" 2>"$stub/err"
  status=$?
  local calls
  calls=$(paste -sd' ' "$stub/calls" 2>/dev/null)
  if [ "$status" != "$want_status" ] || [ "$calls" != "$want_calls" ] || { [ -z "$want_err" ] && [ -s "$stub/err" ]; } ||
     { [ -n "$want_err" ] && ! grep -qE "$want_err" "$stub/err"; } ||
     { [ "$want_status" != 0 ] && [ "$(wc -l <"$stub/err")" != 1 ]; }; then
    echo "FAIL $name: status $status (want $want_status), apt-get calls '$calls' (want '$want_calls')"
    sed 's/^/  stderr: /' "$stub/err"
    failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
  rm -f "$stub/calls"
}

all="cmake make g++ pkg-config libjson-c-dev libqrencode-dev libyaml-dev"
printf '%s\n' $all >"$stub/installed"
check "nothing missing: apt is never run, nothing is said" 0 "" ""
[ -s "$stub/out" ] && { echo "FAIL nothing missing: said: $(cat "$stub/out")"; failures=$((failures + 1)); }

printf '%s\n' $all | grep -vx cmake >"$stub/installed"
STUB_UPDATE=mid-sync check "mirror mid-sync: update tried twice, then the install goes through" 0 \
  "update update install" "apt-get update failed again.*Mirror sync in progress.*package lists apt has"
grep -qx cmake "$stub/installed" || { echo "FAIL mirror mid-sync: cmake was not installed"; failures=$((failures + 1)); }

printf '%s\n' $all | grep -vx -e cmake -e libqrencode-dev >"$stub/installed"
STUB_UNKNOWN=libqrencode-dev check "a package apt cannot install: one line naming it and apt's reason" 1 \
  "update install" "^install-deps: cannot install libqrencode-dev: Unable to locate package libqrencode-dev$"

exit $((failures > 0))
