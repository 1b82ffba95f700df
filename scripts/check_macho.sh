#!/bin/sh
# Checks that each file is a Mach-O arm64 executable: the 64-bit magic 0xfeedfacf, cputype
# CPU_TYPE_ARM64 (0x0100000c) and filetype MH_EXECUTE (2), all little-endian in the header.
status=0
for f in "$@"; do
    head=$(od -An -tx1 -N16 "$f" 2>/dev/null | tr -d ' \n')
    case "$head" in
    cffaedfe0c000001????????02000000) echo "$f: Mach-O arm64 executable" ;;
    *)
        echo "$f: not a Mach-O arm64 executable (header ${head:-missing})" >&2
        status=1
        ;;
    esac
done
exit $status
