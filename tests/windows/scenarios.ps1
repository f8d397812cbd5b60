# The main scenarios on real Windows (CI): fresh install, reinstall, uninstall, checked through
# the exit codes, the spooler's own view (Get-Printer, Get-PrinterDriver, Get-PrinterPort) and
# the event log entry of each run. Needs an elevated shell.
param([Parameter(Mandatory)] [string] $Package)
$ErrorActionPreference = 'Stop'
$failures = 0
function Check($what, $expected, $actual) {
    if ("$expected" -eq "$actual") { "ok   $what = $actual" }
    else { "FAIL $what : expected '$expected', got '$actual'"; $script:failures++ }
}
# Waits for install.exe alone: Start-Process -Wait would also wait for the tray application it
# starts, which runs until logoff. A run that outlives its worst case (a log dialog nobody closes,
# a hang) is killed and reported.
$runLimitMs = 420000
function Run($word) {
    $p = Start-Process -FilePath "$app\drv\install.exe" -ArgumentList $word -PassThru
    $null = $p.Handle  # keeps the process handle, so that the exit code can be read afterwards
    if (-not $p.WaitForExit($runLimitMs)) {
        Stop-Process -Id $p.Id -Force
        $p.WaitForExit()
        return "killed after $($runLimitMs / 1000) s"
    }
    $p.ExitCode
}
function LastEventId {
    $e = Get-WinEvent -LogName Application -MaxEvents 1 `
        -FilterXPath "*[System[Provider[@Name='Quillgraph Installer']]]" -ErrorAction SilentlyContinue
    if ($e) { $e.Id } else { 'none' }
}
function Installed {
    Check 'printer qgrServer on port' 'QuillgraphServer:' (Get-Printer -Name qgrServer -ErrorAction SilentlyContinue).PortName
    Check 'x64 driver' 'Quillgraph Server' (Get-PrinterDriver -Name 'Quillgraph Server' -ErrorAction SilentlyContinue |
        Where-Object PrinterEnvironment -eq 'Windows x64').Name
    Check 'port' 'QuillgraphServer:' (Get-PrinterPort -Name 'QuillgraphServer:' -ErrorAction SilentlyContinue).Name
}

# The package in its final place: the tray lives one folder above the installer.
$app = Join-Path $env:ProgramFiles 'Quillgraph'
New-Item -ItemType Directory -Force $app | Out-Null
Copy-Item -Recurse -Force (Join-Path $Package '*') $app

Check 'fresh install exit code' 1 (Run 'in')
Check 'fresh install event id' 1 (LastEventId)
Installed
Check 'reinstall exit code' 1 (Run 'install')
Installed
# 101 when a file the spooler held is left for the reboot.
$code = Run 'un'
Check 'uninstall exit code is 2 or 101' $true ($code -in 2, 101)
Check 'uninstall event id' $code (LastEventId)
Check 'printers left' 0 @(Get-Printer | Where-Object DriverName -eq 'Quillgraph Server').Count
Check 'drivers left' 0 @(Get-PrinterDriver | Where-Object Name -eq 'Quillgraph Server').Count
Check 'port left' 0 @(Get-PrinterPort | Where-Object Name -eq 'QuillgraphServer:').Count
if ($failures) { "$failures check(s) failed"; exit 1 }
'all checks passed'
