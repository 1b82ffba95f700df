#!/usr/bin/env bash
# The project walk against find with the same pruning, on one generated tree: about
# 100,000 files in 10,000 directories, plus node_modules, .git and build folders that both
# must skip. Usage: bench/walk.sh [BUILD_DIR] (default: build). RUNS=N sets the rounds.
# The tree lives in a temporary directory ($TMPDIR honoured) that is removed at the end.
set -euo pipefail
build=${1:-build}
runs=${RUNS:-7}
walk="$build/bench/bench_walk"
[ -x "$walk" ] || { echo "missing $walk: build first" >&2; exit 1; }

tree=$(mktemp -d "${TMPDIR:-/tmp}/quelmar-bench-walk.XXXXXX")
trap 'rm -rf "$tree"' EXIT

echo "generating tree in $tree ..."
python3 - "$tree" <<'PY'
import os, sys
root = sys.argv[1]
def files(d, n, prefix="f"):
    os.makedirs(d, exist_ok=True)
    for i in range(n):
        with open(os.path.join(d, "%s%d.c" % (prefix, i)), "w") as f:
            f.write("x")
# 100 packages x 99 modules + the packages themselves = 10,000 directories, 10 files each.
for p in range(100):
    pkg = os.path.join(root, "pkg%d" % p)
    files(pkg, 10)
    for m in range(99):
        files(os.path.join(pkg, "mod%d" % m), 10)
# What the walk leaves out: 20,000 files in dependency, VCS and build folders.
for p in range(50):
    files(os.path.join(root, "node_modules", "dep%d" % p, "lib"), 200)
files(os.path.join(root, ".git", "objects"), 2000)
for p in range(20):
    files(os.path.join(root, "pkg%d" % p, "build"), 100)
    files(os.path.join(root, "pkg%d" % p, "dist"), 100)
    files(os.path.join(root, "pkg%d" % p, "__pycache__"), 50)
files(os.path.join(root, "target", "debug"), 1000)
PY

find_walk() {
    find "$tree" -mindepth 1 -type d \( -name node_modules -o -name vendor -o -name build \
        -o -name _build -o -name cmake-build-debug -o -name cmake-build-release -o -name target \
        -o -name dist -o -name __pycache__ -o -name '.*' \) -prune -o ! -type d -print0
}

ours=$({ "$walk" "$tree" 2>/dev/null; printf '\0'; } | sort -z | sha1sum)
theirs=$(find_walk | sed -z "s|^$tree/||" | sort -z | sha1sum)
count=$(find_walk | tr -cd '\0' | wc -c)
[ "$ours" = "$theirs" ] && same=yes || same=NO
echo "files listed: $count; same paths as find: $same"

ms() { echo $(( ($2 - $1) / 1000000 )); }
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
walk_times=(); find_times=()
"$walk" "$tree" >/dev/null 2>&1; find_walk >/dev/null  # warm the cache
for ((i = 0; i < runs; i++)); do
    t0=$(date +%s%N); "$walk" "$tree" >/dev/null 2>&1; t1=$(date +%s%N)
    find_walk >/dev/null; t2=$(date +%s%N)
    walk_times+=("$(ms "$t0" "$t1")"); find_times+=("$(ms "$t1" "$t2")")
done
echo "walk ms: ${walk_times[*]}  median $(printf '%s\n' "${walk_times[@]}" | median)"
echo "find ms: ${find_times[*]}  median $(printf '%s\n' "${find_times[@]}" | median)"
