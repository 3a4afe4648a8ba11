#!/usr/bin/env python3
"""What the publisher's key costs a check that finds nothing new: this build's velmora-update and
another's (an older commit's, built without the key check) against the same installation and the
same loopback nginx, one conditional GET each, runs interleaved so that the machine's load falls
on both alike. Prints the median and the fastest run of each, the median of the paired ratios
(goal: within 5 %) and the load average.
    key_check.py --updater NEW --against OLD --loader F --recorder F [--wine] [--runs N]
Under Wine run it inside scripts/with-wine-display.sh, as bench/updater.py."""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests" / "updater"))
import update_table as table  # noqa: E402  (keys, releases, nginx: the tests' own)


def argv_of(updater, install, *arguments):
    argv = [str(updater), *arguments, "--install", table.native_path(install), "--json"]
    if not table.options.wine:
        argv += ["--cafile", str(table.world.keys / "root.pem"), "--publisher", table.PUBLISHER]
    else:
        argv = [*os.environ.get("VELMORA_WINE_COMMAND", "wine64").split(), *argv]
    return argv


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--updater", type=Path, required=True)
    parser.add_argument("--against", type=Path, required=True)
    parser.add_argument("--loader", type=Path, required=True)
    parser.add_argument("--recorder", type=Path, required=True)
    parser.add_argument("--wine", action="store_true")
    parser.add_argument("--runs", type=int, default=25)
    table.options = options = parser.parse_args()
    world = table.world
    world.work = Path(tempfile.mkdtemp(prefix="velmora-key-bench-", dir=os.environ.get("VELMORA_BENCH_TMP")))
    world.work.chmod(0o755)
    world.keys = world.work / "keys"
    table.make_keys(world.keys)
    world.loader, world.recorder = options.loader.read_bytes(), options.recorder.read_bytes()
    try:
        tree = world.work / "tree"
        table.publish(tree, table.application("v2"))
        server = table.Nginx(tree)
        try:
            install = world.work / "Velmora"
            table.install_application(install)
            subprocess.run(argv_of(options.updater, install, "stage", "--feed", server.url), check=True,
                           stdout=subprocess.DEVNULL)
            times = {"new": [], "old": []}
            for _ in range(options.runs):
                for which, updater in (("old", options.against), ("new", options.updater)):
                    server.requests()
                    started = time.perf_counter()
                    done = subprocess.run(argv_of(updater, install, "check", "--feed", server.url),
                                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
                    times[which].append((time.perf_counter() - started) * 1000)
                    asked = [x["status"] for x in server.requests()]
                    if done.returncode != 0 or asked != [304]:
                        sys.exit(f"key_check: {which}: exit {done.returncode}, requests {asked}")
        finally:
            server.stop()
    finally:
        import shutil
        shutil.rmtree(world.work, ignore_errors=True)
    # Each run of the new build against the old one run just before it: the median of those ratios
    # holds still while the load of other work comes and goes; the fastest run of each is the cost
    # with the least of that load in it.
    ratio = statistics.median(n / o for n, o in zip(times["new"], times["old"]))
    where = "Wine" if options.wine else "native"
    print(f"K1 check, nothing new, {where}, {options.runs} interleaved runs, load average "
          f"{' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    for which, updater in (("old", options.against), ("new", options.updater)):
        print(f"  {updater}: median {statistics.median(times[which]):.1f} ms, fastest {min(times[which]):.1f} ms")
    print(f"  median of the paired ratios {ratio:.3f}, of the fastest {min(times['new']) / min(times['old']):.3f} "
          f"(goal: within 1.05): {'met' if ratio <= 1.05 else 'MISSED'}")


if __name__ == "__main__":
    main()
