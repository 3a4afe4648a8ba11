#!/usr/bin/env python3
"""The loader's benchmarks; prints one table and, with --plots, draws two plots with gnuplot.
scripts/bench.sh builds what it needs and runs it.

Every figure is a median over repeated runs. Each comparison is measured in the same run with
the variants interleaved (a round runs every variant once, in an order that rotates), so a
slow phase of the machine hits all of them alike."""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "scripts"))
import installation  # noqa: E402

MIB = 1024 * 1024
PLOTS = Path(__file__).resolve().parent / "plots.gp"


# ---------------------------------------------------------------- running and timing

def clean_env(**extra):
    env = {k: v for k, v in os.environ.items() if not k.startswith("VELMORA_")}
    env.update(extra)
    return env


def run(argv, env):
    """Runs `argv` to its end; returns milliseconds. posix_spawn runs nothing of Python's between
    the fork and the exec, the least overhead a harness can add, and the same for every variant."""
    started = time.perf_counter_ns()
    pid = os.posix_spawn(argv[0], argv, env)
    _, status = os.waitpid(pid, 0)
    elapsed = (time.perf_counter_ns() - started) / 1e6
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"bench: {argv} exited with {os.waitstatus_to_exitcode(status)}")
    return elapsed


def peak_resident_mib(argv, env):
    """The peak resident size wait4 reports for `argv` (ru_maxrss), through GNU time: a child of
    Python's would count the memory of Python it was forked from, one of time's does not."""
    done = subprocess.run(["/usr/bin/time", "-f", "%M", *argv], env=env, stderr=subprocess.PIPE, text=True,
                          check=True)
    return int(done.stderr.split()[-1]) / 1024


def interleaved(variants, rounds, warmup, measure):
    """variants: {name: argument}; measure(argument) -> a number. Returns {name: [number, ...]}."""
    names = list(variants)
    results = {name: [] for name in names}
    for number in range(warmup + rounds):
        shift = number % len(names)
        for name in names[shift:] + names[:shift]:
            value = measure(variants[name])
            if number >= warmup:
                results[name].append(value)
    return results


def medians(results):
    return {name: statistics.median(values) for name, values in results.items()}


# ---------------------------------------------------------------- 1. start and 2. memory

def start_variants(build: Path, work: Path, app: Path, wine=None):
    """The loader, the loader in an installation with "data" (where it writes its log), the
    application started directly, and the floor: spawn_floor, a program of ours that only starts
    a program with a working directory and waits for it. Under Wine each is started by Wine's
    loader, and the floor is given Windows paths."""
    exe = ".exe" if wine else ""
    install = work / ("start-wine" if wine else "start-native") / "Velmora"
    installation.install(install, build / "Velmora.exe", (app, "app v1"))
    logged = install.parent / "Velmora logged"
    installation.install(logged, build / "Velmora.exe", (app, "app v1"))
    (logged / "data").mkdir(exist_ok=True)
    where = installation.windows_path if wine else str
    first = wine or []
    return install, {
        "floor": [*first, str(build / "bench" / f"spawn_floor{exe}"), where(install / "app" / "velmora.exe"),
                  where(install)],
        "direct": [*first, str(install / "app" / "velmora.exe")],
        "loader": [*first, str(install / "Velmora.exe")],
        "logged": [*first, str(logged / "Velmora.exe")],
    }


def bench_start(build: Path, work: Path, rounds, wine=None):
    exe = ".exe" if wine else ""
    install, variants = start_variants(build, work, build / "tests" / f"recorder{exe}", wine)
    os.chdir(install)
    env = clean_env()
    return interleaved(variants, rounds, 3 if wine else max(10, rounds // 20), lambda argv: run(argv, env))


def bench_memory(build: Path, work: Path, runs):
    # A process's peak includes the children it waited for: the application is /bin/true, smaller
    # than the loader and the floor, so that their own peaks are what is measured.
    install, variants = start_variants(build, work / "memory", Path("/bin/true"))
    del variants["direct"], variants["logged"]
    variants["application"] = ["/bin/true"]
    os.chdir(install)
    env = clean_env()
    return interleaved(variants, runs, 1, lambda argv: peak_resident_mib(argv, env))


# ---------------------------------------------------------------- 5. looking for running programs

def bench_scan(build: Path, work: Path, rounds, wine=None):
    """What a start that finds a complete staging adds: one look at every process for programs
    running from the installation (the platform probe's "running", with the three places a start
    asks about), beside the same probe doing nothing but learning its own location."""
    exe = ".exe" if wine else ""
    install, _ = start_variants(build, work / "scan", build / "tests" / f"recorder{exe}", wine)
    probe = install / f"probe{exe}"
    shutil.copy2(build / "tests" / f"platform_probe{exe}", probe)
    where = installation.windows_path if wine else str
    places = [where(install / "data" / "update" / "Velmora.exe"), where(install / "app"), where(install / "data" / "update")]
    first = wine or []
    variants = {"floor": [*first, str(probe), "module"], "scan": [*first, str(probe), "running", *places]}
    env = clean_env()
    return interleaved(variants, rounds, 3, lambda argv: run_quietly(argv, env))


def run_quietly(argv, env):
    """run(), with the probe's output thrown away."""
    null = os.open(os.devnull, os.O_WRONLY)
    saved = os.dup(1)
    os.dup2(null, 1)
    try:
        return run(argv, env)
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(null)


# ---------------------------------------------------------------- 3. apply cost against size

def make_application(directory: Path, files: int, recorder: Path):
    """An application directory of `files` files: the recorder and small files spread over the
    directory itself and a few (nested) subdirectories."""
    shutil.rmtree(directory, ignore_errors=True)
    places = [directory, directory / "bin", directory / "data", directory / "data" / "maps",
              directory / "locale", directory / "locale" / "zh"]
    for place in places:
        place.mkdir(parents=True, exist_ok=True)
    shutil.copy2(recorder, directory / "velmora.exe")
    (directory / "tag.txt").write_text("app v2\n")
    payload = os.urandom(4096)
    for number in range(max(0, files - 2)):
        (places[number % len(places)] / f"file{number:05d}.dat").write_bytes(payload[:64 + (number * 37) % 448])


# What apply mode does, as shell commands: the new loader copied beside the old one, flushed and
# moved over it, the application directories swapped, the old one removed.
FLOOR = ("cp data/update/Velmora.exe Velmora.exe.new && sync -d Velmora.exe.new && mv Velmora.exe.new Velmora.exe"
         " && mv app app_old && mv data/update/app app && rm -rf app_old")


def bench_apply(build: Path, work: Path, sizes_and_rounds):
    loader, base = build / "Velmora.exe", work / "apply"
    base.mkdir(parents=True, exist_ok=True)
    install, record = base / "Velmora", base / "record.txt"
    results = {}
    for files, rounds in sizes_and_rounds:
        template = base / f"template-{files}"
        make_application(template, files, build / "tests" / "recorder")
        installation.install(install, loader, template)

        def apply(variant):
            # A different file, as a new version of the loader is. Installed files are on disk, not
            # just in the page cache, and the set-up's own write-back must not land in the timed run.
            installation.stage(install, installation.marked(loader, "loader v2"), template)
            os.sync()
            record.unlink(missing_ok=True)
            os.chdir(install)
            if variant == "loader":
                argv = [str(install / "data" / "update" / "Velmora.exe"), "--ad", str(install)]
                elapsed = run(argv, clean_env(VELMORA_RECORD=str(record)))
                # The installed loader, restarted detached, runs the new application and removes
                # the staging: wait for that before the next set-up.
                wait_until(lambda: record.exists() and not (install / "data" / "update").exists(), 20)
            else:
                elapsed = run(["/bin/sh", "-c", FLOOR], clean_env())
            if (install / "app_old").exists() or not (install / "app" / "velmora.exe").exists():
                sys.exit(f"bench: the {variant} run did not complete the swap")
            return elapsed

        results[files] = medians(interleaved({"floor": "floor", "loader": "loader"}, rounds, 1, apply))
        os.chdir(base)
        shutil.rmtree(install, ignore_errors=True)
        shutil.rmtree(template, ignore_errors=True)
    return results


def wait_until(condition, limit):
    deadline = time.monotonic() + limit
    while not condition():
        if time.monotonic() > deadline:
            sys.exit("bench: the restarted loader did not finish")
        time.sleep(0.002)


# ---------------------------------------------------------------- 6. checking a staging, 7. a start that hands over

def make_large_application(directory: Path, recorder: Path, files=4, size=50 * MIB):
    """An application directory of a few large files of random bytes beside the recorder."""
    shutil.rmtree(directory, ignore_errors=True)
    (directory / "data").mkdir(parents=True)
    shutil.copy2(recorder, directory / "velmora.exe")
    (directory / "tag.txt").write_text("app v2\n")
    for number in range(files):
        with open(directory / "data" / f"pack{number}.bin", "wb") as pack:
            for _ in range(size // MIB):
                pack.write(os.urandom(MIB))


def staged_install(install: Path, loader: Path, app: Path, staged_loader: Path, staged_app, certificate=None,
                   root="root.pem"):
    """An installation with an update staged by the updater's rules, its manifest written by
    scripts/sign-update.sh and signed with `certificate` (a PKCS#12 file beside its password file,
    `pass`, and the root `root` of its chain) when one is given."""
    def manifest(folder: Path):
        env = dict(os.environ)
        if certificate is not None:
            env.update(VELMORA_SIGN_PFX=str(certificate), VELMORA_SIGN_PASSWORD_FILE=str(certificate.parent / "pass"),
                       VELMORA_SIGN_CAFILE=str(certificate.parent / root))
        subprocess.run(["bash", str(REPO / "scripts" / "sign-update.sh"), str(folder)], env=env, check=True,
                       stdout=subprocess.DEVNULL)
    installation.install(install, loader, (app, "app v1"))
    installation.stage(install, staged_loader, staged_app, manifest)


def check_staging(argv, env):
    """The platform probe's check-staging: the check a start makes, timed by the probe around the
    check alone. Returns milliseconds; anything but "taken" is not the figure asked for."""
    done = subprocess.run(argv, env=env, capture_output=True, text=True)
    lines = done.stdout.replace("\r", "").splitlines()
    if done.returncode != 0 or len(lines) < 2 or lines[0] != "taken":
        sys.exit(f"bench: {argv} answered {lines!r} (exit code {done.returncode}), not taken")
    return int(lines[1]) / 1000


def bench_check(builds, work: Path, rounds, wine):
    """The loader's check of a staging (its manifest read, every file hashed and matched against
    it) beside sha256sum checking the same files, for many small files and for a few large ones.
    builds: {"native": build, "Wine": build or None}."""
    results = {}
    payloads = {
        "20,000 small files": lambda d, recorder: make_application(d, 20000, recorder),
        "200 MiB in 4 files": make_large_application,
    }
    for payload, make in payloads.items():
        template = work / "check" / "template"
        make(template, builds["native"] / "tests" / "recorder")
        total = sum(p.stat().st_size for p in template.rglob("*") if p.is_file())
        for platform, build in builds.items():
            if build is None:
                continue
            exe = ".exe" if platform == "Wine" else ""
            install = work / "check" / platform / "Velmora"
            staged_install(install, build / "Velmora.exe", build / "tests" / f"recorder{exe}", build / "Velmora.exe",
                           template)
            env, staging = clean_env(), install / "data" / "update"
            where = installation.windows_path if platform == "Wine" else str
            first = wine if platform == "Wine" else []
            variants = {"probe": [*first, str(build / "tests" / f"platform_probe{exe}"), "check-staging", where(install)]}
            if platform == "native":
                variants["sha256sum"] = ["/usr/bin/sha256sum", "--quiet", "--check", "SHA256SUMS"]

            def measure(argv):
                if argv[0] == "/usr/bin/sha256sum":
                    os.chdir(staging)
                    return run(argv, env)
                return check_staging(argv, env)
            results[(payload, platform)] = (total, medians(interleaved(variants, rounds[platform], 1, measure)))
            os.chdir(work)
            shutil.rmtree(install)
        shutil.rmtree(template)
    return results


def bench_staging_start(windows: Path, work: Path, rounds, wine):
    """Under Wine: a start that finds a complete staging, checks it and hands it over, beside an
    ordinary start (the loader runs the application and waits for it). The staged loader is the
    recorder, signed where the installation is: it records its start and ends, and the staging
    stays for the next round. Timed to the loader's own end. Besides, a signed installation with a
    staging of 1 GiB whose manifest is signed under the publisher's name from a self-made root: it
    waits, and the start runs the application. Certificate A's root is trusted in the prefix for
    the measurement and taken out again after it; the self-made one never is."""
    signed = work / "signed"
    subprocess.run(["bash", str(REPO / "scripts" / "signed-samples.sh"), str(signed), str(windows / "Velmora.exe"),
                    str(windows / "tests" / "recorder.exe")], check=True, stdout=subprocess.DEVNULL)
    base = work / "handover"
    record = base / "record.txt"
    installs = {"ordinary": base / "ordinary"}
    installation.install(installs["ordinary"], windows / "Velmora.exe", (windows / "tests" / "recorder.exe", "app v1"))
    for name, loader, app, certificate in [("unsigned, no manifest", "unsigned.exe", "recorder.exe", None),
                                           ("unsigned, manifest", "unsigned.exe", "recorder.exe", None),
                                           ("signed", "signed.exe", "recorder-a.exe", signed / "a.pfx")]:
        installs[name] = base / name.replace(", ", "-").replace(" ", "-")
        staged_install(installs[name], signed / loader, signed / app, signed / app, (signed / app, "app v2"),
                       certificate)
        if name == "unsigned, no manifest":
            (installs[name] / "data" / "update" / "SHA256SUMS").unlink()
    waiting = "signed, 1 GiB from a self-made root"
    installs[waiting] = base / "self-made"
    template = base / "large-app"
    shutil.rmtree(template, ignore_errors=True)
    template.mkdir(parents=True)
    shutil.copy2(signed / "recorder-a.exe", template / "velmora.exe")
    (template / "tag.txt").write_text("app v2\n")
    # Sparse: the check must not read it at all, so what it holds does not matter.
    with open(template / "pack.bin", "wb") as pack:
        pack.truncate(1 << 30)
    staged_install(installs[waiting], signed / "signed.exe", signed / "recorder-a.exe", signed / "signed.exe", template,
                   signed / "foreign.pfx", "foreign-root.pem")
    env = clean_env(VELMORA_RECORD=installation.windows_path(record))
    staged = {install: (str(install / "data" / "update").lower(),
                        installation.windows_path(install / "data" / "update").lower()) for install in installs.values()}

    def start(install: Path):
        record.unlink(missing_ok=True)
        os.chdir(install)
        elapsed = run([*wine, str(install / "Velmora.exe")], env)
        # The program started (the application, or the staged loader detached) must have ended
        # before the next round, which would otherwise find the staged loader running.
        wait_until(record.exists, 20)
        wait_until(lambda: not any(path in text.lower() for text in command_lines() for path in staged[install]), 20)
        handed_over = "update" in record.read_text().split("\t")[1].lower()
        if handed_over == (install in (installs["ordinary"], installs[waiting])):
            sys.exit(f"bench: the start in {install} did not do what it is measured for")
        return elapsed
    store = [*wine, str(windows / "tests" / "root_store.exe")]
    root = installation.windows_path(signed / "root.der")
    subprocess.run(["openssl", "x509", "-in", str(signed / "root.pem"), "-outform", "DER", "-out", str(signed / "root.der")],
                   check=True)
    subprocess.run([*store, "add", root], check=True, stdout=subprocess.DEVNULL)
    try:
        return medians(interleaved(installs, rounds, 2, start))
    finally:
        subprocess.run([*store, "remove", root], check=True, stdout=subprocess.DEVNULL)


def command_lines():
    for entry in Path("/proc").iterdir():
        try:
            yield (entry / "cmdline").read_bytes().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue


# ---------------------------------------------------------------- the table and the plots

class Table:
    def __init__(self):
        self.rows = []

    def add(self, figure, variant, value, ratio="", goal="", met=None):
        self.rows.append((figure, variant, value, ratio, goal, "" if met is None else "met" if met else "MISSED"))

    def print(self):
        header = ("figure", "variant", "median", "ratio", "goal", "")
        widths = [max(len(str(row[i])) for row in self.rows + [header]) for i in range(6)]
        line = lambda row: "  ".join(str(c).ljust(w) if i < 2 or i == 5 else str(c).rjust(w)
                                     for i, (c, w) in enumerate(zip(row, widths))).rstrip()
        print(line(header))
        print("  ".join("-" * w for w in widths).rstrip())
        for row in self.rows:
            print(line(row))


def plot(directory: Path, work: Path, starts, apply):
    """start-<platform>.dat: the share of rounds, and the floor's and the loader's time at it;
    apply.dat: file count, floor and loader medians. bench/plots.gp draws them."""
    for platform, times in starts.items():
        rounds = len(times["floor"])
        with open(work / f"start-{platform}.dat", "w") as data:
            for number, (floor, loader) in enumerate(zip(sorted(times["floor"]), sorted(times["loader"]))):
                data.write(f"{100 * (number + 0.5) / rounds:.2f} {floor:.3f} {loader:.3f}\n")
    with open(work / "apply.dat", "w") as data:
        for files, result in sorted(apply.items()):
            data.write(f"{files} {result['floor']:.2f} {result['loader']:.2f}\n")
    directory.mkdir(parents=True, exist_ok=True)
    subprocess.run(["gnuplot", "-e", f"data='{work}/'; out='{directory.resolve()}/'", str(PLOTS)], check=True)


def staging_figures(table, build: Path, windows, work: Path, quick, wine):
    rounds = {"native": 3 if quick else 11, "Wine": 2 if quick else 7}
    checks = bench_check({"native": build, "Wine": windows}, work, rounds, wine)
    for (payload, platform), (total, result) in checks.items():
        figure = f"6 check, {payload} ({total / MIB:.0f} MiB), {platform}"
        if platform == "native":
            floor = result["sha256sum"]
            table.add(figure, "floor: sha256sum --check", f"{floor:.1f} ms", "1.00")
            ratio = result["probe"] / floor
            table.add(figure, "the loader's check", f"{result['probe']:.1f} ms", f"{ratio:.2f}", "<= 1.30", ratio <= 1.30)
        else:
            floor = checks[(payload, "native")][1]["sha256sum"]
            table.add(figure, "the loader's check", f"{result['probe']:.1f} ms",
                      f"{result['probe'] / floor:.2f}x sha256sum")
    if windows:
        start = bench_staging_start(windows, work, 5 if quick else 30, wine)
        figure = "7 start that hands over, Wine"
        table.add(figure, "floor: ordinary start, loader -> app", f"{start['ordinary']:.1f} ms", "1.00")
        for name in ("unsigned, no manifest", "unsigned, manifest", "signed"):
            ratio = start[name] / start["ordinary"]
            goal = ("<= 3.00", ratio <= 3.0) if name == "signed" else ("", None)
            table.add(figure, f"staging {name}: check, hand over", f"{start[name]:.1f} ms", f"{ratio:.2f}", *goal)
        name = "signed, 1 GiB from a self-made root"
        table.add("8 start with a staging that waits, Wine", f"staging {name}: kept, loader -> app",
                  f"{start[name]:.1f} ms", f"{start[name] / start['ordinary']:.2f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--linux", type=Path, required=True, help="native build directory")
    parser.add_argument("--windows", type=Path, help="Windows build directory (run under Wine)")
    parser.add_argument("--work", type=Path, required=True, help="scratch directory")
    parser.add_argument("--apply-dir", type=Path,
                        help="where the apply runs happen (default: a directory on /dev/shm, see docs/benchmarks.md)")
    parser.add_argument("--plots", type=Path, help="write start-latency.png and apply-time.png here")
    parser.add_argument("--quick", action="store_true", help="fewer rounds, for trying the script")
    parser.add_argument("--staging", action="store_true", help="only the figures of a staging's check (6, 7, 8)")
    options = parser.parse_args()
    build, windows = options.linux.resolve(), options.windows.resolve() if options.windows else None
    work = options.work.resolve()
    work.mkdir(parents=True, exist_ok=True)
    quick = options.quick
    table = Table()
    # As the test scripts start Wine (scripts/wine-env.sh, sourced by with-wine-display.sh).
    wine = os.environ.get("VELMORA_WINE_COMMAND", "/usr/lib/wine/wine64").split()
    if options.staging:
        staging_figures(table, build, windows, work, quick, wine)
        table.print()
        return

    starts = {"native": bench_start(build, work, 60 if quick else 600)}
    if windows:
        starts["Wine"] = bench_start(windows, work, 8 if quick else 40, wine)
    for platform, times in starts.items():
        figure = f"1 start, {platform} ({len(times['floor'])} rounds)"
        start = medians(times)
        table.add(figure, "floor: spawn_floor -> app", f"{start['floor']:.2f} ms", "1.00")
        table.add(figure, "app started directly", f"{start['direct']:.2f} ms", f"{start['direct'] / start['floor']:.2f}")
        ratio = start["loader"] / start["floor"]
        table.add(figure, "loader -> app", f"{start['loader']:.2f} ms", f"{ratio:.2f}", "<= 1.10", ratio <= 1.10)
        ratio = start["logged"] / start["floor"]
        table.add(figure, "loader -> app, log written", f"{start['logged']:.2f} ms", f"{ratio:.2f}", "<= 1.10",
                  ratio <= 1.10)

    memory = medians(bench_memory(build, work, 3 if quick else 5))
    figure = "2 peak RSS, native (ru_maxrss)"
    table.add(figure, "floor: spawn_floor", f"{memory['floor']:.2f} MiB", "1.00")
    table.add(figure, "application (/bin/true)", f"{memory['application']:.2f} MiB")
    table.add(figure, "loader", f"{memory['loader']:.2f} MiB", f"{memory['loader'] / memory['floor']:.2f}",
              "<= 4 MiB", memory["loader"] <= 4.0)

    # On a disk, removing files whose blocks are allocated waits on the device; here those waits
    # vary several-fold with the other work on the machine and swamp the loader's own cost.
    # Memory-backed, the figures are the file operations themselves.
    apply_dir = options.apply_dir
    if apply_dir is None:
        shm = Path("/dev/shm")
        apply_dir = shm / f"velmora-bench-{os.getpid()}" if os.access(shm, os.W_OK) else work
    apply_dir.mkdir(parents=True, exist_ok=True)
    on = subprocess.run(["stat", "-f", "-c", "%T", str(apply_dir)], capture_output=True, text=True).stdout.strip()
    sizes = [(10, 3), (1000, 3), (20000, 3)] if quick else [(10, 21), (100, 21), (1000, 11), (5000, 11), (20000, 11)]
    try:
        apply = bench_apply(build, apply_dir.resolve(), sizes)
    finally:
        if options.apply_dir is None and apply_dir != work:
            os.chdir(work)
            shutil.rmtree(apply_dir, ignore_errors=True)
    for files, result in apply.items():
        figure = f"3 apply, {files:,} files, {on}"
        table.add(figure, "floor: cp, sync, mv, mv, mv, rm -rf", f"{result['floor']:.1f} ms", "1.00")
        ratio = result["loader"] / result["floor"]
        table.add(figure, "staged loader --ad", f"{result['loader']:.1f} ms", f"{ratio:.2f}", "<= 1.20", ratio <= 1.20)

    if windows:
        copy = work / "Velmora-stripped.exe"
        shutil.copy2(windows / "Velmora.exe", copy)
        subprocess.run(["x86_64-w64-mingw32-strip", str(copy)], check=True)
        size = copy.stat().st_size
        table.add("4 size of Velmora.exe", "stripped", f"{size / MIB:.2f} MiB", f"{size:,} B", "<= 1.50 MiB",
                  size <= 1.5 * MIB)

    scans = {"native": bench_scan(build, work, 60 if quick else 300)}
    if windows:
        scans["Wine"] = bench_scan(windows, work, 8 if quick else 40, wine)
    for platform, times in scans.items():
        figure = f"5 process scan, {platform}"
        scan = medians(times)
        table.add(figure, "floor: probe learns its location", f"{scan['floor']:.2f} ms", "1.00")
        table.add(figure, "probe scans every process", f"{scan['scan']:.2f} ms",
                  f"+{scan['scan'] - scan['floor']:.2f} ms")

    staging_figures(table, build, windows, work, quick, wine)
    table.print()
    if options.plots:
        plot(options.plots, work, starts, apply)


if __name__ == "__main__":
    main()
