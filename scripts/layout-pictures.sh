#!/usr/bin/env bash
# Renders docs/layout/fit-*.png, one small A4 page per fit mode, from the geometry test's
# pages (the test checks each against its model before it keeps it). Needs pdftocairo.
# Usage: scripts/layout-pictures.sh [BUILD_DIR]   (default build/release, tests built)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
mkdir -p "$root/docs/layout"
FOLIAN_LAYOUT_PICTURES="$root/docs/layout" "$build/folian_tests" --gtest_filter='GeometryRender.*' >/dev/null
ls "$root"/docs/layout/fit-*.png
