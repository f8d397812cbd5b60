#!/usr/bin/env bash
# The laid-out package: every component present, importing system DLLs only, exporting what
# the spooler calls (undecorated in the 32-bit DLLs), free of symbols and debug sections;
# install.exe within its size limit, its section table (printed) with no section both writable
# and executable, its import, IAT, exception, resource and relocation directories inside
# sections, importing KnownDLLs only, with its DLL characteristics, unwind data for every
# function of its separate symbols file, its whole manifest, dialog 101 and version resource as
# built; and the whole package byte-identical when built again from a
# copy of the sources in another directory (QGR_SKIP_REPRO=1 skips that second build).
#   package-check.sh <application folder> [install.exe's symbols file]
set -u
app=${1:?application folder}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
symbols=${2:-$root/build/windows/install/install.exe.debug}
python=${QGR_PYTHON:-/usr/bin/python3}
# 50 KB: the install journal, the verify word and the event source's message table took it past
# 40 KB, and what is left of the code has nothing to lose without losing behaviour.
size_limit=51200
fails=0
fail() { echo "FAIL $*"; fails=$((fails + 1)); }
system_dlls='^(KERNEL32|USER32|ADVAPI32|SHELL32|VERSION|WINSPOOL|GDI32|COMCTL32|msvcrt|ntdll)\.(dll|DRV)$'

imports() { "$1" -p "$2" | sed -n 's/^\tDLL Name: //p'; }
exports() { "$1" -p "$2" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\t\[ *[0-9]*\] //p'; }

check() { # <objdump> <file> <required exports...>
  local od=$1 file=$2
  shift 2
  [ -f "$app/$file" ] || { fail "$file missing"; return; }
  local dll
  for dll in $(imports "$od" "$app/$file"); do
    [[ $dll =~ $system_dlls ]] || fail "$file imports $dll"
  done
  local ex
  ex=$(exports "$od" "$app/$file")
  for name in "$@"; do
    grep -Fxq "$name" <<<"$ex" || fail "$file does not export $name (exports: $(echo $ex))"
  done
  # The symbols live in <file>.debug in the build tree; the shipped file has none.
  "$od" -h "$app/$file" | grep -Eq ' \.z?debug_' && fail "$file has debug sections"
  "$od" -f "$app/$file" | grep -q 'HAS_SYMS' && fail "$file has a symbol table"
  echo "ok   $file ($(stat -c %s "$app/$file") bytes; imports: $(imports "$od" "$app/$file" | tr '\n' ' '))"
}

x64=x86_64-w64-mingw32-objdump
x86=i686-w64-mingw32-objdump
ui="DrvDocumentPropertySheets DrvDevicePropertySheets DrvDeviceCapabilities DrvPrinterEvent DrvDriverEvent"
check $x64 drv/install.exe
check $x64 qgrtray.exe
check $x64 drv/vmqmon64.dll InitializePrintMonitor2
check $x86 drv/vmqmon32.dll InitializePrintMonitor2
check $x64 drv/vmqdrv64.dll $ui
check $x86 drv/vmqdrv32.dll $ui
check $x64 drv/vmqui64.dll $ui
check $x86 drv/vmqui32.dll $ui
[ -f "$app/drv/vmqhelp.chm" ] || fail "drv/vmqhelp.chm missing"
# 64-bit GUI programs: PE32+ with subsystem 2 (Windows GUI).
for exe in drv/install.exe qgrtray.exe; do
  $x64 -p "$app/$exe" | grep -q '^Subsystem[[:space:]]*00000002' || fail "$exe is not a GUI-subsystem program"
  $x64 -f "$app/$exe" | grep -q 'pei-x86-64' || fail "$exe is not 64-bit"
done
# The version resource carries build 2430 in every component.
for f in qgrtray.exe drv/vmqmon64.dll drv/vmqmon32.dll drv/vmqdrv64.dll drv/vmqdrv32.dll drv/vmqui64.dll drv/vmqui32.dll; do
  perl -0777 -ne 'my $v = join("\0", split(//, "1.0.0.2430")) . "\0"; exit(index($_, $v) < 0)' "$app/$f" ||
    fail "$f has no product version 1.0.0.2430"
done

# install.exe's resources, read back from the file the way the loader reads them.
if [ -f "$app/drv/install.exe" ]; then
  "$python" "$here/pecheck.py" installer "$app/drv/install.exe" "$symbols" >"${TMPDIR:-/tmp}/qgr-pecheck.$$" 2>&1
  pe_status=$?
  sed 's/^/  /' "${TMPDIR:-/tmp}/qgr-pecheck.$$"
  rm -f "${TMPDIR:-/tmp}/qgr-pecheck.$$"
  [ $pe_status -eq 0 ] || fail "install.exe: what Windows reads from it (see above)"
  size=$(stat -c %s "$app/drv/install.exe")
  [ "$size" -le $size_limit ] || fail "install.exe is $size bytes, more than $size_limit"
  echo "install.exe: $size bytes (limit $size_limit)"
fi

# The same sources built again elsewhere, later, with the first build's time stamp as
# SOURCE_DATE_EPOCH: every file of the package must come out byte for byte the same.
reproduce() {
  local tmp epoch jobs=${QGR_JOBS:-2} status=0
  tmp=$(mktemp -d "${TMPDIR:-/tmp}/qgr-repro.XXXXXX") || return 1
  mkdir "$tmp/src"
  tar -C "$root" --exclude=./build --exclude=./.git -cf - . | tar -C "$tmp/src" -xf - || return 1
  epoch=$("$python" "$here/pecheck.py" timestamp "$app/drv/install.exe") || return 1
  sleep 1
  (
    cd "$tmp/src" || exit 1
    export SOURCE_DATE_EPOCH=$epoch
    cmake -S . -B build/windows32 -G Ninja -DCMAKE_TOOLCHAIN_FILE="$tmp/src/cmake/mingw-w64-i686.cmake" \
      -DCMAKE_BUILD_TYPE=MinSizeRel -DQGR_STANDINS_ONLY=ON &&
      cmake --build build/windows32 -j "$jobs" &&
      cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE="$tmp/src/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=MinSizeRel -DQGR_STANDINS32_DIR="$tmp/src/build/windows32/package" \
        -DQGR_PACKAGE_DIR="$tmp/app" &&
      cmake --build build/windows -j "$jobs" --target package
  ) >"$tmp/build.log" 2>&1 || { tail -n 20 "$tmp/build.log"; echo "second build failed (log: $tmp/build.log)"; return 1; }
  if ! diff <(cd "$app" && find . -type f | sort) <(cd "$tmp/app" && find . -type f | sort) >/dev/null; then
    echo "the second package holds other files"
    status=1
  fi
  local f
  while IFS= read -r f; do
    cmp -s "$app/$f" "$tmp/app/$f" || { echo "differs: $f"; status=1; }
  done < <(cd "$app" && find . -type f | sort)
  [ $status -eq 0 ] && rm -rf "$tmp" || echo "second build kept in $tmp"
  return $status
}
if [ "${QGR_SKIP_REPRO:-}" = 1 ]; then
  echo "reproducible: not checked (QGR_SKIP_REPRO=1)"
elif reproduce; then
  echo "reproducible: yes"
else
  echo "reproducible: no"
  fail "the package is not reproducible"
fi

[ $fails -eq 0 ] && echo "package contents: ok" || echo "package contents: $fails problem(s)"
[ $fails -eq 0 ]
