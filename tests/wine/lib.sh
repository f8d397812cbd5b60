# Shared functions of the end-to-end runs under Wine (sourced by run.sh and
# scripts/run-under-wine.sh). Every Wine call is bounded by `timeout`; the first process of a
# session never has its stderr on a pipe; a session always ends with `wineserver -k`.

export WINEDEBUG=-all WINEARCH=win64 CUPS_SERVER=/nonexistent/cups.sock
# No Mono/Gecko installers: nothing here needs them and they slow the prefix set-up.
export WINEDLLOVERRIDES="mscoree,mshtml="

QGR_ROOT=${QGR_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
QGR_WORK=${QGR_WORK:-$QGR_ROOT/build/wine-work}
QGR_PACKAGE_DIR=${QGR_PACKAGE_DIR:-$QGR_ROOT/build/package/app}
QGR_TOOL=${QGR_TOOL:-$QGR_ROOT/build/windows/wine-tools/qgrwine.exe}
QGR_SHIM=${QGR_SHIM:-$(dirname "$QGR_TOOL")/qgrspool.drv}
QGR_TEMPLATE=$QGR_WORK/template
# Where the package lives inside the prefix (C:\Program Files\Quillgraph).
QGR_APP_WIN='C:\Program Files\Quillgraph'
QGR_INSTALLER_WIN="$QGR_APP_WIN\\drv\\install.exe"

qgr_log() { printf '%s\n' "$*" >&2; }
qgr_now() { date +%s.%N; }
qgr_since() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN{printf "%.2f", b-a}'; }

# wine with a bound; all output to the given file (never a pipe).
qgr_wine() { # <seconds> <outfile> args...
  local secs=$1 out=$2
  shift 2
  timeout -k 5 "$secs" wine "$@" >"$out" 2>&1
}
# Z: maps the Unix root in every prefix.
qgr_winpath() { printf 'Z:%s' "${1//\//\\}"; }
qgr_tool() { # <outfile> args... : the helper program, 60 s bound
  local out=$1
  shift
  qgr_wine 60 "$out" "$(qgr_winpath "$QGR_TOOL")" "$@"
}

# The template prefix: made once per run, then copied for every scenario.
qgr_make_template() {
  mkdir -p "$QGR_WORK"
  exec 9>"$QGR_WORK/template.lock"
  flock -w 300 9 || { qgr_log "template: lock timeout"; return 1; }
  if [ -f "$QGR_TEMPLATE/.qgr-ready" ]; then
    exec 9>&-
    return 0
  fi
  local t0
  t0=$(qgr_now)
  rm -rf "$QGR_TEMPLATE"
  (
    export WINEPREFIX=$QGR_TEMPLATE
    unset DISPLAY
    timeout -k 5 180 wineboot -i >"$QGR_WORK/wineboot.log" 2>&1
    # Without this wait the service manager answers 1055/1053 in the next session.
    timeout -k 5 120 wineserver -w
    timeout -k 5 60 wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
      >>"$QGR_WORK/wineboot.log" 2>&1
    # Managed=N: windows close at once under Xvfb (no window manager to wait for).
    timeout -k 5 60 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f \
      >>"$QGR_WORK/wineboot.log" 2>&1
    timeout -k 5 120 wineserver -w
  ) || { qgr_log "template: wine set-up failed (see $QGR_WORK/wineboot.log)"; exec 9>&-; return 1; }
  touch "$QGR_TEMPLATE/.qgr-ready"
  qgr_log "template prefix made in $(qgr_since "$t0") s"
  exec 9>&-
}

# Test copy of install.exe that loads qgrspool.drv in place of winspool.drv: the DLL's name is
# one UTF-16 text in the file, replaced by a name of the same length. The layer sits in the
# prefix's system directory, the only place install.exe loads it from; it passes every call on to
# Wine's winspool.drv and gives the gap calls their Windows behaviour.
qgr_shim_installer() { # <drv dir>
  local exe="$1/install.exe"
  if ! LC_ALL=C perl -0777 -pi -e '
      my ($from, $to) = map { join("", map { "$_\0" } split //) . "\0\0" } "winspool.drv", "qgrspool.drv";
      $n += s/\Q$from\E/$to/g;
      $left += () = /w\0i\0n\0s\0p\0o\0o\0l\0/gi;
      END { exit($n == 1 && !$left ? 0 : 1) }' "$exe"; then
    qgr_log "shim: install.exe does not name winspool.drv exactly once"
    return 1
  fi
  cp "$QGR_SHIM" "$WINEPREFIX/drive_c/windows/system32/qgrspool.drv"
}

QGR_XVFB_PID=""
qgr_start_x() {
  local n
  for n in $(seq 90 140); do
    [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ] || break
  done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$QGR_SCEN_DIR/xvfb.log" 2>&1 &
  QGR_XVFB_PID=$!
  local i
  for i in $(seq 1 100); do
    [ -e /tmp/.X11-unix/X$n ] && break
    sleep 0.05
  done
  export DISPLAY=":$n"
}

# A scenario: fresh prefix copy, Xvfb, one persistent wineserver session, package in place.
qgr_begin() { # <name> <shim|plain>
  QGR_SCEN=$1
  QGR_VARIANT=${2:-plain}
  QGR_SCEN_DIR=$QGR_WORK/$1
  QGR_FAILS=0
  QGR_CHECKS=0
  QGR_T0=$(qgr_now)
  rm -rf "$QGR_SCEN_DIR"
  mkdir -p "$QGR_SCEN_DIR"
  qgr_make_template || return 1
  cp -a "$QGR_TEMPLATE" "$QGR_SCEN_DIR/prefix"
  export WINEPREFIX=$QGR_SCEN_DIR/prefix
  local app="$WINEPREFIX/drive_c/Program Files/Quillgraph"
  mkdir -p "$app"
  cp -a "$QGR_PACKAGE_DIR/." "$app/"
  if [ "$QGR_VARIANT" = shim ]; then
    qgr_shim_installer "$app/drv" || return 1
  fi
  qgr_start_x
  timeout -k 5 30 wineserver -p
  # First process of the session: its stderr goes to a file, never to a pipe.
  timeout -k 5 60 wine "$(qgr_winpath "$QGR_TOOL")" noop >"$QGR_SCEN_DIR/session.log" 2>&1
  qgr_log "== $QGR_SCEN: session up in $(qgr_since "$QGR_T0") s"
  trap qgr_teardown EXIT
}

qgr_teardown() {
  trap - EXIT
  if [ -n "${WINEPREFIX:-}" ]; then
    timeout -k 5 30 wineserver -k >/dev/null 2>&1
    timeout -k 5 30 wineserver -w >/dev/null 2>&1
  fi
  [ -n "$QGR_XVFB_PID" ] && kill "$QGR_XVFB_PID" 2>/dev/null && wait "$QGR_XVFB_PID" 2>/dev/null
  QGR_XVFB_PID=""
  if [ -z "${QGR_KEEP:-}" ] && [ -n "${QGR_SCEN_DIR:-}" ]; then rm -rf "$QGR_SCEN_DIR/prefix"; fi
}

# Wine 8 keeps no event log: RegisterEventSourceW, ReportEventW and DeregisterEventSource are
# stubs that succeed, so what a test reads is their trace, which names each call with its
# arguments and prints the first string (ERR for an error event, TRACE for the others).
QGR_EVENTLOG_DEBUG=-all,fixme+advapi,trace+eventlog,err+eventlog,warn+eventlog

# The event log calls of a run, read from that trace: "register=<source>",
# "report=type <hex type> id <hex event id>", "text.<err|warn|trace>=<first log line>", "deregister".
qgr_eventlog() { # <tag>
  sed -n -e 's/^[0-9a-f]*:fixme:advapi:RegisterEventSourceW ((null),L"\(.*\)"): stub\r*$/register=\1/p' \
    -e 's/^[0-9a-f]*:fixme:advapi:ReportEventW ([0-9A-Fa-f]*,0x\([0-9a-f]*\),0x[0-9a-f]*,0x\([0-9a-f]*\),.*/report=type \1 id \2/p' \
    -e 's/^[0-9a-f]*:\(trace\|err\|warn\):eventlog:ReportEventW L"\([^\\"]*\)\\r\\n.*/text.\1=\2/p' \
    -e 's/^[0-9a-f]*:fixme:advapi:DeregisterEventSource .*/deregister/p' "$QGR_SCEN_DIR/$1.run"
}

# Runs install.exe <args>; the full exit code lands in QGR_EXIT. A log dialog that shows up is
# read (title, text of control 1001) and closed with its Close button; its output lands in
# $QGR_SCEN_DIR/<tag>.dialog and QGR_DIALOG is 1.
qgr_install() { # <tag> [args...]
  local tag=$1
  shift
  local run="$QGR_SCEN_DIR/$tag.run" dlg="$QGR_SCEN_DIR/$tag.dialog" t0
  t0=$(qgr_now)
  rm -f "$dlg"
  QGR_DIALOG=0
  WINEDEBUG=$QGR_EVENTLOG_DEBUG qgr_tool "$run" run 150000 "$QGR_INSTALLER_WIN" "$@" &
  local pid=$! waited=0
  while kill -0 "$pid" 2>/dev/null; do
    # An X-level look is cheap; the Win32 look (a wine process) runs only when it sees a window
    # or, in case Wine names its X windows differently, every 3 s.
    if [ "$QGR_DIALOG" = 0 ] && { xdotool search --name '^Quillgraph build' >/dev/null 2>&1 ||
      [ $((waited % 30)) = 29 ]; } && qgr_tool "$dlg.try" dialog "Quillgraph build" 2000; then
      mv "$dlg.try" "$dlg"
      QGR_DIALOG=1
    fi
    waited=$((waited + 1))
    [ $waited -gt 1800 ] && break
    sleep 0.1
  done
  wait "$pid"
  rm -f "$dlg.try"
  QGR_EXIT=$(sed -n 's/^exitcode=\([0-9a-z]*\).*/\1/p' "$run" | tr -d '\r')
  qgr_log "   install.exe $* -> exit ${QGR_EXIT:-?} (dialog: $QGR_DIALOG) in $(qgr_since "$t0") s"
}

# The same with Shift held from start to end. Wine's key state sees xdotool's key only while a
# Wine window has the X focus, so a helper window takes it first.
qgr_install_shift() { # <tag> [args...]
  qgr_tool "$QGR_SCEN_DIR/focus.log" focus 120000 &
  local fpid=$! win="" i
  for i in $(seq 1 100); do
    win=$(xdotool search --name 'qgrwine focus' 2>/dev/null | head -n 1)
    [ -n "$win" ] && break
    sleep 0.1
  done
  QGR_SHIFT=0
  if [ -n "$win" ] && timeout 10 xdotool windowfocus --sync "$win" && timeout 10 xdotool keydown shift; then
    QGR_SHIFT=1
  fi
  qgr_install "$@"
  timeout 10 xdotool keyup shift
  qgr_tool "$QGR_SCEN_DIR/release.log" release
  wait "$fpid"
}

qgr_inspect() { # <tag> [extra files...]
  qgr_tool "$QGR_SCEN_DIR/$1.state" inspect "${@:2}"
  tr -d '\r' <"$QGR_SCEN_DIR/$1.state" >"$QGR_SCEN_DIR/$1.state.txt"
  QGR_STATE=$QGR_SCEN_DIR/$1.state.txt
}

qgr_wait_tray() { qgr_tool "$QGR_SCEN_DIR/waittray.log" waittray 15000; }

qgr_reboot() {
  timeout -k 5 60 wineboot -r >"$QGR_SCEN_DIR/reboot.log" 2>&1
}

# --- checks -----------------------------------------------------------------------------------
qgr_pass() { QGR_CHECKS=$((QGR_CHECKS + 1)); qgr_log "   ok   $*"; }
qgr_fail() { QGR_CHECKS=$((QGR_CHECKS + 1)); QGR_FAILS=$((QGR_FAILS + 1)); qgr_log "   FAIL $*"; }
# Wine differs from Windows here; the expectation below is Wine's, named with its gap number.
qgr_gap() { qgr_log "   WINE GAP $*"; }

expect_eq() { # <what> <expected> <actual>
  if [ "$2" = "$3" ]; then qgr_pass "$1 = $2"; else qgr_fail "$1: expected '$2', got '$3'"; fi
}
expect_line() { # <file> <exact line>
  if grep -Fxq -- "$2" "$1"; then qgr_pass "has: $2"; else qgr_fail "missing line: $2"; fi
}
expect_no_line() { # <file> <exact line>
  if grep -Fxq -- "$2" "$1"; then qgr_fail "unexpected line: $2"; else qgr_pass "has not: $2"; fi
}
expect_match() { # <file> <grep -E pattern> [description]
  if grep -Eq -- "$2" "$1"; then qgr_pass "${3:-matches: $2}"; else qgr_fail "${3:-no match: $2}"; fi
}
expect_no_match() { # <file> <grep -E pattern> [description]
  if grep -Eq -- "$2" "$1"; then qgr_fail "${3:-unexpected match: $2}"; else qgr_pass "${3:-no match: $2}"; fi
}
expect_exit() { expect_eq "exit code" "$1" "$QGR_EXIT"; }
expect_no_dialog() { expect_eq "log dialog shown" 0 "$QGR_DIALOG"; }
expect_dialog() { # <tag> <title>
  expect_eq "log dialog shown" 1 "$QGR_DIALOG"
  [ -f "$QGR_SCEN_DIR/$1.dialog" ] || return 0
  expect_line "$QGR_SCEN_DIR/$1.dialog" "title=$2"
  expect_line "$QGR_SCEN_DIR/$1.dialog" "closed=1"
}
# A line of the dialog's text (control 1001), CR LF stripped.
dialog_text() { # <tag>
  sed -n '/^text-begin$/,/^text-end$/p' "$QGR_SCEN_DIR/$1.dialog" | tr -d '\r' | sed '1d;$d'
}

qgr_end() {
  local secs
  secs=$(qgr_since "$QGR_T0")
  qgr_teardown
  if [ "$QGR_FAILS" -eq 0 ]; then
    qgr_log "== $QGR_SCEN: PASS ($QGR_CHECKS checks, $secs s)"
    return 0
  fi
  qgr_log "== $QGR_SCEN: FAIL ($QGR_FAILS of $QGR_CHECKS checks failed, $secs s; logs in $QGR_SCEN_DIR)"
  return 1
}
