# Sourced by the command-line tests: a scratch folder $work, removed on exit
# (kept and printed with KEEP=1; made under $SCRATCH_IN when that is set and
# usable), and check(), which counts what passed and failed.
work=$(mktemp -d ${SCRATCH_IN:+-p "$SCRATCH_IN"} 2> /dev/null || mktemp -d)
trap 'rm -rf "$work"' EXIT
[ -n "${KEEP:-}" ] && trap - EXIT && echo "$work"
passes=0 fails=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; passes=$((passes + 1)); else echo "FAILED: $what"; fails=$((fails + 1)); fi
}
