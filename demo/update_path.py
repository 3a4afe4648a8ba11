#!/usr/bin/env python3
"""The whole path of an update, as a vendor and an application see it: a release published with
scripts/publish-update.sh into a tree served by the project's web server on 127.0.0.1 (started and
stopped here), found, refused once from a damaged copy on the server, fetched and staged by
velmora-update, and installed by the loader when the running application restarts into it
(`apply --pid`); `status` before and after.
    update_path.py linux | windows | windows-signed SAMPLES
windows-signed runs in a Wine prefix whose machine trusts the samples' root (scripts/
with-trusted-roots.sh): the installation, the release and its feed signed by its publisher."""

import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "scripts"))
import installation  # noqa: E402

PUBLISHER = "Velmora Test Publisher"
LIMIT = 120  # seconds, for any one command


def run(argv, **kwargs):
    return subprocess.run([str(a) for a in argv], capture_output=True, text=True, timeout=LIMIT, **kwargs)


def make_keys(keys: Path) -> None:
    """A throw-away root and the publisher's code-signing certificate under it, as a.pfx, of the
    committed throw-away key the demonstration's build pins (tests/keys)."""
    keys.mkdir(parents=True, exist_ok=True)
    (keys / "leaf.ext").write_text("extendedKeyUsage=codeSigning\nkeyUsage=critical,digitalSignature\n"
                                   "basicConstraints=CA:false\n")
    (keys / "pass").write_text("throw-away")
    steps = [["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=Velmora Demo Root",
              "-addext", "basicConstraints=critical,CA:true", "-addext", "keyUsage=critical,keyCertSign,cRLSign",
              "-keyout", keys / "root.key", "-out", keys / "root.pem"],
             ["cp", REPO / "tests" / "keys" / "publisher.pem", keys / "a.key"],
             ["openssl", "req", "-new", "-key", keys / "a.key", "-subj", f"/CN={PUBLISHER}", "-out", keys / "a.csr"],
             ["openssl", "x509", "-req", "-in", keys / "a.csr", "-CA", keys / "root.pem", "-CAkey", keys / "root.key",
              "-days", "2", "-set_serial", "0x" + os.urandom(8).hex(), "-extfile", keys / "leaf.ext", "-out", keys / "a.pem"],
             ["openssl", "pkcs12", "-export", "-inkey", keys / "a.key", "-in", keys / "a.pem", "-certfile", keys / "root.pem",
              "-passout", f"file:{keys / 'pass'}", "-out", keys / "a.pfx"]]
    for step in steps:
        run(step).check_returncode()


class Demo:
    def __init__(self, platform: str, keys: Path, loader: Path, application: Path, updater: Path, work: Path):
        self.windows = platform != "linux"
        self.signed = platform == "windows-signed"
        self.keys, self.work = keys, work
        self.root = work / "Velmora"
        self.tree = work / "tree"
        self.record = work / "runs.txt"
        self.loader, self.application, self.updater = loader, application, updater
        self.sign_env = dict(os.environ, VELMORA_SIGN_PFX=str(keys / "a.pfx"),
                             VELMORA_SIGN_PASSWORD_FILE=str(keys / "pass"), VELMORA_SIGN_CAFILE=str(keys / "root.pem"))

    def path(self, path: Path) -> str:
        return installation.windows_path(path) if self.windows else str(path)

    def files(self, version: str):
        """The installation's programs and files at `version`: the loader, the application with its
        tag, the updater in app/, and a 3 MB data file that each version changes."""
        loader = self.loader.read_bytes()
        if version != "1.0" and not self.signed:
            loader += f"\0Velmora demonstration: loader {version}\0".encode()  # another file; it still runs
        return {"Velmora.exe": loader, "app/velmora.exe": self.application.read_bytes(),
                "app/tag.txt": f"sample application {version}\n".encode(),
                f"app/{self.updater.name}": self.updater.read_bytes(),
                "app/data/sample.bin": hashlib.sha256(version.encode()).digest() * (3 << 15)}

    def write(self, folder: Path, files) -> None:
        for relative, data in files.items():
            (folder / relative).parent.mkdir(parents=True, exist_ok=True)
            (folder / relative).write_bytes(data)
            if relative.endswith(".exe") or relative.endswith("velmora-update"):
                (folder / relative).chmod(0o755)

    def publish(self, version: str) -> None:
        release = self.work / f"release-{version}"
        self.write(release, self.files(version))
        platform = "windows-x64" if self.windows else "linux-x86_64"
        run(["bash", REPO / "scripts" / "sign-update.sh", "--platform", platform, release],
            env=self.sign_env).check_returncode()
        done = run(["bash", REPO / "scripts" / "publish-update.sh", "--version", version, "--notes",
                    f"https://example.invalid/notes/{version}", release, self.tree], env=self.sign_env)
        done.check_returncode()
        print(f"  $ publish-update.sh --version {version} --notes https://example.invalid/notes/{version} "
              f"release-{version}/ tree/")
        for line in (done.stdout + done.stderr).strip().splitlines()[-3:]:
            print(f"    {line}")
        print()

    def velmora_update(self, *arguments, env=None, show=True):
        """velmora-update from the installation's app/, as the application runs it; (exit code, output)."""
        program = self.root / "app" / self.updater.name
        argv = [program, *arguments]
        if not self.windows:
            argv += ["--cafile", self.keys / "root.pem", "--publisher", PUBLISHER]
        if self.windows:
            argv.insert(0, REPO / "scripts" / "wine-run.sh")
        done = run(argv, env=env)
        if show:
            print(f"  $ velmora-update {' '.join(str(a) for a in arguments)}")
            for line in done.stdout.replace("\r", "").rstrip().splitlines():
                print(f"    {line}")
            for line in done.stderr.replace("\r", "").rstrip().splitlines():
                print(f"    (stderr) {line}")
            print(f"    exit code {done.returncode}\n")
        return done.returncode, done.stdout.replace("\r", "")

    def status(self, when: str) -> dict:
        print(f"  status {when}:")
        self.velmora_update("status")
        _, answer = self.velmora_update("status", "--json", show=False)
        return json.loads(answer.strip().splitlines()[-1])

    def start_application(self, seconds: float):
        """The installed application v1, running until `seconds` have passed; (process, its id)."""
        pid_file = self.work / "app.pid"
        pid_file.unlink(missing_ok=True)
        env = dict(os.environ, VELMORA_RECORD=self.path(self.record), VELMORA_SLEEP_MS=str(int(seconds * 1000)),
                   VELMORA_PID_FILE=self.path(pid_file))
        argv = [str(self.root / "app" / "velmora.exe")]
        if self.windows:
            argv.insert(0, str(REPO / "scripts" / "wine-run.sh"))
        app = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            text = pid_file.read_text() if pid_file.exists() else ""
            if text.endswith("\n"):
                return app, int(text)
            time.sleep(0.05)
        app.kill()
        raise SystemExit("update_path: the application did not start")

    def ran(self):
        """The tags of the application runs recorded so far."""
        lines = self.record.read_text().splitlines() if self.record.exists() else []
        return [line.split("\t")[0] for line in lines]

    def show(self) -> None:
        server = subprocess.Popen([sys.executable, str(REPO / "tests" / "updater" / "fault_server.py"), str(self.tree),
                                   str(self.work / "rules.json"), str(self.work / "requests.log"), "--lifetime", "600"],
                                  stdout=subprocess.PIPE, text=True)
        try:
            self.cycle(f"http://127.0.0.1:{server.stdout.readline().strip()}")
        finally:
            server.terminate()
            server.wait(10)

    def cycle(self, url: str) -> None:
        (self.work / "rules.json").write_text("{}")
        (self.work / "requests.log").write_text("")
        self.tree.mkdir()
        self.write(self.root, self.files("1.0"))
        (self.root / "data").mkdir()
        if self.signed:
            print(f"  The installation's loader and application are signed by \"{PUBLISHER}\", whose root this")
            print("  machine trusts: the feed must be signed by that publisher with a key the build pins, the")
            print("  release's manifest too.\n")
        elif self.windows:
            print("  An unsigned installation, no publisher built in: the feed's signer must hold a key the build pins.\n")
        else:
            print(f"  The feed's signer must hold a key the build pins and be \"{PUBLISHER}\" under the demonstration's")
            print("  root (--cafile, --publisher).\n")
        print(f"  The vendor's tree is served by the project's web server at {url}.\n")
        before = self.status("before any check")

        self.publish("2.0")
        self.velmora_update("check", "--feed", url)
        # A damaged copy on the server: one object no longer what the release signed.
        damaged = self.tree / "objects" / hashlib.sha256(self.files("2.0")["app/data/sample.bin"]).hexdigest()
        good = damaged.read_bytes()
        damaged.write_bytes(b"X" + good[1:])
        print("  The server's copy of app/data/sample.bin is damaged; the updater fetches it twice, then refuses:")
        code, _ = self.velmora_update("stage", "--feed", url)
        if code != 13 or (self.root / "data" / "update").exists():
            raise SystemExit("update_path: a damaged release was not refused")
        damaged.write_bytes(good)
        (self.work / "rules.json").write_text(json.dumps({f"/objects/{damaged.name}": {"rate": 2 << 20}}))
        print("  The vendor uploads it again; stage --progress shows the bytes as they come (a few lines a second):")
        code, output = self.velmora_update("stage", "--progress", "--json", "--feed", url)
        if code != 0 or not (self.root / "data" / "update").is_dir():
            raise SystemExit("update_path: the release was not staged")
        staged = self.status("with the update staged")

        app, pid = self.start_application(3)
        print(f"  The application (v1, process {pid}) restarts into the update: it runs the updater, then")
        print("  takes 3 s to exit; the staged loader waits for it, applies the update, starts v2.")
        code, _ = self.velmora_update("apply", "--pid", str(pid), env=dict(os.environ, VELMORA_RECORD=self.path(self.record)))
        if code != 0:
            raise SystemExit("update_path: apply did not start the staged loader")
        app.wait(LIMIT)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and "sample application 2.0" not in self.ran():
            time.sleep(0.1)
        print(f"  The application's runs: {', '.join(self.ran())}\n")
        after = self.status("after the restart")
        if (after["lastStart"] or {}).get("verdict") != "taken" or after["staged"] is not None or \
                "sample application 2.0" not in self.ran() or (self.root / "app" / "tag.txt").read_text() != "sample application 2.0\n":
            raise SystemExit("update_path: the update did not go in")
        if before["lastStart"] is not None or staged["staged"] is None:
            raise SystemExit("update_path: status did not follow the update")


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("platform", choices=["linux", "windows", "windows-signed"])
    parser.add_argument("samples", nargs="?", type=Path, help="windows-signed: the signed samples' folder")
    options = parser.parse_args()
    windows = options.platform != "linux"
    build = REPO / "build" / ("windows" if windows else "linux")
    work = REPO / "build" / "demo" / ("update-" + options.platform)
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    titles = {"linux": "Native Linux build", "windows": "Windows executables under Wine",
              "windows-signed": "Windows executables under Wine, a signed installation"}
    print(f"== The whole path of an update: {titles[options.platform]} ==\n")
    if options.platform == "windows-signed":
        samples = options.samples
        demo = Demo(options.platform, samples, samples / "signed.exe", samples / "recorder-a.exe",
                    build / "velmora-update.exe", work)
    else:
        make_keys(work / "keys")
        demo = Demo(options.platform, work / "keys", build / "Velmora.exe",
                    build / "tests" / ("recorder.exe" if windows else "recorder"),
                    build / ("velmora-update.exe" if windows else "velmora-update"), work)
    demo.show()
    if options.platform == "windows":
        with tempfile.TemporaryDirectory() as scratch:
            signed = Path(scratch)
            run(["bash", REPO / "scripts" / "signed-samples.sh", signed, build / "Velmora.exe",
                 build / "tests" / "recorder.exe"]).check_returncode()
            subprocess.run([str(REPO / "scripts" / "with-trusted-roots.sh"), str(build / "tests" / "root_store.exe"),
                            str(signed / "root.pem"), "--", sys.executable, str(Path(__file__).resolve()),
                            "windows-signed", str(signed)], check=True, timeout=600)
    return 0


if __name__ == "__main__":
    sys.exit(main())
