#!/bin/sh
# Copies the pinned notation library (package.json, package-lock.json) into the
# page's files: run after changing its version, then commit web/page/vendor/.
# The built file is committed so that building and `make demo` need no Node.js
# and no network beyond apt; tests/app/serve/test_web_vendor.py checks it is the
# version pinned here.
set -e
cd "$(dirname "$0")"
npm ci --ignore-scripts --no-audit --no-fund
mkdir -p page/vendor
cp node_modules/opensheetmusicdisplay/build/opensheetmusicdisplay.min.js page/vendor/
cp node_modules/opensheetmusicdisplay/LICENSE page/vendor/opensheetmusicdisplay.LICENSE.txt
