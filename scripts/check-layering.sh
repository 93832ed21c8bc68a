#!/usr/bin/env bash
# Fails when a source folder under src/ includes a header of a folder above it (or beside it on the
# same line) in src/layers.txt, the one list of the allowed order, or when a folder is missing there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
layers="$root/src/layers.txt"

declare -A level
rank=0
while read -r line; do
  case $line in '' | '#'*) continue ;; esac
  for folder in $line; do
    level[$folder]=$rank
  done
  rank=$((rank + 1))
done <"$layers"

status=0
for dir in "$root"/src/*/; do
  folder=$(basename "$dir")
  if [ -z "${level[$folder]+set}" ]; then
    echo "check-layering: src/$folder is not listed in src/layers.txt" >&2
    status=1
  fi
done

# Every quoted include with a folder part: src/FOLDER/file:line:#include "TARGET/header.h"
while IFS= read -r hit; do
  file=${hit%%:*}
  folder=$(echo "$file" | cut -d/ -f2)
  target=$(echo "$hit" | sed -E 's/.*#[[:space:]]*include[[:space:]]*"([^/"]+)\/.*/\1/')
  [ "$target" = "$folder" ] && continue
  if [ -z "${level[$target]+set}" ] || [ -z "${level[$folder]+set}" ] ||
    [ "${level[$target]}" -le "${level[$folder]}" ]; then
    echo "check-layering: $hit (src/$folder may include only folders below it in src/layers.txt)" >&2
    status=1
  fi
done < <(cd "$root" && grep -rnE --include='*.h' --include='*.cpp' '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^/"]+/' src | LC_ALL=C sort)

if [ "$status" -eq 0 ]; then
  echo "check-layering: every folder under src/ includes only folders below it"
fi
exit "$status"
