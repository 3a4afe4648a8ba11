#!/usr/bin/env python3
"""The loader's benchmarks; prints one table. scripts/bench.sh builds what it needs and runs it.

Every figure is a median over repeated runs. Each comparison is measured in the same run with
the variants interleaved (a round runs every variant once, in an order that rotates), so a
slow phase of the machine hits all of them alike."""

import argparse
import ctypes
import os
import random
import select
import shutil
import statistics
import struct
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "scripts"))
import installation  # noqa: E402

MIB = 1024 * 1024


# ---------------------------------------------------------------- running and timing

def spawn(argv, env):
    # posix_spawn runs nothing of Python's between the fork and the exec: the least overhead
    # a harness can add, and the same for every variant.
    return os.posix_spawn(argv[0], argv, env)


def timed_run(argv, env):
    started = time.perf_counter_ns()
    pid = spawn(argv, env)
    _, status = os.waitpid(pid, 0)
    elapsed = time.perf_counter_ns() - started
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"bench: {argv} exited with {os.waitstatus_to_exitcode(status)}")
    return elapsed / 1e6


def interleaved(variants, rounds, warmup, run):
    """variants: {name: argument}; run(argument) -> milliseconds. Returns {name: [ms, ...]}."""
    names = list(variants)
    times = {name: [] for name in names}
    for number in range(warmup + rounds):
        shift = number % len(names)
        for name in names[shift:] + names[:shift]:
            value = run(variants[name])
            if number >= warmup:
                times[name].append(value)
    return times


def median(values):
    return statistics.median(values)


def quantile(values, q):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(q * (len(ordered) - 1))))]


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items() if not k.startswith("VELMORA_")}
    env.update(extra)
    return env


def processes_running(executable: Path):
    """Pids whose program file is `executable`."""
    target = str(executable)
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                if os.readlink(f"/proc/{entry}/exe") == target:
                    found.append(int(entry))
            except OSError:
                pass
    return found


def wait_until(condition, limit, what):
    deadline = time.monotonic() + limit
    while not condition():
        if time.monotonic() > deadline:
            sys.exit(f"bench: timed out waiting for {what}")
        time.sleep(0.002)


# ---------------------------------------------------------------- installations

def make_application_template(directory: Path, files: int, recorder: Path):
    """An application directory of `files` files: the recorder and small files spread over the
    directory itself and a few (nested) subdirectories."""
    if directory.exists():
        shutil.rmtree(directory)
    places = [directory, directory / "bin", directory / "data", directory / "data" / "maps",
              directory / "locale", directory / "locale" / "zh"]
    for place in places:
        place.mkdir(parents=True, exist_ok=True)
    shutil.copy2(recorder, directory / "velmora.exe")
    (directory / "tag.txt").write_text("app v2\n")
    payload = os.urandom(4096)
    for number in range(max(0, files - 2)):
        size = 64 + (number * 37) % 448
        (places[number % len(places)] / f"file{number:05d}.dat").write_bytes(payload[:size])


# ---------------------------------------------------------------- 1. start-mode overhead

def bench_start_native(build: Path, work: Path, rounds):
    install = work / "start-native" / "Velmora"
    installation.install(install, build / "Velmora.exe", (build / "tests" / "recorder", "app v1"))
    floor = build / "bench" / "spawn_floor"
    os.chdir(install)
    env = clean_env()
    variants = {
        "floor": [str(floor), str(install / "app" / "velmora.exe"), str(install)],
        "direct": [str(install / "app" / "velmora.exe")],
        "loader": [str(install / "Velmora.exe")],
    }
    for name, root in other_linkings(build, work / "start-native").items():
        variants[name] = [str(root / "Velmora.exe")]
    times = interleaved(variants, rounds, max(10, rounds // 20), lambda argv: timed_run(argv, env))
    return {name: median(values) for name, values in times.items()}, len(times["floor"])


# The loader linked in other ways (bench/CMakeLists.txt): directory, row label.
LINKINGS = [("shared_runtime", "loader, shared C++ runtime"),
            ("static_runtime", "loader, -static-libstdc++ -static-libgcc")]


def other_linkings(build: Path, root: Path):
    """{name: installation} for each other linking of the loader that was built."""
    found = {}
    for name, _ in LINKINGS:
        loader = build / "bench" / name / "Velmora.exe"
        if loader.exists():
            installation.install(root / name, loader, (build / "tests" / "recorder", "app v1"))
            found[name] = root / name
    return found


def bench_start_wine(build: Path, work: Path, rounds):
    install = work / "start-wine" / "Velmora"
    installation.install(install, build / "Velmora.exe", (build / "tests" / "recorder.exe", "app v1"))
    floor = build / "bench" / "spawn_floor.exe"
    os.chdir(install)
    env = clean_env()
    # As the test scripts start Wine (scripts/wine-env.sh, sourced by with-wine-display.sh).
    wine = os.environ.get("VELMORA_WINE_COMMAND", "/usr/lib/wine/wine64").split()
    variants = {
        "floor": [*wine, str(floor), installation.windows_path(install / "app" / "velmora.exe"),
                  installation.windows_path(install)],
        "direct": [*wine, str(install / "app" / "velmora.exe")],
        "loader": [*wine, str(install / "Velmora.exe")],
    }
    times = interleaved(variants, rounds, 3, lambda argv: timed_run(argv, env))
    return {name: median(values) for name, values in times.items()}, len(times["floor"])


# ---------------------------------------------------------------- 2. memory while waiting

def peak_resident_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return None


def bench_memory(build: Path, work: Path, runs):
    install = work / "memory" / "Velmora"
    installation.install(install, build / "Velmora.exe", (build / "tests" / "recorder", "app v1"))
    os.chdir(install)
    env = clean_env(VELMORA_SLEEP_MS="1500")
    variants = {
        "floor": [str(build / "bench" / "spawn_floor"), str(install / "app" / "velmora.exe"), str(install)],
        "loader": [str(install / "Velmora.exe")],
    }
    for name, root in other_linkings(build, work / "memory").items():
        variants[name] = [str(root / "Velmora.exe")]

    def sample(argv):
        pid = spawn(argv, env)
        peak = 0
        # Sampled through the whole wait; VmHWM only grows, the last sample is the peak.
        while True:
            done, _ = os.waitpid(pid, os.WNOHANG)
            if done:
                break
            try:
                peak = max(peak, peak_resident_kib(pid) or 0)
            except OSError:
                pass
            time.sleep(0.05)
        return peak / 1024

    results = interleaved(variants, runs, 0, sample)
    return {name: median(values) for name, values in results.items()}, runs


# ---------------------------------------------------------------- 3. apply cost against size

def stage_update(install: Path, loader: Path, template: Path, fresh: bool):
    """A staged update beside an installation. `fresh` also lays the installation anew; otherwise
    the one the last run left (with the previous update's application) is reused."""
    if fresh:
        installation.install(install, loader, template)
    # A different file, as a new version of the loader is.
    installation.stage(install, installation.marked(loader, "loader v2"), template)
    # Installed files are on disk, not just in the page cache (removing those costs more here),
    # and the set-up's own write-back must not land in the timed run.
    os.sync()


def wait_for_restarted_chain(install: Path, record: Path):
    """The installed loader, started detached by apply mode, runs the new application and
    ends; wait for that before the next set-up."""
    wait_until(lambda: record.exists() and record.stat().st_size > 0, 20, "the new application's record")
    wait_until(lambda: not processes_running(install / "Velmora.exe"), 20, "the installed loader to end")


def bench_apply(build: Path, work: Path, sizes_and_rounds):
    loader = build / "Velmora.exe"
    recorder = build / "tests" / "recorder"
    base = work / "apply"
    base.mkdir(parents=True, exist_ok=True)
    results = {}
    for files, rounds in sizes_and_rounds:
        template = base / f"template-{files}"
        make_application_template(template, files, recorder)
        os.sync()
        install = base / "Velmora"
        record = base / "record.txt"
        fresh = [True]

        def run(variant):
            stage_update(install, loader, template, fresh[0])
            fresh[0] = False
            record.unlink(missing_ok=True)
            os.chdir(install)
            if variant == "loader":
                env = clean_env(VELMORA_RECORD=str(record))
                argv = [str(install / "data" / "update" / "Velmora.exe"), "--ad", str(install)]
            else:
                env = clean_env()
                argv = ["/bin/sh", "-c", "cp data/update/Velmora.exe Velmora.exe && mv app app_old && "
                                         "mv data/update/app app && rm -rf app_old"]
            elapsed = timed_run(argv, env)
            if variant == "loader":
                wait_for_restarted_chain(install, record)
            if (install / "app_old").exists() or not (install / "app" / "velmora.exe").exists():
                sys.exit(f"bench: the {variant} run did not complete the swap")
            return elapsed

        times = interleaved({"floor": "floor", "loader": "loader"}, rounds, 1, run)
        results[files] = ({name: median(values) for name, values in times.items()}, rounds)
        os.chdir(base)
        shutil.rmtree(install, ignore_errors=True)
        shutil.rmtree(template, ignore_errors=True)
    return results


# ---------------------------------------------------------------- 4. lock pick-up

IN_CLOSE_WRITE = 0x00000008


class Inotify:
    def __init__(self, directory: Path):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_CLOEXEC | os.O_NONBLOCK)
        if self.fd < 0 or self.libc.inotify_add_watch(self.fd, str(directory).encode(), IN_CLOSE_WRITE) < 0:
            sys.exit("bench: inotify is not available")

    def names(self):
        try:
            data = os.read(self.fd, 65536)
        except BlockingIOError:
            return []
        names, offset = [], 0
        while offset < len(data):
            _, _, _, length = struct.unpack_from("iIII", data, offset)
            names.append(data[offset + 16:offset + 16 + length].rstrip(b"\0").decode())
            offset += 16 + length
        return names

    def close(self):
        os.close(self.fd)


def bench_lock_pickup(build: Path, work: Path, runs, rng):
    loader = build / "Velmora.exe"
    recorder = build / "tests" / "recorder"
    base = work / "lock"
    template = base / "template"
    make_application_template(template, 10, recorder)
    install = base / "Velmora"
    record = base / "record.txt"
    latencies = []
    # The figure is about the loader's pause and copy, not about other work on the machine that
    # delays a wake-up (the harness's or the loader's): run both ahead of it where allowed.
    niceness = os.getpriority(os.PRIO_PROCESS, 0)
    try:
        os.setpriority(os.PRIO_PROCESS, 0, -10)
    except PermissionError:
        pass
    for _ in range(runs):
        stage_update(install, loader, template, True)
        # The busy installed loader: a program running as that very file.
        shutil.copy2(recorder, install / "Velmora.exe")
        record.unlink(missing_ok=True)
        os.chdir(install)
        watch = Inotify(install)
        hold_ms = rng.randint(150, 1150)
        holder = spawn([str(install / "Velmora.exe")], clean_env(VELMORA_SLEEP_MS=str(hold_ms)))
        holder_fd = os.pidfd_open(holder)
        wait_until(lambda: processes_running(install / "Velmora.exe"), 5, "the holder to start")
        applier = spawn([str(install / "data" / "update" / "Velmora.exe"), "--ad", str(install)],
                        clean_env(VELMORA_RECORD=str(record)))
        released = copied = None
        while copied is None:
            ready, _, _ = select.select([holder_fd, watch.fd], [], [], 10)
            now = time.perf_counter()
            if not ready:
                sys.exit("bench: the copy never happened")
            if holder_fd in ready and released is None:
                released = now
                os.waitpid(holder, 0)
            if watch.fd in ready and "Velmora.exe" in watch.names():
                if released is None:
                    sys.exit("bench: the installed loader was written while it was running")
                copied = now
        os.close(holder_fd)
        watch.close()
        _, status = os.waitpid(applier, 0)
        if os.waitstatus_to_exitcode(status) != 0:
            sys.exit("bench: apply mode failed")
        wait_for_restarted_chain(install, record)
        latencies.append((copied - released) * 1000)
    os.setpriority(os.PRIO_PROCESS, 0, niceness)
    # What the copy alone costs: the same file copied with nothing in the way.
    copy_times = []
    for _ in range(20):
        started = time.perf_counter()
        shutil.copyfile(loader, base / "copy-probe")
        copy_times.append((time.perf_counter() - started) * 1000)
    os.chdir(base)
    shutil.rmtree(install, ignore_errors=True)
    return latencies, median(copy_times)


# ---------------------------------------------------------------- 5. size

def stripped_size(exe: Path, work: Path):
    copy = work / "Velmora-stripped.exe"
    shutil.copy2(exe, copy)
    subprocess.run(["x86_64-w64-mingw32-strip", str(copy)], check=True)
    return exe.stat().st_size, copy.stat().st_size


# ---------------------------------------------------------------- the table

class Table:
    def __init__(self):
        self.rows = []

    def add(self, figure, variant, value, ratio="", goal="", verdict=""):
        self.rows.append((figure, variant, value, ratio, goal, verdict))

    def print(self):
        header = ("figure", "variant", "median", "ratio", "goal", "")
        widths = [max(len(str(row[i])) for row in self.rows + [header]) for i in range(6)]
        line = lambda row: "  ".join(str(c).ljust(w) if i < 2 or i == 5 else str(c).rjust(w)
                                     for i, (c, w) in enumerate(zip(row, widths))).rstrip()
        print(line(header))
        print("  ".join("-" * w for w in widths).rstrip())
        for row in self.rows:
            print(line(row))


def verdict(ok):
    return "met" if ok else "MISSED"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--linux", type=Path, required=True, help="native build directory")
    parser.add_argument("--windows", type=Path, help="Windows build directory (run under Wine)")
    parser.add_argument("--work", type=Path, required=True, help="scratch directory")
    parser.add_argument("--apply-dir", type=Path,
                        help="where the apply runs happen (default: a directory on /dev/shm, see docs/benchmarks.md)")
    parser.add_argument("--quick", action="store_true", help="fewer rounds, for trying the script")
    options = parser.parse_args()
    build, windows = options.linux.resolve(), options.windows.resolve() if options.windows else None
    work = options.work.resolve()
    work.mkdir(parents=True, exist_ok=True)
    quick = options.quick
    rng = random.Random(20240601)
    table = Table()

    native, n = bench_start_native(build, work, 60 if quick else 600)
    figure = f"1 start, native ({n} rounds)"
    table.add(figure, "floor: spawn_floor -> app", f"{native['floor']:.2f} ms", "1.00")
    table.add(figure, "app started directly", f"{native['direct']:.2f} ms", f"{native['direct'] / native['floor']:.2f}")
    ratio = native["loader"] / native["floor"]
    table.add(figure, "loader -> app", f"{native['loader']:.2f} ms", f"{ratio:.2f}", "<= 1.10", verdict(ratio <= 1.10))
    for name, label in LINKINGS:
        if name in native:
            ratio = native[name] / native["floor"]
            table.add(figure, f"{label} -> app", f"{native[name]:.2f} ms", f"{ratio:.2f}", "", "comparison")

    if windows:
        wine, n = bench_start_wine(windows, work, 8 if quick else 40)
        figure = f"1 start, Wine ({n} rounds)"
        table.add(figure, "floor: spawn_floor.exe -> app", f"{wine['floor']:.1f} ms", "1.00")
        table.add(figure, "app started directly", f"{wine['direct']:.1f} ms", f"{wine['direct'] / wine['floor']:.2f}")
        ratio = wine["loader"] / wine["floor"]
        table.add(figure, "Velmora.exe -> app", f"{wine['loader']:.1f} ms", f"{ratio:.2f}", "<= 1.10", verdict(ratio <= 1.10))

    memory, n = bench_memory(build, work, 3 if quick else 5)
    figure = f"2 peak RSS while waiting ({n} runs)"
    table.add(figure, "floor: spawn_floor", f"{memory['floor']:.2f} MiB", "1.00")
    table.add(figure, "loader", f"{memory['loader']:.2f} MiB", f"{memory['loader'] / memory['floor']:.2f}",
              "<= 4 MiB", verdict(memory["loader"] <= 4.0))
    for name, label in LINKINGS:
        if name in memory:
            table.add(figure, label, f"{memory[name]:.2f} MiB", f"{memory[name] / memory['floor']:.2f}", "",
                      "comparison")

    # On a disk, removing files whose blocks are allocated waits on the device; here those waits
    # vary several-fold with the other work on the machine and swamp the loader's own cost.
    # Memory-backed, the figures are the file operations themselves.
    apply_dir = options.apply_dir
    if apply_dir is None:
        shm = Path("/dev/shm")
        apply_dir = shm / f"velmora-bench-{os.getpid()}" if os.access(shm, os.W_OK) else work
    apply_dir.mkdir(parents=True, exist_ok=True)
    on = subprocess.run(["stat", "-f", "-c", "%T", str(apply_dir)], capture_output=True, text=True).stdout.strip()
    sizes = [(10, 5), (1000, 3), (20000, 3)] if quick else [(10, 21), (1000, 11), (20000, 11)]
    try:
        apply = bench_apply(build, apply_dir.resolve(), sizes)
    finally:
        if options.apply_dir is None and apply_dir != work:
            os.chdir(work)
            shutil.rmtree(apply_dir, ignore_errors=True)
    for files, (medians, n) in apply.items():
        figure = f"3 apply, {files:,} files, {on} ({n} rounds)"
        table.add(figure, "floor: cp, mv, mv, rm -rf", f"{medians['floor']:.1f} ms", "1.00")
        ratio = medians["loader"] / medians["floor"]
        table.add(figure, "staged loader --ad", f"{medians['loader']:.1f} ms", f"{ratio:.2f}", "<= 1.20",
                  verdict(ratio <= 1.20))
    smallest, largest = min(apply), max(apply)
    for variant, label in (("floor", "floor"), ("loader", "staged loader")):
        per_file = (apply[largest][0][variant] - apply[smallest][0][variant]) / (largest - smallest) * 1000
        table.add(f"3 apply, cost per file ({smallest}..{largest})", label, f"{per_file:.1f} us")

    latencies, copy_ms = bench_lock_pickup(build, work, 6 if quick else 20, rng)
    figure = f"4 lock pick-up, native ({len(latencies)} runs)"
    bound = 100 + copy_ms
    table.add(figure, "min", f"{min(latencies):.1f} ms")
    table.add(figure, "median", f"{median(latencies):.1f} ms")
    table.add(figure, "p90", f"{quantile(latencies, 0.9):.1f} ms")
    over = sum(1 for latency in latencies if latency > bound)
    table.add(figure, "max", f"{max(latencies):.1f} ms", f"{over} over", f"<= {bound:.0f} ms",
              verdict(max(latencies) <= bound))
    table.add(figure, "the copy alone", f"{copy_ms:.1f} ms")

    if windows:
        full, stripped = stripped_size(windows / "Velmora.exe", work)
        table.add("5 size of Velmora.exe", "as built", f"{full / MIB:.2f} MiB")
        table.add("5 size of Velmora.exe", "stripped", f"{stripped / MIB:.2f} MiB", f"{stripped:,} B",
                  "<= 1.50 MiB", verdict(stripped <= 1.5 * MIB))

    table.print()


if __name__ == "__main__":
    main()
