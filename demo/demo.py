#!/usr/bin/env python3
"""A demonstration update cycle: a sandbox installation with a sample application v1 and a staged
v2, then the loader's runs one after the other, with what is on disk before and after, which
programs ran (with their arguments) and each exit code.

The runs after the first are started by the loader itself, detached, so the demonstration watches
them with strace: every program start and every exit is recorded, whoever started it."""

import argparse
import hashlib
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Optional

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "scripts"))
import installation  # noqa: E402


def digest(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


def kind_of(path: Path) -> str:
    if path.is_dir():
        # A folder's hash covers its files' names and contents: two versions of the application
        # may share the executable and differ in a file beside it.
        files = sorted(p for p in path.rglob("*") if p.is_file())
        tree = hashlib.sha256()
        for file in files:
            tree.update(f"{file.relative_to(path).as_posix()}\0{digest(file)}\n".encode())
        return f"{len(files):>9} files  sha256 {tree.hexdigest()[:12]}"
    return f"{path.stat().st_size:>9,} bytes  sha256 {digest(path)[:12]}"


def show_disk(title: str, root: Path) -> None:
    print(f"  {title}")
    for entry in sorted(root.rglob("*")):
        relative = entry.relative_to(root).as_posix() + ("/" if entry.is_dir() else "")
        # The sample application's version is the text of its tag.txt.
        note = f'  "{entry.read_text().strip()}"' if entry.name == "tag.txt" else ""
        print(f"    {relative:<34} {kind_of(entry)}{note}")
    print()


def install(root: Path, loader: Path, sample: Path) -> None:
    installation.install(root, loader, (sample, "sample application v1"))
    # The new version, as the program that fetches updates leaves it: written beside data/update
    # and moved there once complete. A mark after the executable's end tells the new loader's
    # file apart from the old one.
    installation.stage(root, installation.marked(loader, "Velmora demonstration: loader v2"),
                       (sample, "sample application v2"))


EXECVE = re.compile(r'^(\d+)\s+execve\("([^"]*)", \[(.*?)\], 0x[0-9a-f]+ /\* \d+ vars \*/(.*)$')
RESUMED = re.compile(r'^(\d+)\s+<\.\.\. execve resumed>\)\s*= (-?\d+)')
EXITED = re.compile(r'^(\d+)\s+\+\+\+ exited with (\d+) \+\+\+$')
ARGUMENT = re.compile(r'"((?:[^"\\]|\\.)*)"')


def unescape(text: str) -> str:
    return bytes(text, "utf-8").decode("unicode_escape").encode("latin-1").decode("utf-8", "replace")


def programs_in(trace: Path, root: Path, windows: bool):
    """The programs of the sandbox that ran, in start order: (pid, program, arguments, exit code)."""
    started, pending, exits = [], {}, {}
    for line in trace.read_text(errors="replace").splitlines():
        if match := EXECVE.match(line):
            pid, argv = int(match[1]), [unescape(a) for a in ARGUMENT.findall(match[3])]
            if windows:
                argv = argv[1:]  # wine64 <program> <arguments>
            if not argv or "velmora.exe" not in argv[0].lower():
                continue
            if "<unfinished" in match[4]:
                pending[pid] = (pid, argv[0], argv[1:])
            elif match[4].strip().startswith(") = 0"):
                started.append((pid, argv[0], argv[1:]))
        elif (match := RESUMED.match(line)) and int(match[1]) in pending:
            if match[2] == "0":
                started.append(pending[int(match[1])])
        elif match := EXITED.match(line):
            exits[int(match[1])] = int(match[2])
    # A process that replaces its own image (Wine's loader does) counts once, as what it became.
    latest = {pid: (pid, program, arguments) for pid, program, arguments in started}
    order = list(dict.fromkeys(pid for pid, _, _ in started))
    return [(*latest[pid], exits.get(pid)) for pid in order]


def describe(program: str, root: Path, windows: bool) -> str:
    unix = installation.unix_path(program) if windows and re.match(r"^[A-Za-z]:\\", program) else Path(program)
    try:
        relative = unix.resolve().relative_to(root.resolve()).as_posix()
    except ValueError:
        return program
    return {
        "Velmora.exe": "installed loader",
        "data/update/Velmora.exe": "staged loader",
        "app/velmora.exe": "main application",
    }.get(relative, relative)


def exit_text(code):
    if code is None:
        return "still running"
    return f"{code}" + (" (-1)" if code == 255 else "")


def run_cycle(title: str, root: Path, command: list, windows: bool, record_file: Path, record: str,
              expect=None) -> None:
    """expect: (the tag of the application that runs last, whether data/update is left), checked
    after the cycle."""
    record_file.unlink(missing_ok=True)
    print(f"== {title} ==")
    print(f"  install directory: {root}\n")
    show_disk("On disk before the user starts the loader:", root)
    with tempfile.TemporaryDirectory() as scratch:
        trace = Path(scratch) / "trace"
        env = dict(os.environ, VELMORA_RECORD=record)
        started = time.monotonic()
        first = subprocess.run(["strace", "-f", "-q", "-s", "4096", "-e", "trace=execve", "-e", "signal=none",
                                "-o", str(trace), *command], env=env, cwd=root.parent)
        elapsed = time.monotonic() - started
        runs = programs_in(trace, root, windows)
    if not runs:
        raise SystemExit("demo: no program start was observed in the trace")
    print(f"  The user starts the {describe(command[-1], root, windows)}; the programs that ran, in order:")
    for number, (pid, program, arguments, code) in enumerate(runs, 1):
        role = describe(program, root, windows)
        shown = " ".join(f'"{a}"' if (" " in a or not a) else a for a in arguments) or "(no arguments)"
        mode = ""
        if role.endswith("loader"):
            mode = "apply mode" if "--ad" in arguments else "start mode"
        print(f"    {number}. {role:<17} {mode:<11} {shown}")
        print(f"       exit code {exit_text(code)}")
    print(f"  The first run's exit code as the user's shell saw it: {first.returncode}; "
          f"whole cycle {elapsed:.2f} s.\n")
    show_disk("On disk after the cycle:", root)
    print("  What the sample application recorded (version, working directory):")
    for line in record_file.read_text().splitlines():
        fields = [re.sub(r"\\(.)", lambda m: {"t": "\t", "n": "\n"}.get(m[1], m[1]), f) for f in line.split("\t")]
        print(f"    {fields[0]} ran in {fields[2]} with {fields[3]} arguments")
    print()
    if expect is not None:
        ran = record_file.read_text().splitlines()[-1].split("\t")[0]
        left = (root / "data" / "update").exists()
        if (ran, left) != expect:
            raise SystemExit(f"demo: {ran!r} ran and data/update was {'' if left else 'not '}left; "
                             f"expected {expect[0]!r}, data/update {'left' if expect[1] else 'gone'}")


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("platform", choices=["linux", "windows", "windows-signed"])
    parser.add_argument("samples", nargs="?", type=Path, help="windows-signed: the signed samples' folder")
    options = parser.parse_args()
    windows = options.platform != "linux"
    build = REPO / "build" / ("windows" if windows else "linux")
    sample = build / "tests" / ("recorder.exe" if windows else "recorder")
    record_file = REPO / "build" / "demo" / ("windows" if windows else "linux") / "runs.txt"
    record = installation.windows_path(record_file) if windows else str(record_file)
    if options.platform == "windows-signed":
        signed_cycles(options.samples, record_file, record)
        return 0
    root = REPO / "build" / "demo" / options.platform / "Velmora demo"
    install(root, build / "Velmora.exe", sample)
    record_file.unlink(missing_ok=True)
    if windows:
        command = [str(REPO / "scripts" / "wine-run.sh"), str(root / "Velmora.exe")]
        title = "Windows executable under Wine"
    else:
        command = [str(root / "Velmora.exe")]
        title = "Native Linux build"
    run_cycle(title, root, command, windows, record_file, record, expect=("sample application v2", False))
    if windows:
        with tempfile.TemporaryDirectory() as scratch:
            signed = Path(scratch)
            subprocess.run(["bash", str(REPO / "scripts" / "signed-samples.sh"), str(signed),
                            str(build / "Velmora.exe"), str(sample)], check=True)
            # A machine that trusts the publisher's root, as Windows does once it has fetched it: a
            # Wine prefix of the demonstration's own, removed after it.
            subprocess.run([str(REPO / "scripts" / "with-trusted-roots.sh"), str(build / "tests" / "root_store.exe"),
                            str(signed / "root.pem"), "--", sys.executable, str(Path(__file__).resolve()),
                            "windows-signed", str(signed)], check=True)
    return 0


def signed_cycles(signed: Path, record_file: Path, record: str) -> None:
    """A signed installation, its loader and application signed by a throw-away publisher whose root
    this Wine prefix trusts, which takes only an update its publisher signed whole: one whose
    tag.txt was changed after signing is refused, then the publisher's own update goes in."""
    root = REPO / "build" / "demo" / "windows" / "Velmora signed"
    command = [str(REPO / "scripts" / "wine-run.sh"), str(root / "Velmora.exe")]
    installation.install(root, signed / "signed.exe", (signed / "recorder-a.exe", "sample application v1"))
    stage_signed(root, signed, "sample application v2", altered="sample application v2, altered")
    print("The loader and the application are signed by \"Velmora Test Publisher\", whose root this")
    print("machine trusts, and so is the staged update's manifest (SHA256SUMS, signed by")
    print("scripts/sign-update.sh); the update's tag.txt was changed after signing: the start removes the")
    print("staging and runs v1, and shows nothing.\n")
    run_cycle("Signed installation, an update altered after signing", root, command, True, record_file,
              record, expect=("sample application v1", False))
    stage_signed(root, signed, "sample application v2")
    print("Now the publisher's whole signed update, as it was signed:\n")
    run_cycle("Signed installation, the publisher's update", root, command, True, record_file, record,
              expect=("sample application v2", False))


def stage_signed(root: Path, signed: Path, tag: str, altered: Optional[str] = None) -> None:
    """The publisher's update (its signed loader and application) staged with its manifest signed
    by certificate A, as its release signs it; with `altered`, tag.txt holds that text instead,
    written after signing."""
    def sign(folder: Path) -> None:
        env = dict(os.environ, VELMORA_SIGN_PFX=str(signed / "a.pfx"), VELMORA_SIGN_PASSWORD_FILE=str(signed / "pass"),
                   VELMORA_SIGN_CAFILE=str(signed / "root.pem"))
        subprocess.run(["bash", str(REPO / "scripts" / "sign-update.sh"), str(folder)], env=env, check=True)
        if altered is not None:
            (folder / "app" / "tag.txt").write_text(altered + "\n")
    installation.stage(root, signed / "signed.exe", (signed / "recorder-a.exe", tag), sign)


if __name__ == "__main__":
    sys.exit(main())
