#!/usr/bin/env bash
# check_sdk.sh BUILD_DIR EXAMPLE_DIR WORK_DIR CXX [HOST_FLAGS]
set -euo pipefail
build=$1 example=$2 work=$3 cxx=$4 flags=${5:-}

rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log"

fail() {
  echo "sdk check: $*" >&2
  exit 1
}
[ -f "$prefix/lib/libsvengine.so" ] || fail "no lib/libsvengine.so in the prefix"
[ -f "$prefix/include/salvor/sdk.h" ] || fail "no include/salvor/sdk.h in the prefix"
[ -f "$prefix/lib/cmake/Salvor/SalvorConfig.cmake" ] || fail "no CMake package in the prefix"
symbols=$(nm -D --defined-only "$prefix/lib/libsvengine.so")
grep -Eq '^[0-9a-f]+ T GetSVSingleton$' <<<"$symbols" ||
  fail "GetSVSingleton is not exported under its plain name"

# Out of tree, seeing nothing of the source tree but the example itself.
cmake -S "$example" -B "$work/host" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror $flags" \
  -DCMAKE_EXE_LINKER_FLAGS="$flags" >"$work/configure.log" || fail "configure failed"
cmake --build "$work/host" >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "build failed"; }
libraries=$(ldd "$work/host/minimal-host")
grep -Fq "=> $prefix/lib/libsvengine.so" <<<"$libraries" || {
  echo "$libraries"
  fail "the host does not load the installed libsvengine.so"
}

"$work/host/minimal-host" >"$work/stdout" 2>"$work/stderr" || {
  cat "$work/stdout" "$work/stderr"
  fail "minimal-host failed"
}

cat >"$work/expected-stdout" <<'OUT'
log SVC 1 Setting ScanReadAhead to 16384
added card-b
added Card-A
added card-a
log SVC 4 DataSource card-a already added - can't reregister
sources 3
0 Card-A 16 blocks of 512, Speed 10, hex 0010
1 card-a 32 blocks of 512, Speed 10, hex 0020
2 card-b 8 blocks of 512, Speed 10, hex 0008
deleted card-a
deleted Card-A
deleted card-b
sources 0
OUT
cat >"$work/expected-stderr" <<'ERR'
[SVC] Setting ScanReadAhead to 16384
[SVC] DataSource card-a already added - can't reregister
ERR
diff -u "$work/expected-stdout" "$work/stdout" || fail "unexpected standard output"
diff -u "$work/expected-stderr" "$work/stderr" || fail "unexpected standard error"
echo "sdk check: installed SDK works from outside the tree"
