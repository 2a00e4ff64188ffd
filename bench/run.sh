#!/bin/bash
# `make bench`: measures the update engine against the standard tools and
# writes BUILD_DIR/bench/report.md. The card and the work area are tmpfs
# mounts in a private mount namespace, gone when the run ends.
#
#   bench/run.sh [BUILD_DIR] [zuv-bench options, e.g. --only release --pairs 5]
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build}" && pwd)
shift || true

build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
case "$build_type" in
    Release | RelWithDebInfo | MinSizeRel) ;;
    *) echo "[bench] warning: $build is a '${build_type:-unknown}' build; figures of an optimised build mean more" ;;
esac

echo "[bench] building the benchmark programs in $build"
if ! cmake --build "$build" -j"${JOBS:-$(nproc)}" --target zuv-bench zuv-bench-driver zuv-publish 2>&1 \
    | { grep --line-buffered -E 'Built target zuv-(bench|bench-driver|publish)$|error|Error' || true; } | sed -u 's/^/[bench]   /'; then
    echo "[bench] FAILED: build (the benchmark needs the test fixtures: ZUV_BUILD_TESTS=ON)"
    exit 1
fi

exec "$source_dir/tests/support/in-mount-namespace.sh" \
    "$build/bench/zuv-bench" --report "$build/bench/report.md" "$@"
