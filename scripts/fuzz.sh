#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer and UndefinedBehaviorSanitizer) in
# build-fuzz and runs each for a given time, starting from seed corpora that the project's own
# writers make:
#   scripts/fuzz.sh [seconds per target, default 60] [target ...]
# Inputs that crash are kept in build-fuzz/findings/<target>/; the script then exits non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
shift || true
all_targets=(fuzz_header_line fuzz_binary_message fuzz_json_message fuzz_vsk_reader
             fuzz_decoders fuzz_sql_params)
targets=("$@")
if ((${#targets[@]} == 0)); then
  targets=("${all_targets[@]}")
fi

build_dir=build-fuzz
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DQM_FUZZ=ON -DQM_BUILD_TESTS=OFF -DQM_BUILD_BENCH=OFF ${QM_FUZZ_CMAKE_ARGS:-}
cmake --build "$build_dir" -j2 --target make_seeds "${targets[@]}"

seeds="$build_dir/seeds"
rm -rf "$seeds"
"$build_dir/fuzz/make_seeds" "$seeds"

failed=()
for target in "${targets[@]}"; do
  corpus="$build_dir/corpus/$target"
  findings="$build_dir/findings/$target"
  mkdir -p "$corpus" "$findings"
  echo "fuzz: $target for ${seconds}s"
  if ! ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
      UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "$build_dir/fuzz/$target" "$corpus" "$seeds/$target" \
        -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=1048576 \
        -artifact_prefix="$findings/" -print_final_stats=1 2>"$build_dir/$target.log"; then
    tail -n 60 "$build_dir/$target.log" >&2
    failed+=("$target")
  else
    grep -E "stat::number_of_executed_units|cov:" "$build_dir/$target.log" | tail -n 2 || true
  fi
done

if ((${#failed[@]} > 0)); then
  echo "fuzz: findings in ${failed[*]} (see $build_dir/findings)" >&2
  exit 1
fi
echo "fuzz: no findings"
