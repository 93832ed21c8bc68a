#!/usr/bin/env bash
# Benchmarks of update.exe against peers measured side by side in the same run.
#
#   bench/run.sh
#
# Builds the Release tree (BENCH_BUILD_DIR, default build-release/), runs every figure BENCH_RUNS
# times per side (default 3) with the two sides interleaved, prints the medians and the ratio
# ours / peer, and writes bench/RESULTS.md and <build>/results.json. The exit status is non-zero
# only when a run failed; a missed target is reported, not fatal.
#
# The downloads of the large release (BENCH_SIZE_MIB, default 1024) run BENCH_LARGE_RUNS times per
# side (default 1): one update.exe run of it takes most of a minute on a shared 2-core machine
# (download, then an apply that copies and flushes the whole gigabyte), and three of each would not
# fit in ten minutes. The same downloads at 64 MiB run BENCH_RUNS times. Smaller BENCH_SIZE_MIB
# values are for trying the script out and do not give the recorded figures.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD_DIR:-$root/build-release}
runs=${BENCH_RUNS:-3}
large_runs=${BENCH_LARGE_RUNS:-1}
size_mib=${BENCH_SIZE_MIB:-1024}
small_mib=64
many_files=2000
apply_mib=130
command_line="${BENCH_RUNS:+BENCH_RUNS=$BENCH_RUNS }${BENCH_LARGE_RUNS:+BENCH_LARGE_RUNS=$BENCH_LARGE_RUNS }${BENCH_SIZE_MIB:+BENCH_SIZE_MIB=$BENCH_SIZE_MIB }bench/run.sh"
started_at=$(date +%s)

export QT_QPA_PLATFORM=offscreen
export LC_ALL=C.UTF-8

log() { printf '%s\n' "$*" >&2; }

failures=0
fail_run() {
  log "FAILED: $*"
  failures=$((failures + 1))
}

# ---------------------------------------------------------------------------------------------
# Build
log "== building the Release tree in $build"
if ! cmake -S "$root/bench" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >"$build.cmake.log" 2>&1 &&
  ! { [ -f "$build/CMakeCache.txt" ] && cmake "$build" >"$build.cmake.log" 2>&1; }; then
  log "cmake failed, see $build.cmake.log"
  exit 1
fi
if ! cmake --build "$build" -j2 >"$build.build.log" 2>&1; then
  tail -30 "$build.build.log" >&2
  log "build failed, see $build.build.log"
  exit 1
fi
rm -f "$build.cmake.log" "$build.build.log"
bin=$build/product/bin
bench_bin=$build/bin

# ---------------------------------------------------------------------------------------------
# Scratch space: everything below one folder, removed on every exit, servers stopped by pid.
need_mib=$((size_mib * 9 + small_mib * 4 + apply_mib * 8 + 1024))
avail_mib=$(df -Pm "${TMPDIR:-/tmp}" | awk 'NR == 2 { print $4 }')
if [ "$avail_mib" -lt "$need_mib" ]; then
  log "not enough disk space in ${TMPDIR:-/tmp}: $avail_mib MiB free, $need_mib MiB needed"
  exit 1
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/updater-bench.XXXXXX")
server_pids=()
cleanup() {
  for pid in "${server_pids[@]}"; do
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ---------------------------------------------------------------------------------------------
# Helpers

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print ""; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

now() { date +%s.%N; }

elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.6f", b - a }'; }

# Total bytes of the regular files below a folder.
tree_bytes() { find "$1" -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%d", s }'; }
tree_files() { find "$1" -type f | wc -l; }

# Fills a folder with `count` files that together hold the bytes of `file`, 100 per sub-folder
# (d000/p00000 ... d019/p01999). Moves in bulk: one process per file is slow on a loaded machine.
split_into_tree() {
  local file=$1 dest=$2 count=$3 group
  mkdir -p "$dest/parts" || return 1
  split -n "$count" -a 5 -d "$file" "$dest/parts/p" || return 1
  for ((group = 0; group * 100 < count; group++)); do
    local folder
    printf -v folder 'd%03d' "$group"
    mkdir -p "$dest/$folder"
    # p<group><00..99>: the five-digit suffix is the file's number.
    local prefix
    printf -v prefix 'p%03d' "$group"
    mv "$dest/parts/$prefix"?? "$dest/$folder/" || return 1
  done
  rmdir "$dest/parts"
}

# Seconds of the day of the earliest / latest line of the (rotated) update logs containing a text.
log_time() {
  local which=$1 text=$2 folder=$3
  cat "$folder"/update*.log 2>/dev/null | grep -F -- "$text" |
    sed -n 's/^\[[0-9-]* \([0-9]*\):\([0-9]*\):\([0-9.]*\)\].*/\1 \2 \3/p' |
    awk -v which="$which" '{ t = $1 * 3600 + $2 * 60 + $3; if (NR == 1 || (which == "first" ? t < v : t > v)) v = t }
                           END { if (NR > 0) printf "%.3f", v }'
}

# Rates and ratios.
mib_per_s() { awk -v b="$1" -v s="$2" 'BEGIN { if (s > 0) printf "%.1f", b / 1048576 / s }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a != "" && b != "" && b > 0) printf "%.3f", a / b }'; }

# One line per figure, fields separated by the unit separator (0x1f): unlike a tab it is not white
# space to `read`, so empty fields keep their place.
figures_tsv=$work/figures.tsv
: >"$figures_tsv"
# record ID TITLE UNIT OURS PEER_NAME PEER TARGET_OP TARGET
#   TARGET_OP ">=" or "<=" compares the ratio ours / peer with TARGET.
record() {
  local id=$1 title=$2 unit=$3 ours=$4 peer_name=$5 peer=$6 op=$7 target=$8
  local r met
  r=$(ratio "$ours" "$peer")
  if [ -z "$r" ]; then
    met=unknown
  else
    met=$(awk -v r="$r" -v t="$target" -v op="$op" 'BEGIN { print ((op == ">=" ? r >= t : r <= t) ? "yes" : "no") }')
  fi
  printf '%s\x1f%s\x1f%s\x1f%s\x1f%s\x1f%s\x1f%s\x1f%s\x1f%s\x1f%s\n' "$id" "$title" "$unit" "$ours" "$peer_name" "$peer" "$r" "$op" "$target" "$met" >>"$figures_tsv"
  log "   -> ours $ours $unit, $peer_name $peer $unit, ratio ${r:-n/a} (target $op $target: $met)"
}

# An installation with update.exe, a system.cfg for `channel` and the manifest of version 1.0.
make_installation() {
  local dir=$1 channel=$2 port=$3 url=$4
  rm -rf "$dir"
  mkdir -p "$dir/update"
  cp "$bin/update.exe" "$dir/"
  printf '#!/bin/sh\nexit 0\n' >"$dir/host.sh"
  chmod +x "$dir/host.sh"
  # An (empty) installed list: the comparison then needs no hashing of the installation.
  : >"$dir/md5.txt"
  printf '[Version]\nVersion=1.0\nFolder=v1.0\n' >"$dir/update/update.ini"
  local http=false server_port=1
  if [ "$channel" = tcp ]; then server_port=$port; else http=true; fi
  cat >"$dir/system.cfg" <<EOF
[Update]
URL=$url
HostExe=host.sh
UpdateHelperExe=update-helper
UpdateExe=update.exe
HttpEnable=$http
[Server]
UpdateServer=127.0.0.1
UpdatePort=$server_port
[%General]
Version=1.0
[Paths]
Temp=temp/
Backup=backup/
Log=logs/
EOF
}

# Runs update.exe once in a fresh installation. Prints "SECONDS RSS_KIB" of the download window
# (from the channel's log lines) and the peak resident memory of the whole run.
run_updater() {
  local channel=$1 port=$2 url=$3 expected_bytes=$4 expected_files=$5
  local inst=$work/installation
  make_installation "$inst" "$channel" "$port" "$url"
  local out=$work/updater.out rss=$work/updater.rss
  (cd "$inst" && timeout -k 5 300 /usr/bin/time -f %M -o "$rss" ./update.exe console >"$out" 2>&1)
  local rc=$?
  local json
  json=$(grep -a -o '{"errormsg".*}' "$out" | head -1)
  local start_text end_text
  if [ "$channel" = tcp ]; then
    start_text='开始迭代下载'
    end_text='所有文件下载完成'
  else
    start_text='md5Tmp.txt'
    end_text='文件下载成功并验证通过'
  fi
  local t0 t1
  t0=$(log_time first "$start_text" "$inst/logs")
  t1=$(log_time last "$end_text" "$inst/logs")
  local installed_bytes installed_files
  installed_bytes=$(tree_bytes "$inst/payload" 2>/dev/null)
  installed_files=$(tree_files "$inst/payload" 2>/dev/null)
  if [ "$rc" -ne 0 ] || [ "$json" != '{"errormsg":"","success":true,"update":true}' ] || [ -z "$t0" ] ||
    [ -z "$t1" ] || [ "$installed_bytes" != "$expected_bytes" ] || [ "$installed_files" != "$expected_files" ]; then
    log "FAILED: update.exe over $channel: exit $rc, json '$json', window '$t0'..'$t1', installed $installed_bytes bytes in $installed_files files (expected $expected_bytes in $expected_files)"
    tail -5 "$out" >&2
    cp -r "$inst/logs" "$work/failed-logs-$channel-$$" 2>/dev/null
    rm -rf "$inst"
    return 1
  fi
  local seconds
  seconds=$(awk -v a="$t0" -v b="$t1" 'BEGIN { d = b - a; if (d < 0) d += 86400; printf "%.3f", d }')
  echo "$seconds $(cat "$rss")"
  rm -rf "$inst"
}

start_service() {
  local release=$1 portfile=$work/service.port
  : >"$portfile"
  timeout -k 5 1800 "$bin/update-service" --root "$release" --version 2.0 --port 0 >"$portfile" 2>"$work/service.log" &
  local pid=$!
  server_pids+=("$pid")
  for _ in $(seq 100); do
    if [ -s "$portfile" ]; then
      server_port=$(head -1 "$portfile" | tr -dc '0-9')
      server_pid=$pid
      return 0
    fi
    sleep 0.1
  done
  return 1
}

stop_server() {
  local pid=$1 kept=() p
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  for p in "${server_pids[@]}"; do [ "$p" != "$pid" ] && kept+=("$p"); done
  server_pids=("${kept[@]}")
}

start_nginx() {
  local webroot=$1 conf=$work/nginx port pid
  mkdir -p "$conf"
  for _ in $(seq 20); do
    port=$((20000 + RANDOM % 40000))
    cat >"$conf/nginx.conf" <<EOF
daemon off;
master_process off;
worker_processes 1;
pid $conf/nginx.pid;
error_log $conf/error.log warn;
events { worker_connections 64; }
http {
  access_log off;
  sendfile on;
  client_body_temp_path $conf/body;
  proxy_temp_path $conf/proxy;
  fastcgi_temp_path $conf/fastcgi;
  uwsgi_temp_path $conf/uwsgi;
  scgi_temp_path $conf/scgi;
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$port;
    root $webroot;
  }
}
EOF
    timeout -k 5 1800 nginx -p "$conf" -c "$conf/nginx.conf" -e "$conf/error.log" &
    pid=$!
    for _ in $(seq 50); do
      if curl -s -o /dev/null "http://127.0.0.1:$port/"; then
        server_pids+=("$pid")
        server_port=$port
        server_pid=$pid
        return 0
      fi
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  return 1
}

# ---------------------------------------------------------------------------------------------
# Releases: one large file, the same bytes as 2,000 files, and a small single file.
log "== preparing releases ($size_mib MiB, $many_files files; $small_mib MiB) in $work"
mkdir -p "$work/src/one/payload" "$work/src/many/payload" "$work/src/small/payload" "$work/web" "$work/tcp"
head -c $((size_mib * 1048576)) /dev/urandom >"$work/src/one/payload/large.bin" || fail_run "random data"
split_into_tree "$work/src/one/payload/large.bin" "$work/src/many/payload" "$many_files" || fail_run "split"
head -c $((small_mib * 1048576)) /dev/urandom >"$work/src/small/payload/large.bin" || fail_run "random data"
for release in one many small; do
  if ! "$bin/publish-release" "$work/src/$release" 2.0 "v2-$release" --web-root "$work/web/$release" \
    --tcp-root "$work/tcp" >"$work/publish-$release.log" 2>&1; then
    cat "$work/publish-$release.log" >&2
    fail_run "publish-release $release"
  fi
  rm -rf "$work/src/$release"
done
if [ "$failures" -ne 0 ]; then
  exit 1
fi
release_bytes() { tree_bytes "$work/web/$1/v2-$1/payload"; }
release_files() { tree_files "$work/web/$1/v2-$1/payload"; }

# Each download figure: ours = update.exe's download window, peer = the plain transfer, alternated.
declare -A rss_runs

tcp_figure() {
  local release=$1 id=$2 title=$3 runs=$4
  local bytes files port pid
  bytes=$(release_bytes "$release")
  files=$(release_files "$release")
  start_service "$work/tcp/v2-$release" || { fail_run "update-service did not start"; return; }
  port=$server_port
  pid=$server_pid
  log "== $title: update.exe over TCP (port $port) vs socket copy, $runs runs each"
  local ours=() peer=() rss=()
  for i in $(seq "$runs"); do
    local result
    if result=$(run_updater tcp "$port" "" "$bytes" "$files"); then
      ours+=("$(mib_per_s "$bytes" "${result% *}")")
      rss+=("${result#* }")
      log "   run $i: update.exe ${ours[-1]} MiB/s (${result% *} s), peak RSS ${result#* } KiB"
    else
      failures=$((failures + 1))
    fi
    rm -rf "$work/copy"
    local copy
    copy=$(timeout -k 5 300 "$bench_bin/bench_loopcopy" "$work/tcp/v2-$release/payload" "$work/copy" | sed -n 's/^BENCH_SECONDS=//p')
    if [ -n "$copy" ] && [ "$(tree_bytes "$work/copy")" = "$bytes" ]; then
      peer+=("$(mib_per_s "$bytes" "$copy")")
      log "   run $i: socket copy ${peer[-1]} MiB/s ($copy s)"
    else
      fail_run "socket copy of $release"
    fi
    rm -rf "$work/copy"
  done
  stop_server "$pid"
  rss_runs[tcp-$release]="${rss[*]}"
  record "$id" "$title" MiB/s "$(printf '%s\n' "${ours[@]}" | median)" "socket copy" \
    "$(printf '%s\n' "${peer[@]}" | median)" ">=" 0.8
}

http_figure() {
  local release=$1 id=$2 title=$3 port=$4 runs=$5
  local bytes files url
  bytes=$(release_bytes "$release")
  files=$(release_files "$release")
  url="http://127.0.0.1:$port/$release/"
  # curl fetches the very addresses update.exe asks for, in one process over one connection.
  local curl_config=$work/curl-$release.cfg
  (cd "$work/web/$release/v2-$release" && find payload -type f | sort) |
    awk -v base="${url}v2-$release/" -v out="$work/copy/" '{ printf "url = \"%s/%s\"\noutput = \"%s%s\"\n", base, $0, out, $0 }' >"$curl_config"
  log "== $title: update.exe over HTTP vs curl, $runs runs each"
  local ours=() peer=() rss=()
  for i in $(seq "$runs"); do
    local result
    if result=$(run_updater http 0 "$url" "$bytes" "$files"); then
      ours+=("$(mib_per_s "$bytes" "${result% *}")")
      rss+=("${result#* }")
      log "   run $i: update.exe ${ours[-1]} MiB/s (${result% *} s), peak RSS ${result#* } KiB"
    else
      failures=$((failures + 1))
    fi
    rm -rf "$work/copy"
    local t0 t1
    t0=$(now)
    if timeout -k 5 300 curl -sS --fail --create-dirs --config "$curl_config" && t1=$(now) &&
      [ "$(tree_bytes "$work/copy")" = "$bytes" ]; then
      peer+=("$(mib_per_s "$bytes" "$(elapsed "$t0" "$t1")")")
      log "   run $i: curl ${peer[-1]} MiB/s ($(elapsed "$t0" "$t1") s)"
    else
      fail_run "curl of $release"
    fi
    rm -rf "$work/copy"
  done
  rss_runs[http-$release]="${rss[*]}"
  record "$id" "$title" MiB/s "$(printf '%s\n' "${ours[@]}" | median)" curl \
    "$(printf '%s\n' "${peer[@]}" | median)" ">=" 0.9
}

memory_figure() {
  local channel=$1 release=$2 id=$3 title=$4
  local kib
  kib=$(printf '%s\n' ${rss_runs[$channel-$release]} | median)
  record "$id" "$title" MiB "$(awk -v k="$kib" 'BEGIN { if (k != "") printf "%.1f", k / 1024 }')" budget 64 "<=" 1
}

tcp_figure one tcp-1file "TCP download, 1 file of $size_mib MiB" "$large_runs"
tcp_figure many tcp-${many_files}files "TCP download, $many_files files, $size_mib MiB" "$large_runs"
tcp_figure small tcp-small "TCP download, 1 file of $small_mib MiB" "$runs"

nginx_port=
if start_nginx "$work/web"; then
  nginx_port=$server_port
  nginx_pid=$server_pid
else
  fail_run "nginx did not start"
fi
if [ -n "$nginx_port" ]; then
  http_figure one http-1file "HTTP download, 1 file of $size_mib MiB" "$nginx_port" "$large_runs"
  http_figure many http-${many_files}files "HTTP download, $many_files files, $size_mib MiB" "$nginx_port" "$large_runs"
  http_figure small http-small "HTTP download, 1 file of $small_mib MiB" "$nginx_port" "$runs"
  stop_server "$nginx_pid"
fi

memory_figure tcp one mem-tcp-large "Peak RSS, TCP, 1 file of $size_mib MiB"
memory_figure tcp small mem-tcp-small "Peak RSS, TCP, 1 file of $small_mib MiB"
memory_figure http one mem-http-large "Peak RSS, HTTP, 1 file of $size_mib MiB"
memory_figure http small mem-http-small "Peak RSS, HTTP, 1 file of $small_mib MiB"
rm -rf "$work/web" "$work/tcp"

# ---------------------------------------------------------------------------------------------
# MD5 list and apply: an installation of 2,000 files (130 MiB) and an update of the same files.
log "== preparing $many_files files, $apply_mib MiB, installed and updated versions"
head -c $((apply_mib * 1048576)) /dev/urandom >"$work/old.bin"
head -c $((apply_mib * 1048576)) /dev/urandom >"$work/new.bin"
split_into_tree "$work/old.bin" "$work/old" "$many_files" && split_into_tree "$work/new.bin" "$work/new" "$many_files" ||
  fail_run "apply trees"
rm -f "$work/old.bin" "$work/new.bin"

log "== MD5 list of $many_files files: generateMd5List vs md5sum, $runs runs each"
cat $(find "$work/new" -type f) >/dev/null
ours=()
peer=()
for i in $(seq "$runs"); do
  s=$(timeout -k 5 300 "$bench_bin/bench_md5list" "$work/new" | sed -n 's/^BENCH_SECONDS=//p')
  [ -n "$s" ] && ours+=("$s") || fail_run "bench_md5list"
  rm -f "$work/new/md5.txt"
  p=
  t0=$(now)
  if (cd "$work/new" && find . -type f -print0 | sort -z | xargs -0 md5sum >"$work/md5sum.out"); then
    t1=$(now)
    p=$(elapsed "$t0" "$t1")
    peer+=("$p")
  else
    fail_run md5sum
  fi
  log "   run $i: generateMd5List ${s:-?} s, md5sum ${p:-?} s"
done
record md5list "MD5 list, $many_files files, $apply_mib MiB" s "$(printf '%s\n' "${ours[@]}" | median)" md5sum \
  "$(printf '%s\n' "${peer[@]}" | median)" "<=" 1.1

log "== apply of $many_files files, $apply_mib MiB: backup + replacement vs cp -a twice, $runs runs each"
ours=()
peer=()
for i in $(seq "$runs"); do
  inst=$work/apply-installation
  rm -rf "$inst"
  cp -a "$work/old" "$inst" && cp -a "$work/new" "$inst/temp"
  s=$(timeout -k 5 300 "$bench_bin/bench_apply" "$inst" | sed -n 's/^BENCH_SECONDS=//p')
  # The temporary folder is the controller's to remove after the apply; the installed files count.
  if [ -n "$s" ] && cmp -s "$inst/d000/p00000" "$work/new/d000/p00000" &&
    cmp -s "$inst/d019/p01999" "$work/new/d019/p01999" && cmp -s "$inst/backup/d019/p01999" "$work/old/d019/p01999"; then
    ours+=("$s")
  else
    fail_run "bench_apply"
  fi
  rm -rf "$inst" "$work/cp-backup" "$work/cp-install"
  p=
  t0=$(now)
  if cp -a "$work/old" "$work/cp-backup" && cp -a "$work/new" "$work/cp-install"; then
    t1=$(now)
    p=$(elapsed "$t0" "$t1")
    peer+=("$p")
  else
    fail_run "cp -a"
  fi
  rm -rf "$work/cp-backup" "$work/cp-install"
  log "   run $i: apply ${s:-?} s, cp -a twice ${p:-?} s"
done
record apply "Apply (backup + replacement), $many_files files, $apply_mib MiB" s \
  "$(printf '%s\n' "${ours[@]}" | median)" "cp -a twice" "$(printf '%s\n' "${peer[@]}" | median)" "<=" 1.5
rm -rf "$work/old" "$work/new"

# ---------------------------------------------------------------------------------------------
# Frame extraction and decoding (Google Benchmark): throughput only, there is no peer.
log "== frame extraction and decoding (Google Benchmark, $runs repetitions)"
frames_csv=$work/frames.csv
if timeout -k 5 300 "$bench_bin/bench_frames" --benchmark_repetitions="$runs" --benchmark_report_aggregates_only=true \
  --benchmark_format=csv >"$frames_csv" 2>"$work/frames.err"; then
  grep '_median"' "$frames_csv" | while IFS=, read -r name _ _ _ _ bytes_per_second _; do
    name=${name//\"/}
    name=${name%_median}
    mbs=$(awk -v b="$bytes_per_second" 'BEGIN { printf "%.1f", b / 1048576 }')
    printf 'frames-%s\x1f%s\x1f%s\x1f%s\x1f%s\x1f%s\x1f%s\x1f%s\x1f%s\x1f%s\n' "${name//\//-}" "Frames: $name" MiB/s "$mbs" "" "" "" "" "" "report" >>"$figures_tsv"
    log "   $name: $mbs MiB/s"
  done
else
  cat "$work/frames.err" >&2
  fail_run bench_frames
fi

# ---------------------------------------------------------------------------------------------
# Report: table on stdout, bench/RESULTS.md, <build>/results.json.
total_seconds=$(($(date +%s) - started_at))
table() {
  printf '| Figure | Ours | Peer | Peer median | Ratio ours/peer | Target | Met |\n'
  printf '|---|---|---|---|---|---|---|\n'
  while IFS=$'\x1f' read -r id title unit ours peer_name peer r op target met; do
    if [ "$met" = report ]; then
      printf '| %s | %s %s | | | | | |\n' "$title" "$ours" "$unit"
    else
      printf '| %s | %s %s | %s | %s %s | %s | ratio %s %s | %s |\n' "$title" "$ours" "$unit" "$peer_name" "$peer" "$unit" "${r:-n/a}" "$op" "$target" "$met"
    fi
  done <"$figures_tsv"
}

echo
table
echo
echo "Runs per side: $runs ($large_runs for the $size_mib MiB downloads). Total time: ${total_seconds} s. Failed runs: $failures."

json_number() { if [ -n "$1" ]; then printf '%s' "$1"; else printf 'null'; fi; }
json_string() { printf '"%s"' "$(printf '%s' "$1" | sed 's/\\/\\\\/g; s/"/\\"/g')"; }
{
  printf '{\n  "date": %s,\n  "command": %s,\n  "runs": %d,\n  "large_runs": %d,\n  "failed_runs": %d,\n  "seconds": %d,\n  "figures": [\n' \
    "$(json_string "$(date -u +%Y-%m-%dT%H:%M:%SZ)")" "$(json_string "$command_line")" "$runs" "$large_runs" "$failures" "$total_seconds"
  first=1
  while IFS=$'\x1f' read -r id title unit ours peer_name peer r op target met; do
    [ "$first" = 1 ] || printf ',\n'
    first=0
    printf '    {"id": %s, "title": %s, "unit": %s, "ours_median": %s, "peer": %s, "peer_median": %s, "ratio": %s, "target": %s, "target_met": %s}' \
      "$(json_string "$id")" "$(json_string "$title")" "$(json_string "$unit")" "$(json_number "$ours")" \
      "$(json_string "$peer_name")" "$(json_number "$peer")" "$(json_number "$r")" \
      "$( [ -n "$op" ] && json_string "ratio $op $target" || printf 'null')" \
      "$(case $met in yes) printf true ;; no) printf false ;; *) printf null ;; esac)"
  done <"$figures_tsv"
  printf '\n  ]\n}\n'
} >"$build/results.json"

cpu=$(lscpu | sed -n 's/^Model name: *//p' | head -1)
{
  echo "# Benchmark results"
  echo
  echo "Written by \`bench/run.sh\`; the sections after the table come from \`bench/notes.md\`."
  echo
  echo "- Command: \`$command_line\` ($runs runs per side, medians; $large_runs per side for the $size_mib MiB downloads; ours and peer alternate run by run)"
  echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC'), total time ${total_seconds} s, failed runs: $failures"
  echo "- Machine: $(nproc) cores of ${cpu:-unknown CPU}, $(free -g | awk '/^Mem:/ { print $2 }') GiB RAM, $(uname -srm); $(df -PT "${TMPDIR:-/tmp}" | awk 'NR == 2 { print $2 }') file system; shared with other builds while measured"
  echo "- Build: Release (\`-O3 -DNDEBUG\`), Qt $(qmake -query QT_VERSION 2>/dev/null || echo 5), $(nginx -v 2>&1 | sed 's/.*: //'), $(curl --version | head -1 | cut -d' ' -f1-2)"
  echo
  table
  echo
  cat "$root/bench/notes.md"
} >"$root/bench/RESULTS.md"

log "wrote bench/RESULTS.md and $build/results.json"
[ "$failures" -eq 0 ]
