#!/usr/bin/env python3
"""The updater's benchmarks, side by side with curl over the same loopback nginx (natively; under
Wine the same rows, as figures): a check with nothing new, a 100 MB object, a release where 1 of
5,000 files changed, a download cut at half and resumed, and staging 20,000 files that are all
installed against cp -a, sync and sha256sum -c. Each figure is the median of 5 runs (--quick: 3).
scripts/bench.sh --updater runs it; it prints one table."""

import argparse
import hashlib
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests" / "updater"))
import update_table as table  # noqa: E402  (keys, releases, nginx: the tests' own)

MIB = 1024 * 1024


def timed(argv, env=None):
    started = time.perf_counter()
    done = subprocess.run(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    return (time.perf_counter() - started) * 1000, done


def peak_mib(argv):
    done = subprocess.run(["/usr/bin/time", "-f", "%M", *argv], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          text=True)
    return int(done.stderr.split()[-1]) / 1024


def median(values):
    return statistics.median(values)


def fresh(name, files):
    install = table.world.work / name / "Velmora"
    shutil.rmtree(install.parent, ignore_errors=True)
    table.write_files(install, files)
    (install / "data").mkdir()
    return install


def updater_argv(install, *arguments):
    argv = [str(table.options.updater), *arguments, "--install", table.native_path(install), "--json"]
    if not table.options.wine:
        argv += ["--cafile", str(table.world.keys / "root.pem"), "--publisher", table.PUBLISHER]
    else:
        argv = [*os.environ.get("VELMORA_WINE_COMMAND", "wine64").split(), *argv]
    return argv


def download_ms(install, path):
    """The time the log gives the object's download: from the line before its "fetched" to it."""
    lines = (install / "data" / "velmora-update.log").read_text().splitlines()
    stamp = lambda line: time.mktime(time.strptime(line[:19], "%Y-%m-%dT%H:%M:%S")) + int(line[20:23]) / 1000
    at = next(i for i, line in enumerate(lines) if "fetched " in line and path in line)
    return (stamp(lines[at]) - stamp(lines[at - 1])) * 1000


def fetched(done):
    import json
    return json.loads(done.stdout.decode().strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--updater", type=Path, required=True)
    parser.add_argument("--loader", type=Path, required=True)
    parser.add_argument("--recorder", type=Path, required=True)
    parser.add_argument("--wine", action="store_true")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--probe", type=Path)
    table.options = options = parser.parse_args()
    runs = 3 if options.quick else 5
    world = table.world
    world.work = Path(tempfile.mkdtemp(prefix="velmora-update-bench-", dir=os.environ.get("VELMORA_BENCH_TMP")))
    world.work.chmod(0o755)
    world.keys = world.work / "keys"
    table.make_keys(world.keys)
    world.loader, world.recorder = options.loader.read_bytes(), options.recorder.read_bytes()
    where = "Wine" if options.wine else "native"
    rows = []
    add = lambda figure, variant, value, ratio="", goal="", met=None: rows.append(
        (figure, variant, value, ratio, goal, "" if met is None else "met" if met else "MISSED"))
    try:
        tree = world.work / "tree"
        big = os.urandom(MIB) * 100
        v1 = table.application("v1")
        many = {f"app/many/f{n:05d}.dat": f"{n} ".encode() * (8 + n % 40) for n in range(5000)}
        v1.update(many)
        v2 = dict(v1, **{"app/many/f02500.dat": b"changed " * 40, "app/data/big.bin": big})
        v2["Velmora.exe"] = v1["Velmora.exe"]
        table.publish(tree, v2)
        # The 100 MB object alone in a release of its own: the memory a release of 5,000 files
        # needs is not the object's.
        small = table.application("v1")
        table.publish(world.work / "tree-big", dict(small, **{"app/data/big.bin": big}))
        big_path = f"/objects/{hashlib.sha256(big).hexdigest()}"
        with_big = dict(v1, **{"app/data/big.bin": big})
        server = table.Nginx(tree)
        try:
            # A check with nothing new: one conditional GET, beside curl's.
            install = fresh("check", v1)
            subprocess.run(updater_argv(install, "stage", "--feed", server.url), check=True, stdout=subprocess.DEVNULL)
            headers = subprocess.run(["curl", "-sI", f"{server.url}/stable.feed2"], capture_output=True, text=True).stdout
            etag = next(line.split(": ", 1)[1].strip() for line in headers.splitlines() if line.lower().startswith("etag"))
            ours, theirs, requests = [], [], []
            for _ in range(runs):
                server.requests()
                ours.append(timed(updater_argv(install, "check", "--feed", server.url))[0])
                requests.append(len(server.requests()))
                theirs.append(timed(["curl", "-s", "-o", "/dev/null", "-H", f"If-None-Match: {etag}",
                                     f"{server.url}/stable.feed2"])[0])
            figure = f"U1 check, nothing new, {where}"
            add(figure, "floor: curl, one conditional GET", f"{median(theirs):.1f} ms", "1.00")
            add(figure, "velmora-update check", f"{median(ours):.1f} ms", f"{median(ours) / median(theirs):.2f}",
                "1 request", max(requests) == 1)

            # A 100 MB object: its download's throughput (from the log's time stamps) and the
            # whole run's peak memory, beside curl writing it to a file.
            ours, theirs, whole, peaks = [], [], [], []
            alone = table.Nginx(world.work / "tree-big")
            for _ in range(runs):
                install = fresh("big", small)
                ms, _ = timed(updater_argv(install, "stage", "--feed", alone.url))
                whole.append(ms)
                ours.append(download_ms(install, big_path))
                theirs.append(timed(["curl", "-s", "-o", str(world.work / "big.out"), alone.url + big_path])[0])
                if not options.wine:
                    install = fresh("big", small)
                    peaks.append(peak_mib(updater_argv(install, "stage", "--feed", alone.url)))
            alone.stop()
            figure = f"U2 a 100 MB object, {where}"
            add(figure, "floor: curl -o", f"{100e3 / median(theirs):.0f} MB/s", "1.00")
            ratio = median(theirs) / median(ours)
            native = not options.wine
            add(figure, "velmora-update, its download", f"{100e3 / median(ours):.0f} MB/s", f"{ratio:.2f}",
                ">= 0.80" if native else "", ratio >= 0.8 if native else None)
            add(figure, "velmora-update stage, the whole run", f"{median(whole):.0f} ms")
            if peaks:
                add(figure, "peak RSS of the whole run", f"{median(peaks):.1f} MiB", "", "<= 16 MiB", median(peaks) <= 16)

            # 1 of 5,000 changed: what is fetched beside that file and the release's metadata.
            install = fresh("one", with_big)
            answer = fetched(subprocess.run(updater_argv(install, "stage", "--feed", server.url), capture_output=True))
            folder = tree / "releases" / answer["release"]["id"]
            metadata = sum((folder / name).stat().st_size for name in ("SHA256SUMS", "SHA256SUMS.p7", "SIZES"))
            limit = len(v2["app/many/f02500.dat"]) + metadata + (tree / "stable.feed2").stat().st_size
            figure = f"U3 1 of 5,000 files changed, {where}"
            add(figure, "bytes fetched", f"{answer['bytesFetched']:,} B", "", f"<= {limit:,} B",
                answer["bytesFetched"] <= limit)
        finally:
            server.stop()

        # Cut at half by the fault server, resumed at the next run: the object's bytes over both.
        server = table.FaultServer(tree)
        try:
            install = fresh("resume", with_big)
            del install
            install = fresh("resume", {**v1, "app/many/f02500.dat": v2["app/many/f02500.dat"]})
            server.rule({big_path: {"cut": 50 * MIB, "times": 1}})
            subprocess.run(updater_argv(install, "stage", "--feed", server.url), stdout=subprocess.DEVNULL)
            subprocess.run(updater_argv(install, "stage", "--feed", server.url), stdout=subprocess.DEVNULL)
            sent = sum(r["sent"] for r in server.requests() if r["path"] == big_path)
            figure = f"U4 a 100 MB download cut at half, resumed, {where}"
            ratio = sent / len(big)
            add(figure, "bytes of the object sent, both runs", f"{sent:,} B", f"{ratio:.3f}x", "<= 1.05x",
                ratio <= 1.05 and (install / "data" / "update").exists())
        finally:
            server.stop()

        # 20,000 files all installed: staging them, beside cp -a, sync and sha256sum -c.
        # Under Wine each file is flushed on its own and costs tens of milliseconds: 2,000 there.
        count = 2000 if options.wine else 20000
        twenty = {f"app/t/f{n:05d}.dat": f"{n} ".encode() * (8 + n % 60) for n in range(count)}
        local_v1, local_v2 = table.application("v1"), table.application("v2")
        local_v1.update(twenty)
        local_v2.update(twenty)
        local_v2["Velmora.exe"] = local_v1["Velmora.exe"]
        tree2 = world.work / "tree2"
        table.publish(tree2, local_v2)
        ours, theirs = [], []
        for _ in range(runs):
            install = fresh("twenty", local_v1)
            os.sync()
            ms, done = timed(updater_argv(install, "stage", "--from", table.native_path(tree2)))
            ours.append(ms)
            copy = world.work / "twenty-copy"
            shutil.rmtree(copy, ignore_errors=True)
            (install / "data" / "update" / "SHA256SUMS").rename(world.work / "SHA256SUMS")
            os.sync()
            started = time.perf_counter()
            subprocess.run(["cp", "-a", str(install), str(copy)], check=True)
            subprocess.run(["sync"], check=True)
            subprocess.run(["sha256sum", "--quiet", "-c", str(world.work / "SHA256SUMS")], cwd=copy / "data" / "update",
                           check=True, stdout=subprocess.DEVNULL)
            theirs.append((time.perf_counter() - started) * 1000)
        figure = f"U5 stage {count:,} files all installed, {where}"
        add(figure, "floor: cp -a, sync, sha256sum -c", f"{median(theirs):.0f} ms", "1.00")
        ratio = median(ours) / median(theirs)
        add(figure, "velmora-update stage --from", f"{median(ours):.0f} ms", f"{ratio:.2f}",
            "<= 1.50" if not options.wine else "", ratio <= 1.5 if not options.wine else None)
        stripped = world.work / "stripped"
        shutil.copy2(options.updater, stripped)
        subprocess.run(["x86_64-w64-mingw32-strip" if options.wine else "strip", str(stripped)], check=True)
        add(f"U6 size of {options.updater.name}, stripped", "stripped", f"{stripped.stat().st_size / MIB:.2f} MiB",
            f"{stripped.stat().st_size:,} B")
    finally:
        shutil.rmtree(world.work, ignore_errors=True)
    header = ("figure", "variant", "median", "ratio", "goal", "")
    widths = [max(len(str(row[i])) for row in rows + [header]) for i in range(6)]
    for row in [header] + rows:
        print("  ".join(str(c).ljust(w) for c, w in zip(row, widths)).rstrip())


if __name__ == "__main__":
    main()
