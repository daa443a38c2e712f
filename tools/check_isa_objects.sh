#!/bin/sh
# Checks that the objects compiled for a wider instruction set than the
# build's baseline (file names ending in _avx2 or _avx512) define no weak or
# unique symbols. Such a symbol is an inline function or template emitted out
# of line: the linker keeps one copy for the whole program, and if it keeps
# the one compiled for AVX2, code that runs without the CPU check calls it.
# Usage: check_isa_objects.sh OBJECT...
set -u
checked=0 status=0
for o in "$@"; do
    case "$o" in
    *_avx2.cpp.o | *_avx512.cpp.o) ;;
    *) continue ;;
    esac
    checked=$((checked + 1))
    # DW.ref.* are the exception tables' pointers to the personality
    # routine: data, the same in every object, never code of this one.
    weak=$(nm -C --defined-only "$o" | awk '$2 ~ /^[WVu]$/ && $3 !~ /^DW\.ref\./') || { echo "cannot read $o"; exit 1; }
    if [ -n "$weak" ]; then
        echo "$o shares symbols the linker may merge with other files' copies:"
        echo "$weak"
        status=1
    fi
done
if [ "$checked" -eq 0 ]; then
    echo "no object compiled for a wider instruction set was given"
    exit 1
fi
echo "$checked objects checked"
exit $status
