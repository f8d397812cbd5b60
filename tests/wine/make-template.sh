#!/usr/bin/env bash
# Makes the template prefix afresh (once per test run).
set -u
source "$(dirname "$0")/lib.sh"
rm -rf "$QGR_TEMPLATE"
qgr_make_template
