# Shared by the package checks (sourced): a scratch folder removed at exit, a failure that
# names the check, and the substitute controller started in the private network.
#   CHECK=name; source common.sh
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
WORK=$(mktemp -d)
SIM_PID=
cleanup() {
  [[ -n $SIM_PID ]] && kill "$SIM_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "$CHECK: $*" >&2; exit 1; }

# start_substitute SERIAL: a two-arm substitute in "robot" until the check exits.
start_substitute() {
  "$ROOT/scripts/lib/robotnet" exec robot "$ROOT/.venv/bin/python" -m korvel_sim --serial "$1" \
    --layout two-arm >/dev/null 2>&1 &
  SIM_PID=$!
}
