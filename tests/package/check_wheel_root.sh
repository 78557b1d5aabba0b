#!/usr/bin/env bash
# A wheel run by Debian's own CPython of another release or architecture, unpacked into a
# root by scripts/lib/debian-python: arm64 roots under qemu-aarch64 (scripts/lib/debian-qemu),
# amd64 roots through the root's own loader (so the root's older glibc is the one in use).
# The host's pip installs the wheel and NumPy for that platform into a folder; the root's
# interpreter finds both modules and their stubs there and reads the substitute controller
# in the private network.
#
#   check_wheel_root.sh ROOT VERSION WHEEL
set -euo pipefail
CHECK=check_wheel_root
source "$(dirname "$0")/common.sh"
DEBROOT=$(cd "$1" && pwd) VERSION=$2 WHEEL=$3
name=$(basename "$WHEEL")
if [[ -d $DEBROOT/usr/lib/aarch64-linux-gnu ]]; then
  arch=aarch64
  qemu=$("$ROOT/scripts/lib/debian-qemu" "$ROOT/build-wheel/qemu") || fail "no qemu-aarch64"
  run=("$qemu" -L "$DEBROOT" "$DEBROOT/usr/bin/python$VERSION")
else
  arch=x86_64
  libs=$DEBROOT/lib/x86_64-linux-gnu
  run=("$libs/ld-linux-x86-64.so.2" --library-path "$libs:$DEBROOT/usr/lib/x86_64-linux-gnu"
       "$DEBROOT/usr/bin/python$VERSION")
fi
glibc=$("${run[@]}" -c 'import os; print(os.confstr("CS_GNU_LIBC_VERSION"))') ||
  fail "the root's python$VERSION does not start"
site=$WORK/site
start=$(date +%s.%N)
# pip's own default would be this machine's platform; the root's are named instead.
python3 -m pip install -q --target "$site" --only-binary=:all: --implementation cp \
  --python-version "$VERSION" --platform "manylinux_2_28_$arch" --platform "manylinux2014_$arch" \
  "$WHEEL" >"$WORK/pip.log" 2>&1 || fail "pip could not install $name for the root: $(tail -3 "$WORK/pip.log")"
for stub in korvelquor.pyi korvelquor_capture.pyi; do
  [[ -f $site/$stub ]] || fail "$name ships no $stub"
done

SERIAL=KQ-ROOT-$$
start_substitute "$SERIAL"
out=$(PYTHONPATH=$site PYTHONNOUSERSITE=1 "$ROOT/scripts/lib/robotnet" exec host "${run[@]}" \
      "$ROOT/tests/package/read_substitute.py" "$SERIAL" "$start" 2>&1) ||
  fail "$name under $(basename "$DEBROOT") ($glibc) could not read the substitute: $out"
echo "check_wheel_root: $name: python$VERSION of $(basename "$DEBROOT") ($arch, $glibc): $(grep -o 'first states.*' <<<"$out")"
