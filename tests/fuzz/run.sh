#!/usr/bin/env bash
# Builds each fuzzing harness (the Intel HEX reader; the STC, LPC and STM32
# boot loaders' reply readers) with clang's libFuzzer (plus AddressSanitizer
# and UndefinedBehaviorSanitizer) and runs it for a bounded time. A crash,
# a sanitizer report or a leak is a finding: the input is kept in the
# output folder and the script fails, naming it last.
#   tests/fuzz/run.sh [SECONDS_EACH] [OUTPUT_DIR]
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
seconds=${1:-8}
out=${2:-$src/build/fuzz}
mkdir -p "$out"
cxx=${FUZZ_CXX:-clang++}
if ! command -v "$cxx" >/dev/null; then
  echo "fuzz: $cxx not found (install clang and libfuzzer-14-dev)" >&2
  exit 1
fi
flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined
       -fno-sanitize-recover=undefined -I"$src")
# The STC model table is generated from its list, as the build does.
mkdir -p "$out/generated"
cmake -DIN="$src/isp/stc/stc-models.tsv" -DOUT="$out/generated/StcModelRows.inc" \
      -P "$src/isp/stc/StcModelTable.cmake" >/dev/null
flags+=(-I"$out/generated")
qt=()
if pkg-config --exists Qt6Core 2>/dev/null; then
  read -r -a qt <<<"$(pkg-config --cflags --libs Qt6Core) -fPIC"
fi

build() {  # name, sources...
  local name=$1; shift
  "$cxx" "${flags[@]}" "$@" -o "$out/$name" 2>"$out/$name.build.log" || {
    cat "$out/$name.build.log" >&2
    echo "fuzz: $name does not build" >&2
    exit 1
  }
}

run() {  # name
  local name=$1 corpus="$out/$1.corpus"
  mkdir -p "$corpus"
  local seeds="$src/tests/fuzz/seeds/$name"
  [ -d "$seeds" ] && cp -n "$seeds"/* "$corpus"/ 2>/dev/null || true
  echo "fuzz: $name for ${seconds}s"
  if ! (cd "$out" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "./$name" -max_total_time="$seconds" -max_len=4096 -timeout=5 -rss_limit_mb=1024 \
        -artifact_prefix="$out/$name-" -print_final_stats=0 "$corpus" >"$out/$name.log" 2>&1); then
    tail -40 "$out/$name.log" >&2
    echo "fuzz: $name found a fault; input: $(ls -t "$out/$name-"* 2>/dev/null | head -1)" >&2
    exit 1
  fi
  grep -h "^#.*DONE\|Done [0-9]* runs" "$out/$name.log" | tail -1 || true
}

build intelhex "$src/tests/fuzz/IntelHexFuzz.cpp" "$src/firmware/IntelHex.cpp"
run intelhex
build stm32reply "$src/tests/fuzz/Stm32ReplyFuzz.cpp" "$src/isp/stm32/Stm32Frames.cpp"
run stm32reply
if ((${#qt[@]})); then
  build stcreply "$src/tests/fuzz/StcReplyFuzz.cpp" "$src/isp/stc/StcFrames.cpp" "$src/isp/stc/StcModern.cpp" \
        "$src/isp/stc/StcParts.cpp" "$src"/firmware/*.cpp "${qt[@]}" -ldl
  run stcreply
  build lpcreply "$src/tests/fuzz/LpcReplyFuzz.cpp" "$src/isp/lpc/LpcReplies.cpp" "${qt[@]}"
  run lpcreply
fi
echo "fuzz: no findings"
