#!/usr/bin/env bash
# The C++ package as a program of its own sees it: install the library into a temporary
# prefix, check what it exports, build examples/cpp with find_package and with pkg-config,
# run it against the substitute in the private network, ask for a version the package
# cannot give, and add the project to another one with add_subdirectory (configured, its
# crate built; compiling every layer once more would add minutes and find nothing new).
#
#   check_install.sh BUILD_DIR
set -euo pipefail
CHECK=check_install
source "$(dirname "$0")/common.sh"
BUILD=$(cd "$1" && pwd)

PREFIX=$WORK/prefix
cmake --install "$BUILD" --prefix "$PREFIX" >/dev/null
LIB=$(echo "$PREFIX"/lib/libkorvelquor.so.*.*.*)
[[ -f $LIB ]] || fail "no versioned libkorvelquor installed"

# Only the korvel:: API and the client's exception type: no Rust, no transport internals.
exports=$(nm -D --defined-only --demangle "$LIB" | awk '{ $1 = ""; $2 = ""; sub(/^  /, ""); print }')
[[ -n $exports ]] || fail "the library exports nothing"
stray=$(grep -Ev '^(korvel::|(vtable|typeinfo|typeinfo name) for korvel::|zenoh::kq::ZException::|(vtable|typeinfo|typeinfo name) for zenoh::kq::ZException$)' <<<"$exports" || true)
[[ -z $stray ]] || fail "exports beyond the API: $(head -5 <<<"$stray")"
if grep -Eq 'kz_|rust|tokio' <<<"$exports"; then fail "transport or Rust symbols exported"; fi
echo "check_install: $(wc -l <<<"$exports") symbols exported, all korvel:: or zenoh::kq::ZException"

# A consumer with find_package, then one with pkg-config.
cmake -S "$ROOT/examples/cpp" -B "$WORK/example" -G Ninja -DCMAKE_PREFIX_PATH="$PREFIX" >/dev/null
cmake --build "$WORK/example" >/dev/null
PKG_CONFIG_PATH=$PREFIX/lib/pkgconfig
export PKG_CONFIG_PATH
# shellcheck disable=SC2046
g++ -o "$WORK/print_states_pc" "$ROOT/examples/cpp/print_states.cpp" \
  $(pkg-config --cflags --libs korvelquor) -Wl,-rpath,"$PREFIX/lib"

SERIAL=KQ-PKG-$$
start_substitute "$SERIAL"
for program in "$WORK/example/print_states" "$WORK/print_states_pc"; do
  out=$("$ROOT/scripts/lib/robotnet" exec host "$program" "$SERIAL" 0.3) || fail "$program failed: $out"
  grep -q '^ARM_2    q \[' <<<"$out" || fail "$program printed no ARM_2 states: $out"
done
out=$("$ROOT/scripts/lib/robotnet" exec host "$WORK/example/record" "$SERIAL" "$WORK/run.mcap" 0.5) \
  || fail "record failed: $out"
grep -q 'stopped by the duration' <<<"$out" || fail "record printed no summary: $out"
out=$("$WORK/example/read_recording" "$WORK/run.mcap") || fail "read_recording failed: $out"
grep -Eq ': [1-9][0-9]* basic and [1-9][0-9]* extra samples' <<<"$out" \
  || fail "the C++ recording holds no samples: $out"
echo "check_install: find_package and pkg-config consumers read the robot; record writes a recording"

# A version the package cannot give is CMake's version error.
mkdir -p "$WORK/too_new"
cat >"$WORK/too_new/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(too_new LANGUAGES CXX)
find_package(korvelquor 9.0 CONFIG REQUIRED)
CMAKE
if out=$(cmake -S "$WORK/too_new" -B "$WORK/too_new/build" -DCMAKE_PREFIX_PATH="$PREFIX" 2>&1); then
  fail "find_package(korvelquor 9.0) succeeded"
fi
grep -q 'but it set' <<<"$out" || grep -qi 'version' <<<"$out" || fail "no version error: $out"

# Added with add_subdirectory, the project configures its library only, and drives cargo on
# its own crate wherever it sits (building the crate reuses CARGO_TARGET_DIR's cache).
mkdir -p "$WORK/parent"
cat >"$WORK/parent/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(parent LANGUAGES C CXX)
add_subdirectory("$ROOT" korvelquor)
add_executable(print_states "$ROOT/examples/cpp/print_states.cpp")
target_link_libraries(print_states PRIVATE korvelquor::korvelquor)
CMAKE
cargo_dir=$(sed -n 's/^KQ_CARGO_TARGET_DIR:PATH=//p' "$BUILD/CMakeCache.txt")
cmake -S "$WORK/parent" -B "$WORK/parent/build" -G Ninja -DKQ_CARGO_TARGET_DIR="$cargo_dir" >/dev/null
ninja_file=$WORK/parent/build/build.ninja
if grep -q 'gtest\|python_pytest\|korvelquor_capture\|pybind11' "$ninja_file"; then
  fail "add_subdirectory also set up tests or Python modules"
fi
grep -q -- "--manifest-path $ROOT/Cargo.toml" "$ninja_file" ||
  fail "cargo is not pointed at this project's workspace"
cmake --build "$WORK/parent/build" --target kq_rust_build >/dev/null
echo "check_install: version error, add_subdirectory consumer: ok"
