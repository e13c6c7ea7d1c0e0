#!/usr/bin/env bash
# Installs the page's npm packages (uPlot, and playwright-core for the browser tests) into
# webapp/node_modules, only when they are missing or older than the lock file. Browsers
# are never downloaded: the tests use Debian's chromium.
set -euo pipefail
webapp="$(cd "$(dirname "${BASH_SOURCE[0]}")/../webapp" && pwd)"
stamp="$webapp/node_modules/.package-lock.json"
if [[ -f "$stamp" && "$stamp" -nt "$webapp/package-lock.json" && "$stamp" -nt "$webapp/package.json" ]]; then
  exit 0
fi
if ! command -v npm >/dev/null 2>&1; then
  echo "install-web-deps: npm is not installed (Debian packages nodejs and npm)" >&2
  exit 1
fi
echo "Installing the page's npm packages in webapp/"
export PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1
cd "$webapp"
if [[ -f package-lock.json ]]; then
  npm ci --no-audit --no-fund
else
  npm install --no-audit --no-fund
fi
touch "$stamp"
