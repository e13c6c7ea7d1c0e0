#!/usr/bin/env bash
# Tries the README's two commands as a new user would: on a brand-new Debian 12 minbase
# root (debootstrap, from the mirror this machine's apt uses) with only git and
# ca-certificates added, it clones the committed HEAD of this repository, runs
# `bash scripts/test.sh` as root, hands the checkout to an ordinary user who runs it
# again (the packages are there by then; the build is reused, every test runs), then
# `bash scripts/run.sh` as that user until the server answers its health check. Prints
# one verdict line at the end.
#
# Not part of CI: it needs root, chroot and mounts, the network to the mirror and npm's
# registry, and about an hour on a busy two-core machine. Run it after changing scripts/,
# the package lists, webapp/package.json or the build's dependencies.
#
#   sudo bash scripts/fresh-machine-check.sh
#
# TIDEMARK_FRESH_DIR: where the root is built (default: a new folder in /var/tmp).
# TIDEMARK_FRESH_KEEP=1: keep the root afterwards (the mounts are undone anyway).
set -euo pipefail

release=bookworm
started=$(date +%s)
say() { echo "fresh-machine-check: $*"; }
elapsed() { local s=$(($(date +%s) - started)); printf '%dm%02ds' $((s / 60)) $((s % 60)); }
verdict() { echo "fresh-machine-check: $1 after $(elapsed) (HEAD ${head:0:12}${2:+; $2})"; }

if [[ $(id -u) -ne 0 ]]; then
  echo "fresh-machine-check: must run as root (debootstrap, chroot, mounts)" >&2
  exit 2
fi
for tool in debootstrap chroot git curl mount; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "fresh-machine-check: $tool is missing (apt-get install debootstrap git curl)" >&2
    exit 2
  fi
done

repo="$(git -C "$(dirname "${BASH_SOURCE[0]}")" rev-parse --show-toplevel)"
head="$(git -C "$repo" rev-parse HEAD)"
if [[ -n "$(git -C "$repo" status --porcelain --untracked-files=no)" ]]; then
  say "note: uncommitted changes in $repo are not part of the check (it clones HEAD)"
fi

# The entries of apt source files, one "URI suite" a line, from both the one-line (*.list)
# and the deb822 (*.sources) formats.
apt_entries() {
  local file
  for file in "$@"; do
    [[ -f "$file" ]] || continue
    case "$file" in
      *.sources)
        awk 'function flush() { if (types ~ /(^| )deb( |$)/ && enabled != "no") { n = split(uris, u, " "); m = split(suites, s, " ");
               for (i = 1; i <= n; i++) for (j = 1; j <= m; j++) print u[i], s[j] } types = uris = suites = ""; enabled = "" }
             /^[ \t]*$/ { flush(); next }
             /^#/ { next }
             { key = tolower($1); sub(/:$/, "", key); $1 = ""; sub(/^ +/, "");
               if (key == "types") types = $0; else if (key == "uris") uris = $0; else if (key == "suites") suites = $0; else if (key == "enabled") enabled = tolower($0) }
             END { flush() }' "$file" ;;
      *)
        awk '$1 == "deb" { i = 2; if ($2 ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ } print $i, $(i + 1) }' "$file" ;;
    esac
  done
}
shopt -s nullglob
source_files=(/etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources)
shopt -u nullglob
mirror="$(apt_entries "${source_files[@]}" | awk -v r="$release" '$2 == r { print $1; exit }')"
if [[ -z "$mirror" ]]; then
  echo "fresh-machine-check: no '$release' entry in this machine's apt sources to take the mirror from" >&2
  exit 2
fi

work="${TIDEMARK_FRESH_DIR:-$(mktemp -d /var/tmp/tidemark-fresh.XXXXXX)}"
root="$work/root"
logs="$work/logs"
mkdir -p "$root" "$logs"
mounted=()
user=tidemark
userhome=/home/$user
checkout=/srv/tidemark
server_pid=""

# Ends every process whose root is the new system, then undoes the mounts in reverse.
cleanup() {
  local status=$? pid attempt left
  trap - EXIT INT TERM
  [[ -n "$server_pid" ]] && kill -TERM "$server_pid" 2>/dev/null || true
  for attempt in 1 2 3 4 5 6 7 8 9 10; do
    mapfile -t left < <(processes_in_root)
    ((${#left[@]})) || break
    ((attempt == 1)) && say "ending ${#left[@]} process(es) left in the new system: ${left[*]}"
    kill -"$( ((attempt < 4)) && echo TERM || echo KILL)" "${left[@]}" 2>/dev/null || true
    sleep 1
  done
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" || say "could not unmount ${mounted[i]}"
  done
  # Tests may leave mounts of their own behind (`ip netns add` mounts /run/netns).
  local target
  while read -r target; do
    umount -l "$target" 2>/dev/null || true
  done < <(findmnt -rn -o TARGET | grep -F "$root/" | sort -r)
  if findmnt -rn -o TARGET | grep -qF "$root/"; then
    say "mounts remain under $root; leaving it in place"
  elif [[ "${TIDEMARK_FRESH_KEEP:-0}" == 1 ]]; then
    say "kept $work"
  else
    rm -rf "$work"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() {
  say "$1"
  verdict "FAIL: $1"
  exit 1
}

# Runs a step inside the new system, its output to the terminal and to a log.
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  LANG=C.UTF-8 HOME=/root TERM=dumb ${proxy_env[@]+"${proxy_env[@]}"} "$@"; }
as_user() { chroot --userspec="$user:$user" "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin \
  LANG=C.UTF-8 HOME="$userhome" USER="$user" LOGNAME="$user" TERM=dumb ${proxy_env[@]+"${proxy_env[@]}"} "$@"; }
# The processes whose root is the new system.
processes_in_root() {
  local pid
  for pid in $(ls /proc | grep -E '^[0-9]+$'); do
    [[ "$(readlink "/proc/$pid/root" 2>/dev/null)" == "$root" ]] && echo "$pid"
  done
  return 0
}
# In the background and waited for, so that an interrupt reaches the traps at once.
step() {
  local name="$1" status=0
  shift
  say "step $name started at $(elapsed)"
  "$@" > >(tee "$logs/$name.log") 2>&1 &
  wait $! || status=$?
  ((status == 0)) || fail "step $name failed with status $status (log: $logs/$name.log)"
  say "step $name passed at $(elapsed)"
}
# Debian packages, and their installed size in MB.
package_count() { in_root dpkg-query -W -f='${db:Status-Abbrev}\n' | grep -c '^ii'; }
package_megabytes() { in_root dpkg-query -W -f='${db:Status-Abbrev} ${Installed-Size}\n' | awk '$1 == "ii" { k += $2 } END { printf "%d", k / 1024 }'; }

proxy_env=()
for name in http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY NODE_EXTRA_CA_CERTS; do
  [[ -n "${!name:-}" ]] && proxy_env+=("$name=${!name}")
done

say "HEAD $head of $repo; Debian $release minbase from $mirror into $root"
step debootstrap debootstrap --variant=minbase "$release" "$root" "$mirror"

# What a machine's network setup provides: its apt sources for Debian, DNS, and the
# certificates it trusts beyond Debian's (with npm's setting that points at them).
# Only files whose every entry is one of the release's own suites (bookworm,
# bookworm-updates, bookworm-security...): other archives need keys the new system lacks.
copied_sources=0
for file in "${source_files[@]}"; do
  [[ -s "$file" ]] || continue
  entries="$(apt_entries "$file")"
  [[ -n "$entries" ]] || continue
  if awk -v r="$release" '$2 != r && index($2, r "-") != 1 { bad = 1 } END { exit bad }' <<<"$entries"; then
    mkdir -p "$root$(dirname "$file")"
    cp "$file" "$root$file"
    copied_sources=$((copied_sources + 1))
  fi
done
if ((copied_sources)) && [[ ! -s /etc/apt/sources.list ]]; then rm -f "$root/etc/apt/sources.list"; fi
shopt -s nullglob
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
extra_certs=(/usr/local/share/ca-certificates/*)
if ((${#extra_certs[@]})); then
  mkdir -p "$root/usr/local/share/ca-certificates"
  cp -a "${extra_certs[@]}" "$root/usr/local/share/ca-certificates/"
fi
npm_ca="$( (cat /etc/npmrc /usr/etc/npmrc 2>/dev/null || true) | grep -E '^[[:space:]]*(cafile|ca)[[:space:]]*=' | sort -u || true)"
if [[ -n "$npm_ca" ]]; then
  printf '%s\n' "$npm_ca" > "$root/etc/npmrc"
fi
shopt -u nullglob
say "carried over $copied_sources apt source file(s), resolv.conf, ${#extra_certs[@]} extra certificate(s)${npm_ca:+, the npm cafile setting}"

mount_in_root() {
  local target="$root$1"
  shift
  mkdir -p "$target"
  mount "$@" "$target"
  mounted+=("$target")
}
mount_in_root /proc -t proc proc
mount_in_root /sys --bind /sys
mount_in_root /dev --bind /dev
mount_in_root /dev/pts --bind /dev/pts
mount_in_root /dev/shm -t tmpfs -o mode=1777 tmpfs
# As on Debian 13 and many other systems, /tmp is a tmpfs.
mount_in_root /tmp -t tmpfs -o mode=1777 tmpfs

step base-packages in_root sh -c 'export DEBIAN_FRONTEND=noninteractive; apt-get update -qq && apt-get install -y -qq --no-install-recommends git ca-certificates'
base_count=$(package_count)
base_mb=$(package_megabytes)

git -C "$repo" bundle create "$root/var/tmp/tidemark.bundle" HEAD 2>/dev/null
chmod 644 "$root/var/tmp/tidemark.bundle"
step clone in_root git -c advice.detachedHead=false clone /var/tmp/tidemark.bundle "$checkout"
step test-root in_root sh -c "cd $checkout && timeout 2h bash scripts/test.sh"
tests_root="$(grep -E 'tests passed, [0-9]+ tests failed out of' "$logs/test-root.log" | tail -1)"
after_count=$(package_count)
after_mb=$(package_megabytes)
npm_mb=$(du -sm "$root$checkout/webapp/node_modules" | cut -f1)
download_mb=$(du -cm "$root"/var/cache/apt/archives/*.deb 2>/dev/null | tail -1 | cut -f1)
say "the test command installed $((after_count - base_count)) Debian packages (${base_count} -> ${after_count}, $((after_mb - base_mb)) MB installed, ${download_mb} MB of .deb files in apt's cache with git's) and ${npm_mb} MB of npm packages"

in_root useradd --create-home --shell /bin/bash "$user"
in_root chown -R "$user:$user" "$checkout"
step test-user as_user sh -c "cd $checkout && timeout 2h bash scripts/test.sh"
tests_user="$(grep -E 'tests passed, [0-9]+ tests failed out of' "$logs/test-user.log" | tail -1)"

# The run command, as the ordinary user, until the server answers its health check.
say "step run started at $(elapsed)"
# A simple command, so that $! is chroot, which becomes Tidemark (run.sh ends in exec).
chroot --userspec="$user:$user" "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin \
  LANG=C.UTF-8 HOME="$userhome" USER="$user" LOGNAME="$user" TERM=dumb ${proxy_env[@]+"${proxy_env[@]}"} \
  sh -c "cd $checkout && exec bash scripts/run.sh" > "$logs/run.log" 2>&1 &
server_pid=$!
login=""
for _ in $(seq 1 600); do
  login="$(grep -oE 'Open the panel in a browser: http://127\.0\.0\.1:[0-9]+/login\?token=[^ ]+' "$logs/run.log" | head -1 | sed 's/^.*: //')" || true
  [[ -n "$login" ]] && break
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 1
done
cat "$logs/run.log"
[[ -n "$login" ]] || fail "step run: no login line from Tidemark (log: $logs/run.log)"
health_url="${login%%/login*}/api/health"
health="$(curl -fsS --max-time 10 "$health_url")" || fail "step run: $health_url did not answer"
say "$health_url answered: $health"
# SIGTERM stops Tidemark and its server; nothing of the run may be left afterwards.
kill -TERM "$server_pid"
wait "$server_pid" || true
server_pid=""
for _ in $(seq 1 100); do
  [[ -z "$(processes_in_root)" ]] && break
  sleep 0.1
done
left="$(processes_in_root | tr '\n' ' ')"
[[ -z "$left" ]] || fail "step run: processes still running 10 s after Tidemark got SIGTERM: $left"
say "step run passed at $(elapsed)"

verdict PASS "root: ${tests_root:-?}; user: ${tests_user:-?}; run: health answered; installed $((after_count - base_count)) Debian packages, $((after_mb - base_mb)) MB + npm ${npm_mb} MB"
