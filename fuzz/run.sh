#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for SECONDS (default 30), seeded from the
# sample media. Fails on any crash, leak, timeout or out-of-memory.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
# Absolute: loading modules moves the working directory.
build=$(realpath -m "${SALVOR_FUZZ_BUILD_DIR:-build-fuzz}")
CXX=clang++ cmake -S . -B "$build" -G Ninja -DSALVOR_FUZZ=ON -DSALVOR_BUILD_TESTS=OFF \
  -DSALVOR_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"
seeds="$build/fuzz-seeds"
rm -rf "$seeds" && mkdir -p "$seeds"
find testdata/corpus -type f ! -name '*.md' ! -name README -size -200k -exec cp {} "$seeds/" \;
# Inputs the corpus has none of, such as small evidence images (their first byte picks the format).
cp fuzz/seeds/* "$seeds/"
# One target per core at a time: the same wall time gives every target twice the fuzzing.
jobs=${SALVOR_FUZZ_JOBS:-$(nproc)}
run_target() {
  local target=$1 name
  name=$(basename "$target")
  mkdir -p "$build/fuzz-corpus/$name"
  rm -f "$build/$name.failed"
  if ! "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=262144 \
      -close_fd_mask=3 -artifact_prefix="$build/$name-" "$build/fuzz-corpus/$name" "$seeds" \
      >"$build/$name.log" 2>&1; then
    touch "$build/$name.failed"
  fi
}
for target in "$build"/bin/fuzz_*; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  echo "fuzz: $(basename "$target") for ${seconds}s"
  run_target "$target" &
done
wait
status=0
for target in "$build"/bin/fuzz_*; do
  name=$(basename "$target")
  if [ -f "$build/$name.failed" ]; then
    echo "fuzz: $name FAILED (see $build/$name.log)"
    # The sanitizer's report with its stack, else the end of the log.
    grep -m1 -A40 '^==[0-9]*==ERROR' "$build/$name.log" || tail -40 "$build/$name.log"
    status=1
  fi
done
exit $status
