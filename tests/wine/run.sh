#!/usr/bin/env bash
# Runs end-to-end scenarios under Wine: run.sh [scenario...] (default: all of them).
# Environment: QGR_PACKAGE_DIR (application folder), QGR_TOOL (qgrwine.exe), QGR_WORK (scratch),
# QGR_KEEP=1 keeps each scenario's prefix.
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
source "$here/scenarios.sh"
[ $# -gt 0 ] || set -- $QGR_SCENARIOS
status=0
for name in "$@"; do
  if ! declare -F "scenario_$name" >/dev/null; then
    qgr_log "unknown scenario: $name"
    status=1
    continue
  fi
  ( "scenario_$name" ) || status=1
done
exit $status
