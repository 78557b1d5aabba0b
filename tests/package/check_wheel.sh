#!/usr/bin/env bash
# A wheel as a user gets it: installs into a fresh virtual environment of its interpreter
# with binaries only (no compiler, cargo or CMake), imports, ships its type stubs, needs no
# library beyond the C and C++ runtimes, is refused by another interpreter with an
# ImportError, and reads the substitute controller in the private network.
#
#   check_wheel.sh PYTHON WHEEL
set -euo pipefail
CHECK=check_wheel
source "$(dirname "$0")/common.sh"
PY=$1
WHEEL=$2
name=$(basename "$WHEEL")

"$PY" -m venv "$WORK/venv"
VPY=$WORK/venv/bin/python
start=$(date +%s.%N)
"$VPY" -m pip install -q --only-binary=:all: "$WHEEL"
site=$("$VPY" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
for stub in korvelquor.pyi korvelquor_capture.pyi; do
  [[ -f $site/$stub ]] || fail "$name ships no $stub"
done
# The library where wheels keep what their modules link, not among the importable names.
lib=$site/korvelquor.libs/libkorvelquor.so
[[ -f $lib ]] || fail "$name carries no korvelquor.libs/libkorvelquor.so"
[[ ! -e $site/libkorvelquor.so ]] || fail "$name puts libkorvelquor.so at the top of site-packages"
needed=$(readelf -d "$lib" "$site"/korvelquor*.so | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' | sort -u)
extra=$(grep -Ev '^(libc\.so\.6|libm\.so\.6|libstdc\+\+\.so\.6|libgcc_s\.so\.1|ld-linux-x86-64\.so\.2|libkorvelquor\.so|libpthread\.so\.0|libdl\.so\.2)$' <<<"$needed" || true)
[[ -z $extra ]] || fail "$name needs libraries beyond the C and C++ runtimes: $extra"

version=$(sed -n 's/^__version__ = "\([0-9.]*\)".*/\1/p' "$ROOT/tools/korvelquor_tools/_version.py")
"$VPY" - "$version" <<'PYTHON' || fail "$name does not import"
import sys, korvelquor, korvelquor_capture
assert korvelquor.__doc__ == "Korvel Quor (QUOR)"
assert korvelquor_capture.__version__ == sys.argv[1], korvelquor_capture.__version__
PYTHON

# The module of one interpreter imported by another: an ImportError, never a crash. Either
# the module's own version guard refuses the interpreter, or, where the two C APIs differ
# in a symbol the module uses, the loader already does.
mine=$("$PY" -c 'import sys; print(sys.version_info[1])')
newer="" older=""
for v in "$HOME"/.pyenv/versions/3.1[123].*/bin/python3; do
  minor=$("$v" -c 'import sys; print(sys.version_info[1])')
  ((minor > mine)) && [[ -z $newer ]] && newer=$v
  ((minor < mine)) && older=$v
done
mkdir -p "$WORK/foreign/korvelquor.libs"
cp "$site"/korvelquor.cpython-*.so "$WORK/foreign/korvelquor.so"
cp "$lib" "$WORK/foreign/korvelquor.libs/"
for other in $newer $older; do
  out=$(cd "$WORK/foreign" && "$other" -c 'import korvelquor' 2>&1) && fail "$other imported it"
  grep -q '^ImportError: ' <<<"$out" || fail "$other failed otherwise: $out"
  echo "check_wheel: refused by $("$other" --version): $(grep '^ImportError: ' <<<"$out" | cut -c1-90)"
done

SERIAL=KQ-WHEEL-$$
start_substitute "$SERIAL"
out=$("$ROOT/scripts/lib/robotnet" exec host "$VPY" "$ROOT/tests/package/read_substitute.py" \
      "$SERIAL" "$start" 2>&1) || fail "$name could not read the substitute: $out"
echo "check_wheel: $name: $(grep -o 'first states.*' <<<"$out")"
