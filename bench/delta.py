#!/usr/bin/env python3
"""Benchmark of patches (delta updates) over the HTTP channel, against whole files in the same run.

    bench/delta.py [--build DIR] [--runs N] [--binary-mib MIB] [--rate-kib-s N] [--smoke]

A release in which a large program (64 MiB of random bytes) changed in seven places and 20 small
files changed by a line each is published twice with publish-release: once with --delta-from the
earlier version, once without. Fresh installations of the earlier version then run
`update.exe console` against nginx on 127.0.0.1, alternating run by run between the two, on two
links: plain loopback, and a customer's link of 50 Mbit/s with 40 ms round trip through the link
emulator of the tests (bench_linkproxy of the benchmark build, --link-proxy; without it nginx's
per-connection `limit_rate` stands in, bandwidth only). It
measures the bytes nginx sent for the release folder and the wall time from the start of update.exe
to its exit with the update installed (checked byte for byte). Medians; writes the section between
the markers in bench/RESULTS.md and bench/notes.md (so that bench/run.py keeps it).
"""

import argparse
import hashlib
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run as bench  # noqa: E402  (the process and nginx helpers of the main benchmark)

ROOT = Path(__file__).resolve().parent.parent
MIB = 1 << 20
SMALL_FILES = 20
BEGIN = "<!-- delta benchmark: written by bench/delta.py -->"
END = "<!-- end of delta benchmark -->"


def make_versions(work, binary_bytes):
    """Version 1 and 2 source folders; returns their paths."""
    rng = random.Random(24)
    v1, v2 = work / "v1", work / "v2"
    program = bytearray(os.urandom(binary_bytes))
    (v1 / "data").mkdir(parents=True)
    (v2 / "data").mkdir(parents=True)
    (v1 / "app.bin").write_bytes(program)
    for _ in range(6):
        at = rng.randrange(len(program) - 64)
        program[at:at + 64] = os.urandom(64)
    program[4096:4096] = b"a line added in version 2\n"
    (v2 / "app.bin").write_bytes(program)
    for index in range(SMALL_FILES):
        lines = [f"setting {index}.{n} = {rng.random():.12f}\n" for n in range(100)]
        (v1 / "data" / f"file{index:02d}.txt").write_text("".join(lines))
        lines[rng.randrange(len(lines))] = "changed in version 2\n"
        (v2 / "data" / f"file{index:02d}.txt").write_text("".join(lines))
    for folder in (v1, v2):
        (folder / "unchanged.txt").write_text("the same in both versions\n")
    return v1, v2


def publish(bin_dir, v1, v2, web, with_patches):
    command = [str(bin_dir / "publish-release"), str(v2), "2.0", "v2", "--web-root", str(web)]
    if with_patches:
        command += ["--delta-from", str(v1)]
    started = time.perf_counter()
    result = subprocess.run(command, capture_output=True, text=True, timeout=600)
    if result.returncode != 0:
        raise SystemExit(f"publish-release failed: {result.stderr}")
    return time.perf_counter() - started, result.stdout


def start_nginx(web, work, rate_kib):
    """nginx on 127.0.0.1 with an access log; `rate_kib` caps each connection (0: no cap)."""
    conf_dir = work / f"nginx-{rate_kib}"
    conf_dir.mkdir(parents=True, exist_ok=True)
    log_file = conf_dir / "access.log"
    server_lines = f"limit_rate {rate_kib}k;" if rate_kib else ""
    template = bench.NGINX_TEMPLATE.read_text()
    port = bench.free_port()
    config = (template.replace("@WORK@", str(conf_dir)).replace("@ACCESS_LOG@", str(log_file))
              .replace("@PORT@", str(port)).replace("@TLS@", "").replace("@ROOT@", str(web))
              .replace("@SERVER@", server_lines))
    (conf_dir / "nginx.conf").write_text(config)
    nginx = shutil.which("nginx") or "/usr/sbin/nginx"
    server = bench.Server([nginx, "-p", str(conf_dir), "-c", str(conf_dir / "nginx.conf"), "-e",
                           str(conf_dir / "error.log")], 3600, stderr=subprocess.DEVNULL)
    for _ in range(50):
        if bench.accepts_connections(port):
            return server, port, log_file
        time.sleep(0.1)
    server.stop()
    raise SystemExit("nginx did not start")


def start_link(proxy, target_port, mbit, rtt_ms):
    """bench_linkproxy in front of `target_port`; returns the process and the port it listens on."""
    process = subprocess.Popen(["timeout", "-k", "5", "3600", str(proxy), str(target_port), "--rtt-ms", str(rtt_ms),
                                "--mbit", str(mbit)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    line = process.stdout.readline().strip()
    if not line.isdigit():
        process.kill()
        raise SystemExit("bench_linkproxy did not start")
    return process, int(line)


def stop_link(process):
    process.stdin.close()
    try:
        process.wait(10)
    except subprocess.TimeoutExpired:
        process.kill()


def served_bytes(log_file, folder):
    """Body bytes of every answer for the release folder, from nginx's combined log."""
    total = 0
    for line in log_file.read_text().splitlines():
        fields = line.split()
        if len(fields) > 9 and fields[6].startswith(f"/{folder}/") and fields[9].isdigit():
            total += int(fields[9])
    return total


def install_version1(bin_dir, v1, inst, url):
    shutil.rmtree(inst, ignore_errors=True)
    shutil.copytree(v1, inst)
    shutil.copy2(bin_dir / "update.exe", inst / "update.exe")
    (inst / "update").mkdir()
    (inst / "update" / "update.ini").write_text("[Version]\nVersion=1.0\nFolder=v1\n")
    host = inst / "host.sh"
    host.write_text("#!/bin/sh\nexit 0\n")
    host.chmod(0o755)
    # The installed list, so that no run spends its time generating one.
    lines = []
    for path in sorted(p for p in v1.rglob("*") if p.is_file()):
        lines.append(f"{hashlib.md5(path.read_bytes()).hexdigest()}\t/{path.relative_to(v1).as_posix()}\n")
    (inst / "md5.txt").write_text("".join(lines))
    (inst / "system.cfg").write_text(
        f"[Update]\nURL={url}\nHostExe=host.sh\nUpdateExe=update.exe\nHttpEnable=true\n"
        f"[Server]\nUpdateServer=127.0.0.1\nUpdatePort=1\n[Paths]\nTemp=temp/\nBackup=backup/\nLog=logs/\n")


def run_update(bin_dir, v1, v2, work, port, log_file):
    inst = work / "installation"
    install_version1(bin_dir, v1, inst, f"http://127.0.0.1:{port}/")
    log_file.write_text("")
    result = bench.run_measured(["./update.exe", "console"], 900, cwd=inst)
    if result.returncode != 0 or bench.RESULT_OK not in result.output:
        raise SystemExit(f"update.exe failed: {result.output[-1500:]}")
    for path in v2.rglob("*"):
        if path.is_file() and not bench.filecmp_equal(path, inst / path.relative_to(v2)):
            raise SystemExit(f"{path.relative_to(v2)} was not installed byte for byte")
    log = "".join(p.read_text(errors="replace") for p in (inst / "logs").glob("*.log"))
    patched = re.search(r"差分补丁下载 (\d+) 个文件", log)
    time.sleep(0.2)  # nginx writes the log line when the answer is complete
    return {"seconds": result.seconds, "bytes": served_bytes(log_file, "v2"), "rss": result.max_rss_kib / 1024,
            "patched": int(patched.group(1)) if patched else 0}


def binary_patch_share(web, v2):
    """Size of the binary's patch against its full size, from delta.txt."""
    for line in (web / "v2" / "delta.txt").read_text().splitlines():
        fields = line.split("\t")
        if fields[3] == "/app.bin":
            return int(fields[2]) / (v2 / "app.bin").stat().st_size, int(fields[2])
    raise SystemExit("no patch of the binary was published")


def render(results, options):
    lines = [BEGIN, "", "## Patches over HTTP (bench/delta.py)", ""]
    build = Path(options.build).resolve()
    shown = build.relative_to(ROOT) if ROOT in build.parents else build
    lines.append(f"- Command: `bench/delta.py --runs {options.runs}` ({results['date']}, build `{shown}/`, "
                 f"load average {results['load']:.2f} when the run began)")
    lines.append(f"- Release: a {options.binary_mib} MiB program of random bytes changed in 7 places (6 x 64 bytes "
                 f"replaced, one line inserted) and {SMALL_FILES} text files of about 4 KiB with one line changed; "
                 "one unchanged file")
    lines.append(f"- Publishing with `--delta-from`: {results['publish_patches']:.1f} s, without: "
                 f"{results['publish_full']:.1f} s")
    lines.append(f"- The binary's patch: {results['binary_patch_bytes']} bytes, "
                 f"{100 * results['binary_share']:.4f} % of the full file (target: at most 10 %) — "
                 f"{'met' if results['binary_share'] <= 0.10 else 'missed'}")
    lines.append(f"- {results['slow_link']}")
    lines.append("")
    lines.append("| Link | Bytes with patches | Bytes whole | Ratio | Time with patches | Time whole | Ratio | "
                 "Target | Met | Peak RSS with patches | Peak RSS whole |")
    lines.append("|---|---|---|---|---|---|---|---|---|---|---|")
    for link in results["links"]:
        met = ""
        target = ""
        if link["rate"]:
            target = "time ratio < 1"
            met = "yes" if link["time_patches"] < link["time_full"] else "no"
        lines.append(f"| {link['name']} | {link['bytes_patches']} | {link['bytes_full']} | "
                     f"{link['bytes_patches'] / link['bytes_full']:.4f} | {link['time_patches']:.2f} s | "
                     f"{link['time_full']:.2f} s | {link['time_patches'] / link['time_full']:.3f} | {target} | {met} | "
                     f"{link['rss_patches']:.1f} MiB | {link['rss_full']:.1f} MiB |")
    lines += ["", "Bytes are the bodies nginx sent for the release folder (lists, manifest, patches, files) in one "
              "update; times are the wall time of `update.exe console` from its start to its exit with the update "
              "installed (check, download, patching, backup, replacement), medians of "
              f"{options.runs} runs per side, the two sides alternating run by run. Each run with patches "
              "rebuilt every changed file from its patch (21 files). Peak RSS is update.exe's (wait4); with "
              "patches it holds the decoder's window (up to the rebuilt file's size, at most 128 MiB) and the "
              "mapped installed copy.", "", END, ""]
    return "\n".join(lines)


def replace_section(path, section):
    text = path.read_text() if path.exists() else ""
    if BEGIN in text and END in text:
        before = text[:text.index(BEGIN)]
        after = text[text.index(END) + len(END):].lstrip("\n")
        text = before + section + after
    else:
        text = text.rstrip("\n") + "\n\n" + section
    path.write_text(text)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=str(ROOT / "build"), help="build folder with bin/ (default build/)")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--binary-mib", type=int, default=64)
    parser.add_argument("--link-proxy", default=str(ROOT / "build-release" / "bin" / "bench_linkproxy"),
                        help="the link emulator (default build-release/bin/bench_linkproxy, built by bench/run.py)")
    parser.add_argument("--mbit", type=int, default=50)
    parser.add_argument("--rtt-ms", type=int, default=40)
    parser.add_argument("--smoke", action="store_true", help="one run, 4 MiB, results not written")
    options = parser.parse_args(argv)
    if options.smoke:
        options.runs, options.binary_mib = 1, 4
    bin_dir = Path(options.build) / "bin"
    work = Path(tempfile.mkdtemp(prefix="bench-delta."))
    servers = []
    links = []
    try:
        results = {"date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), "load": os.getloadavg()[0]}
        v1, v2 = make_versions(work, options.binary_mib * MIB)
        webs = {"patches": work / "web-patches", "full": work / "web-full"}
        results["publish_patches"], summary = publish(bin_dir, v1, v2, webs["patches"], True)
        bench.log(summary.strip())
        results["publish_full"], _ = publish(bin_dir, v1, v2, webs["full"], False)
        results["binary_share"], results["binary_patch_bytes"] = binary_patch_share(webs["patches"], v2)
        results["links"] = []
        proxy = Path(options.link_proxy)
        emulated = proxy.is_file()
        slow = f"{options.mbit} Mbit/s" + (f", {options.rtt_ms} ms RTT" if emulated else "")
        results["slow_link"] = (
            f"{slow}: the link emulator of the tests (`{proxy.name}` between update.exe and nginx, both ways)"
            if emulated else f"{slow}: nginx's `limit_rate` per connection on loopback (bandwidth only; no "
            "bench_linkproxy was built)")
        links = []
        for name, slow_link in (("loopback", False), (slow, True)):
            sides = {}
            for side, web in webs.items():
                rate = options.mbit * 125000 // 1024 if slow_link and not emulated else 0
                server, port, log_file = start_nginx(web, work / side, rate)
                servers.append(server)
                if slow_link and emulated:
                    link, port = start_link(proxy, port, options.mbit, options.rtt_ms)
                    links.append(link)
                sides[side] = (port, log_file)
            samples = {"patches": [], "full": []}
            for run in range(options.runs):
                for side in ("patches", "full") if run % 2 == 0 else ("full", "patches"):
                    sample = run_update(bin_dir, v1, v2, work, *sides[side])
                    expected = SMALL_FILES + 1 if side == "patches" else 0
                    if sample["patched"] != expected:
                        raise SystemExit(f"{side}: {sample['patched']} files came as patches, not {expected}")
                    bench.log(f"{name} {side} run {run + 1}: {sample['seconds']:.2f} s, {sample['bytes']} bytes")
                    samples[side].append(sample)
            for link in links:
                stop_link(link)
            links.clear()
            for server in servers:
                server.stop()
            servers.clear()
            results["links"].append({
                "name": name, "rate": slow_link,
                "bytes_patches": statistics.median(s["bytes"] for s in samples["patches"]),
                "bytes_full": statistics.median(s["bytes"] for s in samples["full"]),
                "time_patches": statistics.median(s["seconds"] for s in samples["patches"]),
                "time_full": statistics.median(s["seconds"] for s in samples["full"]),
                "rss_patches": statistics.median(s["rss"] for s in samples["patches"]),
                "rss_full": statistics.median(s["rss"] for s in samples["full"]),
            })
        section = render(results, options)
        print(section)
        if not options.smoke:
            replace_section(ROOT / "bench" / "RESULTS.md", section)
            replace_section(ROOT / "bench" / "notes.md", section)
    finally:
        for link in links:
            stop_link(link)
        for server in servers:
            server.stop()
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
