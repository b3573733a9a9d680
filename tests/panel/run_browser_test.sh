#!/bin/sh
# The panel in headless Chromium: installs the pinned puppeteer-core from the
# npm registry, then runs the browser test.
# tests/panel/run_browser_test.sh BUILD_DIR
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
cd "$here"
npm ci --no-audit --no-fund --silent
timeout 120 node browser_test.mjs "$build/tools/velmora" "$build/panel/panel.png"
