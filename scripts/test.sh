#!/usr/bin/env bash
# Builds everything and runs every test: once in the release build, once under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)
for kind in release asan; do
  dir=build-$kind
  opts=(-DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG")
  [ "$kind" = asan ] && opts=(-DCMAKE_BUILD_TYPE=Debug -DPRT_SANITIZE=ON -DPRT_BUILD_BENCH=OFF)
  cmake -S . -B "$dir" "${opts[@]}" >/dev/null
  cmake --build "$dir" -j"$jobs"
  echo "== tests ($kind)"
  (cd "$dir" && ctest -j"$jobs" --output-on-failure --timeout 300)
done
