#!/usr/bin/env bash
# CI stage: checks every tarvick and tarvick-node the run built, and fails,
# naming the binary and the protection, when one lacks any of:
#   PIE, SSP, FORTIFY, RELRO, BIND_NOW   as Debian's hardening-check sees them
#              (a static build: static-PIE, unless its toolchain has no
#              rcrt1.o and so cannot make one; such a program has no dynamic
#              section and binds nothing lazily)
#   SSP, FORTIFY of a static build       read from the program's objects in
#              its build directory: a static binary holds libc's own
#              __stack_chk_fail and __*_chk whether or not its code calls them
#   NX-STACK   a GNU_STACK segment that is not executable
#   W^X        no LOAD segment both writable and executable
#   RODATA     .rodata in a LOAD segment that is not executable
# (the last three, which hardening-check does not look at, read with readelf).
# It also prints each binary's stripped size, and fails when the x86-64 size
# build's (MinSizeRel, dynamic, QR codes on, no sanitizers) stripped tarvick
# exceeds 48 KiB or tarvick-node 160 KiB.
#
#   scripts/ci/hardening.sh             makes the default build (build/, when
#                                       not there yet), a Release build
#                                       (build-release) and a static one
#                                       (build-static), then checks every
#                                       build*/ directory's two programs
#   scripts/ci/hardening.sh PATH...     checks only these binaries or build
#                                       directories, building nothing
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/install-deps.sh hardening

ceiling_tarvick=$((48 * 1024))
ceiling_node=$((160 * 1024))
programs=(tarvick tarvick-node)

targets=()
if [ $# -gt 0 ]; then
  targets=("$@")
else
  jobs=${TARVICK_JOBS:-2}
  [ -f build/CMakeCache.txt ] || cmake -S . -B build -DTARVICK_BUILD_TESTS=OFF >/dev/null
  cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DTARVICK_BUILD_TESTS=OFF >/dev/null
  cmake -S . -B build-static -DTARVICK_STATIC=ON -DTARVICK_BUILD_TESTS=OFF >/dev/null
  for dir in build build-release build-static; do
    echo "hardening: building ${programs[*]} in $dir"
    cmake --build "$dir" -j"$jobs" --target "${programs[@]}" >/dev/null
  done
  for dir in build*/; do
    targets+=("${dir%/}")
  done
fi

binaries=()
for target in "${targets[@]}"; do
  if [ -d "$target" ]; then
    for program in "${programs[@]}"; do
      [ -f "$target/$program" ] && binaries+=("$target/$program")
    done
  elif [ -f "$target" ]; then
    binaries+=("$target")
  else
    echo "hardening: $target: no such binary or build directory" >&2
    exit 2
  fi
done
if [ ${#binaries[@]} -eq 0 ]; then
  echo "hardening: no tarvick or tarvick-node found in: ${targets[*]}" >&2
  exit 1
fi

# An ELF machine, as readelf names it: its short name, and its toolchain's
# prefix ("?" where none is known).
machine_names() {
  case "$1" in
    "Advanced Micro Devices X86-64") echo "x86-64 " ;;
    ARM) echo "arm arm-linux-gnueabihf-" ;;
    AArch64) echo "aarch64 aarch64-linux-gnu-" ;;
    "MIPS R3000") echo "mips mipsel-linux-gnu-" ;;
    *) echo "${1// /_} ?" ;;
  esac
}

# Whether the binary is one the size ceilings are for: x86-64 and dynamic,
# from a MinSizeRel build with QR codes, without sanitizers, fuzzing or a
# toolchain file.
is_size_build() { # binary, machine, static
  local cache
  cache="$(dirname "$1")/CMakeCache.txt"
  [ "$2" = "Advanced Micro Devices X86-64" ] && [ "$3" = no ] && [ -f "$cache" ] &&
    grep -qx 'CMAKE_BUILD_TYPE:STRING=MinSizeRel' "$cache" &&
    ! grep -Eqi '^(TARVICK_(SANITIZE|STATIC|FUZZ):BOOL=(ON|TRUE|1|YES)|TARVICK_NODE_QR:BOOL=(OFF|FALSE|0|NO)$|CMAKE_TOOLCHAIN_FILE:[A-Z]*=.)' "$cache"
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=()
fail() { # binary, protection, why
  failures+=("$1: $2: $3")
  problems+=("$2")
}

width=6
for binary in "${binaries[@]}"; do
  [ ${#binary} -le $width ] || width=${#binary}
done
printf "%-${width}s  %-7s  %-14s  %8s  %s\n" binary machine linking stripped protections
for binary in "${binaries[@]}"; do
  problems=()
  if ! readelf -hW "$binary" >"$scratch/header" 2>/dev/null; then
    fail "$binary" ELF "not an ELF file readelf can read"
    printf "%-${width}s  %s\n" "$binary" "MISSING ELF"
    continue
  fi
  readelf -lW "$binary" >"$scratch/segments"

  machine=$(sed -n 's/^ *Machine: *//p' "$scratch/header")
  type=$(sed -n 's/^ *Type: *\([A-Z]*\).*/\1/p' "$scratch/header")
  read -r short_machine prefix <<<"$(machine_names "$machine")"
  # One line per program header: its type, its flags run together ("RE",
  # "RW", "RWE") and its sections.
  awk 'BEGIN { count = 0 }
    /^Program Headers:/ { in_headers = 1; next }
    in_headers && /^ *Type / { next }
    in_headers && /^ *[A-Z_0-9]+ +0x/ {
      flags = ""
      for (i = 7; i < NF; i++) flags = flags $i
      type[count] = $1; flag[count] = flags; count++
      next
    }
    in_headers && /^ *$/ { in_headers = 0 }
    /Section to Segment mapping/ { in_map = 1; next }
    in_map && /^ *[0-9][0-9]+ / {
      n = $1 + 0; $1 = ""; sections[n] = $0
    }
    END { for (i = 0; i < count; i++) printf "%s %s%s\n", type[i], flag[i], sections[i] }
  ' "$scratch/segments" >"$scratch/phdrs"

  has_segment() { grep -q "^$1 " "$scratch/phdrs"; }
  static=no
  has_segment INTERP || static=yes
  # Shared libraries but no program interpreter to load them: such a program
  # cannot start (g++ makes one of -static-pie -static-libstdc++).
  if [ "$static" = yes ] && readelf -dW "$binary" | grep -q '(NEEDED)'; then
    fail "$binary" PIE "needs shared libraries but names no program interpreter"
  fi
  # A static program without PIE where its toolchain cannot make one.
  options=(--nocfprotection)
  linking=dynamic
  if [ "$static" = yes ]; then
    linking=static
    if [ "$type" = EXEC ] && [ "$prefix" != "?" ] && compiler="${prefix}gcc" && command -v "$compiler" >/dev/null &&
       [ "$("$compiler" -print-file-name=rcrt1.o)" = rcrt1.o ]; then
      linking="static, no PIE"
      options+=(--nopie --nobindnow)
    fi
  fi
  [ "$type" = DYN ] && linking="$linking-PIE"
  while IFS=: read -r check verdict; do
    case "$check" in
      *"Position Independent"*) name=PIE ;;
      *"Stack protected"*) name=SSP ;;
      *"Fortify Source"*) name=FORTIFY ;;
      *"Read-only relocations"*) name=RELRO ;;
      *"Immediate binding"*) name=BIND_NOW ;;
      *) continue ;;
    esac
    # A static program's are read from its objects below.
    [ "$static" = yes ] && { [ "$name" = SSP ] || [ "$name" = FORTIFY ]; } && continue
    # A DYN file without a PHDR header is a shared library to it, not PIE;
    # static-PIE, which has none, is a DYN file with a dynamic section.
    [ "$name" = PIE ] && [ "$static" = yes ] && [ "$type" = DYN ] &&
      ! readelf -dW "$binary" | grep -q 'There is no dynamic section' && continue
    case "$verdict" in *"shared library"*) ;; " yes"*|*"(ignored)") continue ;; esac
    fail "$binary" "$name" "hardening-check:$verdict"
  done < <(hardening-check "${options[@]}" "$binary" 2>&1 || true)
  if [ "$static" = yes ]; then
    # The program's and the project libraries' objects, as CMake lays them out.
    objects=$(find "$(dirname "$binary")/CMakeFiles" -path "*/$(basename "$binary").dir/*.o" -o \
                -path '*/tarvick_*.dir/*.o' 2>/dev/null | sort || true)
    by=" by the program's objects (static: libc defines them either way)"
    [ -n "$objects" ] || by="$by, and there are none beside it to read"
    # shellcheck disable=SC2086
    { [ -z "$objects" ] || readelf -sW $objects; } |
      awk '$7 == "UND" && NF >= 8 { print $8 }' | sort -u >"$scratch/symbols"
    grep -Eqx '__stack_chk_(fail|guard)' "$scratch/symbols" ||
      fail "$binary" SSP "neither __stack_chk_fail nor __stack_chk_guard referenced$by"
    awk '/^__[A-Za-z0-9_]+_chk$/ && !/^__stack_chk_/ { found = 1 } END { exit !found }' "$scratch/symbols" ||
      fail "$binary" FORTIFY "no __*_chk function referenced$by"
  fi
  if ! has_segment GNU_STACK; then
    fail "$binary" NX-STACK "no GNU_STACK segment (the stack would be executable)"
  elif grep -q '^GNU_STACK [A-Z]*E' "$scratch/phdrs"; then
    fail "$binary" NX-STACK "GNU_STACK is executable"
  fi
  if grep -Eq '^LOAD [R]*W[R]*E' "$scratch/phdrs"; then
    fail "$binary" W^X "a LOAD segment is both writable and executable"
  fi
  if grep -Eq '^LOAD [RW]*E\b.* \.rodata( |$)' "$scratch/phdrs"; then
    fail "$binary" RODATA ".rodata is in an executable LOAD segment (code not separate)"
  fi

  # Stripped size, with the target's strip when the host's cannot read it.
  size="?"
  for strip_program in "${prefix}strip" strip; do
    [ "$prefix" = "?" ] && [ "$strip_program" != strip ] && continue
    if command -v "$strip_program" >/dev/null &&
       "$strip_program" -o "$scratch/stripped" "$binary" 2>/dev/null; then
      size=$(stat -c %s "$scratch/stripped")
      break
    fi
  done
  if is_size_build "$binary" "$machine" "$static"; then
    ceiling=$ceiling_tarvick
    [ "$(basename "$binary")" = tarvick-node ] && ceiling=$ceiling_node
    if [ "$size" = "?" ]; then
      fail "$binary" SIZE "cannot strip it to measure its size"
    elif [ "$size" -gt "$ceiling" ]; then
      fail "$binary" SIZE "stripped size $size bytes exceeds the ceiling of $ceiling bytes"
    fi
  fi

  verdict="all"
  [ ${#problems[@]} -eq 0 ] || verdict="MISSING ${problems[*]}"
  printf "%-${width}s  %-7s  %-14s  %8s  %s\n" "$binary" "$short_machine" "$linking" "$size" "$verdict"
done

if [ ${#failures[@]} -gt 0 ]; then
  echo
  printf 'hardening: %s\n' "${failures[@]}" >&2
  echo "hardening: ${#failures[@]} check(s) failed in ${#binaries[@]} binaries checked" >&2
  exit 1
fi
echo "hardening: ${#binaries[@]} binaries checked, every protection present"
