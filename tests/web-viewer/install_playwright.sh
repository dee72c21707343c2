#!/bin/sh
# Installs playwright-core, pinned by package-lock.json, into a folder of the build:
#   install_playwright.sh SOURCE_DIR NODE_DIR
# Does nothing when that folder already holds an install of the same lock file.
set -eu
src=$1
dir=$2
mkdir -p "$dir"
if cmp -s "$src/package-lock.json" "$dir/package-lock.json" && [ -d "$dir/node_modules/playwright-core" ]; then
  echo "playwright-core is installed in $dir"
  exit 0
fi
cp "$src/package.json" "$src/package-lock.json" "$dir/"
cd "$dir"
npm ci --no-audit --no-fund --loglevel=error
echo "installed playwright-core into $dir"
