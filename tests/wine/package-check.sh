#!/usr/bin/env bash
# The laid-out package: every component present, importing system DLLs only, exporting what
# the spooler calls (undecorated in the 32-bit DLLs); install.exe's size and imports printed.
set -u
app=${1:?application folder}
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
echo "install.exe: $(stat -c %s "$app/drv/install.exe") bytes"
[ $fails -eq 0 ] && echo "package contents: ok" || echo "package contents: $fails problem(s)"
[ $fails -eq 0 ]
