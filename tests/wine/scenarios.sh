# The end-to-end scenarios. Each function is one test: it begins a fresh prefix session, runs
# install.exe and checks the exit code, the log dialog and the state read back through Win32.
# "shim" scenarios run the test copy of install.exe whose spooler calls pass through qgrspool.drv
# (documented Windows behaviour for Wine's gaps 3 and 5); "plain" ones run install.exe unchanged
# and expect Wine's gaps.

SYS='C:\windows\system32'
DRV64='C:\windows\system32\spool\drivers\x64'
DRV86='C:\windows\system32\spool\drivers\w32x86'
APP='C:\Program Files\Quillgraph'
TITLE_ERRORS='Quillgraph build 2430- Install error log!'
TITLE_CLEAN='Quillgraph build 2430- Install log.'

check_monitor_installed() {
  qgr_gap "6: EnumMonitors reports pEnvironment \"Windows NT x86\" on x64 (Windows: \"Windows x64\")"
  expect_line "$QGR_STATE" 'monitor=QuillgraphServer:|env=Windows NT x86|dll=vmqmon64.dll'
  expect_line "$QGR_STATE" "file=$SYS\\vmqmon64.dll|exists"
}

check_drivers_installed() {
  expect_line "$QGR_STATE" "driver[Windows x64]=Quillgraph Server|version=3|driver=$DRV64\\3\\vmqdrv64.dll|data=$DRV64\\3\\vmqdrv64.dll|config=$DRV64\\3\\vmqui64.dll|help=$DRV64\\3\\vmqhelp.chm"
  expect_line "$QGR_STATE" "driver[Windows NT x86]=Quillgraph Server|version=3|driver=$DRV86\\3\\vmqdrv32.dll|data=$DRV86\\3\\vmqdrv32.dll|config=$DRV86\\3\\vmqui32.dll|help=$DRV86\\3\\vmqhelp.chm"
  # The staged copies in the driver directory itself are removed after registration.
  local f
  for f in vmqdrv64.dll vmqui64.dll vmqhelp.chm; do expect_line "$QGR_STATE" "file=$DRV64\\$f|missing"; done
  for f in vmqdrv32.dll vmqui32.dll vmqhelp.chm; do expect_line "$QGR_STATE" "file=$DRV86\\$f|missing"; done
}

check_tray_running() {
  expect_line "$QGR_STATE" "run=$APP\\qgrtray.exe|type=1|bytes=80"
  expect_line "$QGR_STATE" 'tray.mutex=1'
  expect_line "$QGR_STATE" 'tray.window=1'
}

check_product_removed() {
  expect_no_match "$QGR_STATE" '^monitor=QuillgraphServer:' "no product monitor"
  expect_line "$QGR_STATE" 'drivers[Windows x64]=0'
  expect_line "$QGR_STATE" 'drivers[Windows NT x86]=0'
  expect_line "$QGR_STATE" 'printers=0'
  expect_line "$QGR_STATE" 'run=(none)'
  expect_line "$QGR_STATE" 'tray.mutex=0'
  expect_line "$QGR_STATE" 'tray.window=0'
}

# The outcome of the run <tag> went to the event log: <hex type> (0004 information, 0001 error),
# <hex event id> (the exit code), the log as its text; see qgr_eventlog.
check_event_reported() { # <tag> <hex type> <hex id> <trace level of the text>
  qgr_gap "Wine keeps no event log; its trace of the event log calls stands in for the entry"
  qgr_eventlog "$1" >"$QGR_SCEN_DIR/$1.events"
  expect_eq "event log calls of $1" "register=Quillgraph Installer|report=type $2 id $3|text.$4=Quillgraph 2430|deregister" \
    "$(paste -sd'|' "$QGR_SCEN_DIR/$1.events")"
}

# A job printed to a product printer reaches the port monitor and lands in the data folder.
check_job_reaches_monitor() { # <printer>
  local spool="$WINEPREFIX/drive_c/ProgramData/Quillgraph/spool"
  rm -rf "$spool"
  qgr_tool "$QGR_SCEN_DIR/print.log" print "$1" "quillgraph-e2e-job"
  expect_line <(tr -d '\r' <"$QGR_SCEN_DIR/print.log") 'print=ok'
  expect_eq "job files in the data folder" 1 "$(find "$spool" -name 'job*.prn' 2>/dev/null | wc -l)"
  expect_eq "job content" "quillgraph-e2e-job" "$(cat "$spool"/job*.prn 2>/dev/null)"
}

scenario_fresh_install() {
  qgr_begin fresh_install shim || return 1
  qgr_install run in
  expect_exit 1
  expect_no_dialog
  check_event_reported run 0004 00000001 trace
  qgr_wait_tray
  qgr_inspect after
  check_monitor_installed
  check_drivers_installed
  expect_line "$QGR_STATE" 'printers=1'
  expect_line "$QGR_STATE" 'printer=qgrServer|port=QuillgraphServer:|driver=Quillgraph Server|comment=|location=(null)|share=qgrServer|datatype=RAW|processor=WinPrint|attributes=0x00000008'
  expect_line "$QGR_STATE" 'pending=(none)'
  check_tray_running
  qgr_tool "$QGR_SCEN_DIR/version.log" version "$SYS\\vmqmon64.dll"
  expect_line <(tr -d '\r' <"$QGR_SCEN_DIR/version.log") 'version=1.0.0.2430'
  qgr_tool "$QGR_SCEN_DIR/version32.log" version "$DRV86\\3\\vmqui32.dll"
  expect_line <(tr -d '\r' <"$QGR_SCEN_DIR/version32.log") 'version=1.0.0.2430'
  check_job_reaches_monitor qgrServer
  qgr_end
}

# The two seeded printers as a reinstall leaves them: with every setting, A the default, and the
# "deleted" marks of their settings keys removed.
check_a_and_b_back() { # [B's share name]
  expect_line "$QGR_STATE" 'printers=2'
  expect_line "$QGR_STATE" 'printer=Quillgraph A|port=QuillgraphServer:|driver=Quillgraph Server|comment=first comment|location=room 1|share=Quillgraph A|datatype=RAW|processor=WinPrint|attributes=0x00000008'
  expect_line "$QGR_STATE" "printer=Quillgraph B|port=QuillgraphServer:|driver=Quillgraph Server|comment=second comment|location=room 2|share=${1:-Quillgraph B}|datatype=RAW|processor=WinPrint|attributes=0x00000008"
  expect_line "$QGR_STATE" 'subkey=Quillgraph A|plain=s1|dsuser=s1'
  expect_line "$QGR_STATE" 'subkey=Quillgraph B|plain=s2|dsuser=s2'
  expect_line "$QGR_STATE" 'default=Quillgraph A'
  expect_line "$QGR_STATE" 'settings=s1|deleted=0'
  expect_line "$QGR_STATE" 'settings=s2|deleted=0'
}

scenario_reinstall() {
  qgr_begin reinstall shim || return 1
  qgr_install first in
  expect_exit 1
  qgr_wait_tray
  qgr_tool "$QGR_SCEN_DIR/seed-a.log" seed "Quillgraph A" s1 "first comment" "room 1" default
  qgr_tool "$QGR_SCEN_DIR/seed-b.log" seed "Quillgraph B" s2 "second comment" "room 2"
  qgr_inspect before
  expect_line "$QGR_STATE" 'default=Quillgraph A'
  expect_line "$QGR_STATE" 'settings=s1|deleted=1'
  expect_line "$QGR_STATE" 'settings=s2|deleted=1'
  qgr_install again install
  expect_exit 1
  expect_no_dialog
  qgr_inspect after
  check_monitor_installed
  check_drivers_installed
  # qgrServer had no SubKey: deleted and not added again, since A and B came back.
  check_a_and_b_back
  expect_line "$QGR_STATE" 'pending=(none)'
  # The removal at the start of an install stops the tray but keeps its executable, which the
  # install then starts again.
  expect_line "$QGR_STATE" "run=$APP\\qgrtray.exe|type=1|bytes=80"
  [ -e "$WINEPREFIX/drive_c/Program Files/Quillgraph/qgrtray.exe" ] || qgr_fail "qgrtray.exe was deleted by the install"
  qgr_wait_tray
  qgr_inspect after_tray
  expect_line "$QGR_STATE" 'tray.mutex=1'
  expect_line "$QGR_STATE" 'tray.window=1'
  check_job_reaches_monitor "Quillgraph B"
  qgr_end
}

# A reinstall whose driver is refused (as a policy that blocks third-party drivers refuses it)
# deletes the printers it cannot add back; the install journal brings them back on the next run.
scenario_journal() {
  qgr_begin journal shim || return 1
  qgr_install first in
  expect_exit 1
  qgr_wait_tray
  qgr_tool "$QGR_SCEN_DIR/seed-a.log" seed "Quillgraph A" s1 "first comment" "room 1" default
  qgr_tool "$QGR_SCEN_DIR/seed-b.log" seed "Quillgraph B" s2 "second comment" "room 2"
  QGR_REFUSE_DRIVERS=1 qgr_install refused in
  expect_exit 100
  qgr_install again in
  expect_exit 1
  qgr_inspect after
  check_a_and_b_back
  qgr_install whole verify
  expect_exit 104
  qgr_end
}

# A reinstall ended abruptly (a power cut, a deployment tool's time-out: the Wine layer ends the
# process before a given spooler call) after its first deletion, and once more before its first
# printer is added back: each time the next install puts A and B back from the install journal,
# B shared under its own share name.
# The reinstall deletes the first install's qgrServer first, then A: the first cut comes before B.
scenario_killed() {
  qgr_begin killed shim || return 1
  qgr_install first in
  expect_exit 1
  qgr_wait_tray
  qgr_tool "$QGR_SCEN_DIR/seed-a.log" seed "Quillgraph A" s1 "first comment" "room 1" default
  qgr_tool "$QGR_SCEN_DIR/seed-b.log" seed "Quillgraph B" s2 "second comment" "room 2" share=ShareB
  local cut
  for cut in DeletePrinter:3 AddPrinterW:1; do
    QGR_KILL_BEFORE=$cut qgr_install "cut-${cut%:*}" in
    expect_exit 99
    qgr_inspect "cut-${cut%:*}"
    expect_line "$QGR_STATE" "printers=$([ "$cut" = DeletePrinter:3 ] && echo 1 || echo 0)"
    qgr_install "again-${cut%:*}" in
    expect_exit 1
    qgr_inspect "after-${cut%:*}"
    check_a_and_b_back ShareB
  done
  qgr_install whole verify
  expect_exit 104
  qgr_end
}

# Another maker's printer pools the product's port with a port of its own. An uninstall moves it
# to "file:" to remove the monitor; killed right there, before the monitor goes, it leaves the
# printer on "file:" for the next run to put right: an install moves it back to the product's
# port, an uninstall leaves it its own port alone.
scenario_parked() {
  qgr_begin parked shim || return 1
  qgr_install first in
  expect_exit 1
  qgr_wait_tray
  qgr_tool "$QGR_SCEN_DIR/other.log" other "Port Sharer" "LPT1:,QuillgraphServer:" \
    "$APP\\drv\\vmqdrv64.dll" "$APP\\drv\\vmqui64.dll"
  expect_match "$QGR_SCEN_DIR/other.log" '^other=ok' "another maker's printer added"
  local sharer='^printer=Port Sharer\|port=' maker='\|driver=Other Maker Driver\|'
  qgr_inspect before
  expect_match "$QGR_STATE" "${sharer}LPT1:,QuillgraphServer:$maker" "pooled on LPT1: and the product's port"
  QGR_KILL_BEFORE=DeleteMonitorW:2 qgr_install cut un
  expect_exit 99
  qgr_inspect cut
  expect_match "$QGR_STATE" "${sharer}LPT1:,file:$maker" "killed while parked: on LPT1: and file:"
  qgr_install back in
  expect_exit 1
  qgr_inspect back
  expect_match "$QGR_STATE" "${sharer}LPT1:,QuillgraphServer:$maker" "an install moves it back"
  QGR_KILL_BEFORE=DeleteMonitorW:2 qgr_install cut-again un
  expect_exit 99
  qgr_install gone un
  expect_exit 2
  qgr_inspect gone
  expect_match "$QGR_STATE" "${sharer}LPT1:$maker" "an uninstall leaves it on its own port"
  qgr_end
}

scenario_uninstall() {
  qgr_begin uninstall shim || return 1
  qgr_install first in
  expect_exit 1
  qgr_install remove un
  expect_exit 2
  expect_no_dialog
  check_event_reported remove 0004 00000002 trace
  qgr_inspect after
  check_product_removed
  expect_line "$QGR_STATE" "file=$SYS\\vmqmon64.dll|missing"
  local f
  for f in vmqdrv64.dll vmqui64.dll vmqhelp.chm; do expect_line "$QGR_STATE" "file=$DRV64\\3\\$f|missing"; done
  for f in vmqdrv32.dll vmqui32.dll vmqhelp.chm; do expect_line "$QGR_STATE" "file=$DRV86\\3\\$f|missing"; done
  expect_line "$QGR_STATE" 'pending=(none)'
  expect_eq "qgrtray.exe after uninstall" missing \
    "$([ -e "$WINEPREFIX/drive_c/Program Files/Quillgraph/qgrtray.exe" ] && echo exists || echo missing)"
  qgr_end
}

scenario_removetray() {
  qgr_begin removetray shim || return 1
  qgr_install first in
  qgr_wait_tray
  qgr_inspect before
  check_tray_running
  qgr_install stop removetray
  expect_exit 6
  expect_no_dialog
  qgr_inspect after
  expect_line "$QGR_STATE" 'tray.mutex=0'
  expect_line "$QGR_STATE" 'tray.window=0'
  expect_line "$QGR_STATE" 'run=(none)'
  expect_eq "qgrtray.exe after removetray" missing \
    "$([ -e "$WINEPREFIX/drive_c/Program Files/Quillgraph/qgrtray.exe" ] && echo exists || echo missing)"
  # The rest of the product stays.
  check_monitor_installed
  expect_line "$QGR_STATE" 'printers=1'
  qgr_end
}

# "onInit" (pending product file, default printer), "def.set", across a reboot.
scenario_oninit_defset() {
  qgr_begin oninit_defset shim || return 1
  qgr_install first in
  expect_exit 1
  qgr_tool "$QGR_SCEN_DIR/pend.log" pend "$DRV64\\3\\vmqui64.dll" "$DRV64\\3\\vmqui64.old"
  qgr_install pending onInit
  expect_exit 200
  expect_no_dialog
  qgr_reboot
  qgr_inspect rebooted
  expect_line "$QGR_STATE" 'pending=(none)'
  expect_line "$QGR_STATE" 'default=(none)'
  qgr_install nodefault onInit
  expect_exit 102
  qgr_install defset def.set
  expect_exit 4
  qgr_inspect defset
  expect_line "$QGR_STATE" 'default=qgrServer'
  qgr_install productdefault onInit
  expect_exit 3
  qgr_end
}

scenario_onchkdrv() {
  qgr_begin onchkdrv shim || return 1
  qgr_install none onChkDrv
  expect_exit 3
  qgr_install first in
  expect_exit 1
  qgr_install installed onChkDrv
  expect_exit 103
  expect_no_dialog
  qgr_end
}

# Words outside the table, no word, and "def.set" with a capital letter: 6, nothing changes.
scenario_words() {
  qgr_begin words shim || return 1
  qgr_install noword
  expect_exit 6
  qgr_install unknown bogus
  expect_exit 6
  qgr_install capital DEF.SET
  expect_exit 6
  qgr_install defset_empty def.set
  expect_exit 4
  expect_no_dialog
  # Only install and uninstall runs report to the event log.
  local tag
  for tag in noword unknown capital defset_empty; do
    expect_no_match "$QGR_SCEN_DIR/$tag.run" 'EventSource|ReportEvent' "no event log call by $tag"
  done
  qgr_inspect after
  expect_line "$QGR_STATE" 'monitors=1'
  expect_line "$QGR_STATE" 'printers=0'
  expect_line "$QGR_STATE" 'run=(none)'
  expect_line "$QGR_STATE" "file=$SYS\\vmqmon64.dll|missing"
  qgr_end
}

# A run that logs an error shows the error dialog; its text holds the error line.
scenario_error_dialog() {
  qgr_begin error_dialog shim || return 1
  rm -f "$WINEPREFIX/drive_c/Program Files/Quillgraph/drv/vmqhelp.chm"
  qgr_install run in
  expect_exit 100
  expect_dialog run "$TITLE_ERRORS"
  check_event_reported run 0001 00000064 err
  expect_line "$QGR_SCEN_DIR/run.dialog" 'edit.readonly=1'
  expect_line "$QGR_SCEN_DIR/run.dialog" 'button=Close'
  dialog_text run >"$QGR_SCEN_DIR/run.text"
  expect_line "$QGR_SCEN_DIR/run.text" 'Quillgraph 2430'
  expect_match "$QGR_SCEN_DIR/run.text" "^ +Error\\(10\\): Cant't open source file: vmqhelp\\.chm - \\(" "error line of the missing help file"
  # The driver goes in without its help file all the same.
  qgr_inspect after
  # An empty help path reads back as none.
  expect_match "$QGR_STATE" '^driver\[Windows x64\]=Quillgraph Server\|.*vmqui64\.dll\|help=(|\(null\))$' "x64 driver without help file"
  qgr_end
}

# Shift held at the end of a clean run: the dialog titled "... log." and the exit code unchanged.
scenario_shift_dialog() {
  qgr_begin shift_dialog shim || return 1
  qgr_gap "13: GetAsyncKeyState sees xdotool's Shift only while a Wine window has the X focus"
  qgr_install_shift run in
  expect_eq "Shift pressed on a focused Wine window" 1 "$QGR_SHIFT"
  expect_exit 1
  expect_dialog run "$TITLE_CLEAN"
  dialog_text run >"$QGR_SCEN_DIR/run.text"
  expect_line "$QGR_SCEN_DIR/run.text" 'Quillgraph 2430'
  expect_line "$QGR_SCEN_DIR/run.text" '>>0010'
  expect_no_match "$QGR_SCEN_DIR/run.text" 'Error\(' "no error line"
  qgr_end
}

# The spooler holds the monitor DLL during an uninstall; an install follows before the reboot.
scenario_locked_monitor() {
  qgr_begin locked_monitor shim || return 1
  qgr_gap "1: the spooler runs inside the caller; a helper process that loads the DLL stands in for it"
  qgr_install first in
  expect_exit 1
  qgr_tool "$QGR_SCEN_DIR/hold.log" hold "$SYS\\vmqmon64.dll" 120000 &
  local hpid=$! i
  for i in $(seq 1 100); do
    grep -q 'hold=loaded' "$QGR_SCEN_DIR/hold.log" 2>/dev/null && break
    sleep 0.1
  done
  qgr_install remove un
  expect_exit 101
  expect_no_dialog
  qgr_inspect removed
  expect_no_match "$QGR_STATE" '^monitor=QuillgraphServer:' "monitor unregistered"
  expect_line "$QGR_STATE" "file=$SYS\\vmqmon64.dll|exists"
  expect_line "$QGR_STATE" "pending=\\??\\$SYS\\vmqmon64.dll -> (delete)"
  qgr_install again in
  expect_no_dialog
  qgr_inspect reinstalled
  check_monitor_installed
  qgr_log "   before the reboot: $(grep '^pending=' "$QGR_STATE" | tr '\n' ' ')"
  qgr_tool "$QGR_SCEN_DIR/release.log" release
  wait "$hpid"
  qgr_reboot
  qgr_inspect rebooted
  expect_line "$QGR_STATE" "file=$SYS\\vmqmon64.dll|exists"
  qgr_tool "$QGR_SCEN_DIR/load.log" load "$SYS\\vmqmon64.dll"
  expect_line <(tr -d '\r' <"$QGR_SCEN_DIR/load.log") 'load=ok'
  check_job_reaches_monitor qgrServer
  qgr_end
}

# The tray application on its own: single instance, window class, quit message, mutex.
scenario_tray_contract() {
  qgr_begin tray_contract plain || return 1
  qgr_tool "$QGR_SCEN_DIR/tray.log" traycontract "$APP\\qgrtray.exe"
  tr -d '\r' <"$QGR_SCEN_DIR/tray.log" >"$QGR_SCEN_DIR/tray.txt"
  expect_line "$QGR_SCEN_DIR/tray.txt" 'window=found'
  expect_line "$QGR_SCEN_DIR/tray.txt" 'mutex=held'
  expect_line "$QGR_SCEN_DIR/tray.txt" 'second=exited 0'
  expect_line "$QGR_SCEN_DIR/tray.txt" 'windows.after.second=same'
  expect_line "$QGR_SCEN_DIR/tray.txt" 'quit=released'
  expect_line "$QGR_SCEN_DIR/tray.txt" 'first=exited 0'
  expect_line "$QGR_SCEN_DIR/tray.txt" 'window.after.quit=gone'
  qgr_log "   tray exit after the quit message: $(sed -n 's/^exit_ms=//p' "$QGR_SCEN_DIR/tray.txt") ms"
  qgr_end
}

# "verify" after a fresh install (104, no event), with the x86 driver gone and after an uninstall
# (3, one warning event); it leaves the state as it found it. The install registers the event
# source with install.exe's message table, which renders an event's text alone; the uninstall
# removes the registration.
scenario_verify() {
  qgr_begin verify shim || return 1
  local src='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Quillgraph Installer' id
  qgr_install first in
  expect_exit 1
  qgr_wait_tray
  qgr_inspect before
  qgr_install whole verify
  expect_exit 104
  expect_no_dialog
  expect_no_match "$QGR_SCEN_DIR/whole.run" 'ReportEvent' "no event when whole"
  qgr_inspect after_whole
  expect_eq "state changed by verify" "" "$(diff "$QGR_SCEN_DIR/before.state.txt" "$QGR_STATE")"
  qgr_wine 60 "$QGR_SCEN_DIR/source.reg" reg query "$src"
  expect_match "$QGR_SCEN_DIR/source.reg" "EventMessageFile +REG_SZ +C:\\\\Program Files\\\\Quillgraph\\\\drv\\\\install\\.exe" "message file registered"
  expect_match "$QGR_SCEN_DIR/source.reg" 'TypesSupported +REG_DWORD +0x7' "types supported"
  for id in 1 2 3 100 101; do
    qgr_tool "$QGR_SCEN_DIR/message$id.log" message "$QGR_INSTALLER_WIN" $id "the run's log"
    expect_line <(tr -d '\r' <"$QGR_SCEN_DIR/message$id.log") "message=[the run's log]"
  done
  qgr_tool "$QGR_SCEN_DIR/deldriver.log" deldriver 'Windows NT x86' 'Quillgraph Server'
  expect_line <(tr -d '\r' <"$QGR_SCEN_DIR/deldriver.log") 'deldriver=ok'
  qgr_inspect nox86
  qgr_install partial verify
  expect_exit 3
  expect_no_dialog
  qgr_gap "Wine keeps no event log; its trace of the event log calls stands in for the entry"
  qgr_eventlog partial >"$QGR_SCEN_DIR/partial.events"
  expect_eq "event log calls of partial" "register=Quillgraph Installer|report=type 0002 id 00000003|text.warn=Quillgraph 2430 verify: the product is not whole|deregister" \
    "$(paste -sd'|' "$QGR_SCEN_DIR/partial.events")"
  expect_match "$QGR_SCEN_DIR/partial.run" 'Windows NT x86\) not installed' "the event names the x86 driver"
  qgr_inspect after_partial
  expect_eq "state changed by verify" "" "$(diff "$QGR_SCEN_DIR/nox86.state.txt" "$QGR_STATE")"
  qgr_install remove un
  expect_exit 2
  qgr_wine 60 "$QGR_SCEN_DIR/source_after.reg" reg query "$src"
  expect_no_match "$QGR_SCEN_DIR/source_after.reg" 'EventMessageFile' "registration removed"
  qgr_install gone verify
  expect_exit 3
  qgr_end
}

# install.exe unchanged: the install and uninstall meet Wine's gaps, and the tests say which.
scenario_plain_install_uninstall() {
  qgr_begin plain_install_uninstall plain || return 1
  qgr_gap "3: AddPrinterW without a data type fails with 1801 and leaves a printer nobody can open"
  qgr_install run in
  expect_exit 100
  expect_dialog run "$TITLE_ERRORS"
  dialog_text run >"$QGR_SCEN_DIR/run.text"
  expect_match "$QGR_SCEN_DIR/run.text" "^ +Error\\(15\\): Can\`t add printer 'qgrServer' - \\(" "error 15 for qgrServer"
  qgr_wait_tray
  qgr_inspect installed
  check_monitor_installed
  check_drivers_installed
  expect_line "$QGR_STATE" 'printer=qgrServer|port=QuillgraphServer:|driver=Quillgraph Server|comment=|location=(null)|share=(null)|datatype=(null)|processor=WinPrint|attributes=0x00000000'
  expect_line "$QGR_STATE" 'subkey=qgrServer|open-failed=1801'
  check_tray_running
  qgr_gap "3: the half-made printer cannot be opened, so it cannot be deleted (error 16)"
  qgr_gap "5: DeletePrinterDriverExW refuses DPD_DELETE_ALL_FILES with 87 (error 14) and keeps the driver"
  qgr_install remove un
  expect_exit 100
  expect_dialog remove "$TITLE_ERRORS"
  dialog_text remove >"$QGR_SCEN_DIR/remove.text"
  expect_match "$QGR_SCEN_DIR/remove.text" "^ +Error\\(16\\): Can\`t open printer 'qgrServer'" "error 16 for qgrServer"
  expect_match "$QGR_SCEN_DIR/remove.text" "^ +Error\\(14\\): Can\`t remove the printer-driver 'Quillgraph Server'" "error 14"
  qgr_inspect removed
  expect_no_match "$QGR_STATE" '^monitor=QuillgraphServer:' "monitor removed"
  expect_line "$QGR_STATE" 'drivers[Windows x64]=1'
  expect_line "$QGR_STATE" 'run=(none)'
  expect_line "$QGR_STATE" 'tray.mutex=0'
  qgr_end
}

# install.exe unchanged, commands without the spooler gaps in their way.
scenario_plain_commands() {
  qgr_begin plain_commands plain || return 1
  qgr_install noword
  expect_exit 6
  qgr_install unknown bogus
  expect_exit 6
  qgr_install chk onChkDrv
  expect_exit 3
  qgr_install init onInit
  expect_exit 102
  expect_no_dialog
  qgr_end
}

# DLLs named like the system DLLs install.exe uses, put beside it, with native DLLs preferred as
# Windows' search order prefers them for DLLs that are not KnownDLLs. The helper program, which
# imports both statically, shows that such a DLL would be loaded.
# The loader's trace lines of install.exe's own process (its first thread loads the program).
installer_loads() { # <tag>
  local tid
  tid=$(sed -n 's/^\([0-9a-f]*\):trace:loaddll:build_module Loaded L"C:\\\\Program Files\\\\Quillgraph\\\\drv\\\\install\.exe".*/\1/p' \
    "$QGR_SCEN_DIR/$1.run" | head -n 1)
  grep "^${tid:-none}:trace:loaddll:" "$QGR_SCEN_DIR/$1.run" >"$QGR_SCEN_DIR/$1.loads"
}

scenario_planted_dlls() {
  qgr_begin planted_dlls plain || return 1
  local drv="$WINEPREFIX/drive_c/Program Files/Quillgraph/drv" dll
  for dll in version.dll winspool.drv; do cp "$drv/vmqui64.dll" "$drv/$dll"; done
  cp "$QGR_TOOL" "$drv/qgrwine.exe"
  # The trace names each DLL as it was asked for (static imports in capitals).
  local native="$WINEDLLOVERRIDES;winspool.drv=n,b" planted spooler
  planted=$(sed 's/[A-Za-z]/[\U&\L&]/g' <<<'Loaded L"C:\\\\Program Files\\\\Quillgraph\\\\drv\\\\winspool\.drv"')
  spooler=$(sed 's/[A-Za-z]/[\U&\L&]/g' <<<'Loaded L"C:\\\\windows\\\\system32\\\\winspool\.drv"')
  WINEDEBUG=+loaddll WINEDLLOVERRIDES=$native qgr_wine 60 "$QGR_SCEN_DIR/static.run" "$APP\\drv\\qgrwine.exe" noop
  expect_match "$QGR_SCEN_DIR/static.run" "$planted.*: native" "a static import loads the planted winspool.drv"
  QGR_EVENTLOG_DEBUG=$QGR_EVENTLOG_DEBUG,+loaddll WINEDLLOVERRIDES=$native qgr_install run un
  expect_exit 2
  installer_loads run
  expect_no_match "$QGR_SCEN_DIR/run.run" "$planted" "no process loads the planted winspool.drv"
  expect_match "$QGR_SCEN_DIR/run.loads" "$spooler" "install.exe loads the system's"

  qgr_gap "Wine's user32.dll imports version.dll (Windows' does not): with version.dll native first, Wine loads the planted one while starting any program that imports user32, and its own winspool.drv then fails"
  QGR_EVENTLOG_DEBUG=$QGR_EVENTLOG_DEBUG,+loaddll WINEDLLOVERRIDES="$native;version=n,b" qgr_install version un
  installer_loads version
  expect_match "$QGR_SCEN_DIR/version.loads" 'Loaded L"C:\\\\windows\\\\system32\\\\version\.dll".*builtin' \
    "install.exe binds the system's version.dll all the same"
  qgr_end
}

QGR_SCENARIOS="fresh_install reinstall journal killed parked uninstall verify removetray oninit_defset onchkdrv words error_dialog shift_dialog locked_monitor tray_contract plain_install_uninstall plain_commands planted_dlls"
