#!/usr/bin/env python3
"""Benchmarks of update.exe against peers measured side by side in the same run.

    bench/run.py [--runs N] [--large-runs N] [--check-runs N] [--size-mib MIB] [--smoke]
                 [--field-scale F] [--field-runs N] [--field-links 40ms,150ms] [--only IDS] [--skip IDS]

Builds the Release tree (--build, default build-release/), runs every experiment with ours and
its peers alternating run by run, and writes <build>/results.json (json.dump) and bench/RESULTS.md
rendered from it, followed by bench/notes.md. Two tables: the figures on loopback, and the field
figures through bench_linkproxy (a customer's round trip, bandwidth and drops) at the sizes of
FIELD_CASES times --field-scale. The exit status is non-zero only when a run failed; a missed
target is reported, not fatal. --smoke runs everything once at small sizes to try the script out;
its figures are not the recorded ones and it leaves RESULTS.md alone unless --write-results is given.
"""

import argparse
import dataclasses
import hashlib
import json
import os
import platform
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Callable, Optional

ROOT = Path(__file__).resolve().parent.parent
NGINX_TEMPLATE = ROOT / "tests" / "support" / "nginx.conf.template"
# update.exe writes its download window here when the variable is set (src/log/downloadclock.h).
DOWNLOAD_REPORT_VARIABLE = "UPDATER_BENCH_DOWNLOAD_REPORT"
MIB = 1 << 20
GIB = 1 << 30
RSS_BUDGET_MIB = 64
RESULT_OK = '{"errormsg":"","success":true,"update":true}'
RESULT_NO_UPDATE = '{"errormsg":"","success":true,"update":false}'


def log(text):
    print(text, file=sys.stderr, flush=True)


class RunFailed(Exception):
    """One run of one side failed; the figure goes on without it."""


# ------------------------------------------------------------------------------------------------
# Processes: every one has a deadline, servers listen on 127.0.0.1, only our own pids are ended.


@dataclasses.dataclass
class Measured:
    returncode: int
    seconds: float
    cpu_seconds: float
    max_rss_kib: int
    output: str


def run_measured(command, timeout, cwd=None, env=None, output_file=None, failure_markers=()):
    """Runs one process to its end, killed at `timeout` seconds, or as soon as its output holds one of
    `failure_markers` (a failed run that would otherwise wait for its deadline). Its own CPU time and
    peak RSS come from wait4() on its pid, the wall time from around the start and the wait."""
    if output_file is None:
        handle, name = tempfile.mkstemp(prefix="bench-out.")
        os.close(handle)
    out_path = output_file or Path(name)
    with open(out_path, "wb") as out:
        started = time.perf_counter()
        process = subprocess.Popen(command, cwd=cwd, env=env, stdout=out, stderr=subprocess.STDOUT)
        reaped = threading.Event()

        def expire():
            if not reaped.is_set():
                os.kill(process.pid, signal.SIGKILL)

        timer = threading.Timer(timeout, expire)
        timer.start()
        if failure_markers:
            threading.Thread(target=watch_for_failure, args=(out_path, failure_markers, reaped, expire),
                             daemon=True).start()
        _, status, usage = os.wait4(process.pid, 0)
        seconds = time.perf_counter() - started
        reaped.set()
        timer.cancel()
        process.returncode = os.waitstatus_to_exitcode(status)
    output = Path(out_path).read_text(errors="replace")
    if output_file is None:
        os.unlink(out_path)
    return Measured(process.returncode, seconds, usage.ru_utime + usage.ru_stime, usage.ru_maxrss, output)


def watch_for_failure(out_path, markers, reaped, expire):
    encoded = [marker.encode() for marker in markers]
    while not reaped.wait(0.5):
        text = Path(out_path).read_bytes()
        if any(marker in text for marker in encoded):
            expire()
            return


def run_checked(command, timeout, **kwargs):
    result = subprocess.run(command, timeout=timeout, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, **kwargs)
    if result.returncode != 0:
        raise RunFailed(f"{command[0]} exited with {result.returncode}: {result.stdout[-2000:]}")
    return result.stdout


# The log line of a download whose retries ran out, on either channel (the console shows the log).
FIELD_FAILURE_MARKERS = ("下载最终失败，已达到最大重试次数: ",)
# The servers of a run stay up for all its experiments: a full field run takes about 2.5 hours.
SERVER_LIFETIME_SECONDS = 5 * 3600


class Server:
    """A server process of this script, ended by its pid."""

    def __init__(self, command, timeout, **kwargs):
        self.process = subprocess.Popen(["timeout", "-k", "5", str(timeout)] + command, **kwargs)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(10)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def accepts_connections(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.2):
            return True
    except OSError:
        return False


def start_update_service(bin_dir, release_root, work):
    port_file = work / f"service-{release_root.name}.port"
    with open(port_file, "w") as out:
        server = Server([str(bin_dir / "update-service"), "--root", str(release_root), "--version", "2.0",
                         "--port", "0"], SERVER_LIFETIME_SECONDS, stdout=out, stderr=subprocess.DEVNULL)
    for _ in range(100):
        text = port_file.read_text().strip()
        if text:
            return server, int(text.splitlines()[0])
        time.sleep(0.1)
    server.stop()
    raise RunFailed("update-service did not start")


def start_nginx(web_root, work):
    conf_dir = work / "nginx"
    conf_dir.mkdir(parents=True, exist_ok=True)
    template = NGINX_TEMPLATE.read_text()
    for _ in range(5):
        port = free_port()
        config = (template.replace("@WORK@", str(conf_dir)).replace("@ACCESS_LOG@", "off")
                  .replace("@PORT@", str(port)).replace("@TLS@", "").replace("@ROOT@", str(web_root))
                  .replace("@SERVER@", ""))
        (conf_dir / "nginx.conf").write_text(config)
        nginx = shutil.which("nginx") or "/usr/sbin/nginx"
        server = Server([nginx, "-p", str(conf_dir), "-c", str(conf_dir / "nginx.conf"), "-e",
                         str(conf_dir / "error.log")], SERVER_LIFETIME_SECONDS, stderr=subprocess.DEVNULL)
        for _ in range(50):
            if accepts_connections(port):
                return server, port
            if server.process.poll() is not None:
                break
            time.sleep(0.1)
        server.stop()
    raise RunFailed("nginx did not start")


# ------------------------------------------------------------------------------------------------
# Data: random bytes as one file, the same bytes as many files, releases published by our tool.


def write_random(path, size):
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "wb") as out:
        left = size
        while left > 0:
            piece = min(left, 8 * MIB)
            out.write(os.urandom(piece))
            left -= piece


def split_into_tree(source, dest, count):
    """`count` files that together hold the bytes of `source`, 100 per folder (d000/p00000 ...)."""
    size = source.stat().st_size
    with open(source, "rb") as data:
        for index in range(count):
            part = size // count + (1 if index < size % count else 0)
            folder = dest / f"d{index // 100:03d}"
            folder.mkdir(parents=True, exist_ok=True)
            with open(folder / f"p{index:05d}", "wb") as out:
                out.write(data.read(part))


def tree_bytes_and_files(folder):
    total = files = 0
    for path in Path(folder).rglob("*"):
        if path.is_file():
            total += path.stat().st_size
            files += 1
    return total, files


def drop_tree(path):
    shutil.rmtree(path, ignore_errors=True)


# ------------------------------------------------------------------------------------------------
# The two sides of every experiment. Each run returns the metrics the figures pick from.


class Bench:
    def __init__(self, options, build, work):
        self.options = options
        self.bin = build / "product" / "bin"
        self.bench_bin = build / "bin"
        self.work = work
        self.tcp_ports = {}
        self.nginx_port = None
        self.release_sizes = {}
        self.public_key = None
        self.field_cases = {}

    # Installations ------------------------------------------------------------------------------

    def make_installation(self, channel, port=1, url="", version="1.0", public_key=None):
        inst = self.work / "installation"
        drop_tree(inst)
        (inst / "update").mkdir(parents=True)
        shutil.copy2(self.bin / "update.exe", inst / "update.exe")
        host = inst / "host.sh"
        host.write_text("#!/bin/sh\nexit 0\n")
        host.chmod(0o755)
        # An (empty) installed list: the comparison then needs no hashing of the installation.
        (inst / "md5.txt").write_text("")
        (inst / "update" / "update.ini").write_text(f"[Version]\nVersion={version}\nFolder=v{version}\n")
        http = "true" if channel == "http" else "false"
        (inst / "system.cfg").write_text(
            f"[Update]\nURL={url}\nHostExe=host.sh\nUpdateHelperExe=update-helper\nUpdateExe=update.exe\n"
            f"HttpEnable={http}\n[Server]\nUpdateServer=127.0.0.1\nUpdatePort={port}\n"
            f"[%General]\nVersion={version}\n[Paths]\nTemp=temp/\nBackup=backup/\nLog=logs/\n"
            + (f"[Security]\nPublicKey={public_key}\n" if public_key else ""))
        return inst

    def updater_environment(self, report=None):
        env = dict(os.environ)
        if report is not None:
            env[DOWNLOAD_REPORT_VARIABLE] = str(report)
        return env

    def run_updater(self, inst, env, timeout, failure_markers=()):
        result = run_measured(["./update.exe", "console"], timeout, cwd=inst, env=env,
                              failure_markers=failure_markers)
        match = re.search(r'\{"errormsg".*\}', result.output)
        return result, match.group(0) if match else ""

    # Downloads ----------------------------------------------------------------------------------

    def download_ours(self, channel, release):
        """One run of update.exe; `release` ending in -signed is the signed copy of a release, installed
        by an installation that holds the public key."""
        expected_bytes, expected_files = self.release_sizes[release.removesuffix("-signed")]
        key = self.public_key if release.endswith("-signed") else None
        if channel == "tcp":
            inst = self.make_installation("tcp", port=self.tcp_ports[release], public_key=key)
        else:
            inst = self.make_installation("http", url=f"http://127.0.0.1:{self.nginx_port}/{release}/",
                                          public_key=key)
        report = self.work / "download.json"
        report.unlink(missing_ok=True)
        try:
            result, line = self.run_updater(inst, self.updater_environment(report), 900)
            installed = tree_bytes_and_files(inst / "payload")
            if result.returncode != 0 or line != RESULT_OK or installed != (expected_bytes, expected_files):
                raise RunFailed(f"update.exe over {channel}: exit {result.returncode}, result '{line}', "
                                f"installed {installed}, expected {(expected_bytes, expected_files)}: "
                                f"{result.output[-1500:]}")
            if not report.exists():
                raise RunFailed(f"update.exe over {channel} wrote no download report")
            if key and not (inst / "update" / "release.manifest").is_file():
                raise RunFailed(f"update.exe over {channel} installed {release} without keeping its manifest")
            window = json.loads(report.read_text())
            if window.get("channel") != channel or window.get("seconds", 0) <= 0:
                raise RunFailed(f"unexpected download report {window}")
        finally:
            drop_tree(inst)
        return {
            "throughput": expected_bytes / MIB / window["seconds"],
            "seconds": window["seconds"],
            "process_seconds": result.seconds,
            "ms_per_file": window["seconds"] * 1000 / expected_files,
            "cpu_per_gib": window["cpu_seconds"] / (expected_bytes / GIB),
            "rss": result.max_rss_kib / 1024,
        }

    def tcp_peer(self, release):
        expected_bytes, expected_files = self.release_sizes[release]
        copy = self.work / "copy"
        drop_tree(copy)
        try:
            result = run_measured([str(self.bench_bin / "bench_loopcopy"),
                                   str(self.work / "tcp" / f"v2-{release}" / "payload"), str(copy)], 600)
            match = re.search(r"BENCH_SECONDS=([0-9.]+)", result.output)
            if result.returncode != 0 or not match or tree_bytes_and_files(copy) != (expected_bytes, expected_files):
                raise RunFailed(f"socket copy of {release}: {result.output[-500:]}")
        finally:
            drop_tree(copy)
        seconds = float(match.group(1))
        return {"throughput": expected_bytes / MIB / seconds, "seconds": seconds,
                "ms_per_file": seconds * 1000 / expected_files,
                "cpu_per_gib": result.cpu_seconds / (expected_bytes / GIB)}

    def http_peer(self, release):
        expected_bytes, expected_files = self.release_sizes[release]
        copy = self.work / "copy"
        drop_tree(copy)
        # curl fetches the very addresses update.exe asks for, in one process over one connection, and
        # md5sum then reads every file once: update.exe checks the MD5 of every file it downloads.
        base = f"http://127.0.0.1:{self.nginx_port}/{release}/v2-{release}/"
        payload = self.work / "web" / release / f"v2-{release}"
        config = self.work / f"curl-{release}.cfg"
        with open(config, "w") as out:
            for path in sorted(p.relative_to(payload).as_posix() for p in payload.rglob("*")
                               if p.is_file() and p.relative_to(payload).parts[0] == "payload"):
                out.write(f'url = "{base}/{path}"\noutput = "{copy}/{path}"\n')
        try:
            fetched = run_measured(["curl", "-sS", "--fail", "--create-dirs", "--config", str(config)], 600)
            if fetched.returncode != 0 or tree_bytes_and_files(copy / "payload") != (expected_bytes, expected_files):
                raise RunFailed(f"curl of {release}: {fetched.output[-500:]}")
            hashed = run_measured(["bash", "-c", "find payload -type f -print0 | xargs -0 md5sum >/dev/null"], 600,
                                  cwd=copy)
            if hashed.returncode != 0:
                raise RunFailed(f"md5sum of {release}: {hashed.output[-500:]}")
        finally:
            drop_tree(copy)
        seconds = fetched.seconds + hashed.seconds
        return {"throughput": expected_bytes / MIB / seconds, "seconds": seconds,
                "ms_per_file": seconds * 1000 / expected_files,
                "cpu_per_gib": (fetched.cpu_seconds + hashed.cpu_seconds) / (expected_bytes / GIB)}

    # No-update check ----------------------------------------------------------------------------

    def check_ours(self):
        inst = self.make_installation("http", url=f"http://127.0.0.1:{self.nginx_port}/small/", version="2.0")
        try:
            result, line = self.run_updater(inst, self.updater_environment(), 60)
            if result.returncode != 0 or line != RESULT_NO_UPDATE:
                raise RunFailed(f"no-update check: exit {result.returncode}, result '{line}': {result.output[-800:]}")
        finally:
            drop_tree(inst)
        return {"seconds": result.seconds}

    def check_qt_peer(self):
        result = run_measured([str(self.bench_bin / "bench_qtcheck"),
                               f"http://127.0.0.1:{self.nginx_port}/small/update.ini"], 60)
        if result.returncode != 0:
            raise RunFailed(f"bench_qtcheck of update.ini: exit {result.returncode}: {result.output[-500:]}")
        return {"seconds": result.seconds}

    def check_curl_peer(self):
        result = run_measured(["curl", "-sS", "--fail", "-o", os.devnull,
                               f"http://127.0.0.1:{self.nginx_port}/small/update.ini"], 60)
        if result.returncode != 0:
            raise RunFailed(f"curl of update.ini: {result.output[-500:]}")
        return {"seconds": result.seconds}

    # MD5 list and apply -------------------------------------------------------------------------

    def md5list_ours(self):
        result = run_measured([str(self.bench_bin / "bench_md5list"), str(self.work / "new")], 600)
        (self.work / "new" / "md5.txt").unlink(missing_ok=True)
        match = re.search(r"BENCH_SECONDS=([0-9.]+)", result.output)
        if result.returncode != 0 or not match:
            raise RunFailed(f"bench_md5list: {result.output[-500:]}")
        return {"seconds": float(match.group(1))}

    def md5list_peer(self):
        result = run_measured(["bash", "-c", "find . -type f -print0 | sort -z | xargs -0 md5sum >/dev/null"], 600,
                              cwd=self.work / "new")
        if result.returncode != 0:
            raise RunFailed(f"md5sum: {result.output[-500:]}")
        return {"seconds": result.seconds}

    def apply_ours(self):
        inst = self.work / "apply-installation"
        drop_tree(inst)
        shutil.copytree(self.work / "old", inst, symlinks=True)
        shutil.copytree(self.work / "new", inst / "temp", symlinks=True)
        try:
            result = run_measured([str(self.bench_bin / "bench_apply"), str(inst)], 600)
            match = re.search(r"BENCH_SECONDS=([0-9.]+)", result.output)
            last = f"d{(self.options.files - 1) // 100:03d}/p{self.options.files - 1:05d}"
            same = all(filecmp_equal(a, b) for a, b in [
                (inst / "d000" / "p00000", self.work / "new" / "d000" / "p00000"),
                (inst / last, self.work / "new" / last),
                (inst / "backup" / last, self.work / "old" / last)])
            if result.returncode != 0 or not match or not same:
                raise RunFailed(f"bench_apply: {result.output[-500:]}")
        finally:
            drop_tree(inst)
        return {"seconds": float(match.group(1))}

    def apply_peer(self):
        targets = [self.work / "cp-backup", self.work / "cp-install"]
        for target in targets:
            drop_tree(target)
        started = time.perf_counter()
        for source, target in zip([self.work / "old", self.work / "new"], targets):
            if run_measured(["cp", "-a", str(source), str(target)], 600).returncode != 0:
                raise RunFailed("cp -a")
        seconds = time.perf_counter() - started
        for target in targets:
            drop_tree(target)
        return {"seconds": seconds}


def filecmp_equal(first, second):
    try:
        return Path(first).read_bytes() == Path(second).read_bytes()
    except OSError:
        return False


# ------------------------------------------------------------------------------------------------
# Field figures: update.exe and curl through bench_linkproxy, the link emulator of the tests, with a
# customer's round trip and bandwidth in front of nginx and update-service.

MB = 1000 * 1000
BYTES_PER_MBIT = 125000


@dataclasses.dataclass
class Link:
    id: str
    rtt_ms: int
    mbit: int

    @property
    def title(self):
        return f"{self.rtt_ms} ms / {self.mbit} Mbit/s"

    def floor_seconds(self, changed_bytes, round_trips):
        """The least any client needs: the bytes at the link's bandwidth plus its round trips."""
        return changed_bytes / (self.mbit * BYTES_PER_MBIT) + round_trips * self.rtt_ms / 1000


FIELD_LINKS = [Link("40ms", 40, 50), Link("150ms", 150, 10)]


@dataclasses.dataclass
class FieldCase:
    """One update of the field figures at the issue's sizes; `scaled` gives it at a fraction."""
    id: str
    label: str  # the case's letter in the issue
    release: str
    files: int
    megabytes: float
    changed_files: int
    changed_megabytes: float
    drop_every_megabytes: float = 0
    http_target: Optional[float] = None  # ours / floor; a case with drops has its own target
    tcp_target: Optional[float] = None  # None: the case does not apply to the TCP channel

    def scaled(self, scale):
        files = max(1, round(self.files * scale))
        changed = min(files, max(1, round(self.changed_files * scale)))
        return dataclasses.replace(self, files=files, megabytes=self.megabytes * scale, changed_files=changed,
                                   changed_megabytes=self.changed_megabytes * scale,
                                   drop_every_megabytes=self.drop_every_megabytes * scale)

    @property
    def bytes(self):
        return round(self.megabytes * MB)

    @property
    def changed_bytes(self):
        return round(self.changed_megabytes * MB)

    @property
    def title(self):
        text = f"({self.label}) {self.files} files, {self.megabytes:.4g} MB" if self.files > 1 else \
            f"({self.label}) 1 file of {self.megabytes:.4g} MB"
        if self.changed_files < self.files:
            text += f", {self.changed_files} changed ({self.changed_megabytes:.4g} MB)"
        if self.drop_every_megabytes:
            text += f", link drops every {self.drop_every_megabytes:.4g} MB"
        return text


# The TCP service offers every file of its release, so an update of some of the files is HTTP's alone.
FIELD_CASES = [
    FieldCase("a", "a", "field-a", 2000, 40, 2000, 40, http_target=1.5, tcp_target=1.1),
    FieldCase("b", "b", "field-b", 300, 150, 30, 20, http_target=1.25),
    FieldCase("c", "c", "field-c", 1, 200, 1, 200, http_target=1.25, tcp_target=1.1),
    FieldCase("drop", "c", "field-c", 1, 200, 1, 200, drop_every_megabytes=30, tcp_target=0),
]
RESENT_LIMIT = 0.10


class LinkProxy:
    """One bench_linkproxy in front of a local port for one run; `finish` returns what it forwarded."""

    def __init__(self, bench_bin, target_port, link, drop_every_bytes, timeout):
        command = ["timeout", "-k", "5", str(timeout), str(bench_bin / "bench_linkproxy"), str(target_port),
                   "--rtt-ms", str(link.rtt_ms), "--mbit", str(link.mbit)]
        if drop_every_bytes:
            command += ["--drop-every", str(drop_every_bytes)]
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True)
        line = self.process.stdout.readline().strip()
        if not line.isdigit():
            self.finish()
            raise RunFailed(f"bench_linkproxy did not start: '{line}'")
        self.port = int(line)

    def finish(self):
        try:
            out, _ = self.process.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            out, _ = self.process.communicate(timeout=10)
        lines = [text for text in out.splitlines() if text.startswith("{")]
        if not lines:
            raise RunFailed("bench_linkproxy reported nothing")
        return json.loads(lines[-1])


def write_random_tree(dest, sizes):
    """Files d000/p00000 ... of the given sizes, 100 per folder, random bytes."""
    for index, size in enumerate(sizes):
        write_random(dest / f"d{index // 100:03d}" / f"p{index:05d}", size)


def spread(total, count):
    return [total // count + (1 if index < total % count else 0) for index in range(count)]


def read_md5_list(path):
    """Path (relative, without the list's leading slash) to digest."""
    digests = {}
    for line in Path(path).read_text(encoding="utf-8").splitlines():
        fields = line.split("\t")
        if len(fields) >= 2:
            digests[fields[1].lstrip("/")] = fields[0]
    return digests


def md5_of(path):
    digest = hashlib.md5()
    with open(path, "rb") as data:
        for piece in iter(lambda: data.read(MIB), b""):
            digest.update(piece)
    return digest.hexdigest()


class FieldBench:
    """The field runs of one Bench: releases, installations and the sides of every case."""

    def __init__(self, bench, scale):
        self.bench = bench
        self.scale = scale
        self.prepared = set()

    @property
    def work(self):
        return self.bench.work

    def prepare(self, case):
        """Publishes the release of a case once (the case with drops shares the one-file release)."""
        if case.release in self.prepared:
            return
        log(f"== preparing the field release {case.release}: {case.title}")
        source = self.work / "src" / case.release
        payload = source / "payload"
        if case.changed_files < case.files:
            stride = case.files // case.changed_files
            changed = set(range(0, stride * case.changed_files, stride))
            stable = spread(case.bytes - case.changed_bytes, case.files - case.changed_files)
            fresh = spread(case.changed_bytes, case.changed_files)
            sizes = [fresh.pop() if index in changed else stable.pop() for index in range(case.files)]
            write_random_tree(payload, sizes)
            # The installed version: the same tree with other bytes in the changed files, and its list.
            installed = self.work / "field-installed" / case.release
            shutil.copytree(source, installed)
            for index in changed:
                write_random(installed / "payload" / f"d{index // 100:03d}" / f"p{index:05d}", sizes[index])
            run_checked([str(self.bench.bin / "publish-release"), str(installed), "1.0", f"v1-{case.release}",
                         "--web-root", str(self.work / "field-v1")], 600)
            shutil.copyfile(self.work / "field-v1" / f"v1-{case.release}" / "md5.txt", installed / "md5.txt")
            drop_tree(self.work / "field-v1")
        else:
            write_random_tree(payload, spread(case.bytes, case.files))
        run_checked([str(self.bench.bin / "publish-release"), str(source), "2.0", f"v2-{case.release}",
                     "--web-root", str(self.work / "web" / case.release), "--tcp-root", str(self.work / "tcp")], 600)
        drop_tree(source)
        self.prepared.add(case.release)

    def published_list(self, case):
        return read_md5_list(self.work / "web" / case.release / f"v2-{case.release}" / "md5.txt")

    def changed_paths(self, case):
        installed = self.work / "field-installed" / case.release / "md5.txt"
        old = read_md5_list(installed) if installed.exists() else {}
        return sorted(path for path, digest in self.published_list(case).items()
                      if path.startswith("payload/") and old.get(path) != digest)

    def timeout(self, case, link):
        # A run that fails may wait for its deadline, so the deadline is not much above a slow run.
        return round(30 + 3 * link.floor_seconds(case.bytes, case.files))

    def proxy(self, target_port, case, link):
        drop = round(case.drop_every_megabytes * MB)
        return LinkProxy(self.bench.bench_bin, target_port, link, drop, self.timeout(case, link) + 60)

    def ours(self, channel, case, link):
        """update.exe through the link, timed from its start to its exit after the installed update."""
        target = self.bench.tcp_ports[case.release] if channel == "tcp" else self.bench.nginx_port
        proxy = self.proxy(target, case, link)
        try:
            if channel == "tcp":
                inst = self.bench.make_installation("tcp", port=proxy.port)
            else:
                inst = self.bench.make_installation("http", url=f"http://127.0.0.1:{proxy.port}/{case.release}/")
            installed = self.work / "field-installed" / case.release
            if installed.exists():
                shutil.copytree(installed / "payload", inst / "payload")
                shutil.copyfile(installed / "md5.txt", inst / "md5.txt")
            # After a failed download the window waits for the user: the run ends at the final
            # failure instead of at its deadline.
            result, line = self.bench.run_updater(inst, self.bench.updater_environment(), self.timeout(case, link),
                                                  FIELD_FAILURE_MARKERS)
        finally:
            forwarded = proxy.finish()
        try:
            # The console's JSON line follows the version check, so only the installed files tell
            # whether the update was installed.
            listed = {path: digest for path, digest in self.published_list(case).items()
                      if path.startswith("payload/")}
            wrong = [path for path, digest in listed.items()
                     if not (inst / path).is_file() or md5_of(inst / path) != digest]
            if result.returncode != 0 or line != RESULT_OK or wrong or len(listed) != case.files:
                raise RunFailed(f"update.exe over {channel} through {link.title}: exit {result.returncode}, result "
                                f"'{line}', {len(wrong)} files missing or different, link {forwarded}: "
                                f"{result.output[-1000:]}")
        finally:
            drop_tree(inst)
        return {"seconds": result.seconds, "down": forwarded["down"],
                "resent": max(forwarded["down"] - case.changed_bytes, 0) / case.changed_bytes,
                "connections": forwarded["connections"], "drops": forwarded["drops"]}

    def curl(self, case, link, parallel):
        """curl fetching the changed files through the link: one after the other on one connection, or
        four at a time."""
        proxy = self.proxy(self.bench.nginx_port, case, link)
        copy = self.work / "copy"
        drop_tree(copy)
        base = f"http://127.0.0.1:{proxy.port}/{case.release}/v2-{case.release}/"
        config = self.work / f"curl-{case.release}.cfg"
        paths = self.changed_paths(case)
        with open(config, "w") as out:
            for path in paths:
                out.write(f'url = "{base}/{path}"\noutput = "{copy}/{path}"\n')
        command = ["curl", "-sS", "--fail", "--create-dirs", "--config", str(config)]
        if parallel:
            command[1:1] = ["--parallel", "--parallel-max", "4"]
        try:
            result = run_measured(command, self.timeout(case, link))
            got = tree_bytes_and_files(copy)
        finally:
            forwarded = proxy.finish()
            drop_tree(copy)
        if result.returncode != 0 or got != (case.changed_bytes, len(paths)):
            raise RunFailed(f"curl through {link.title}: exit {result.returncode}, got {got}: {result.output[-500:]}")
        return {"seconds": result.seconds, "down": forwarded["down"], "connections": forwarded["connections"]}


def field_row(experiment, case, link, channel, samples):
    """One line of the field table: our median against the floor, beside curl's."""
    sides = samples.get(experiment.id, {})
    ours_runs = sides.get(channel, [])
    round_trips = case.changed_files if channel == "tcp" else 1
    floor = link.floor_seconds(case.changed_bytes, round_trips)
    ours = median_of(ours_runs, "seconds")
    resent = max((run["resent"] for run in ours_runs), default=None)
    target = case.tcp_target if channel == "tcp" else case.http_target
    ratio = ours / floor if ours is not None else None
    if case.drop_every_megabytes:
        # Every run must install, and none may send more than the limit twice.
        met = bool(ours_runs) and len(ours_runs) == experiment.runs and resent <= RESENT_LIMIT
        target_text = f"installs, <= {RESENT_LIMIT:.0%} sent twice"
    else:
        met = None if ratio is None else ratio <= target
        target_text = f"ratio <= {target:g}"
    return {
        "id": f"{experiment.id}-{channel}", "link": link.title, "case": case.title, "channel": channel.upper(),
        "ours_median": ours, "ours_runs": len(ours_runs), "runs": experiment.runs,
        "curl_median": median_of(sides.get("curl", []), "seconds") if channel == "http" else None,
        "curl_parallel_median": median_of(sides.get("curl-parallel", []), "seconds") if channel == "http" else None,
        "floor": floor, "ratio": ratio, "target": target_text, "target_met": met, "resent_max": resent,
        "connections": median_of(ours_runs, "connections"), "drops": median_of(ours_runs, "drops"),
    }


# ------------------------------------------------------------------------------------------------
# The table of figures. An experiment runs ours and the peer alternately; every figure picks one
# metric of one experiment. A figure without a peer side compares with a fixed budget.


@dataclasses.dataclass
class Experiment:
    """Runs its sides one after the other, `runs` rounds; every side's metrics are kept by its name."""
    id: str
    description: str
    sides: list  # [(name, callable returning metrics)]; "ours" and "peer" for the loopback figures
    runs: int
    groups: tuple = ()  # further names that select it with --only and --skip
    releases: tuple = ()  # the releases it downloads, published before the first experiment
    services: tuple = ()  # releases whose update-service runs while it runs
    field: Optional[tuple] = None  # (case, link) of a field experiment


@dataclasses.dataclass
class Figure:
    id: str
    title: str
    experiment: str
    metric: str
    unit: str
    peer_name: str
    op: Optional[str] = None  # ">=" or "<=" on the ratio ours / peer; None: reported only
    target: Optional[float] = None
    budget: Optional[float] = None  # the peer is this fixed number instead of a measured side
    peer_side: str = "peer"


def download_experiments(bench, options):
    big = f"{options.size_mib} MiB"
    small = f"{options.small_mib} MiB"
    many = options.files
    experiments = []
    figures = []
    for channel, peer_name, target in [("tcp", "socket copy", 0.8), ("http", "curl + md5sum", 0.9)]:
        peer = bench.tcp_peer if channel == "tcp" else bench.http_peer
        label = channel.upper()
        for release, title, runs in [("one", f"1 file of {big}", options.large_runs),
                                     ("many", f"{many} files, {big}", options.large_runs),
                                     ("small", f"1 file of {small}", options.runs)]:
            exp_id = f"{channel}-{release}"
            experiments.append(Experiment(
                exp_id, f"{label} download, {title}",
                [("ours", lambda c=channel, r=release: bench.download_ours(c, r)),
                 ("peer", lambda r=release, p=peer: p(r))], runs, (channel, "loopback"), (release,),
                (release,) if channel == "tcp" else ()))
            name = {"one": "1file", "many": f"{many}files", "small": "small"}[release]
            # Many small files are reported, not judged: their cost is per file (see the notes).
            op = None if release == "many" else ">="
            figures.append(Figure(f"{channel}-{name}", f"{label} download, {title}", exp_id, "throughput",
                                  "MiB/s", peer_name, op, target))
        figures.append(Figure(f"perfile-{channel}-{many}files", f"Time per file, {label}, {many} files, {big}",
                              f"{channel}-many", "ms_per_file", "ms", peer_name))
        figures.append(Figure(f"cpu-{channel}-1file", f"CPU per GiB, {label}, 1 file of {big}", f"{channel}-one",
                              "cpu_per_gib", "s/GiB", peer_name))
        figures.append(Figure(f"cpu-{channel}-{many}files", f"CPU per GiB, {label}, {many} files, {big}",
                              f"{channel}-many", "cpu_per_gib", "s/GiB", peer_name))
        for release, title in [("one", f"1 file of {big}"), ("many", f"{many} files, {big}"),
                               ("small", f"1 file of {small}")]:
            figures.append(Figure(f"mem-{channel}-{release}", f"Peak RSS, {label}, {title}", f"{channel}-{release}",
                                  "rss", "MiB", "budget", "<=", 1.0, RSS_BUDGET_MIB))
        # The same releases signed: the manifest's check and every file's SHA-256 on top of the run.
        for release, title in [("one", f"1 file of {big}"), ("many", f"{many} files, {big}")]:
            exp_id = f"{channel}-{release}-signed"
            signed = f"{release}-signed"
            experiments.append(Experiment(
                exp_id, f"{label} download, {title}, signed and unsigned",
                [("ours", lambda c=channel, r=signed: bench.download_ours(c, r)),
                 ("peer", lambda c=channel, r=release: bench.download_ours(c, r))], options.large_runs,
                (channel, "signed"), (release, signed), (release, signed) if channel == "tcp" else ()))
            figures.append(Figure(f"signed-{channel}-{release}", f"Signed release, {label}, {title} (whole run)",
                                  exp_id, "process_seconds", "s", "unsigned run", "<=", 1.1))
    return experiments, figures


def experiments_and_figures(bench, options):
    experiments, figures = download_experiments(bench, options)
    experiments.append(Experiment("check", "No-update check over HTTP",
                                  [("ours", bench.check_ours), ("peer", bench.check_qt_peer),
                                   ("curl", bench.check_curl_peer)], options.check_runs, ("loopback",), ("small",)))
    figures.append(Figure("check", "No-update check over HTTP (process start included)", "check", "seconds", "s",
                          "Qt Widgets program", "<=", 1.15))
    figures.append(Figure("check-curl", "No-update check over HTTP, against curl", "check", "seconds", "s",
                          "curl update.ini", peer_side="curl"))
    for case in FIELD_CASES:
        scaled = case.scaled(options.field_scale)
        for link in FIELD_LINKS:
            if not options.field_links or link.id in options.field_links:
                experiments.append(field_experiment(bench, scaled, link, options))
    experiments.append(Experiment("md5list", "MD5 list", [("ours", bench.md5list_ours), ("peer", bench.md5list_peer)],
                                  options.runs))
    figures.append(Figure("md5list", f"MD5 list, {options.files} files, {options.apply_mib} MiB", "md5list",
                          "seconds", "s", "md5sum", "<=", 1.1))
    experiments.append(Experiment("apply", "Apply", [("ours", bench.apply_ours), ("peer", bench.apply_peer)],
                                  options.runs))
    figures.append(Figure("apply", f"Apply (backup + replacement), {options.files} files, {options.apply_mib} MiB",
                          "apply", "seconds", "s", "cp -a twice", "<=", 1.5))
    return experiments, figures


def field_experiment(bench, case, link, options):
    field = bench.field
    sides = [("http", lambda: field.ours("http", case, link))]
    if not case.drop_every_megabytes:
        # curl retries nothing of its own accord, so it has no side over a link that drops.
        sides += [("curl", lambda: field.curl(case, link, False)), ("curl-parallel", lambda: field.curl(case, link, True))]
    if case.tcp_target is not None:
        sides.append(("tcp", lambda: field.ours("tcp", case, link)))
    services = (case.release,) if case.tcp_target is not None else ()
    return Experiment(f"field-{case.id}-{link.id}", f"Field: {case.title} through {link.title}", sides,
                      options.field_runs, ("field", f"field-{case.id}", f"field-{link.id}"), (case.release,),
                      services, (case, link))


def run_experiment(experiment, samples, failures):
    log(f"== {experiment.description}: {experiment.runs} runs per side, alternating")
    collected = samples.setdefault(experiment.id, {})
    for run in range(1, experiment.runs + 1):
        for side, measure in experiment.sides:
            try:
                metrics = measure()
            except (RunFailed, OSError, subprocess.SubprocessError, ValueError, KeyError) as error:
                failures.append(f"{experiment.id} {side} run {run}: {error}")
                log(f"   FAILED: {failures[-1]}")
                continue
            collected.setdefault(side, []).append(metrics)
            log(f"   run {run} {side}: " + ", ".join(f"{k} {v:.4g}" for k, v in metrics.items()))


def median_of(runs, metric):
    values = [run[metric] for run in runs if metric in run]
    return statistics.median(values) if values else None


def evaluate(figure, samples):
    sides = samples.get(figure.experiment, {})
    ours_runs, peer_runs = sides.get("ours", []), sides.get(figure.peer_side, [])
    ours = median_of(ours_runs, figure.metric)
    peer = figure.budget if figure.budget is not None else median_of(peer_runs, figure.metric)
    ratio = ours / peer if ours is not None and peer else None
    met = None
    if figure.op and ratio is not None:
        met = ratio >= figure.target if figure.op == ">=" else ratio <= figure.target
    return {
        "id": figure.id, "title": figure.title, "unit": figure.unit,
        "ours_median": ours, "ours_runs": len([r for r in ours_runs if figure.metric in r]),
        "peer": figure.peer_name, "peer_median": peer,
        "peer_runs": 0 if figure.budget is not None else len([r for r in peer_runs if figure.metric in r]),
        "ratio": ratio, "target": f"ratio {figure.op} {figure.target:g}" if figure.op else None, "target_met": met,
    }


def frame_figures(bench, options, failures):
    """Google Benchmark of the TCP frame codec: throughput only, there is no peer."""
    log(f"== frame extraction and decoding (Google Benchmark, {options.runs} repetitions)")
    try:
        out = run_checked([str(bench.bench_bin / "bench_frames"), f"--benchmark_repetitions={options.runs}",
                           "--benchmark_report_aggregates_only=true", "--benchmark_format=json"], 600)
        report = json.loads(out[out.index("{"):])
    except (RunFailed, ValueError, subprocess.SubprocessError) as error:
        failures.append(f"bench_frames: {error}")
        return []
    figures = []
    # One repetition gives no aggregates, only the run itself.
    wanted = ("aggregate", "median") if options.runs > 1 else ("iteration", None)
    for entry in report.get("benchmarks", []):
        if (entry.get("run_type"), entry.get("aggregate_name")) != wanted:
            continue
        name = entry["run_name"]
        figures.append({"id": "frames-" + name.replace("/", "-"), "title": f"Frames: {name}", "unit": "MiB/s",
                        "ours_median": entry["bytes_per_second"] / MIB, "ours_runs": options.runs, "peer": None,
                        "peer_median": None, "peer_runs": 0, "ratio": None, "target": None, "target_met": None})
    return figures


# ------------------------------------------------------------------------------------------------
# Preparation, report


def build_tree(build):
    log(f"== building the Release tree in {build}")
    env = dict(os.environ)
    env.setdefault("CMAKE_CXX_COMPILER_LAUNCHER", "ccache" if shutil.which("ccache") else "")
    if not (build / "CMakeCache.txt").exists():
        run_checked(["cmake", "-S", str(ROOT / "bench"), "-B", str(build), "-G", "Ninja",
                     "-DCMAKE_BUILD_TYPE=Release"], 600, env=env)
    run_checked(["cmake", "--build", str(build), "-j2"], 3600, env=env)


def prepare_releases(bench, options, wanted):
    """Publishes the loopback releases among `wanted` (one, many, small and their -signed copies)."""
    work = bench.work
    wanted = set(wanted)
    plain = [r for r in ["one", "many", "small"] if r in wanted or f"{r}-signed" in wanted]
    if not plain:
        return
    log(f"== preparing releases {', '.join(sorted(wanted))} ({options.size_mib} MiB as 1 and {options.files} "
        f"files; {options.small_mib} MiB)")
    if "one" in plain or "many" in plain:
        write_random(work / "src" / "one" / "payload" / "large.bin", options.size_mib * MIB)
        split_into_tree(work / "src" / "one" / "payload" / "large.bin", work / "src" / "many" / "payload",
                        options.files)
    if "small" in plain:
        write_random(work / "src" / "small" / "payload" / "large.bin", options.small_mib * MIB)
    if any(r.endswith("-signed") for r in wanted):
        run_checked([str(bench.bin / "publish-release"), "keygen", str(work / "keys")], 60)
        bench.public_key = (work / "keys" / "release-signing.pub").read_text().strip()
    for release in plain:
        for name in [n for n in [release, f"{release}-signed"] if n in wanted]:
            signing = ["--sign-key", str(work / "keys" / "release-signing.key")] if name != release else []
            run_checked([str(bench.bin / "publish-release"), str(work / "src" / release), "2.0", f"v2-{name}",
                         "--web-root", str(work / "web" / name), "--tcp-root", str(work / "tcp")] + signing, 600)
        drop_tree(work / "src" / release)
        bench.release_sizes[release] = tree_bytes_and_files(work / "web" / release / f"v2-{release}" / "payload")


def prepare_apply_trees(bench, options):
    log(f"== preparing {options.files} files, {options.apply_mib} MiB, installed and updated versions")
    for name in ["old", "new"]:
        blob = bench.work / f"{name}.bin"
        write_random(blob, options.apply_mib * MIB)
        split_into_tree(blob, bench.work / name, options.files)
        blob.unlink()
    # Warm page cache for both sides of the MD5 list.
    for path in (bench.work / "new").rglob("*"):
        if path.is_file():
            path.read_bytes()


def machine_line():
    cpu = "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
        mem_kib = int(re.search(r"MemTotal:\s+(\d+)", Path("/proc/meminfo").read_text()).group(1))
    except (OSError, AttributeError):
        mem_kib = 0
    fs = subprocess.run(["df", "-PT", tempfile.gettempdir()], stdout=subprocess.PIPE, text=True,
                        timeout=30).stdout.splitlines()[-1].split()[1]
    return (f"{os.cpu_count()} cores of {cpu}, {round(mem_kib / MIB)} GiB RAM, {platform.system()} "
            f"{platform.release()} {platform.machine()}; {fs} file system")


def tool_versions():
    def first_line(command):
        try:
            result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=30)
            return result.stdout.strip().splitlines()[0]
        except (OSError, IndexError, subprocess.SubprocessError):
            return "?"
    qt = first_line(["qmake", "-query", "QT_VERSION"])
    nginx = first_line(["nginx", "-v"]).split(": ")[-1]
    curl = " ".join(first_line(["curl", "--version"]).split()[:2])
    return f"Qt {qt}, {nginx}, {curl}"


def number(value):
    if value is None:
        return "n/a"
    return f"{value:.3f}" if abs(value) < 10 else f"{value:.1f}"


def render_loopback(results):
    lines = [f"- Command: `{results['command']}` ({results['runs']} runs per side, {results['large_runs']} for the "
             f"{results['size_mib']} MiB downloads, {results['check_runs']} for the check; medians; ours and peer "
             "alternate run by run)",
             f"- Date: {results['date']}, total time {results['seconds']} s, failed runs: {len(results['failures'])}",
             f"- Machine: {results['machine']}; load average {results.get('load_at_start', 'unknown')} "
             "when the run began",
             f"- Build: Release (`-O3 -DNDEBUG`), {results['tools']}", "",
             "| Figure | Ours | Peer | Peer median | Ratio ours/peer | Target | Met |",
             "|---|---|---|---|---|---|---|"]
    for f in results["figures"]:
        if f["peer"] is None:
            lines.append(f"| {f['title']} | {number(f['ours_median'])} {f['unit']} | | | | | |")
            continue
        met = {True: "yes", False: "no", None: "" if f["target"] is None else "unknown"}[f["target_met"]]
        lines.append(f"| {f['title']} | {number(f['ours_median'])} {f['unit']} | {f['peer']} | "
                     f"{number(f['peer_median'])} {f['unit']} | {number(f['ratio'])} | {f['target'] or ''} | {met} |")
    return lines


def render_field(field):
    def seconds(value):
        return "" if value is None else f"{number(value)} s"

    lines = [f"- Command: `{field['command']}` (sizes x {field['scale']:g}, {field['runs']} runs per side, medians; "
             "update.exe over HTTP, curl on one connection, curl with 4 in parallel and update.exe over TCP "
             "alternate run by run)",
             f"- Date: {field['date']}, total time {field['seconds']} s, failed runs: {len(field['failures'])}, "
             f"load average {field['load_at_start']} when the run began", "",
             "| Link | Case | Channel | Ours | curl, 1 connection | curl, 4 parallel | Floor | Ours/floor | Target | "
             "Met | Sent twice (worst run) | Runs |",
             "|---|---|---|---|---|---|---|---|---|---|---|---|"]
    for row in field["rows"]:
        met = {True: "yes", False: "no", None: "unknown"}[row["target_met"]]
        resent = "" if row["resent_max"] is None else f"{row['resent_max']:.1%}"
        lines.append(f"| {row['link']} | {row['case']} | {row['channel']} | {seconds(row['ours_median'])} | "
                     f"{seconds(row['curl_median'])} | {seconds(row['curl_parallel_median'])} | "
                     f"{seconds(row['floor'])} | {number(row['ratio'])} | {row['target']} | {met} | {resent} | "
                     f"{row['ours_runs']}/{row['runs']} |")
    return lines


def render_markdown(results, notes):
    lines = ["# Benchmark results", "",
             "Written by `bench/run.py` from `results.json`; the sections after the tables come from "
             "`bench/notes.md`.", ""]
    if results.get("figures"):
        lines += ["## On loopback", ""] + render_loopback(results) + [""]
    if results.get("field"):
        lines += ["## Field figures: through the link emulator", "",
                  "Time from the start of the process to its exit after the installed update (curl: to its "
                  "last file). The floor is the changed bytes at the link's bandwidth plus one round trip "
                  "(TCP: plus one round trip per file).", ""] + render_field(results["field"]) + [""]
    return "\n".join(lines) + "\n" + notes


def parse_options(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", type=Path, default=ROOT / "build-release", help="Release tree (built if needed)")
    parser.add_argument("--runs", type=int, default=3, help="runs per side of every figure (default 3)")
    parser.add_argument("--large-runs", type=int, help="runs per side of the large downloads (default: --runs)")
    parser.add_argument("--check-runs", type=int, default=10, help="runs per side of the no-update check")
    parser.add_argument("--field-runs", type=int, help="runs per side of the field figures (default: --runs)")
    parser.add_argument("--size-mib", type=int, default=1024, help="size of the large release")
    parser.add_argument("--small-mib", type=int, default=64, help="size of the small release")
    parser.add_argument("--files", type=int, default=2000, help="files of the many-files release and the apply")
    parser.add_argument("--apply-mib", type=int, default=130, help="size of the MD5 list and apply trees")
    parser.add_argument("--field-scale", type=float,
                        help="scales every size and file count of the field figures (default 1: the full sizes)")
    parser.add_argument("--field-links", help="comma-separated links of the field figures (40ms, 150ms; default both)")
    parser.add_argument("--only", help="comma-separated experiments or groups (tcp-one, http-many, check, apply, "
                                       "loopback, signed, field, field-c, field-150ms, field-a-40ms, ...)")
    parser.add_argument("--skip", help="comma-separated experiments or groups to leave out (as --only)")
    parser.add_argument("--smoke", action="store_true",
                        help="one run per side at small sizes, to try the script out")
    parser.add_argument("--write-results", action="store_true", help="write bench/RESULTS.md after --smoke too")
    options = parser.parse_args(argv)
    if options.smoke:
        options.runs, options.check_runs = 1, 1
        options.size_mib, options.small_mib, options.files, options.apply_mib = 16, 4, 200, 8
        options.large_runs = 1 if options.large_runs is None else options.large_runs
        options.field_scale = 0.02 if options.field_scale is None else options.field_scale
    if options.large_runs is None:
        options.large_runs = options.runs
    if options.field_runs is None:
        options.field_runs = options.runs
    if options.field_scale is None:
        options.field_scale = 1.0
    if options.field_scale <= 0:
        parser.error("--field-scale must be above 0")
    options.field_links = set(options.field_links.split(",")) if options.field_links else None
    return options


def selected(experiment, names):
    return experiment.id in names or any(group in names for group in experiment.groups)


def disk_needed_mib(options, chosen):
    """Publishing writes every release twice (web tree and TCP folder); a run adds its download, its
    installation and its backup."""
    need = options.small_mib * 4 + 1024
    if any(e.releases and set(e.releases) & {"one", "many"} for e in chosen):
        need += options.size_mib * 9
    if any(r.endswith("-signed") for e in chosen for r in e.releases):
        need += options.size_mib * 4
    if any(e.id in ("md5list", "apply") for e in chosen):
        need += options.apply_mib * 8
    field_mb = {"field-a": 40 * 4, "field-b": 150 * 6, "field-c": 200 * 5}
    need += sum(mb for release, mb in field_mb.items() if any(release in e.releases for e in chosen)) * \
        options.field_scale * MB // MIB
    return int(need)


def run_chosen(bench, chosen, samples, failures):
    servers = []
    try:
        prepare_releases(bench, bench.options, [r for e in chosen for r in e.releases])
        for experiment in chosen:
            if experiment.field:
                bench.field.prepare(experiment.field[0])
        if any(e.releases for e in chosen):
            server, bench.nginx_port = start_nginx(bench.work / "web", bench.work)
            servers.append(server)
        for experiment in chosen:
            if experiment.id in ("md5list", "apply") and not (bench.work / "new").exists():
                # The releases are done with: their disk space goes to the apply trees.
                for server in servers:
                    server.stop()
                drop_tree(bench.work / "web")
                drop_tree(bench.work / "tcp")
                prepare_apply_trees(bench, bench.options)
            services = []
            try:
                for release in experiment.services:
                    service, bench.tcp_ports[release] = start_update_service(
                        bench.bin, bench.work / "tcp" / f"v2-{release}", bench.work)
                    services.append(service)
                run_experiment(experiment, samples, failures)
            finally:
                for service in services:
                    service.stop()
    except (RunFailed, OSError, subprocess.SubprocessError) as error:
        failures.append(str(error))
        log(f"FAILED: {error}")
    finally:
        for server in servers:
            server.stop()


def merged_with_recorded(results):
    """A run of some experiments only keeps the recorded table it did not run (loopback or field)."""
    recorded_path = ROOT / "bench" / "results.json"
    try:
        recorded = json.loads(recorded_path.read_text())
    except (OSError, ValueError):
        return results
    merged = dict(results)
    if not results["figures"] and recorded.get("figures"):
        for key, value in recorded.items():
            if key != "field":
                merged[key] = value
    if not results.get("field") and recorded.get("field"):
        merged["field"] = recorded["field"]
    return merged


def main(argv):
    options = parse_options(argv)
    started = time.time()
    # Contention widens the gaps (the peers need less CPU than update.exe), so the table says how
    # busy the machine was when the run began.
    load_at_start = os.getloadavg()[0]
    os.environ["QT_QPA_PLATFORM"] = "offscreen"
    os.environ["LC_ALL"] = "C.UTF-8"
    build = options.build.resolve()
    try:
        build_tree(build)
    except (RunFailed, subprocess.SubprocessError) as error:
        log(f"build failed: {error}")
        return 1

    failures = []
    samples = {}
    only = set(options.only.split(",")) if options.only else None
    skip = set(options.skip.split(",")) if options.skip else set()
    with tempfile.TemporaryDirectory(prefix="updater-bench.") as work_dir:
        bench = Bench(options, build, Path(work_dir))
        bench.field = FieldBench(bench, options.field_scale)
        experiments, figures = experiments_and_figures(bench, options)
        chosen = [e for e in experiments if (only is None or selected(e, only)) and not selected(e, skip)]
        need_mib = disk_needed_mib(options, chosen)
        free_mib = shutil.disk_usage(work_dir).free // MIB
        if free_mib < need_mib:
            log(f"not enough disk space in {tempfile.gettempdir()}: {free_mib} MiB free, {need_mib} MiB needed")
            return 1
        run_chosen(bench, chosen, samples, failures)
        evaluated = [evaluate(f, samples) for f in figures if f.experiment in samples]
        if (only is None or "frames" in only) and "frames" not in skip:
            evaluated += frame_figures(bench, options, failures)
        field_rows = []
        for experiment in chosen:
            if experiment.field and experiment.id in samples:
                case, link = experiment.field
                field_rows += [field_row(experiment, case, link, channel, samples)
                               for channel, _ in experiment.sides if channel in ("http", "tcp")]

    command = "bench/run.py" + ("" if not argv else " " + " ".join(argv))
    date = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
    seconds = round(time.time() - started)
    field_failures = [f for f in failures if f.startswith("field-")]
    results = {
        "date": date, "command": command,
        "runs": options.runs, "large_runs": options.large_runs, "check_runs": options.check_runs,
        "size_mib": options.size_mib, "small_mib": options.small_mib, "files": options.files,
        "apply_mib": options.apply_mib, "seconds": seconds,
        "machine": machine_line(), "load_at_start": round(load_at_start, 2), "tools": tool_versions(),
        "failures": [f for f in failures if f not in field_failures],
        "figures": evaluated,
    }
    if field_rows:
        results["field"] = {"date": date, "command": command, "scale": options.field_scale,
                            "runs": options.field_runs, "seconds": seconds, "load_at_start": round(load_at_start, 2),
                            "failures": field_failures, "rows": field_rows}
    with open(build / "results.json", "w") as out:
        json.dump(results, out, indent=2)
        out.write("\n")
    print("\n".join(render_markdown(results, "").split("\n")))
    if not options.smoke or options.write_results:
        recorded = merged_with_recorded(results)
        (ROOT / "bench" / "RESULTS.md").write_text(render_markdown(recorded, (ROOT / "bench" / "notes.md").read_text()))
        # The figures behind the recorded tables stay beside them.
        with open(ROOT / "bench" / "results.json", "w") as out:
            json.dump(recorded, out, indent=2)
            out.write("\n")
        log("wrote bench/RESULTS.md")
    log(f"wrote {build / 'results.json'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
