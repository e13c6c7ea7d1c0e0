#!/usr/bin/env bash
# Installs the Debian packages listed in scripts/debian-packages.txt that are not
# installed yet. Runs apt-get only when something is missing; a user who is not root is
# told the exact command instead.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
missing=()
while read -r pkg command _; do
  [[ -z "$pkg" || "$pkg" == \#* ]] && continue
  if [[ -n "$command" ]]; then
    command -v "$command" >/dev/null 2>&1 && continue
  elif dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    continue
  fi
  missing+=("$pkg")
done < "$here/debian-packages.txt"
((${#missing[@]})) || exit 0
if [[ $(id -u) -ne 0 ]]; then
  {
    echo "install-deps: ${#missing[@]} Debian package(s) are missing: ${missing[*]}"
    echo "Install them as root, then run this command again:"
    echo "  sudo apt-get install --no-install-recommends ${missing[*]}"
  } >&2
  exit 1
fi
echo "Installing Debian packages: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
