#!/usr/bin/env bash
# Builds what the end-to-end tests need (the windows and windows32 builds, the package) and runs
# them under Wine (CTest label "wine"). Ends with the line "N passed, N failed".
# Build directories default to the presets' (build/windows, build/windows32); QGR_WIN_BUILD,
# QGR_WIN32_BUILD and QGR_PACKAGE_DIR override them.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

need=(wine wineserver wineboot Xvfb xdotool x86_64-w64-mingw32-g++-posix i686-w64-mingw32-g++-posix cmake ninja perl python3)
for c in "${need[@]}"; do
  command -v "$c" >/dev/null 2>&1 || { bash scripts/install-deps.sh; break; }
done

win=${QGR_WIN_BUILD:-$root/build/windows}
win32=${QGR_WIN32_BUILD:-$root/build/windows32}
pkg=${QGR_PACKAGE_DIR:-$root/build/package/app}
jobs=${QGR_JOBS:-2}
t0=$(date +%s)

cmake -S . -B "$win32" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" \
  -DCMAKE_BUILD_TYPE=MinSizeRel -DQGR_STANDINS_ONLY=ON >/dev/null
cmake --build "$win32" -j "$jobs"
cmake -S . -B "$win" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=MinSizeRel -DQGR_STANDINS32_DIR="$win32/package" -DQGR_PACKAGE_DIR="$pkg" >/dev/null
cmake --build "$win" -j "$jobs"
cmake --build "$win" --target package
t1=$(date +%s)

tests=$root/build/wine-tests
cmake -S tests/wine -B "$tests" -G Ninja -DQGR_PACKAGE_DIR="$pkg" \
  -DQGR_TOOL="$win/wine-tools/qgrwine.exe" -DQGR_INSTALL_SYMBOLS="$win/install/install.exe.debug" >/dev/null
set +e
ctest --test-dir "$tests" -L wine --output-on-failure --timeout 300 | tee "$tests/ctest.log"
set -e
t2=$(date +%s)
summary=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$tests/ctest.log" | tail -n 1)
total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
failed=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$summary")
if [ -z "$summary" ]; then total=0; failed=1; fi
echo "build $((t1 - t0)) s, wine tests $((t2 - t1)) s"
echo "$((total - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
