#!/usr/bin/env bash
# The README's first command: sets up the machine, builds the updater and its tools, and updates a
# sample installation of a small demo program from version 1.0 to 2.0 twice, once over the TCP
# channel (reference update service, console mode) and once over the HTTP channel (nginx, normal
# mode). Uses only the loopback interface and cleans up everything it started.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
# Only the programs the demo runs, not the test suites: the first command stays quick.
BUILD_TARGETS="update publish-release update-service" "$root/scripts/build.sh"
bin="${BUILD_DIR:-$root/build}/bin"
export QT_QPA_PLATFORM=offscreen

work=$(mktemp -d /tmp/updater-demo.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

# --- the demo program, version 1.0 and 2.0 -----------------------------------------------------
make_release() { # folder version greeting
  local dir=$1 version=$2 greeting=$3
  mkdir -p "$dir/data" "$dir/lib" "$dir/docs"
  cat > "$dir/demo-host.sh" <<'HOST'
#!/bin/sh
# The demo host program: reports which version was started and when.
here=$(cd "$(dirname "$0")" && pwd)
echo "demo host $(cat "$here/version.txt") started $(date +%T): $(cat "$here/data/greeting.txt")" >> "$here/host-runs.log"
HOST
  chmod +x "$dir/demo-host.sh"
  echo "$version" > "$dir/version.txt"
  echo "$greeting" > "$dir/data/greeting.txt"
  echo "This manual did not change between versions." > "$dir/docs/manual.txt"
  head -c 300000 /dev/urandom > "$dir/lib/engine.dat"
}
make_release "$work/v1" 1.0 "Hello from version 1"
make_release "$work/v2" 2.0 "Hello from version 2, now with a new feature"
cp "$work/v1/docs/manual.txt" "$work/v2/docs/manual.txt"
# Version 2's engine is version 1's with a small fix, as after a one-line change of a program.
cp "$work/v1/lib/engine.dat" "$work/v2/lib/engine.dat"
printf 'fixed in 2.0' | dd of="$work/v2/lib/engine.dat" bs=1 seek=150000 conv=notrunc status=none
echo "Only version 2 has this file." > "$work/v2/data/new-feature.txt"

say "Making a signing key and publishing version 2.0, signed, with patches against 1.0, with publish-release"
"$bin/publish-release" keygen "$work/keys"
public_key=$(cat "$work/keys/release-signing.pub")
"$bin/publish-release" "$work/v2" 2.0 v2 --web-root "$work/web" --tcp-root "$work/tcp" \
  --sign-key "$work/keys/release-signing.key" --delta-from "$work/v1"

new_installation() { # folder
  local dir=$1
  cp -r "$work/v1" "$dir"
  cp "$bin/update.exe" "$dir/"
  mkdir -p "$dir/update"
  printf '[Version]\nVersion=1.0\n' > "$dir/update/update.ini"
}

show_outcome() { # folder
  local dir=$1 before="$1.before"
  for _ in $(seq 1 50); do [ -f "$dir/host-runs.log" ] && break; sleep 0.2; done
  echo "Files that the update changed:"
  (cd "$dir" && find . -type f -not -path './logs/*' -not -name host-runs.log | sort) | while read -r f; do
    if [ ! -f "$before/$f" ]; then echo "  added    $f"
    elif ! cmp -s "$before/$f" "$dir/$f"; then echo "  replaced $f"; fi
  done
  echo "From the updater's log (backup and replacement):"
  grep -E '备份|替换' "$dir/logs/update.log" | sed -e 's/^/  /' -e "s|$work/||g" | tail -n 8 || true
  echo "Backup and temporary folders left behind: $(ls -d "$dir/backup" "$dir/temp" 2>/dev/null | wc -l)"
  echo "Host program relaunched: $(cat "$dir/host-runs.log" 2>/dev/null || echo 'no')"
  grep -E '发布清单签名验证通过' "$dir/logs/update.log" | sed -e 's/^/  /' | tail -n 1 || true
  echo "update.exe verify: $(cd "$dir" && timeout 60 ./update.exe verify 2>/dev/null | grep '^{')"
}

# --- TCP channel: the reference update service, console mode -----------------------------------
say "Starting the reference update service on 127.0.0.1"
"$bin/update-service" --root "$work/tcp/v2" --version 2.0 --port 0 --host 127.0.0.1 \
  > "$work/service.out" 2> "$work/service.log" &
pids+=($!)
for _ in $(seq 1 50); do [ -s "$work/service.out" ] && break; sleep 0.1; done
port=$(head -n 1 "$work/service.out")
echo "update-service listens on port $port"

tcp_install="$work/installation-tcp"
new_installation "$tcp_install"
cat > "$tcp_install/system.cfg" <<CFG
[Update]
HostExe=demo-host.sh
UpdateExe=update.exe
HttpEnable=false
[Server]
UpdateServer=127.0.0.1
UpdatePort=$port
[%General]
Version=1.0
[Paths]
Backup=backup/
Temp=temp/
Log=logs/
[Security]
PublicKey=$public_key
CFG
cp -r "$tcp_install" "$tcp_install.before"
say "update.exe console (TCP channel), as a host program would start it"
(cd "$tcp_install" && timeout 120 ./update.exe console > "$work/tcp-run.out" 2>/dev/null) || true
echo "JSON line: $(grep '^{' "$work/tcp-run.out")"
show_outcome "$tcp_install"

# --- HTTP channel: nginx, normal mode -----------------------------------------------------------
say "Starting nginx on 127.0.0.1 for the HTTP channel"
nginx_dir="$work/nginx"
mkdir -p "$nginx_dir/logs" "$nginx_dir/tmp"
http_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat > "$nginx_dir/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $nginx_dir/nginx.pid;
error_log $nginx_dir/logs/error.log;
events { worker_connections 64; }
http {
  access_log $nginx_dir/logs/access.log;
  client_body_temp_path $nginx_dir/tmp; proxy_temp_path $nginx_dir/tmp;
  fastcgi_temp_path $nginx_dir/tmp; uwsgi_temp_path $nginx_dir/tmp; scgi_temp_path $nginx_dir/tmp;
  server { listen 127.0.0.1:$http_port; root $work/web; }
}
CONF
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
"$nginx_bin" -c "$nginx_dir/nginx.conf" -p "$nginx_dir" 2>/dev/null &
pids+=($!)
for _ in $(seq 1 50); do curl -fs "http://127.0.0.1:$http_port/update.ini" >/dev/null && break; sleep 0.1; done
echo "nginx serves http://127.0.0.1:$http_port/"

http_install="$work/installation-http"
new_installation "$http_install"
cat > "$http_install/system.cfg" <<CFG
[Update]
URL=http://127.0.0.1:$http_port/
HostExe=demo-host.sh
UpdateExe=update.exe
HttpEnable=true
[Server]
UpdateServer=
UpdatePort=0
[Paths]
Backup=backup/
Temp=temp/
Log=logs/
[Security]
PublicKey=$public_key
CFG
cp -r "$http_install" "$http_install.before"
say "update.exe (HTTP channel, normal mode with its progress dialog)"
(cd "$http_install" && timeout 120 ./update.exe > /dev/null 2>&1) || true
show_outcome "$http_install"
echo "Patches instead of whole files (from the updater's log):"
grep -E '差分补丁' "$http_install/logs/update.log" | sed -e 's/^/  /' -e "s|$work/||g" | tail -n 3 || true
# The access log's tenth field is the body size of each answer.
served=$(awk '$7 ~ /^\/v2\// {sum += $10} END {print sum + 0}' "$nginx_dir/logs/access.log")
whole=$(du -cb "$work/v2/lib/engine.dat" "$work/v2/version.txt" "$work/v2/data/greeting.txt" \
  "$work/v2/data/new-feature.txt" | tail -n 1 | cut -f1)
echo "Bytes served from the release folder: $served (the changed files whole: $whole)"

say "Result"
status=0
for dir in "$tcp_install" "$http_install"; do
  if [ "$(cat "$dir/version.txt")" = "2.0" ] && cmp -s "$dir/lib/engine.dat" "$work/v2/lib/engine.dat"; then
    echo "$(basename "$dir"): now at version 2.0"
  else
    echo "$(basename "$dir"): still at version $(cat "$dir/version.txt")"; status=1
  fi
done
exit $status
