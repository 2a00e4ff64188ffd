#!/bin/sh
# Builds the fuzz targets with clang and libFuzzer and runs each one for
# FUZZ_SECONDS (default 60), starting from the seed corpus. New inputs that
# libFuzzer finds go to a scratch corpus, not into the repository.
set -eu
cd "$(dirname "$0")/../.."
BUILD=${FUZZ_BUILD_DIR:-build-fuzz}
SECONDS_PER_TARGET=${FUZZ_SECONDS:-60}

cmake -S . -B "$BUILD" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DZUV_FUZZ=ON -DZUV_SANITIZE=ON >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target fuzz_manifestline fuzz_infofile

# The readers log a few debug lines per input; millions of inputs would
# only fill the log and slow the fuzzer down.
export QT_LOGGING_RULES="*.debug=false"

status=0
for target in manifestline infofile; do
    case $target in
        manifestline) seeds=tests/fuzz/corpus/manifest ;;
        infofile) seeds=tests/fuzz/corpus/infofile ;;
    esac
    scratch="$BUILD/fuzz-corpus/$target"
    mkdir -p "$scratch"
    echo "Fuzzing $target for ${SECONDS_PER_TARGET}s"
    if ! "$BUILD/tests/fuzz/fuzz_$target" -max_total_time="$SECONDS_PER_TARGET" -max_len=65536 \
            -print_final_stats=1 -artifact_prefix="$BUILD/fuzz-$target-" "$scratch" "$seeds" \
            2>"$BUILD/fuzz-$target.log"; then
        echo "fuzz_$target found a crash; see $BUILD/fuzz-$target.log" >&2
        status=1
    fi
    grep -E 'stat::number_of_executed_units|stat::peak_rss_mb' "$BUILD/fuzz-$target.log" || true
done
exit $status
