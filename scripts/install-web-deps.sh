#!/usr/bin/env bash
# Installs the page's npm packages (uPlot, and playwright-core for the browser tests) into
# webapp/node_modules, only when they are missing or older than the lock file. Browsers
# are never downloaded: the tests use Debian's chromium. First checks that the installed
# Node fits every package's "engines" range, so an old Node fails here and not mid-test.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
webapp="$(cd "$here/../webapp" && pwd)"
for command in node npm; do
  if ! command -v "$command" >/dev/null 2>&1; then
    echo "install-web-deps: $command is not installed (Debian packages nodejs and npm: run scripts/install-deps.sh)" >&2
    exit 1
  fi
done
node "$here/check-node-engines.js" "$webapp"
stamp="$webapp/node_modules/.package-lock.json"
if [[ -f "$stamp" && "$stamp" -nt "$webapp/package-lock.json" && "$stamp" -nt "$webapp/package.json" ]]; then
  exit 0
fi
echo "Installing the page's npm packages in webapp/ with Node $(node --version) and npm $(npm --version)"
export PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1
cd "$webapp"
if [[ -f package-lock.json ]]; then
  npm ci --no-audit --no-fund --engine-strict
else
  npm install --no-audit --no-fund --engine-strict
fi
touch "$stamp"
