"""Installations of the loader for the demonstration, the fault matrix and the benchmarks, and
the paths Windows programs under Wine see. Scripts import it through a sys.path entry for this
folder."""

import os
import shutil
import subprocess
from pathlib import Path
from typing import Callable, Optional, Tuple, Union

# A program and the tag its tag.txt holds, or a whole application directory to copy.
Application = Union[Tuple[Union[bytes, Path], str], Path]


def marked(loader: Path, mark: str) -> bytes:
    """The loader with a mark after the executable's end: another file, and it still runs."""
    return loader.read_bytes() + f"\0{mark}\0".encode()


def write_program(path: Path, program: Union[bytes, Path]) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(program if isinstance(program, bytes) else program.read_bytes())
    path.chmod(0o755)


def put_application(directory: Path, application: Application) -> None:
    if isinstance(application, Path):
        directory.parent.mkdir(parents=True, exist_ok=True)
        # cp keeps up with trees of many thousand files better than shutil does.
        subprocess.run(["cp", "-a", str(application), str(directory)], check=True)
        return
    program, tag = application
    write_program(directory / "velmora.exe", program)
    (directory / "tag.txt").write_text(tag + "\n")


def install(root: Path, loader: Union[bytes, Path], application: Application) -> None:
    """A fresh installation: the loader as Velmora.exe and the application as app/."""
    shutil.rmtree(root, ignore_errors=True)
    write_program(root / "Velmora.exe", loader)
    put_application(root / "app", application)


def stage(root: Path, loader: Union[bytes, Path], application: Union[Application, None],
          finish: Optional[Callable[[Path], None]] = None) -> None:
    """A staged update as an updater leaves it: written in a folder beside data/update and moved
    there by one rename once complete, so a staging half written never looks complete. Without
    an application it is a staging that will never be complete. finish(folder) runs on the
    folder before the move (signing it, say)."""
    incoming, staging = root / "data" / "update.incoming", root / "data" / "update"
    shutil.rmtree(incoming, ignore_errors=True)
    write_program(incoming / "Velmora.exe", loader)
    if application is not None:
        put_application(incoming / "app", application)
    if finish is not None:
        finish(incoming)
    shutil.rmtree(staging, ignore_errors=True)
    incoming.rename(staging)


def _winepath(option: str, path: str) -> str:
    # Wine's own converter knows the prefix's drives: run with scripts/wine-env.sh's environment,
    # through its command for Wine, which lays out the address space so that Wine always starts.
    wine = os.environ.get("VELMORA_WINE_COMMAND", "wine64").split()
    done = subprocess.run([*wine, "winepath.exe", option, path], check=True, capture_output=True, text=True)
    return done.stdout.strip()


def windows_path(path: Path) -> str:
    return _winepath("-w", str(path))


def unix_path(path: str) -> Path:
    return Path(_winepath("-u", path))
