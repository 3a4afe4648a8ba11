#!/usr/bin/env python3
"""The native loader under injected faults: every file and process operation of start mode and
apply mode made to fail with a realistic errno, or the process killed at that point.

Each cell gets a fresh installation in a sandbox (the real loader, the recorder as the
application tagged "app v1", a staged update tagged "app v2", and for some cells what an
interrupted update leaves), runs the loader once under one fault, and then looks at what is
left: the exit code and message, which application ran, what is on disk, what the next clean
start does, and whether a later update (v3) still gets through.

The faults come from fault_inject.so (tests/faults/inject.c), preloaded into the loader only:
the programs it starts run clean. Nothing can be preloaded into the loader as shipped, which is
linked whole; the matrix runs the same code linked against the shared C library
(tests/preloadable/Velmora.exe in the build).

Checked in every cell, kill cells included: the fault really fired; nothing hangs; the installed
loader is a whole loader after the run; the log files hold at most 1 MiB, every line has the
log's form, and what was planted at its name is as it was; the next clean start runs an application and reports
nothing; a later update (v3) is applied and leaves neither app_old nor Velmora.exe.new; nothing
beside the installation changes. Outside the kill cells, also no exit by a signal, and the exit
code, message, standard output and the application run are the ones the loader is built to
give.

    fault_matrix.py [--build DIR | --loader F --recorder F --inject F] [--write-doc FILE]
                    [--only ID ...] [--jobs N] [--keep]
"""

import argparse
import concurrent.futures
import re
import dataclasses
import errno
import os
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import List, Optional

REPO = Path(__file__).resolve().parent.parent.parent
sys.path.insert(0, str(REPO / "scripts"))
import installation  # noqa: E402

CAPTION = "Velmora loader\n"
RUN_LIMIT = 30.0      # seconds for one loader run; the copy budget is 5 s
SETTLE_LIMIT = 20.0   # seconds for the programs a run left behind to end
EXIT_FAILURE = 255    # -1 as a POSIX exit status
SIBLING = "Velmora.exe.new"
LOG = "data/Velmora.log"
LOG_BOUND = 1024 * 1024
LOG_LINE = re.compile(rb"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \d+ [^\x00-\x1f\x7f]*")
# The loader's copy budget is 5 s with 100 ms pauses between attempts, and an attempt takes a
# few milliseconds here: about 50 attempts. A pause of 0 or 200 ms, or a budget of 4 or 6 s,
# falls outside these bounds.
BUDGET_ATTEMPTS = (30, 51)
BUDGET_SECONDS = (5.0, 6.0)
# Runs a command with the directory given first as "/", in a mount namespace of its own with the
# system's programs read-only, a /proc and a /dev/null: an installation at a file system's root.
# Root runs the cells of an ordinary user as nobody, keeping the environment (and the preload).
NOBODY = 65534
AS_USER = ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups", "--"] if os.geteuid() == 0 else []
JAIL = ["unshare", "--mount", "sh", "-ec", 'cd "$0"; mount --bind -o ro /usr usr; mount -t proc proc proc; '
        'mount --bind /dev/null dev/null; exec chroot . "$@"']


@dataclasses.dataclass
class Cell:
    id: str
    mode: str            # "start" or "apply"
    fixture: str         # before the run: see install()
    point: str           # where the loader is, in its own terms
    op: str              # VELMORA_FAULT_OP
    path: Optional[str]  # VELMORA_FAULT_PATH relative to the installation, or an absolute path
    error: Optional[str] = None
    nth: int = 1
    count: int = 1
    kill: Optional[str] = None   # "before" or "after" the nth call
    kill_nth: int = 0            # a kill after errno faults on earlier calls
    jump: int = 0                # clock: seconds a failing reading comes back early
    # What the loader is built to do (cells without a kill):
    exit: Optional[int] = None
    message: str = ""            # {I} the installation, {U} its staging directory
    stdout: str = ""
    ran: tuple = ()              # tags of the applications that ran, the handed-over chain included
    next: tuple = ()             # what the next clean start runs, where it matters
    loader: str = ""             # the installed loader right after the run, where it matters
    budget: bool = False         # every attempt fails: the budget and the pause are measured
    once: bool = False           # a failure no wait mends: one attempt, and no wait
    user: bool = False           # runs as an ordinary user (root runs it as nobody)
    root: bool = False           # the installation is "/" (runs as root only)

    @property
    def killed(self) -> bool:
        return self.kill is not None or self.kill_nth != 0

    def fault_text(self) -> str:
        if not self.op:
            return "none"
        calls = f"#{self.nth}" if self.count == 1 else (
            f"#{self.nth} on" if self.count == 0 else f"#{self.nth}-{self.nth + self.count - 1}")
        if self.kill_nth:
            return f"{self.error} {calls}, then SIGKILL at #{self.kill_nth}"
        if self.jump:
            return f"{self.jump} s early {calls}"
        if self.kill:
            return f"SIGKILL {self.kill} #{self.nth}"
        return f"{self.error} {calls}"


def M(*lines: str) -> str:
    return "\n".join(lines)


def cells() -> List[Cell]:
    own = "/proc/self/exe"
    U = "data/update"
    N = SIBLING
    spawn_failed = lambda name: f"CreateProcess failed ({getattr(errno, name)}).\n"
    copy_failed = M("copy failed", "dst:{I}/Velmora.exe", "src:{U}/Velmora.exe")
    retire_failed = M("rename failed", "dst:{I}/app_old", "src:{I}/app")
    move_failed = M("rename failed", "dst:{I}/app", "src:{U}/app")
    restore_failed = M(move_failed, "restore failed", "dst:{I}/app", "src:{I}/app_old")
    v1, v2 = ("app v1",), ("app v2",)
    c = []

    def start(id, fixture, point, op, path, error=None, **more):
        c.append(Cell(id, "start", fixture, point, op, path, error, **more))

    def apply(id, point, op, path, error=None, fixture="complete", **more):
        c.append(Cell(id, "apply", fixture, point, op, path, error, **more))

    # Start mode, complete staging: the hand-over.
    start("S1", "complete", "own location", "readlink", own, "EACCES", exit=3)
    start("S1k", "complete", "own location", "readlink", own, kill="before")
    start("S2", "complete", "look at staging", "statx", U, "EACCES", exit=0, ran=v1)
    start("S3", "complete", "look at staging", "statx", U, "ENOENT", exit=0, ran=v1)
    start("S2k", "complete", "look at staging", "statx", U, kill="before")
    start("S4", "complete", "not a folder(staged loader)", "statx", f"{U}/Velmora.exe", "EACCES", exit=0, ran=v1)
    start("S4k", "complete", "not a folder(staged loader)", "statx", f"{U}/Velmora.exe", kill="before")
    start("S5", "complete", "not a folder(staged app program)", "statx", f"{U}/app/velmora.exe", "EACCES", exit=0, ran=v1)
    start("S6", "complete", "not a folder(staged app program)", "statx", f"{U}/app/velmora.exe", "ENOENT", exit=0, ran=v1)
    start("S5k", "complete", "not a folder(staged app program)", "statx", f"{U}/app/velmora.exe", kill="before")
    start("S7", "complete", "hand-over: pipe2", "pipe2", None, "EMFILE", exit=0, ran=v1)
    start("S7k", "complete", "hand-over: pipe2", "pipe2", None, kill="before")
    start("S8", "complete", "hand-over: fork", "fork", None, "EAGAIN", exit=0, ran=v1)
    start("S8k", "complete", "hand-over: fork", "fork", None, kill="before")
    start("S9", "complete", "hand-over: fork in the child", "fork", None, "EAGAIN", nth=2, exit=0, ran=v1)
    start("S9k", "complete", "hand-over: fork in the child", "fork", None, nth=2, kill="before")
    start("S10", "complete", "hand-over: execv staged loader", "execv", f"{U}/Velmora.exe", "ETXTBSY", exit=0, ran=v1)
    start("S11", "complete", "hand-over: execv staged loader", "execv", f"{U}/Velmora.exe", "EACCES", exit=0, ran=v1)
    start("S10k", "complete", "hand-over: execv staged loader", "execv", f"{U}/Velmora.exe", kill="before")
    start("S21", "complete", "lock: open install dir", "open", ".", "EACCES", exit=0, ran=v2)
    # A link where the staging or "data" should be is never followed, and only the link goes.
    for id, fixture in (("S22", "staging a link outside"), ("S23", "data a link outside")):
        start(id, fixture, "a link, no fault", "", None, exit=0, ran=v1)
    # Start mode, no staging: the main application.
    start("S12", "none", "own location for the working directory", "readlink", own, "EACCES", nth=2,
          exit=0, stdout=spawn_failed("ENOENT"))
    start("S13", "none", "posix_spawn app", "posix_spawn", "app/velmora.exe", "EACCES", exit=0, stdout=spawn_failed("EACCES"))
    start("S14", "none", "posix_spawn app", "posix_spawn", "app/velmora.exe", "ENOENT", exit=0, stdout=spawn_failed("ENOENT"))
    start("S15", "none", "posix_spawn app", "posix_spawn", "app/velmora.exe", "ETXTBSY", exit=0, stdout=spawn_failed("ETXTBSY"))
    start("S13k", "none", "posix_spawn app", "posix_spawn", "app/velmora.exe", kill="before")
    start("S13a", "none", "posix_spawn app", "posix_spawn", "app/velmora.exe", kill="after")
    # Start mode, incomplete staging (a loader without an app): its removal, from the staging
    # directory held open to the removal of the emptied folder.
    start("S16", "loader only", "remove staging: still the held folder", "statx", U, "EACCES", nth=2, exit=0, ran=v1)
    start("S17", "loader only", "hold staging: open", "open", U, "EACCES", exit=0, ran=v1)
    start("S17k", "loader only", "hold staging: open", "open", U, kill="before")
    start("S18", "loader only", "remove staging: unlink staged loader", "unlinkat", f"{U}/Velmora.exe", "EBUSY", exit=0, ran=v1)
    start("S19", "loader only", "remove staging: unlink staged loader", "unlinkat", f"{U}/Velmora.exe", "EACCES", exit=0, ran=v1)
    start("S18k", "loader only", "remove staging: unlink staged loader", "unlinkat", f"{U}/Velmora.exe", kill="before")
    start("S20", "loader only", "remove staging: rmdir", "unlinkat", U, "EBUSY", exit=0, ran=v1)
    start("S20k", "loader only", "remove staging: rmdir", "unlinkat", U, kill="before")

    # Start mode after an interrupted update, with a complete staging: this start finishes the
    # update and hands over only if that succeeds; otherwise it runs the application there is.
    gone, left = "app_old, no app", "app + app_old"
    missing = dict(exit=0, stdout=spawn_failed("ENOENT"), next=v2)
    start("R1", gone, "exists(app_old)", "statx", "app_old", "EACCES", **missing)
    start("R2", gone, "exists(app)", "statx", "app", "EACCES", **missing)
    start("R3", gone, "move back app_old -> app", "rename", "app_old", "EACCES", **missing)
    start("R3k", gone, "move back app_old -> app", "rename", "app_old", kill="before", next=v2)
    start("R3a", gone, "move back app_old -> app", "rename", "app_old", kill="after", next=v2)
    start("R4", left, "exists(app_old)", "statx", "app_old", "EACCES", exit=0, ran=v1, next=v2)
    start("R5", left, "remove app_old: unlink a file", "unlinkat", "app_old/velmora.exe", "EBUSY", exit=0, ran=v1, next=v2)
    start("R6", left, "remove app_old: rmdir", "unlinkat", "app_old", "EBUSY", exit=0, ran=v1, next=v2)
    start("R7", "app + read-only app_old", "remove app_old with a read-only folder", "", None, exit=0, ran=v2,
          user=True)
    # The move back waits for a held folder like the renames of apply mode.
    start("R8", gone, "move back app_old -> app, attempts 1-2", "rename", "app_old", "EBUSY", count=2, exit=0, ran=v2)
    # app_old a link to a read-only folder of the neighbour: a failed removal of the link never
    # opens up what it points to.
    start("R9", "app + app_old linking outside", "remove app_old, a link", "unlinkat", "app_old", "EACCES", exit=0,
          ran=v1, next=v2)
    start("R5k", left, "remove app_old: unlink a file", "unlinkat", "app_old/velmora.exe", kill="before", next=v2)
    start("R6k", left, "remove app_old: rmdir", "unlinkat", "app_old", kill="before", next=v2)

    # Apply mode: the staged loader with --ad.
    apply("A1", "own location", "readlink", own, "EACCES", exit=3)
    apply("A1k", "own location", "readlink", own, kill="before")
    # After a reported failure the application installed now runs; the loader is not restarted.
    apply("A2", "status(install dir)", "statx", ".", "ENOENT", exit=EXIT_FAILURE, message="directory is not exists({I})",
          ran=v1)
    apply("A3", "status(install dir)", "statx", ".", "EACCES", exit=EXIT_FAILURE,
          message=M("directory is not accessible({I})", os.strerror(errno.EACCES)), ran=v1)
    apply("A2k", "status(install dir)", "statx", ".", kill="before")
    apply("A38", "lock: open install dir", "open", ".", "EACCES", exit=0, ran=v2)
    # Another run has installed this update: the staged loader finds no app beside it and ends.
    apply("A39", "update already taken", "", None, fixture="loader only", exit=0)
    # The new loader is copied to Velmora.exe.new, flushed, and moved over Velmora.exe; each
    # attempt does all three, until one succeeds or the 5 s budget has run out.
    apply("A4", "copy: open source, first attempt", "open", f"{U}/Velmora.exe", "EACCES", exit=0, ran=v2)
    apply("A4k", "copy: open source, first attempt", "open", f"{U}/Velmora.exe", kill="before")
    apply("A5", "copy: open sibling, first attempt", "open", N, "EACCES", exit=0, ran=v2)
    apply("A6", "copy: open sibling, attempts 1-10", "open", N, "EACCES", count=10, exit=0, ran=v2)
    apply("A7", "copy: open sibling, every attempt", "open", N, "EACCES", count=0,
          exit=EXIT_FAILURE, message=copy_failed, ran=v1)
    apply("A5k", "copy: open sibling, first attempt", "open", N, kill="before")
    apply("A6k", "copy: open sibling, fifth attempt", "open", N, "EACCES", count=4, kill_nth=5)
    apply("A8", "copy: data, first attempt", "copy_data", N, "ENOSPC", exit=0, ran=v2)
    apply("A9", "copy: data, every attempt", "copy_data", N, "ENOSPC", count=0,
          exit=EXIT_FAILURE, message=copy_failed, ran=v1)
    apply("A8k", "copy: data, first attempt", "copy_data", N, kill="before")
    apply("A8a", "copy: data, first attempt", "copy_data", N, kill="after")
    apply("A9k", "copy: data, fifth attempt", "copy_data", N, "ENOSPC", count=4, kill_nth=5)
    apply("A25", "copy: flush, first attempt", "sync", N, "EIO", exit=0, ran=v2)
    apply("A26", "copy: flush, every attempt", "sync", N, "EIO", count=0, exit=EXIT_FAILURE, message=copy_failed, ran=v1)
    apply("A25k", "copy: flush, first attempt", "sync", N, kill="before")
    apply("A25a", "copy done, before the move", "sync", N, kill="after")
    apply("A27", "move sibling -> Velmora.exe, every attempt", "rename", N, "EBUSY", count=0,
          exit=EXIT_FAILURE, message=copy_failed, ran=v1, budget=True)
    apply("A28", "move sibling -> Velmora.exe, attempts 1-3", "rename", N, "EBUSY", count=3, exit=0, ran=v2)
    apply("A27k", "move sibling -> Velmora.exe", "rename", N, kill="before")
    apply("A27a", "move sibling -> Velmora.exe, its rename(2)", "rename", N, nth=2, kill="after")
    # The removal of the sibling after the final failure fails too: a stale one stays.
    apply("A29", "move every attempt, then remove sibling", "rename,unlinkat", N, "EBUSY", count=0,
          exit=EXIT_FAILURE, message=copy_failed, ran=v1)
    # A machine suspended as the copy begins: there is one attempt all the same.
    apply("A30", "copy: the clock jumps past the budget", "clock", None, jump=60, exit=0, ran=v2, loader="v2")
    # What an updater or an earlier run may leave around the copy. The loader comes out a plain
    # file its owner may write, and a link is never written through.
    for id, fixture in (("A31", "read-only staged loader"), ("A32", "read-only sibling"), ("A33", "sibling linked outside")):
        apply(id, "copy, no fault", "", None, fixture=fixture, exit=0, ran=v2, loader="v2")
    # The two renames and the move back are tried again like the copy, within 5 s, unless the
    # failure is one no wait mends (another volume, a missing source, a target in the way).
    apply("A10", "rename app -> app_old, attempts 1-2", "rename", "app", "EBUSY", count=2, exit=0, ran=v2)
    apply("A11", "rename app -> app_old, a permission", "rename", "app", "EACCES", count=0,
          exit=EXIT_FAILURE, message=retire_failed, ran=v1, once=True)
    apply("A34", "rename app -> app_old, another volume", "rename", "app", "EXDEV", count=0,
          exit=EXIT_FAILURE, message=retire_failed, ran=v1, once=True)
    apply("A10k", "rename app -> app_old", "rename", "app", kill="before")
    # A file system that cannot refuse to replace: renameat2 says EINVAL, rename(2) takes over.
    apply("A12", "rename app -> app_old, no RENAME_NOREPLACE", "rename", "app", "EINVAL", exit=0, ran=v2)
    apply("A13", "rename app -> app_old, no RENAME_NOREPLACE, fallback fails", "rename", "app", "EINVAL,EBUSY",
          count=0, exit=EXIT_FAILURE, message=retire_failed, ran=v1, budget=True)
    apply("A14", "rename staged app -> app, every attempt", "rename", f"{U}/app", "EBUSY", count=0,
          exit=EXIT_FAILURE, message=move_failed, ran=v1, budget=True)
    apply("A15", "rename staged app -> app, first attempt", "rename", f"{U}/app", "ENOSPC", exit=0, ran=v2)
    apply("A35", "rename staged app -> app, another volume", "rename", f"{U}/app", "EXDEV", count=0,
          exit=EXIT_FAILURE, message=move_failed, ran=v1, once=True)
    apply("A14k", "rename staged app -> app", "rename", f"{U}/app", kill="before")
    apply("A14a", "rename staged app -> app", "rename", f"{U}/app", kill="after")
    # Renames #1 and #2 are the loader's move (renameat2, then rename(2) over the old file), #3 is
    # app -> app_old; #4 the staged app, which another volume fails at once, then the move back.
    apply("A36", "rename staged app -> app, another volume; the move back, attempts 1-2", "rename", None,
          "EXDEV,EBUSY", nth=4, count=3, exit=EXIT_FAILURE, message=move_failed, ran=v1)
    apply("A16", "rename staged app -> app and the move back, every attempt", "rename", None, "EBUSY", nth=4,
          count=0, exit=EXIT_FAILURE, message=restore_failed)
    apply("A16k", "rename staged app -> app, second attempt", "rename", None, "EACCES", nth=4, kill_nth=5)
    apply("A17", "remove app_old: status", "statx", "app_old", "EACCES", exit=0, ran=v2)
    apply("A18", "remove app_old: unlink a file", "unlinkat", "app_old/velmora.exe", "EACCES", exit=0, ran=v2)
    apply("A18k", "remove app_old: unlink a file", "unlinkat", "app_old/velmora.exe", kill="before")
    apply("A19", "remove app_old: rmdir", "unlinkat", "app_old", "EBUSY", exit=0, ran=v2)
    apply("A19k", "remove app_old: rmdir", "unlinkat", "app_old", kill="before")
    # app_old with a folder its owner may not write: the folders are opened up and it goes. Run as an
    # ordinary user, whom the permissions bind.
    apply("A37", "remove app_old with a read-only folder", "", None, fixture="read-only folder in app",
          exit=0, ran=v2, user=True)
    # A restart that fails starts the application instead. Where every child fails the same way
    # (A22, A23: the counters go on from the parent's), nothing runs.
    apply("A20", "restart: pipe2", "pipe2", None, "EMFILE", exit=0, ran=v2)
    apply("A20k", "restart: pipe2", "pipe2", None, kill="before")
    apply("A21", "restart: fork", "fork", None, "EAGAIN", exit=0, ran=v2)
    apply("A21k", "restart: fork", "fork", None, kill="before")
    apply("A22", "restart: fork in the child", "fork", None, "EAGAIN", nth=2, exit=0)
    apply("A23", "restart: chdir install dir", "chdir", ".", "EACCES", exit=0)
    apply("A23k", "restart: chdir install dir", "chdir", ".", kill="before")
    apply("A24", "restart: execv installed loader", "execv", "Velmora.exe", "ETXTBSY", exit=0, ran=v2)
    apply("A24k", "restart: execv installed loader", "execv", "Velmora.exe", kill="before")

    # The installation at "/": {I} is empty there, as the loader joins "/" and a name.
    start("X1", "complete", "at /: the update cycle", "", None, exit=0, ran=v2, root=True)
    c.append(Cell("X2", "apply", "complete", "at /: copy: open sibling, every attempt", "open", N, "EACCES",
                  count=0, exit=EXIT_FAILURE, message=copy_failed, ran=v1, root=True))
    c.append(Cell("X2k", "apply", "complete", "at /: copy: data, first attempt", "copy_data", N, kill="before",
                  root=True))
    start("X3", gone, "at /: move back app_old -> app", "rename", "app_old", "EACCES", root=True, **missing)

    # The log: whatever keeps it from being written, the run does what it does without it.
    start("L1", "complete", "log: open, every line", "open", LOG, "EACCES", count=0, exit=0, ran=v2)
    start("L2", "complete", "log: write, every line (a full disk)", "write", LOG, "ENOSPC", count=0, exit=0, ran=v2)
    start("L2k", "complete", "log: write, first line", "write", LOG, kill="before")
    apply("L3", "log: open, every line", "open", LOG, "EACCES", count=0, exit=0, ran=v2)
    apply("L4", "log: write, every line (a full disk)", "write", LOG, "EDQUOT", count=0, exit=0, ran=v2)
    apply("L4k", "log: write, third line", "write", LOG, nth=3, kill="before")
    for id, planted in (("L5", "log a folder"), ("L6", "log a link outside"), ("L7", "log a hard link outside"),
                        ("L8", "log read-only"), ("L9", "log a FIFO"), ("L10", "log past its bound")):
        # Read-only binds an ordinary user only: root runs that cell as nobody.
        start(id, planted, "log: what stands at its name", "", None, exit=0, ran=v2, user=planted == "log read-only")
    return c


# --- the sandbox -------------------------------------------------------------------------------

class Programs:
    def __init__(self, loader: Path, recorder: Path, inject: Path):
        self.inject = inject
        self.recorder = recorder.read_bytes()
        self.loaders = {v: installation.marked(loader, f"fault matrix: loader {v}") for v in ("v1", "v2", "v3")}

    def app(self, version: str) -> tuple:
        return self.recorder, f"app {version}"


def install(inst: Path, programs: Programs, fixture: str) -> None:
    """The installation with loader and app v1, and depending on `fixture`: a complete staged
    update v2, only a staged loader, or nothing ("none"); with a complete staging, what an update
    interrupted between its renames leaves ("app_old, no app") or a leftover app_old ("app +
    app_old", the latter's app_old with a read-only folder that links to the neighbour's read-only
    folder; or app_old a link to that folder), a link at data/update or data to a complete
    staging beside the installation, a read-only staged loader, a stale
    read-only Velmora.exe.new, a Velmora.exe.new that links to the neighbour installation's
    loader, or a read-only folder in app."""
    installation.install(inst, programs.loaders["v1"], programs.app("v1"))
    if fixture == "app_old, no app":
        (inst / "app").rename(inst / "app_old")
    elif fixture in ("app + app_old", "app + read-only app_old"):
        installation.put_application(inst / "app_old", programs.app("v0"))
    elif fixture == "app + app_old linking outside":
        (inst / "app_old").symlink_to(neighbour_folder(inst))
    elif fixture in ("staging a link outside", "data a link outside"):
        # A complete staging beside the installation, reached through a link.
        elsewhere = inst.parent / "elsewhere"
        installation.stage(elsewhere, programs.loaders["v2"], programs.app("v2"))
        link, target = (inst / "data" / "update", elsewhere / "data" / "update") if fixture.startswith("staging") \
            else (inst / "data", elsewhere / "data")
        link.parent.mkdir(exist_ok=True)
        link.symlink_to(target)
    if fixture == "read-only folder in app":
        read_only_folder(inst / "app")
    elif fixture == "app + read-only app_old":
        read_only_folder(inst / "app_old", link=neighbour_folder(inst))
    if fixture not in ("none", "staging a link outside", "data a link outside"):
        installation.stage(inst, programs.loaders["v2"], programs.app("v2") if fixture != "loader only" else None)
    if fixture == "read-only staged loader":
        (inst / "data" / "update" / "Velmora.exe").chmod(0o555)
    elif fixture == "read-only sibling":
        (inst / SIBLING).write_text("left by an earlier run\n")
        (inst / SIBLING).chmod(0o444)
    elif fixture == "sibling linked outside":
        (inst / SIBLING).symlink_to(inst.parent / "neighbour" / "Velmora.exe")
    plant_log(inst, fixture)


def plant_log(inst: Path, fixture: str) -> None:
    """What a "log ..." fixture puts at the log's name (L5-L10 in docs/fault-matrix.md)."""
    log, outside = inst / LOG, inst.parent / "notes.txt"
    if fixture in ("log a link outside", "log a hard link outside"):
        outside.write_text("the neighbour's\n")
        log.symlink_to(outside) if fixture == "log a link outside" else os.link(outside, log)
    elif fixture in ("log a folder", "log a FIFO"):
        log.mkdir() if fixture == "log a folder" else os.mkfifo(log)
    elif fixture == "log read-only":
        log.write_text("2026-01-01T00:00:00.000Z 1 kept\n")
        log.chmod(0o444)
    elif fixture == "log past its bound":
        for name in (LOG, LOG + ".1"):
            (inst / name).write_bytes(b"2026-01-01T00:00:00.000Z 1 old\n" * 70000)


def log_problems(inst: Path, fixture: str) -> List[str]:
    """The log files past the bound, a line of another form, or what was planted changed."""
    problems, log = [], inst / LOG
    size = sum(path.stat().st_size for path in (inst / "data").glob("Velmora.log*") if path.is_file())
    if size > LOG_BOUND:
        problems.append(f"log files of {size} bytes")
    planted = {"log a folder": lambda: log.is_dir() and not any(log.iterdir()), "log a link outside": log.is_symlink,
               "log a hard link outside": lambda: log.stat().st_nlink == 2,
               "log read-only": lambda: log.read_text() == "2026-01-01T00:00:00.000Z 1 kept\n",
               "log a FIFO": lambda: stat.S_ISFIFO(log.lstat().st_mode)}
    if fixture in planted and not planted[fixture]():
        problems.append("what was planted at the log's name changed")
    elif fixture not in planted and log.is_file():
        bad = [line for line in log.read_bytes().split(b"\n")[:-1]
               if not LOG_LINE.fullmatch(line) or line.decode("utf-8", "ignore").encode() != line]
        if bad:
            problems.append(f"a log line of another form: {bad[0][:60]!r}")
    return problems


def log_lines(inst: Path) -> int:
    log = inst / LOG
    return log.read_bytes().count(b"\n") if log.is_file() and not log.is_symlink() else 0


def neighbour_folder(inst: Path) -> Path:
    """The read-only folder of the installation beside this one."""
    return inst.parent / "neighbour" / "app" / "lib"


def read_only_folder(application: Path, link: Optional[Path] = None) -> None:
    (application / "lib").mkdir()
    (application / "lib" / "part.dat").write_text("part of the application\n")
    if link:
        (application / "lib" / "elsewhere").symlink_to(link)
    (application / "lib").chmod(0o555)


def remove_sandbox(base: Path) -> None:
    """Removes a cell's sandbox, read-only folders included, also when not run as root."""
    for path in base.rglob("*"):
        if path.is_dir() and not path.is_symlink():
            path.chmod(0o755)
    shutil.rmtree(base, ignore_errors=True)


def jail(inst: Path, inject: Path) -> None:
    """What the programs at "/" need beside the installation: see JAIL."""
    for name in ("usr", "proc", "dev", "out"):
        (inst / name).mkdir()
    (inst / "dev" / "null").touch()
    for name in ("lib", "lib64"):
        (inst / name).symlink_to(f"usr/{name}")
    shutil.copy(inject, inst / "out")


def hand_to_user(base: Path, inst: Path, out: Path) -> None:
    """The installation and the output folder belong to the user the cell runs as."""
    if not AS_USER:
        return
    for directory in (base.parent, base):
        directory.chmod(0o755)
    for top in (inst, out):
        for path in (top, *top.rglob("*")):
            os.chown(path, NOBODY, NOBODY, follow_symlinks=False)


def snapshot(directory: Path, skip: tuple) -> dict:
    """Every path below `directory` but those below `skip`, with its mode and the bytes of each
    file."""
    found = {}
    for path in sorted(directory.rglob("*")):
        relative = path.relative_to(directory)
        if relative.parts[0] not in skip:
            found[str(relative)] = (path.lstat().st_mode, path.read_bytes() if path.is_file() else None)
    return found


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
    seconds: float = 0.0           # the loader's own run, without what it started

    @property
    def message(self) -> Optional[str]:
        start = self.stderr.find(CAPTION)
        if start < 0:
            return None
        text = self.stderr[start + len(CAPTION):]
        return text[:-1] if text.endswith("\n") else text


def run_loader(program: Path, arguments: List[str], out: Path, name: str, base: Path, extra_env: dict,
               root: Optional[Path] = None, user: bool = False) -> Run:
    # Without a display the loader's messages go to standard error alone, and no dialog waits.
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("VELMORA_") and k not in ("LD_PRELOAD", "DISPLAY", "WAYLAND_DISPLAY")}
    env["VELMORA_RECORD"] = str(out / f"{name}.rec")
    env.update(extra_env)
    command = (AS_USER if user else []) + [str(program)] + arguments
    if root is not None:
        # Paths as seen from `root`; the loader's variables set by env(1) in it, so that nothing
        # on the way there is preloaded.
        seen = lambda text: text.replace(str(root), "") or "/"
        own = {k: env.pop(k) for k in list(env) if k.startswith("VELMORA_") or k == "LD_PRELOAD"}
        command = [*JAIL, str(root), "/usr/bin/env", *(f"{k}={seen(v)}" for k, v in own.items()),
                   *map(seen, command)]
    run = Run()
    with open(out / f"{name}.out", "wb") as stdout, open(out / f"{name}.err", "wb") as stderr:
        started = time.monotonic()
        try:
            process = subprocess.Popen(command, cwd=out, env=env,
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
        run.seconds = time.monotonic() - started
    if code < 0:
        run.signal = -code
    else:
        run.exit = code
    # What the run started writes to the same files: read them once it has all ended.
    run.settled = settle(base) and run.settled
    run.stdout = (out / f"{name}.out").read_text(errors="replace")
    run.stderr = (out / f"{name}.err").read_text(errors="replace")
    run.ran = tags_in(out / f"{name}.rec")
    return run


# --- what is on disk -------------------------------------------------------------------------

def loader_state(path: Path, programs: Programs) -> str:
    if not path.is_file():
        return "missing" if not path.exists() else "not a file"
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


# --- one cell ------------------------------------------------------------------------------------

@dataclasses.dataclass
class Outcome:
    cell: Cell
    run: Run
    fired: int
    loader: str
    sibling: str
    app: str
    app_old: str
    staging: str
    next: str
    later: str
    problems: List[str]
    notes: List[str]
    paths: dict
    functions: List[str]
    logged: int = 0


def describe_next(run: Run) -> str:
    if run.not_started:
        return f"loader not started ({run.not_started})"
    ran = ", ".join(run.ran) if run.ran else "no app"
    code = f" (exit {run.exit})" if run.exit not in (0, None) else ""
    if run.signal is not None:
        code = f" (signal {run.signal})"
    said = f", said {run.message!r}" if run.message is not None else ""
    return ran + code + said + ("" if run.settled else ", hung")


def run_cell(cell: Cell, programs: Programs, sandbox_root: Path, keep: bool) -> Outcome:
    base = Path(tempfile.mkdtemp(prefix=f"{cell.id}-", dir=sandbox_root))
    inst = base / "inst"
    out = inst / "out" if cell.root else base / "out"
    install(inst, programs, cell.fixture)
    if cell.root:
        jail(inst, programs.inject)
    else:
        out.mkdir()
    root = inst if cell.root else None
    # Another installation beside this one: nothing may touch it, nor add anything there.
    installation.install(base / "neighbour", programs.loaders["v1"], programs.app("v1"))
    read_only_folder(base / "neighbour" / "app")
    outside = snapshot(base, ("inst", "out"))
    staging = inst / "data" / "update"
    values = {"I": "" if cell.root else str(inst)}
    values["U"] = values["I"] + "/data/update"

    fault = {} if not cell.op else {
        "LD_PRELOAD": str(out / programs.inject.name if cell.root else programs.inject),
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
    if cell.jump:
        fault["VELMORA_FAULT_CLOCK_JUMP"] = str(cell.jump)

    if cell.mode == "start":
        program, arguments = inst / "Velmora.exe", []
    else:
        program, arguments = staging / "Velmora.exe", ["--ad", str(inst)]
    if cell.user:
        hand_to_user(base, inst, out)
    # A "data" that is a link is not the installation's: no log is written through it.
    lines_before, had_data = log_lines(inst), (inst / "data").is_dir() and not (inst / "data").is_symlink()
    run = run_loader(program, arguments, out, "run", base, fault, root, cell.user)
    # Fewer lines than before: the run rotated the log, and all of the new one is its own.
    logged = log_lines(inst) - lines_before if log_lines(inst) >= lines_before else log_lines(inst)

    log = [line.split("\t") for line in (out / "fault.log").read_text().splitlines()] \
        if (out / "fault.log").exists() else []
    fired = sum(1 for line in log if line[3] != "pass")
    # The entry points the counted calls came in through, as the loader really makes them.
    functions = list(dict.fromkeys(line[1] for line in log))
    loader = loader_state(inst / "Velmora.exe", programs)
    sibling = loader_state(inst / SIBLING, programs) if (inst / SIBLING).exists() else "-"
    app = app_state(inst / "app", programs)
    app_old = app_state(inst / "app_old", programs)
    staged = staging_state(staging, programs)

    next_run = run_loader(inst / "Velmora.exe", [], out, "next", base, {}, root, cell.user)
    installation.stage(inst, programs.loaders["v3"], programs.app("v3"))
    if cell.user:
        hand_to_user(base, inst, out)
    later_run = run_loader(inst / "Velmora.exe", [], out, "later", base, {}, root, cell.user)

    problems = []
    if fired == 0 and cell.op:
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
        if cell.loader and loader != cell.loader:
            problems.append(f"installed loader {loader} after the run, expected {cell.loader}")
    notes = []
    if cell.budget:
        attempts = sum(1 for line in log if line[1] == "renameat2")
        notes.append(f"{attempts} attempts in {run.seconds:.2f} s")
        if not BUDGET_ATTEMPTS[0] <= attempts <= BUDGET_ATTEMPTS[1]:
            problems.append(f"{attempts} attempts, expected {BUDGET_ATTEMPTS[0]}-{BUDGET_ATTEMPTS[1]}")
        if not BUDGET_SECONDS[0] <= run.seconds < BUDGET_SECONDS[1]:
            problems.append(f"{run.seconds:.2f} s, expected {BUDGET_SECONDS[0]}-{BUDGET_SECONDS[1]} s")
    # What every fault must leave: a whole loader, an application the next start runs, a way
    # for the next update, and everything beside the installation as it was.
    if loader not in programs.loaders:
        problems.append(f"installed loader {loader}")
    elif (inst / "Velmora.exe").is_symlink() or not os.stat(inst / "Velmora.exe").st_mode & stat.S_IWUSR:
        problems.append("installed loader a link, or not writable by its owner")
    if not next_run.ran or next_run.exit != 0 or next_run.message is not None or not next_run.settled:
        problems.append(f"next clean start: {describe_next(next_run)}")
    elif cell.next and next_run.ran != cell.next:
        problems.append(f"next clean start ran {next_run.ran}, expected {cell.next}")
    if later_run.ran != ("app v3",) or later_run.message is not None or not later_run.settled:
        problems.append(f"later update: {describe_next(later_run)}")
    final = (loader_state(inst / "Velmora.exe", programs), app_state(inst / "app", programs))
    leftovers = [name for name in ("app_old", SIBLING) if (inst / name).exists()]
    if final != ("v3", "v3") or leftovers:
        problems.append(f"after the later update: loader {final[0]}, app {final[1]}"
                        + "".join(f", {name} left" for name in leftovers))
    if snapshot(base, ("inst", "out")) != outside:
        problems.append("something beside the installation changed")
    problems += log_problems(inst, cell.fixture)
    # A run that finds "data" writes at least its first line, unless the log is what fails.
    log_fault = cell.path == LOG or cell.fixture.startswith("log ") or cell.op in ("readlink",)
    if not cell.killed and not log_fault and had_data and logged <= 0 and not cell.root:
        problems.append("the run wrote no line in the log")
    if cell.once:
        attempts = sum(1 for line in log if line[3] != "pass")
        notes.append(f"{attempts} attempt in {run.seconds:.2f} s")
        if attempts != 1 or run.seconds >= 1.0:
            problems.append(f"{attempts} attempts in {run.seconds:.2f} s, expected one and no wait")
    if run.exit == 0 and not run.ran and not run.stdout and run.message is None:
        notes.append("ran nothing, said nothing")

    if not keep:
        remove_sandbox(base)
    return Outcome(cell, run, fired, loader, sibling, app, app_old, staged, describe_next(next_run),
                   describe_next(later_run), problems, notes, values, functions, logged)


# --- the table -----------------------------------------------------------------------------------

BEGIN = "<!-- generated by tests/faults/fault_matrix.py --write-doc: from here -->"
END = "<!-- generated by tests/faults/fault_matrix.py --write-doc: to here -->"


def shown_exit(run: Run) -> str:
    if run.not_started:
        return "not started"
    if run.signal is not None:
        return "SIGKILL" if run.signal == signal.SIGKILL else f"signal {run.signal}"
    return str(run.exit)


def shown(outcome: Outcome, text: str) -> str:
    # The staging directory first: it lies below the installation.
    for name in ("U", "I"):
        text = text.replace(outcome.paths[name], name) if outcome.paths[name] else text
    return text.replace("|", "\\|").replace("\n", "<br>")


def table(outcomes: List[Outcome]) -> str:
    rows = ["| cell | mode, before | point | fault | exit | time | message (I = install dir, U = I/data/update) "
            "| ran | loader | Velmora.exe.new | app | app_old | staging | log lines | next clean start "
            "| later update v3 | result |",
            "|" + "---|" * 17]
    for o in outcomes:
        c = o.cell
        result = "FAIL: " + "; ".join(o.problems) if o.problems else "ok"
        if o.notes:
            result += " — " + "; ".join(o.notes)
        call = ", ".join(f"`{f}`" for f in o.functions) or (f"`{c.op}`" if c.op else "-")
        said = o.run.message if o.run.message is not None else o.run.stdout.strip()
        rows.append(f"| {c.id} | {c.mode}, {c.fixture} | {c.point} ({call}) | {c.fault_text()} | {shown_exit(o.run)} "
                    f"| {o.run.seconds:.1f} s | {shown(o, said)} | {', '.join(o.run.ran) or '-'} | {o.loader} "
                    f"| {o.sibling} | {o.app} | {o.app_old} | {o.staging} | {o.logged} | {shown(o, o.next)} | {shown(o, o.later)} "
                    f"| {shown(o, result)} |")
    return "\n".join(rows) + "\n"


def generated(outcomes: List[Outcome], seconds: float, jobs: int) -> str:
    counted = sum(1 for o in outcomes if not o.cell.killed)
    failed = [o.cell.id for o in outcomes if o.problems]
    return (f"{len(outcomes)} cells, {counted} with an errno and {len(outcomes) - counted} with a kill; "
            f"{len(failed)} failed{': ' + ', '.join(failed) if failed else ''}. "
            f"{seconds:.0f} s with {jobs} cells at once on this machine.\n\n{table(outcomes)}")


def write_doc(path: Path, outcomes: List[Outcome], seconds: float, jobs: int) -> None:
    """Replaces the generated part of `path`, between its two marker lines; the hand-written
    text around it stays."""
    text = path.read_text()
    if text.count(BEGIN) != 1 or text.count(END) != 1 or text.index(BEGIN) > text.index(END):
        raise SystemExit(f"{path}: no single pair of marker lines\n  {BEGIN}\n  {END}")
    head, rest = text.split(BEGIN)
    tail = rest.split(END)[1]
    path.write_text(f"{head}{BEGIN}\n{generated(outcomes, seconds, jobs)}{END}{tail}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", type=Path, default=REPO / "build" / "linux",
                        help="native build directory (tests/preloadable/Velmora.exe, tests/recorder, tests/fault_inject.so)")
    parser.add_argument("--loader", type=Path, help="the loader (default: BUILD/tests/preloadable/Velmora.exe)")
    parser.add_argument("--recorder", type=Path, help="the recorder (default: BUILD/tests/recorder)")
    parser.add_argument("--inject", type=Path, help="the fault library (default: BUILD/tests/fault_inject.so)")
    parser.add_argument("--write-doc", type=Path, help="put the table into this Markdown file, between its marker lines")
    parser.add_argument("--only", nargs="*", help="cells to run (default: all)")
    parser.add_argument("--jobs", type=int, default=2, help="cells run at once")
    parser.add_argument("--keep", action="store_true", help="keep the sandboxes")
    options = parser.parse_args()

    build = options.build.resolve()
    programs = Programs(options.loader or build / "tests" / "preloadable" / "Velmora.exe", options.recorder or build / "tests" / "recorder",
                        (options.inject or build / "tests" / "fault_inject.so").resolve())
    chosen = [c for c in cells() if (not options.only or c.id in options.only) and (not c.root or os.geteuid() == 0)]
    if len(chosen) < len([c for c in cells() if not options.only or c.id in options.only]):
        print("the cells at / are left out: they need root", file=sys.stderr)
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
        write_doc(options.write_doc, outcomes, seconds, options.jobs)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
