#!/usr/bin/env bash
# What installing the package adds to a Debian 12 GNOME desktop: the Debian packages
# its dependencies pull in (Depends, Pre-Depends and Recommends, recursively, as apt
# installs them) that the desktop task does not already bring, with their installed
# sizes from the local apt lists. Usage: dependency-cost.sh build/tidemark_*.deb
set -euo pipefail
deb="$1"
closure() {
  apt-cache depends --recurse --no-suggests --no-conflicts --no-breaks --no-replaces --no-enhances "$@" 2>/dev/null |
    grep -v '^ ' | grep -v '^<' | sort -u
}
installed_kib() { apt-cache show --no-all-versions "$1" 2>/dev/null | awk '/^Installed-Size:/ {print $2; exit}'; }

# The package's own relations, without version constraints.
relations="$(dpkg-deb --field "$deb" Depends Recommends | sed -e 's/^[A-Za-z-]*: //' -e 's/([^)]*)//g' | tr ',|' '\n\n' | awk 'NF {print $1}' | sort -u)"
desktop="$(closure task-gnome-desktop)"
mapfile -t needed < <(closure $relations)
total=0
extra=()
for package in "${needed[@]}"; do
  grep -qx "$package" <<<"$desktop" && continue
  size="$(installed_kib "$package")"
  extra+=("$package ${size:-0}")
  total=$((total + ${size:-0}))
done
echo "package itself: $(dpkg-deb --field "$deb" Installed-Size) KiB installed, $(stat -c %s "$deb") bytes to download"
echo "dependencies: ${#needed[@]} packages, of which ${#extra[@]} are not on a GNOME desktop:"
printf '  %s KiB\n' "${extra[@]}" | awk '{printf "  %-28s %6s KiB\n", $1, $2}'
echo "added by the dependencies: $total KiB"
