# Sourced by the library's tests, with $cmake, $build and $source set: check.sh's
# scratch folder (the current one), the build installed into $prefix below it,
# $rpx from there, and sanitized(), which runs a program that loads libkirune.
source "$source/tests/cli/check.sh"
prefix=$work/prefix
if ! "$cmake" --install "$build" --prefix "$prefix" > "$work/install.log" 2>&1; then
  cat "$work/install.log"; echo "FAILED: cmake --install"; exit 1
fi
rpx=$prefix/bin/rpx
# A sanitized build's library needs its runtime loaded before any other
# library of the program that links it, and the C++ library with it, for its
# interception of exceptions in programs that are not C++ themselves.
asan_runtime=$(ldd "$(find "$prefix" -name libkirune.so.1 -print -quit)" | awk '/libasan/ {print $3}')
[ -n "$asan_runtime" ] && asan_runtime="$asan_runtime:$(ldd "$(find "$prefix" -name libkirune.so.1 -print -quit)" | awk '/libstdc/ {print $3}')"
sanitized() {  # sanitized [LEAKS] COMMAND...: runs a program that loads libkirune
  local leaks=0
  [ "$1" = LEAKS ] && leaks=1 && shift
  if [ -n "$asan_runtime" ]; then
    LD_PRELOAD=$asan_runtime ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=$leaks "$@"
  else
    "$@"
  fi
}
