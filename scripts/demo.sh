#!/usr/bin/env bash
# Sets up the machine, builds the updater and runs it on a built-in sample installation.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
install="$work/installation"
mkdir -p "$install"
cp "${BUILD_DIR:-$root/build}/bin/update.exe" "$install/"
cat > "$install/system.cfg" <<'CFG'
[Update]
HostExe=host.sh
HttpEnable=false
[Server]
UpdateServer=127.0.0.1
UpdatePort=9
[Paths]
Backup=backup/
Temp=temp/
Log=logs/
CFG
echo "Running update.exe console in $install (no update service configured):"
(cd "$install" && ./update.exe console)
