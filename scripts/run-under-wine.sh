#!/usr/bin/env bash
# Runs install.exe under Wine: builds the package, makes a demo prefix, lays the package out in
# C:\Program Files\Quillgraph, runs `install.exe <word>` (default "install"; Shift held for the
# install and uninstall words so that the log is always shown; an uninstall word installs first so
# that there is something to remove), prints the log, the full exit code with its meaning and the
# resulting state, and tears the prefix down.
#   bash scripts/run-under-wine.sh [word [more args]]
# By default it runs the test copy of install.exe whose spooler calls get Windows' documented
# behaviour where Wine 8 lacks it; QGR_PLAIN=1 runs the unmodified install.exe.
# QGR_KEEP=1 keeps the demo prefix (build/wine-demo/demo/prefix).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
word=${1:-install}
[ $# -gt 0 ] && shift
variant=shim
[ "${QGR_PLAIN:-}" = 1 ] && variant=plain
if [ "$variant" = shim ]; then
  echo "Running the test copy of install.exe whose spooler calls get Windows' behaviour where Wine 8 lacks it (QGR_PLAIN=1 runs the unmodified install.exe)."
else
  echo "Running the unmodified install.exe (QGR_PLAIN=1); Wine 8 lacks Windows' behaviour in a few spooler calls, so an install logs errors."
fi

need=(wine wineserver wineboot Xvfb xdotool x86_64-w64-mingw32-g++-posix i686-w64-mingw32-g++-posix cmake ninja perl)
for c in "${need[@]}"; do
  command -v "$c" >/dev/null 2>&1 || { echo "installing missing packages ($c)"; bash scripts/install-deps.sh; break; }
done

win=${QGR_WIN_BUILD:-$root/build/windows}
win32=${QGR_WIN32_BUILD:-$root/build/windows32}
export QGR_PACKAGE_DIR=${QGR_PACKAGE_DIR:-$root/build/package/app}
export QGR_TOOL=$win/wine-tools/qgrwine.exe
export QGR_WORK=$root/build/wine-demo
mkdir -p "$QGR_WORK"
echo "building the package (log: $QGR_WORK/build.log)"
{
  cmake -S . -B "$win32" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DQGR_STANDINS_ONLY=ON &&
    cmake --build "$win32" -j 2 &&
    cmake -S . -B "$win" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=MinSizeRel -DQGR_STANDINS32_DIR="$win32/package" -DQGR_PACKAGE_DIR="$QGR_PACKAGE_DIR" &&
    cmake --build "$win" -j 2 && cmake --build "$win" --target package
} >"$QGR_WORK/build.log" 2>&1 || { tail -n 30 "$QGR_WORK/build.log"; exit 1; }

source tests/wine/lib.sh
set +e
rm -rf "$QGR_TEMPLATE"
echo "making the Wine prefix"
qgr_begin demo "$variant" || exit 1

shopt -s nocasematch
case "$word" in
  un | uninstall)
    qgr_install first in
    echo "installed first, so that there is something to remove: exit code ${QGR_EXIT:-?}"
    qgr_install_shift run "$word" "$@"
    ;;
  in | install | serverinstall | in_notray) qgr_install_shift run "$word" "$@" ;;
  *) qgr_install run "$word" "$@" ;;
esac
shopt -u nocasematch

echo
if [ "$QGR_DIALOG" = 1 ]; then
  echo "== log dialog: $(sed -n 's/^title=//p' "$QGR_SCEN_DIR/run.dialog" | tr -d '\r')"
  dialog_text run
else
  echo "== no log dialog was shown"
fi

meaning() {
  case "$1" in
    1) echo "install finished without errors, nothing waits for a reboot" ;;
    2) echo "uninstall finished without errors, nothing waits for a reboot" ;;
    3) echo "onChkDrv/onInit answered no" ;;
    4) echo "def.set ran" ;;
    6) echo "no command word, an unknown word, or removetray" ;;
    100) echo "the run logged at least one error" ;;
    101) echo "no error, but files wait for deletion at the next reboot" ;;
    102) echo "onInit: the default printer is not a product printer" ;;
    103) echo "onChkDrv: the installed driver is recent enough" ;;
    200) echo "onInit: product files wait for a reboot" ;;
    *) echo "not an exit code of install.exe" ;;
  esac
}
echo
echo "== install.exe $word${*:+ $*} -> exit code ${QGR_EXIT:-?}: $(meaning "${QGR_EXIT:-}")"
if [ "$variant" = plain ] && [ "${QGR_EXIT:-}" = 100 ] && dialog_text run 2>/dev/null | grep -q 'Error(15)'; then
  echo "   (Wine 8: AddPrinterW without a data type fails with 1801 where Windows succeeds;"
  echo "    without QGR_PLAIN=1 the test copy gets Windows' behaviour for it)"
fi

report=$(qgr_eventlog run | sed -n 's/^report=type \([0-9a-f]*\) id \([0-9a-f]*\)$/\1 \2/p')
if [ -n "$report" ]; then
  read -r type id <<<"$report"
  level=Information
  [ "$type" = 0001 ] && level=Error
  echo "== event log entry (Wine keeps no event log; read from its trace of ReportEventW):"
  echo "   Application log, source \"Quillgraph Installer\", $level, event ID $((16#$id)), the log above as its text"
fi

qgr_inspect state
echo
echo "== state after the run"
sed -n -e 's/^monitor=/monitor:  /p' -e 's/^driver\[\(.*\)\]=/driver (\1):  /p' \
  -e 's/^printer=/printer:  /p' -e 's/^subkey=/  printer data:  /p' -e 's/^default=/default printer:  /p' \
  -e 's/^run=/Run value QuillgraphTray:  /p' -e 's/^pending=/pending file operation:  /p' \
  -e 's/^tray\.mutex=/tray running (mutex):  /p' -e 's/^tray\.window=/tray window:  /p' "$QGR_STATE"
qgr_end >/dev/null 2>&1
status=0
[ -n "${QGR_EXIT:-}" ] && [ "$QGR_EXIT" != timeout ] || status=1

echo
echo "== try next (each run starts from a fresh prefix)"
echo "   bash scripts/run-under-wine.sh un       install, then uninstall: exit code 2"
echo "   bash scripts/run-under-wine.sh onInit   the setup program's start-up query: 102 on a machine whose default printer is no product printer"
echo "   QGR_PLAIN=1 bash scripts/run-under-wine.sh in   the unmodified install.exe meeting Wine's gaps"
echo "   exit codes, event log entry, unattended runs: docs/deploying.md"
exit $status
