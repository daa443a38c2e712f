# Sourced by the command-line and library tests, which run from a scratch
# folder $work, removed on exit (kept and printed with KEEP=1; made under
# $SCRATCH_IN when that is set and usable). Sets rpx and samples from the
# script's arguments and here to its folder; check() counts what passed and
# failed, and finish reports the counts as the script's status.
set -u
rpx=${1:-} samples=${2:-}
[ -e "$rpx" ] && rpx=$(realpath -- "$rpx")  # both stay valid in $work
[ -d "$samples" ] && samples=$(realpath -- "$samples")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d ${SCRATCH_IN:+-p "$SCRATCH_IN"} 2> /dev/null || mktemp -d)
trap 'rm -rf "$work"' EXIT
[ -n "${KEEP:-}" ] && trap - EXIT && echo "$work"
passes=0 fails=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; passes=$((passes + 1)); else echo "FAILED: $what"; fails=$((fails + 1)); fi
}
finish() { echo "$passes passed, $fails failed"; [ "$fails" -eq 0 ]; }
# tiny SEED FILES...: uncompressed 16-bit plasma TIFFs of ${tiny_size:-16 16} pixels, seed + i for each file.
tiny() {
  local seed=$1 size=${tiny_size:-16 16} f; shift
  for f; do convert -size "${size/ /x}" -seed $((seed++)) plasma: -depth 16 "$f" || return; done
}
cd "$work"
