#!/usr/bin/env python3
"""Benchmarks of update.exe against peers measured side by side in the same run.

    bench/run.py [--runs N] [--large-runs N] [--check-runs N] [--size-mib MIB] [--smoke]

Builds the Release tree (--build, default build-release/), runs every figure of FIGURES with ours
and the peer alternating run by run, and writes <build>/results.json (json.dump) and
bench/RESULTS.md rendered from it, followed by bench/notes.md. The exit status is non-zero only
when a run failed; a missed target is reported, not fatal. --smoke runs everything once at small
sizes to try the script out; its figures are not the recorded ones and it leaves RESULTS.md alone
unless --write-results is given.
"""

import argparse
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
from dataclasses import dataclass
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


@dataclass
class Measured:
    returncode: int
    seconds: float
    cpu_seconds: float
    max_rss_kib: int
    output: str


def run_measured(command, timeout, cwd=None, env=None, output_file=None):
    """Runs one process to its end, killed at `timeout` seconds. Its own CPU time and peak RSS
    come from wait4() on its pid, the wall time from around the start and the wait."""
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
        _, status, usage = os.wait4(process.pid, 0)
        seconds = time.perf_counter() - started
        reaped.set()
        timer.cancel()
        process.returncode = os.waitstatus_to_exitcode(status)
    output = Path(out_path).read_text(errors="replace")
    if output_file is None:
        os.unlink(out_path)
    return Measured(process.returncode, seconds, usage.ru_utime + usage.ru_stime, usage.ru_maxrss, output)


def run_checked(command, timeout, **kwargs):
    result = subprocess.run(command, timeout=timeout, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, **kwargs)
    if result.returncode != 0:
        raise RunFailed(f"{command[0]} exited with {result.returncode}: {result.stdout[-2000:]}")
    return result.stdout


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
    port_file = work / "service.port"
    with open(port_file, "w") as out:
        server = Server([str(bin_dir / "update-service"), "--root", str(release_root), "--version", "2.0",
                         "--port", "0"], 3600, stdout=out, stderr=subprocess.DEVNULL)
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
                         str(conf_dir / "error.log")], 3600, stderr=subprocess.DEVNULL)
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

    # Installations ------------------------------------------------------------------------------

    def make_installation(self, channel, port=1, url="", version="1.0"):
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
            f"[%General]\nVersion={version}\n[Paths]\nTemp=temp/\nBackup=backup/\nLog=logs/\n")
        return inst

    def updater_environment(self, report=None):
        env = dict(os.environ)
        if report is not None:
            env[DOWNLOAD_REPORT_VARIABLE] = str(report)
        return env

    def run_updater(self, inst, env, timeout):
        result = run_measured(["./update.exe", "console"], timeout, cwd=inst, env=env)
        match = re.search(r'\{"errormsg".*\}', result.output)
        return result, match.group(0) if match else ""

    # Downloads ----------------------------------------------------------------------------------

    def download_ours(self, channel, release):
        expected_bytes, expected_files = self.release_sizes[release]
        if channel == "tcp":
            inst = self.make_installation("tcp", port=self.tcp_ports[release])
        else:
            inst = self.make_installation("http", url=f"http://127.0.0.1:{self.nginx_port}/{release}/")
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
            window = json.loads(report.read_text())
            if window.get("channel") != channel or window.get("seconds", 0) <= 0:
                raise RunFailed(f"unexpected download report {window}")
        finally:
            drop_tree(inst)
        return {
            "throughput": expected_bytes / MIB / window["seconds"],
            "seconds": window["seconds"],
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
                "cpu_per_gib": result.cpu_seconds / (expected_bytes / GIB)}

    def http_peer(self, release):
        expected_bytes, expected_files = self.release_sizes[release]
        copy = self.work / "copy"
        drop_tree(copy)
        # curl fetches the very addresses update.exe asks for, in one process over one connection.
        base = f"http://127.0.0.1:{self.nginx_port}/{release}/v2-{release}/"
        payload = self.work / "web" / release / f"v2-{release}"
        config = self.work / f"curl-{release}.cfg"
        with open(config, "w") as out:
            for path in sorted(p.relative_to(payload).as_posix() for p in payload.rglob("*")
                               if p.is_file() and p.relative_to(payload).parts[0] == "payload"):
                out.write(f'url = "{base}/{path}"\noutput = "{copy}/{path}"\n')
        try:
            result = run_measured(["curl", "-sS", "--fail", "--create-dirs", "--config", str(config)], 600)
            if result.returncode != 0 or tree_bytes_and_files(copy / "payload") != (expected_bytes, expected_files):
                raise RunFailed(f"curl of {release}: {result.output[-500:]}")
        finally:
            drop_tree(copy)
        return {"throughput": expected_bytes / MIB / result.seconds, "seconds": result.seconds,
                "cpu_per_gib": result.cpu_seconds / (expected_bytes / GIB)}

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

    def check_peer(self):
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
# The table of figures. An experiment runs ours and the peer alternately; every figure picks one
# metric of one experiment. A figure without a peer side compares with a fixed budget.


@dataclass
class Experiment:
    id: str
    description: str
    ours: Callable[[], dict]
    peer: Optional[Callable[[], dict]]
    runs: int


@dataclass
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


def experiments_and_figures(bench, options):
    big = f"{options.size_mib} MiB"
    small = f"{options.small_mib} MiB"
    many = options.files
    experiments = []
    figures = []
    for channel, peer_name, target in [("tcp", "socket copy", 0.8), ("http", "curl", 0.9)]:
        peer = bench.tcp_peer if channel == "tcp" else bench.http_peer
        label = channel.upper()
        for release, title, runs in [("one", f"1 file of {big}", options.large_runs),
                                     ("many", f"{many} files, {big}", options.large_runs),
                                     ("small", f"1 file of {small}", options.runs)]:
            exp_id = f"{channel}-{release}"
            experiments.append(Experiment(
                exp_id, f"{label} download, {title}",
                lambda c=channel, r=release: bench.download_ours(c, r), lambda r=release, p=peer: p(r), runs))
            name = {"one": "1file", "many": f"{many}files", "small": "small"}[release]
            figures.append(Figure(f"{channel}-{name}", f"{label} download, {title}", exp_id, "throughput",
                                  "MiB/s", peer_name, ">=", target))
        figures.append(Figure(f"cpu-{channel}-1file", f"CPU per GiB, {label}, 1 file of {big}", f"{channel}-one",
                              "cpu_per_gib", "s/GiB", peer_name))
        figures.append(Figure(f"cpu-{channel}-{many}files", f"CPU per GiB, {label}, {many} files, {big}",
                              f"{channel}-many", "cpu_per_gib", "s/GiB", peer_name))
        for release, title in [("one", f"1 file of {big}"), ("many", f"{many} files, {big}"),
                               ("small", f"1 file of {small}")]:
            figures.append(Figure(f"mem-{channel}-{release}", f"Peak RSS, {label}, {title}", f"{channel}-{release}",
                                  "rss", "MiB", "budget", "<=", 1.0, RSS_BUDGET_MIB))
    experiments.append(Experiment("check", "No-update check over HTTP", bench.check_ours, bench.check_peer,
                                  options.check_runs))
    figures.append(Figure("check", "No-update check over HTTP (process start included)", "check", "seconds", "s",
                          "curl update.ini", "<=", 2.0))
    experiments.append(Experiment("md5list", "MD5 list", bench.md5list_ours, bench.md5list_peer, options.runs))
    figures.append(Figure("md5list", f"MD5 list, {many} files, {options.apply_mib} MiB", "md5list", "seconds", "s",
                          "md5sum", "<=", 1.1))
    experiments.append(Experiment("apply", "Apply", bench.apply_ours, bench.apply_peer, options.runs))
    figures.append(Figure("apply", f"Apply (backup + replacement), {many} files, {options.apply_mib} MiB", "apply",
                          "seconds", "s", "cp -a twice", "<=", 1.5))
    return experiments, figures


def run_experiment(experiment, samples, failures):
    log(f"== {experiment.description}: {experiment.runs} runs per side, alternating")
    ours, peer = samples.setdefault(experiment.id, ([], []))
    for run in range(1, experiment.runs + 1):
        for side, collected, measure in [("ours", ours, experiment.ours), ("peer", peer, experiment.peer)]:
            if measure is None:
                continue
            try:
                metrics = measure()
            except (RunFailed, OSError, subprocess.SubprocessError, ValueError, KeyError) as error:
                failures.append(f"{experiment.id} {side} run {run}: {error}")
                log(f"   FAILED: {failures[-1]}")
                continue
            collected.append(metrics)
            log(f"   run {run} {side}: " + ", ".join(f"{k} {v:.4g}" for k, v in metrics.items()))


def median_of(runs, metric):
    values = [run[metric] for run in runs if metric in run]
    return statistics.median(values) if values else None


def evaluate(figure, samples):
    ours_runs, peer_runs = samples.get(figure.experiment, ([], []))
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


def prepare_releases(bench, options):
    work = bench.work
    log(f"== preparing releases ({options.size_mib} MiB as 1 and {options.files} files; {options.small_mib} MiB)")
    write_random(work / "src" / "one" / "payload" / "large.bin", options.size_mib * MIB)
    split_into_tree(work / "src" / "one" / "payload" / "large.bin", work / "src" / "many" / "payload", options.files)
    write_random(work / "src" / "small" / "payload" / "large.bin", options.small_mib * MIB)
    for release in ["one", "many", "small"]:
        run_checked([str(bench.bin / "publish-release"), str(work / "src" / release), "2.0", f"v2-{release}",
                     "--web-root", str(work / "web" / release), "--tcp-root", str(work / "tcp")], 600)
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


def render_markdown(results, notes):
    lines = ["# Benchmark results", "",
             "Written by `bench/run.py` from `results.json`; the sections after the table come from "
             "`bench/notes.md`.", "",
             f"- Command: `{results['command']}` ({results['runs']} runs per side, {results['large_runs']} for the "
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
    return "\n".join(lines) + "\n\n" + notes


def parse_options(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", type=Path, default=ROOT / "build-release", help="Release tree (built if needed)")
    parser.add_argument("--runs", type=int, default=3, help="runs per side of every figure (default 3)")
    parser.add_argument("--large-runs", type=int, help="runs per side of the large downloads (default: --runs)")
    parser.add_argument("--check-runs", type=int, default=10, help="runs per side of the no-update check")
    parser.add_argument("--size-mib", type=int, default=1024, help="size of the large release")
    parser.add_argument("--small-mib", type=int, default=64, help="size of the small release")
    parser.add_argument("--files", type=int, default=2000, help="files of the many-files release and the apply")
    parser.add_argument("--apply-mib", type=int, default=130, help="size of the MD5 list and apply trees")
    parser.add_argument("--only", help="comma-separated experiment ids (tcp-one, http-many, check, apply, ...)")
    parser.add_argument("--smoke", action="store_true",
                        help="one run per side at small sizes, to try the script out")
    parser.add_argument("--write-results", action="store_true", help="write bench/RESULTS.md after --smoke too")
    options = parser.parse_args(argv)
    if options.smoke:
        options.runs, options.check_runs = 1, 1
        options.size_mib, options.small_mib, options.files, options.apply_mib = 16, 4, 200, 8
        options.large_runs = 1 if options.large_runs is None else options.large_runs
    if options.large_runs is None:
        options.large_runs = options.runs
    return options


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

    need_mib = options.size_mib * 9 + options.small_mib * 4 + options.apply_mib * 8 + 1024
    free_mib = shutil.disk_usage(tempfile.gettempdir()).free // MIB
    if free_mib < need_mib:
        log(f"not enough disk space in {tempfile.gettempdir()}: {free_mib} MiB free, {need_mib} MiB needed")
        return 1

    failures = []
    samples = {}
    servers = []
    only = set(options.only.split(",")) if options.only else None
    with tempfile.TemporaryDirectory(prefix="updater-bench.") as work_dir:
        bench = Bench(options, build, Path(work_dir))
        experiments, figures = experiments_and_figures(bench, options)
        chosen = [e for e in experiments if only is None or e.id in only]
        try:
            if any(e.id not in ("md5list", "apply") for e in chosen):
                prepare_releases(bench, options)
                server, bench.nginx_port = start_nginx(bench.work / "web", bench.work)
                servers.append(server)
            for experiment in chosen:
                if experiment.id.startswith("tcp-"):
                    release = experiment.id.split("-", 1)[1]
                    service, bench.tcp_ports[release] = start_update_service(
                        bench.bin, bench.work / "tcp" / f"v2-{release}", bench.work)
                    try:
                        run_experiment(experiment, samples, failures)
                    finally:
                        service.stop()
                    continue
                if experiment.id in ("md5list", "apply") and not (bench.work / "new").exists():
                    # The releases are done with: their disk space goes to the apply trees.
                    for server in servers:
                        server.stop()
                    drop_tree(bench.work / "web")
                    drop_tree(bench.work / "tcp")
                    prepare_apply_trees(bench, options)
                run_experiment(experiment, samples, failures)
        except (RunFailed, OSError, subprocess.SubprocessError) as error:
            failures.append(str(error))
            log(f"FAILED: {error}")
        finally:
            for server in servers:
                server.stop()
        evaluated = [evaluate(f, samples) for f in figures if f.experiment in samples]
        if only is None or "frames" in only:
            evaluated += frame_figures(bench, options, failures)

    command = "bench/run.py" + ("" if not argv else " " + " ".join(argv))
    results = {
        "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
        "command": command,
        "runs": options.runs, "large_runs": options.large_runs, "check_runs": options.check_runs,
        "size_mib": options.size_mib, "small_mib": options.small_mib, "files": options.files,
        "apply_mib": options.apply_mib,
        "seconds": round(time.time() - started),
        "machine": machine_line(), "load_at_start": round(load_at_start, 2), "tools": tool_versions(),
        "failures": failures,
        "figures": evaluated,
    }
    with open(build / "results.json", "w") as out:
        json.dump(results, out, indent=2)
        out.write("\n")
    markdown = render_markdown(results, (ROOT / "bench" / "notes.md").read_text())
    print(markdown.split("\n## ")[0])
    if not options.smoke or options.write_results:
        (ROOT / "bench" / "RESULTS.md").write_text(markdown)
        # The figures behind the recorded table stay beside it.
        shutil.copyfile(build / "results.json", ROOT / "bench" / "results.json")
        log("wrote bench/RESULTS.md")
    log(f"wrote {build / 'results.json'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
