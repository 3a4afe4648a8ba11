#!/usr/bin/env python3
"""The native loader under injected faults: every file and process operation of start mode and
apply mode made to fail with a realistic errno, or the process killed at that point.

Each cell gets a fresh installation in a sandbox (the real loader, the recorder as the
application tagged "app v1", a staged update tagged "app v2"), runs the loader once under one
fault, and then looks at what is left: the exit code and message, which application ran, what
is on disk, what the next clean start does, and whether a later update (v3) still gets through.

The faults come from fault_inject.so (tests/faults/inject.c), preloaded into the loader only:
the programs it starts run clean. Nothing can be preloaded into the loader as shipped, which is
linked whole; the matrix runs the same code linked against the shared C library
(tests/preloadable/Velmora.exe in the build).

Checked in every cell: the fault really fired; nothing hangs; outside the kill cells, no exit
by a signal, and the exit code, message, standard output and the application run are the ones
the loader is built to give; a reported failure (exit 255) leaves a runnable application unless
the message itself says the old one could not be put back. Kill cells check nothing about the
outcome: what they leave behind is reported in the table.

    fault_matrix.py [--build DIR | --loader F --recorder F --inject F] [--write-doc FILE]
                    [--only ID ...] [--jobs N] [--keep]
"""

import argparse
import concurrent.futures
import dataclasses
import errno
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import List, Optional

REPO = Path(__file__).resolve().parent.parent.parent
CAPTION = "Velmora loader\n"
RUN_LIMIT = 30.0      # seconds for one loader run; the copy budget is 5 s
SETTLE_LIMIT = 20.0   # seconds for the programs a run left behind to end
EXIT_FAILURE = 255    # -1 as a POSIX exit status


@dataclasses.dataclass
class Cell:
    id: str
    mode: str            # "start" or "apply"
    fixture: str         # staging before the run: "complete", "none" or "loader only"
    point: str           # where the loader is, in its own terms
    op: str              # VELMORA_FAULT_OP
    path: Optional[str]  # VELMORA_FAULT_PATH relative to the installation, or an absolute path
    error: Optional[str] = None
    nth: int = 1
    count: int = 1
    kill: Optional[str] = None   # "before" or "after" the nth call
    kill_nth: int = 0            # a kill after errno faults on earlier calls
    # What the loader is built to do (cells without a kill):
    exit: Optional[int] = None
    message: str = ""            # {I} the installation, {U} its staging directory
    stdout: str = ""
    ran: tuple = ()              # tags of the applications that ran, the handed-over chain included

    @property
    def killed(self) -> bool:
        return self.kill is not None or self.kill_nth != 0

    def fault_text(self) -> str:
        calls = f"#{self.nth}" if self.count == 1 else (
            f"#{self.nth} on" if self.count == 0 else f"#{self.nth}-{self.nth + self.count - 1}")
        if self.kill_nth:
            return f"{self.error} {calls}, then SIGKILL at #{self.kill_nth}"
        if self.kill:
            return f"SIGKILL {self.kill} #{self.nth}"
        return f"{self.error} {calls}"


def M(*lines: str) -> str:
    return "\n".join(lines)


def cells() -> List[Cell]:
    own = "/proc/self/exe"
    U = "data/update"
    spawn_failed = lambda name: f"CreateProcess failed ({getattr(errno, name)}).\n"
    copy_failed = M("copy failed", "dst:{I}/Velmora.exe", "src:{U}/Velmora.exe")
    retire_failed = M("rename failed", "dst:{I}/app_old", "src:{I}/app")
    move_failed = M("rename failed", "dst:{I}/app", "src:{U}/app")
    restore_failed = M(move_failed, "restore failed", "dst:{I}/app", "src:{I}/app_old")
    v1, v2 = ("app v1",), ("app v2",)
    c = []

    def start(id, fixture, point, op, path, error=None, **more):
        c.append(Cell(id, "start", fixture, point, op, path, error, **more))

    def apply(id, point, op, path, error=None, **more):
        c.append(Cell(id, "apply", "complete", point, op, path, error, **more))

    # Start mode, complete staging: the hand-over.
    start("S1", "complete", "own location", "readlink", own, "EACCES", exit=3)
    start("S1k", "complete", "own location", "readlink", own, kill="before")
    start("S2", "complete", "exists(staging)", "statx", U, "EACCES", exit=0, ran=v1)
    start("S3", "complete", "exists(staging)", "statx", U, "ENOENT", exit=0, ran=v1)
    start("S2k", "complete", "exists(staging)", "statx", U, kill="before")
    start("S4", "complete", "exists(staged loader)", "statx", f"{U}/Velmora.exe", "EACCES", exit=0, ran=v1)
    start("S4k", "complete", "exists(staged loader)", "statx", f"{U}/Velmora.exe", kill="before")
    start("S5", "complete", "exists(staged app)", "statx", f"{U}/app", "EACCES", exit=0, ran=v1)
    start("S6", "complete", "exists(staged app)", "statx", f"{U}/app", "ENOENT", exit=0, ran=v1)
    start("S5k", "complete", "exists(staged app)", "statx", f"{U}/app", kill="before")
    start("S7", "complete", "hand-over: pipe2", "pipe2", None, "EMFILE", exit=0, ran=v1)
    start("S7k", "complete", "hand-over: pipe2", "pipe2", None, kill="before")
    start("S8", "complete", "hand-over: fork", "fork", None, "EAGAIN", exit=0, ran=v1)
    start("S8k", "complete", "hand-over: fork", "fork", None, kill="before")
    start("S9", "complete", "hand-over: fork in the child", "fork", None, "EAGAIN", nth=2, exit=0, ran=v1)
    start("S9k", "complete", "hand-over: fork in the child", "fork", None, nth=2, kill="before")
    start("S10", "complete", "hand-over: execv staged loader", "execv", f"{U}/Velmora.exe", "ETXTBSY", exit=0, ran=v1)
    start("S11", "complete", "hand-over: execv staged loader", "execv", f"{U}/Velmora.exe", "EACCES", exit=0, ran=v1)
    start("S10k", "complete", "hand-over: execv staged loader", "execv", f"{U}/Velmora.exe", kill="before")
    # Start mode, no staging: the main application.
    start("S12", "none", "own location for the working directory", "readlink", own, "EACCES", nth=2,
          exit=0, stdout=spawn_failed("ENOENT"))
    start("S13", "none", "posix_spawn app", "posix_spawn", "app/velmora.exe", "EACCES", exit=0, stdout=spawn_failed("EACCES"))
    start("S14", "none", "posix_spawn app", "posix_spawn", "app/velmora.exe", "ENOENT", exit=0, stdout=spawn_failed("ENOENT"))
    start("S15", "none", "posix_spawn app", "posix_spawn", "app/velmora.exe", "ETXTBSY", exit=0, stdout=spawn_failed("ETXTBSY"))
    start("S13k", "none", "posix_spawn app", "posix_spawn", "app/velmora.exe", kill="before")
    start("S13a", "none", "posix_spawn app", "posix_spawn", "app/velmora.exe", kill="after")
    # Start mode, incomplete staging (a loader without an app): its removal.
    start("S16", "loader only", "remove staging: status", "statx", U, "EACCES", nth=2, exit=0, ran=v1)
    start("S17", "loader only", "remove staging: open directory", "open", U, "EACCES", exit=0, ran=v1)
    start("S17k", "loader only", "remove staging: open directory", "open", U, kill="before")
    start("S18", "loader only", "remove staging: unlink staged loader", "unlinkat", f"{U}/Velmora.exe", "EBUSY", exit=0, ran=v1)
    start("S19", "loader only", "remove staging: unlink staged loader", "unlinkat", f"{U}/Velmora.exe", "EACCES", exit=0, ran=v1)
    start("S18k", "loader only", "remove staging: unlink staged loader", "unlinkat", f"{U}/Velmora.exe", kill="before")
    start("S20", "loader only", "remove staging: rmdir", "unlinkat", U, "EBUSY", exit=0, ran=v1)
    start("S20k", "loader only", "remove staging: rmdir", "unlinkat", U, kill="before")

    # Apply mode: the staged loader with --ad.
    apply("A1", "own location", "readlink", own, "EACCES", exit=3)
    apply("A1k", "own location", "readlink", own, kill="before")
    apply("A2", "status(install dir)", "statx", ".", "ENOENT", exit=EXIT_FAILURE, message="directory is not exists({I})")
    apply("A3", "status(install dir)", "statx", ".", "EACCES", exit=EXIT_FAILURE,
          message=M("directory is not accessible({I})", os.strerror(errno.EACCES)))
    apply("A2k", "status(install dir)", "statx", ".", kill="before")
    apply("A4", "copy: open source, first attempt", "open", f"{U}/Velmora.exe", "EACCES", exit=0, ran=v2)
    apply("A4k", "copy: open source, first attempt", "open", f"{U}/Velmora.exe", kill="before")
    apply("A5", "copy: open target, first attempt", "open", "Velmora.exe", "ETXTBSY", exit=0, ran=v2)
    apply("A6", "copy: open target, attempts 1-10", "open", "Velmora.exe", "ETXTBSY", count=10, exit=0, ran=v2)
    apply("A7", "copy: open target, every attempt", "open", "Velmora.exe", "ETXTBSY", count=0,
          exit=EXIT_FAILURE, message=copy_failed)
    apply("A5k", "copy: open target, first attempt", "open", "Velmora.exe", kill="before")
    apply("A6k", "copy: open target, fifth attempt", "open", "Velmora.exe", "ETXTBSY", count=4, kill_nth=5)
    apply("A8", "copy: data, first attempt", "copy_data", "Velmora.exe", "ENOSPC", exit=0, ran=v2)
    apply("A9", "copy: data, every attempt", "copy_data", "Velmora.exe", "ENOSPC", count=0,
          exit=EXIT_FAILURE, message=copy_failed)
    apply("A8k", "copy: data, first attempt", "copy_data", "Velmora.exe", kill="before")
    apply("A8a", "copy: data, first attempt", "copy_data", "Velmora.exe", kill="after")
    apply("A9k", "copy: data, fifth attempt", "copy_data", "Velmora.exe", "ENOSPC", count=4, kill_nth=5)
    apply("A10", "rename app -> app_old", "rename", "app", "EBUSY", exit=EXIT_FAILURE, message=retire_failed)
    apply("A11", "rename app -> app_old", "rename", "app", "EACCES", exit=EXIT_FAILURE, message=retire_failed)
    apply("A10k", "rename app -> app_old", "rename", "app", kill="before")
    # A file system that cannot refuse to replace: renameat2 says EINVAL, rename(2) takes over.
    apply("A12", "rename app -> app_old, no RENAME_NOREPLACE", "rename", "app", "EINVAL", exit=0, ran=v2)
    apply("A13", "rename app -> app_old, no RENAME_NOREPLACE, fallback fails", "rename", "app", "EINVAL,EACCES", count=2,
          exit=EXIT_FAILURE, message=retire_failed)
    apply("A14", "rename staged app -> app", "rename", f"{U}/app", "EACCES", exit=EXIT_FAILURE, message=move_failed)
    apply("A15", "rename staged app -> app", "rename", f"{U}/app", "ENOSPC", exit=EXIT_FAILURE, message=move_failed)
    apply("A14k", "rename staged app -> app", "rename", f"{U}/app", kill="before")
    apply("A14a", "rename staged app -> app", "rename", f"{U}/app", kill="after")
    apply("A16", "rename staged app -> app, and the move back", "rename", None, "EBUSY", nth=2, count=2,
          exit=EXIT_FAILURE, message=restore_failed)
    apply("A16k", "the move back app_old -> app", "rename", None, "EACCES", nth=2, kill_nth=3)
    apply("A17", "remove app_old: status", "statx", "app_old", "EACCES", exit=0, ran=v2)
    apply("A18", "remove app_old: unlink a file", "unlinkat", "app_old/velmora.exe", "EACCES", exit=0, ran=v2)
    apply("A18k", "remove app_old: unlink a file", "unlinkat", "app_old/velmora.exe", kill="before")
    apply("A19", "remove app_old: rmdir", "unlinkat", "app_old", "EBUSY", exit=0, ran=v2)
    apply("A19k", "remove app_old: rmdir", "unlinkat", "app_old", kill="before")
    apply("A20", "restart: pipe2", "pipe2", None, "EMFILE", exit=0)
    apply("A20k", "restart: pipe2", "pipe2", None, kill="before")
    apply("A21", "restart: fork", "fork", None, "EAGAIN", exit=0)
    apply("A21k", "restart: fork", "fork", None, kill="before")
    apply("A22", "restart: fork in the child", "fork", None, "EAGAIN", nth=2, exit=0)
    apply("A23", "restart: chdir install dir", "chdir", ".", "EACCES", exit=0)
    apply("A23k", "restart: chdir install dir", "chdir", ".", kill="before")
    apply("A24", "restart: execv installed loader", "execv", "Velmora.exe", "ETXTBSY", exit=0)
    apply("A24k", "restart: execv installed loader", "execv", "Velmora.exe", kill="before")
    return c


# --- the sandbox -------------------------------------------------------------------------------

class Programs:
    def __init__(self, loader: Path, recorder: Path, inject: Path):
        self.inject = inject
        self.recorder = recorder.read_bytes()
        base = loader.read_bytes()
        # A mark after the executable's end tells the loaders apart; each still runs.
        self.loaders = {v: base + f"\0fault matrix: loader {v}\0".encode() for v in ("v1", "v2", "v3")}


def write_file(path: Path, data: bytes, executable: bool = False) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    if executable:
        path.chmod(0o755)


def stage(inst: Path, programs: Programs, version: str, with_app: bool = True) -> None:
    staging = inst / "data" / "update"
    if staging.exists():
        shutil.rmtree(staging)
    write_file(staging / "Velmora.exe", programs.loaders[version], executable=True)
    if with_app:
        write_file(staging / "app" / "velmora.exe", programs.recorder, executable=True)
        (staging / "app" / "tag.txt").write_text(f"app {version}\n")


def install(inst: Path, programs: Programs, fixture: str) -> None:
    write_file(inst / "Velmora.exe", programs.loaders["v1"], executable=True)
    write_file(inst / "app" / "velmora.exe", programs.recorder, executable=True)
    (inst / "app" / "tag.txt").write_text("app v1\n")
    if fixture != "none":
        stage(inst, programs, "v2", with_app=fixture == "complete")


def processes_below(directory: Path) -> List[int]:
    prefix = str(directory) + "/"
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if os.readlink(f"/proc/{entry}/exe").startswith(prefix):
                found.append(int(entry))
        except OSError:
            pass  # ended, a zombie, or a kernel thread
    return found


def settle(directory: Path) -> bool:
    """Waits until no program runs from below `directory`; false if some had to be killed."""
    deadline = time.monotonic() + SETTLE_LIMIT
    quiet = 0
    while quiet < 2:  # twice in a row: a hand-over leaves no gap, but be sure
        quiet = quiet + 1 if not processes_below(directory) else 0
        if time.monotonic() > deadline:
            for pid in processes_below(directory):
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
            return False
        time.sleep(0.03)
    return True


def tags_in(record: Path) -> tuple:
    if not record.exists():
        return ()
    return tuple(line.split("\t", 1)[0] for line in record.read_text(errors="replace").splitlines() if line)


@dataclasses.dataclass
class Run:
    exit: Optional[int] = None     # None: killed by a signal
    signal: Optional[int] = None
    stdout: str = ""
    stderr: str = ""
    ran: tuple = ()
    settled: bool = True
    not_started: str = ""          # why the program could not be started at all

    @property
    def message(self) -> Optional[str]:
        start = self.stderr.find(CAPTION)
        if start < 0:
            return None
        text = self.stderr[start + len(CAPTION):]
        return text[:-1] if text.endswith("\n") else text


def run_loader(program: Path, arguments: List[str], out: Path, name: str, base: Path, extra_env: dict) -> Run:
    env = {k: v for k, v in os.environ.items() if not k.startswith("VELMORA_") and k != "LD_PRELOAD"}
    env["VELMORA_RECORD"] = str(out / f"{name}.rec")
    env.update(extra_env)
    run = Run()
    with open(out / f"{name}.out", "wb") as stdout, open(out / f"{name}.err", "wb") as stderr:
        try:
            process = subprocess.Popen([str(program)] + arguments, cwd=out, env=env,
                                       stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr)
        except OSError as error:
            run.not_started = error.strerror or str(error)
            return run
        try:
            code = process.wait(timeout=RUN_LIMIT)
        except subprocess.TimeoutExpired:
            process.kill()
            code = process.wait()
            run.settled = False
    if code < 0:
        run.signal = -code
    else:
        run.exit = code
    run.stdout = (out / f"{name}.out").read_text(errors="replace")
    run.stderr = (out / f"{name}.err").read_text(errors="replace")
    run.settled = settle(base) and run.settled
    run.ran = tags_in(out / f"{name}.rec")
    return run


# --- what is on disk -------------------------------------------------------------------------

def loader_state(path: Path, programs: Programs) -> str:
    if not path.is_file():
        return "missing"
    data = path.read_bytes()
    for version, bytes_ in programs.loaders.items():
        if data == bytes_:
            return version
    return "EMPTY" if not data else f"PARTIAL ({len(data)} bytes)"


def app_state(directory: Path, programs: Programs) -> str:
    """The tag of a runnable application in `directory`, or what is wrong with it."""
    if not directory.exists():
        return "-"
    program, tag = directory / "velmora.exe", directory / "tag.txt"
    if not any(directory.iterdir()):
        return "empty"
    if not program.is_file() or not tag.is_file():
        return "partial"
    if program.read_bytes() != programs.recorder or not os.access(program, os.X_OK):
        return "broken program"
    return tag.read_text().strip().removeprefix("app ")


def staging_state(staging: Path, programs: Programs) -> str:
    if not staging.exists():
        return "-"
    loader = staging / "Velmora.exe"
    parts = []
    if loader.exists():
        parts.append(f"loader {loader_state(loader, programs)}")
    if (staging / "app").exists():
        parts.append(f"app {app_state(staging / 'app', programs)}")
    return " + ".join(parts) if parts else "empty"


def runnable(app: str) -> bool:
    return app in ("v1", "v2", "v3")


# --- one cell ------------------------------------------------------------------------------------

@dataclasses.dataclass
class Outcome:
    cell: Cell
    run: Run
    fired: int
    loader: str
    app: str
    app_old: str
    staging: str
    next: str
    later: str
    problems: List[str]
    findings: List[str]
    paths: dict
    functions: List[str]


def describe_next(run: Run) -> str:
    if run.not_started:
        return f"loader cannot start ({run.not_started})"
    ran = ", ".join(run.ran) if run.ran else "no app"
    code = f" (exit {run.exit})" if run.exit not in (0, None) else ""
    if run.signal is not None:
        code = f" (signal {run.signal})"
    return ran + code + ("" if run.settled else ", hung")


def run_cell(cell: Cell, programs: Programs, sandbox_root: Path, keep: bool) -> Outcome:
    base = Path(tempfile.mkdtemp(prefix=f"{cell.id}-", dir=sandbox_root))
    inst, out = base / "inst", base / "out"
    out.mkdir()
    install(inst, programs, cell.fixture)
    staging = inst / "data" / "update"
    values = {"I": str(inst), "U": str(staging)}

    fault = {
        "LD_PRELOAD": str(programs.inject),
        "VELMORA_FAULT_ROOT": str(inst),
        "VELMORA_FAULT_OP": cell.op,
        "VELMORA_FAULT_NTH": str(cell.nth),
        "VELMORA_FAULT_COUNT": str(cell.count),
        "VELMORA_FAULT_LOG": str(out / "fault.log"),
    }
    if cell.path is not None:
        fault["VELMORA_FAULT_PATH"] = cell.path if cell.path.startswith("/") else os.path.normpath(inst / cell.path)
    if cell.error:
        fault["VELMORA_FAULT_ERRNO"] = cell.error
    if cell.kill:
        fault["VELMORA_FAULT_KILL"] = cell.kill
    if cell.kill_nth:
        fault["VELMORA_FAULT_KILL_NTH"] = str(cell.kill_nth)

    if cell.mode == "start":
        program, arguments = inst / "Velmora.exe", []
    else:
        program, arguments = staging / "Velmora.exe", ["--ad", str(inst)]
    run = run_loader(program, arguments, out, "run", base, fault)

    log = (out / "fault.log").read_text().splitlines() if (out / "fault.log").exists() else []
    fired = sum(1 for line in log if line.split("\t")[3] != "pass")
    # The entry points the counted calls came in through, as the loader really makes them.
    functions = list(dict.fromkeys(line.split("\t")[1] for line in log))
    loader = loader_state(inst / "Velmora.exe", programs)
    app = app_state(inst / "app", programs)
    app_old = app_state(inst / "app_old", programs)
    staged = staging_state(staging, programs)

    next_run = run_loader(inst / "Velmora.exe", [], out, "next", base, {})
    stage(inst, programs, "v3")
    later_run = run_loader(inst / "Velmora.exe", [], out, "later", base, {})

    problems = []
    if fired == 0:
        problems.append("the fault never fired")
    if run.not_started:
        problems.append(f"the loader did not start: {run.not_started}")
    if not run.settled:
        problems.append("the run or the programs it started did not end")
    if not cell.killed:
        if run.signal is not None:
            problems.append(f"ended by signal {run.signal}")
        elif run.exit != cell.exit:
            problems.append(f"exit {run.exit}, expected {cell.exit}")
        expected_message = cell.message.format(**values) if cell.message else None
        if run.message != expected_message:
            problems.append(f"message {run.message!r}, expected {expected_message!r}")
        if run.stdout != cell.stdout:
            problems.append(f"standard output {run.stdout!r}, expected {cell.stdout!r}")
        if run.ran != cell.ran:
            problems.append(f"ran {run.ran}, expected {cell.ran}")
        # The message says so itself when the old application could not be put back.
        if run.exit == EXIT_FAILURE and not runnable(app) and "restore failed" not in (run.message or ""):
            problems.append("a reported failure left no runnable app")

    findings = []
    if not runnable(app):
        findings.append("no runnable app")
    if loader not in programs.loaders:
        findings.append("installed loader cannot run")
    if not next_run.ran:
        findings.append("next start runs no app")
    if later_run.ran != ("app v3",):
        findings.append("later update v3 not applied")
    if run.exit == 0 and not run.ran and not run.stdout and run.message is None:
        findings.append("ran nothing, said nothing")
    if app_old != "-" and not findings:
        findings.append("app_old left")

    if not keep:
        shutil.rmtree(base, ignore_errors=True)
    return Outcome(cell, run, fired, loader, app, app_old, staged, describe_next(next_run),
                   describe_next(later_run), problems, findings, values, functions)


# --- the table -----------------------------------------------------------------------------------

def shown_exit(run: Run) -> str:
    if run.not_started:
        return "not started"
    if run.signal is not None:
        return "SIGKILL" if run.signal == signal.SIGKILL else f"signal {run.signal}"
    return str(run.exit)


def shown_message(outcome: Outcome) -> str:
    run = outcome.run
    text = run.message if run.message is not None else run.stdout.strip()
    # The staging directory first: it lies below the installation.
    text = text.replace(outcome.paths["U"], "U").replace(outcome.paths["I"], "I")
    return text.replace("|", "\\|").replace("\n", "<br>")


def table(outcomes: List[Outcome]) -> str:
    rows = ["| cell | mode, staging | point | fault | exit | message (I = install dir, U = I/data/update) "
            "| ran | loader | app | app_old | staging | next clean start | later update v3 | result |",
            "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"]
    for o in outcomes:
        c = o.cell
        result = "FAIL: " + "; ".join(o.problems) if o.problems else "ok"
        if o.findings:
            result += " — **" + "; ".join(o.findings) + "**"
        call = ", ".join(f"`{f}`" for f in o.functions) or f"`{c.op}`"
        rows.append(f"| {c.id} | {c.mode}, {c.fixture} | {c.point} ({call}) | {c.fault_text()} | {shown_exit(o.run)} "
                    f"| {shown_message(o)} | {', '.join(o.run.ran) or '-'} | {o.loader} | {o.app} | {o.app_old} "
                    f"| {o.staging} | {o.next} | {o.later} | {result} |")
    return "\n".join(rows) + "\n"


READING = """\
## Reading

Without a kill, the loader does what it is built to do in every cell: exit codes, messages and
the application run are the intended ones, nothing crashes, and every failure reported with exit
255 leaves the old application runnable, except A16, whose message says `restore failed`. The
findings are in what a fault leaves for the starts after it:

- **A failed or interrupted copy of the loader leaves no loader** (A9, A8k, A9k). `copy_file`
  opens the installed `Velmora.exe` with `O_TRUNC` before it copies a byte, so running out of
  space in every attempt (A9, reported as `copy failed`) or a kill during the copy leaves an
  empty file. The application is intact, but nothing can start it any more: the next start
  fails with "Exec format error". A failed open (A7) leaves the old loader whole. Copying to a
  new name beside it and renaming that over the old loader would keep the old one until the new
  one is complete.
- **`app_old` without `app` never recovers** (A16, A14k, A16k). When the move back fails (A16)
  or the loader is killed between the two renames, `app` is gone while `app_old` (v1) and the
  staged `app` (v2) are both intact. Every later start hands over again and apply mode fails at
  `rename app -> app_old` (no `app`); its message goes nowhere, since the staged loader runs
  detached: no application ever runs again, and a later update does not help.
- **A leftover `app_old` blocks every later update, and with it the application** (A17-A19,
  A18k, A19k, A14a). Failing to remove `app_old` is ignored on purpose and the next start runs
  the new version, but the next staged update fails at `rename app -> app_old` (the target
  exists). Since start mode hands over whenever a complete update is staged, the application
  does not start at all from then on.
- **A child killed before its exec counts as started** (S9k, S10k, A23k, A24k): the pipe that
  closes on exec also closes when the child dies, so start mode exits 0 having started nothing.
  The next start is normal.
- **The working directory comes from a second query of the loader's own location** (S12): when
  only that query fails, the application is not started ("CreateProcess failed (2).") although
  the first query succeeded.
- On purpose, a staging directory seen without its `app` is removed (S6): one wrong "not found"
  discards a complete update. Restart failures after a completed apply (A20-A24) are silent on
  purpose (exit 0, no message); the next start runs the new version. On a file system without
  `RENAME_NOREPLACE` the `rename(2)` fallback carries the update (A12) and its failure is
  reported like any other (A13).
"""


def write_doc(path: Path, outcomes: List[Outcome], seconds: float) -> None:
    counted = sum(1 for o in outcomes if not o.cell.killed)
    lost = [o.cell.id for o in outcomes if "no runnable app" in o.findings]
    broken = [o.cell.id for o in outcomes if "installed loader cannot run" in o.findings]
    stuck = [o.cell.id for o in outcomes if "next start runs no app" in o.findings]
    blocked = [o.cell.id for o in outcomes if "later update v3 not applied" in o.findings]
    text = f"""# Fault matrix of the native loader

Generated by `tests/faults/fault_matrix.py` ({len(outcomes)} cells, {counted} with an errno and
{len(outcomes) - counted} with a kill; {seconds:.0f} s on this machine). Reproduce it with

    cmake --preset linux && cmake --build --preset linux
    python3 tests/faults/fault_matrix.py --build build/linux --write-doc docs/fault-matrix.md

and check it with `ctest --preset linux -R fault_matrix`.

Each cell starts from a fresh installation: loader v1 as `Velmora.exe`, the recorder as
`app/velmora.exe` tagged v1, and, depending on the cell, a complete staged update (loader v2 and
app v2), only a staged loader, or nothing. The loader runs once with `fault_inject.so` preloaded
(start mode: no arguments; apply mode: the staged loader with `--ad I`); the fault hits the N-th
call of one C library entry point on a path below the installation and the programs it starts
run clean. Nothing can be preloaded into the loader as shipped, which is linked whole: the
loaders here are the same code linked against the shared C library. Then: what ran (the handed-over chain included), what is on disk, what the next clean
start runs, and whether a later update (v3, staged after that start) gets through.

The "point" column names the C library entry points the counted calls really came through (from
the injector's log). Calls are counted per operation and path: `#2` is the second such call on
that path. `fork #2` happens in the intermediate child of the detached start, `chdir` and
`execv` in the grandchild. "SIGKILL before" ends the process instead of the call, "after" once
it has returned. Loaders are told apart by a mark after the executable; `EMPTY` is a truncated
loader. "ran" includes what the handed-over chain ran; "next clean start" runs the installed
loader without faults and waits until every program it started has ended.

Cells leaving no runnable app: {", ".join(lost) or "none"}.
Cells leaving a loader that cannot run: {", ".join(broken) or "none"}.
Cells after which the next clean start runs no application: {", ".join(stuck) or "none"}.
Cells after which a later update is not applied: {", ".join(blocked) or "none"}.

{table(outcomes)}
{READING}"""
    path.write_text(text)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", type=Path, default=REPO / "build" / "linux",
                        help="native build directory (Velmora.exe, tests/recorder, tests/fault_inject.so)")
    parser.add_argument("--loader", type=Path, help="the loader (default: BUILD/Velmora.exe)")
    parser.add_argument("--recorder", type=Path, help="the recorder (default: BUILD/tests/recorder)")
    parser.add_argument("--inject", type=Path, help="the fault library (default: BUILD/tests/fault_inject.so)")
    parser.add_argument("--write-doc", type=Path, help="write the matrix as Markdown to this file")
    parser.add_argument("--only", nargs="*", help="cells to run (default: all)")
    parser.add_argument("--jobs", type=int, default=4, help="cells run at once")
    parser.add_argument("--keep", action="store_true", help="keep the sandboxes")
    options = parser.parse_args()

    build = options.build.resolve()
    programs = Programs(options.loader or build / "tests" / "preloadable" / "Velmora.exe", options.recorder or build / "tests" / "recorder",
                        (options.inject or build / "tests" / "fault_inject.so").resolve())
    chosen = [c for c in cells() if not options.only or c.id in options.only]
    if not chosen:
        print("no such cell", file=sys.stderr)
        return 2
    # Canonical, so that the paths in messages are the ones the loader learns from /proc.
    sandbox_root = Path(tempfile.mkdtemp(prefix="velmora-faults-")).resolve()
    started = time.monotonic()
    try:
        with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, options.jobs)) as pool:
            outcomes = list(pool.map(lambda cell: run_cell(cell, programs, sandbox_root, options.keep), chosen))
    finally:
        if not options.keep:
            shutil.rmtree(sandbox_root, ignore_errors=True)
    seconds = time.monotonic() - started

    print(table(outcomes))
    failed = [o for o in outcomes if o.problems]
    for o in failed:
        print(f"FAIL {o.cell.id}: {'; '.join(o.problems)}", file=sys.stderr)
    print(f"{len(outcomes)} cells, {len(failed)} failed, {seconds:.1f} s", file=sys.stderr)
    if options.write_doc:
        write_doc(options.write_doc, outcomes, seconds)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
