#!/usr/bin/env bash
# What a wheel's native files ask of the machine, read without running them: every ELF file
# is for the wheel's architecture, takes no glibc symbol newer than 2.28, and no C++ runtime
# at all (libc++ is linked in; libstdc++ and libgcc_s differ between the systems a wheel
# reaches). With ROOT, a Debian root of that architecture: every library the files need is
# found in it, so the wheel loads under that root's older glibc.
#
#   check_elf.sh x86_64|aarch64 WHEEL [ROOT]
set -euo pipefail
CHECK=check_elf
source "$(dirname "$0")/common.sh"
ARCH=$1 WHEEL=$2 DEBROOT=${3:-}
name=$(basename "$WHEEL")
case $ARCH in
  x86_64) machine="Advanced Micro Devices X86-64" loader=ld-linux-x86-64.so.2 ;;
  aarch64) machine="AArch64" loader=ld-linux-aarch64.so.1 ;;
  *) fail "no such architecture $ARCH" ;;
esac
[[ $name == *"_$ARCH.whl" ]] || fail "$name is not tagged for $ARCH"

python3 -m zipfile -e "$WHEEL" "$WORK/wheel"
mapfile -t files < <(find "$WORK/wheel" -name '*.so*' -type f | sort)
((${#files[@]} >= 3)) || fail "$name holds ${#files[@]} shared objects, expected the library and two modules"
newest=0
for f in "${files[@]}"; do
  rel=${f#"$WORK/wheel/"}
  got=$(readelf -h "$f" | sed -n 's/^ *Machine: *//p')
  [[ $got == "$machine" ]] || fail "$name: $rel is for $got, not $ARCH"
  versions=$(objdump -T "$f" | grep -o '(\?[A-Z]*_[0-9][0-9.]*)\?' | tr -d '()' | sort -u)
  cxx=$(grep -E '^(GLIBCXX|CXXABI|GCC)_' <<<"$versions" || true)
  [[ -z $cxx ]] || fail "$name: $rel takes symbols of a C++ runtime: $(tr '\n' ' ' <<<"$cxx")"
  while read -r v; do
    [[ -n $v ]] || continue
    IFS=. read -r major minor _ <<<"${v#GLIBC_}"
    ((major > 2 || (major == 2 && minor > 28))) && fail "$name: $rel needs $v (newer than 2.28)"
    ((minor > newest)) && newest=$minor
  done < <(grep '^GLIBC_' <<<"$versions" || true)
  needed=$(readelf -d "$f" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p')
  extra=$(grep -Ev "^(libc\.so\.6|libm\.so\.6|libpthread\.so\.0|libdl\.so\.2|librt\.so\.1|$loader|libkorvelquor\.so)$" <<<"$needed" || true)
  [[ -z $extra ]] || fail "$name: $rel needs libraries beyond glibc: $(tr '\n' ' ' <<<"$extra")"
  if [[ -n $DEBROOT ]]; then
    for lib in $needed; do
      [[ $lib == libkorvelquor.so ]] && continue
      found=$(find "$DEBROOT/lib" "$DEBROOT/usr/lib" -name "$lib" 2>/dev/null | head -1)
      [[ -n $found ]] || fail "$name: $rel needs $lib, which $DEBROOT does not have"
    done
  fi
done
echo "check_elf: $name: ${#files[@]} ELF files for $ARCH, newest symbol GLIBC_2.$newest, no C++ runtime${DEBROOT:+, libraries found in $(basename "$DEBROOT")}"
