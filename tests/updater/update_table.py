#!/usr/bin/env python3
"""The updater against web servers on 127.0.0.1: one table of rows, each in a fresh installation
with a release tree published by scripts/publish-update.sh and signed with throw-away
certificates, served by the project's fault-injecting server (tests/updater/fault_server.py) or by
nginx-light. Each row runs the real velmora-update (natively, or the Windows build under Wine) and
checks its exit code and outcome, the requests the server saw and what is on disk; some rows then
let the real loader install what was staged.
    update_table.py --updater F --loader F --recorder F [--feed-tool F] [--wine] [--only NAME ...]
Every feed's signer must hold a key of the record the tests build in (tests/keys): natively the
installation is unsigned and the feed's anchor is given as well (--cafile, --publisher); under Wine
the unsigned installation holds the feed to the key alone, and a second, signed installation (its
loader signed by osslsigncode) also to the loader's publisher."""

import argparse
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent.parent
PUBLISHER, OTHER = "Velmora Test Publisher", "Velmora Other Publisher"
RUN_LIMIT = 120
TABLE_LIMIT = 880  # the whole table, within its test's time
EXIT = {"done": 0, "no installation": 3, "local failure": 5, "settings refused": 6, "network": 10, "feed refused": 11,
        "feed cannot be checked now": 12, "release refused": 13, "staging refused": 13, "disk full": 14, "busy": 15,
        "nothing staged": 16, "cannot restart": 17}
options = None
failures = []


def sh(*argv, **kwargs):
    done = subprocess.run([str(a) for a in argv], capture_output=True, **kwargs)
    if done.returncode != 0:
        # What the command said is what a failing row needs to be read.
        raise AssertionError(f"{' '.join(map(str, argv[:3]))}... exit {done.returncode}: {done.stderr.decode()[-600:]}")
    return done


# ---------------------------------------------------------------- keys, releases and trees

KEYS = REPO / "tests" / "keys"
# Each certificate: its committed key, its name, its root. a, b and s hold keys the tests' record
# pins; c (the publisher's name under a stray root) and d (rotated in by a key record) do not.
LEAVES = {"a": ("publisher", PUBLISHER, "root"), "b": ("renewed", OTHER, "root"), "c": ("stranger", PUBLISHER, "stray"),
          "s": ("publisher", PUBLISHER, "stray"), "d": ("stranger", PUBLISHER, "root")}


def make_keys(keys: Path):
    """Throw-away roots made afresh, and a certificate of each of LEAVES under one, for code signing."""
    keys.mkdir(parents=True)
    (keys / "leaf.ext").write_text("extendedKeyUsage=codeSigning\nkeyUsage=critical,digitalSignature\n"
                                   "basicConstraints=CA:false\n")
    (keys / "pass").write_text("throw-away")
    for root, name in (("root", "Velmora Test Root"), ("stray", "Velmora Stray Root")):
        sh("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", f"/CN={name}",
           "-addext", "basicConstraints=critical,CA:true", "-addext", "keyUsage=critical,keyCertSign,cRLSign",
           "-keyout", keys / f"{root}.key", "-out", keys / f"{root}.pem")
    for leaf, (key, name, root) in LEAVES.items():
        shutil.copy(KEYS / f"{key}.pem", keys / f"{leaf}.key")
        sh("openssl", "req", "-new", "-key", keys / f"{leaf}.key", "-subj", f"/CN={name}", "-out", keys / f"{leaf}.csr")
        sh("openssl", "x509", "-req", "-in", keys / f"{leaf}.csr", "-CA", keys / f"{root}.pem", "-CAkey",
           keys / f"{root}.key", "-days", "2", "-set_serial", "0x" + os.urandom(8).hex(), "-extfile", keys / "leaf.ext",
           "-out", keys / f"{leaf}.pem")
        sh("openssl", "pkcs12", "-export", "-inkey", keys / f"{leaf}.key", "-in", keys / f"{leaf}.pem", "-certfile",
           keys / f"{root}.pem", "-passout", f"file:{keys / 'pass'}", "-out", keys / f"{leaf}.pfx")


def signing_env(keys: Path, leaf="a"):
    return dict(os.environ, VELMORA_SIGN_PFX=str(keys / f"{leaf}.pfx"), VELMORA_SIGN_PASSWORD_FILE=str(keys / "pass"),
                VELMORA_SIGN_CAFILE=str(keys / f"{LEAVES[leaf][2]}.pem"))


def write_files(folder: Path, files):
    for relative, data in files.items():
        path = folder / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        if relative.endswith(".exe"):
            path.chmod(0o755)


def application(version: str, changed=(), big=0):
    """An application's files: the loader, the recorder, a tag, 40 small libraries (those named in
    `changed` differ from v1's), and a large object of `big` bytes."""
    files = {"Velmora.exe": world.loader + (b"" if version == "v1" else f"\0loader {version}\0".encode()),
             "app/velmora.exe": world.recorder, "app/tag.txt": f"app {version}\n".encode(),
             "app/velmora.release": release_file()}
    for number in range(40):
        files[f"app/lib/part{number:02d}.dat"] = (f"part {number} " + ("v2 " if number in changed else "")).encode() * 50
    if big:
        files["app/data/big.bin"] = hashlib.sha256(version.encode()).digest() * (big // 32)
    return files


def platform():
    return "windows-x64" if options.wine else "linux-x86_64"


def release_file(product="velmora"):
    """What a release of `product` for the platform under test says it is for (sign-update.sh writes it)."""
    return f"velmora-release 1\nproduct {product}\nplatform {platform()}\n".encode()


def publish(tree: Path, files, version="2.0", leaf="a", extra=(), channel="stable"):
    """A release folder signed by sign-update.sh, published into `tree`."""
    release = Path(tempfile.mkdtemp(dir=world.work))
    write_files(release, files)
    product = files.get("app/velmora.release", b"").decode().split("product ")[-1].split("\n")[0] or "velmora"
    sh("bash", REPO / "scripts" / "sign-update.sh", "--product", product, "--platform", platform(), release,
       env=signing_env(world.keys, leaf))
    sh("bash", REPO / "scripts" / "publish-update.sh", "--version", version, "--channel", channel, *extra, release, tree,
       env=signing_env(world.keys, leaf))
    shutil.rmtree(release)


def feed_text(tree: Path, channel="stable", suffix=".feed2"):
    return sh("openssl", "cms", "-verify", "-noverify", "-binary", "-inform", "DER", "-in", tree / f"{channel}{suffix}",
              "-purpose", "any").stdout.decode()


def sign_feed(tree: Path, text: str, leaf="a", name="stable", suffix=".feed2"):
    """`text` signed as publish-update.sh signs a feed, as the tree's NAME.feed2 (or SUFFIX); by each
    of the leaves in `leaf` ("ab": two signers)."""
    (world.work / "feed.txt").write_text(text)
    signers = [a for one in leaf for a in ("-signer", world.keys / f"{one}.pem", "-inkey", world.keys / f"{one}.key")]
    sh("openssl", "cms", "-sign", "-nodetach", "-binary", "-md", "sha256", "-in", world.work / "feed.txt", *signers,
       "-certfile", world.keys / f"{LEAVES[leaf[0]][2]}.pem", "-outform", "DER", "-out", tree / f"{name}{suffix}")


def publisher_keys(tree: Path, leaf, *command):
    """scripts/publisher-keys.sh COMMAND... TREE, signed by `leaf`, over the tests' built-in record."""
    done = subprocess.run(["bash", str(REPO / "scripts" / "publisher-keys.sh"), "--keys", str(KEYS / "publisher.keys"),
                           *map(str, command), str(tree)], capture_output=True, env=signing_env(world.keys, leaf))
    expect(done.returncode == 0, f"publisher-keys.sh {command}: {done.stderr.decode()}")


def with_field(text: str, key: str, value):
    """The second feed's `text` with `key` ("release.id": inside "release") set to `value`."""
    feed = json.loads(text)
    *path, last = key.split(".")
    inner = feed
    for part in path:
        inner = inner[part]
    inner[last] = value
    return json.dumps(feed) + "\n"


def field(text: str, key: str):
    value = json.loads(text)
    for part in key.split("."):
        value = value[part]
    return value


# ---------------------------------------------------------------- servers

class FaultServer:
    def __init__(self, tree: Path):
        self.rules, self.log = world.work / "rules.json", world.work / "requests.log"
        self.rules.write_text("{}")
        self.log.write_text("")
        self.process = subprocess.Popen([sys.executable, str(Path(__file__).parent / "fault_server.py"), str(tree),
                                         str(self.rules), str(self.log), "--lifetime", "600"], stdout=subprocess.PIPE,
                                        text=True)
        self.url = f"http://127.0.0.1:{self.process.stdout.readline().strip()}"

    def rule(self, rules):
        self.rules.write_text(json.dumps(rules))

    def requests(self):
        lines = self.log.read_text().splitlines()
        self.log.write_text("")
        return [json.loads(line) for line in lines]

    def stop(self):
        self.process.terminate()
        self.process.wait(10)


class Nginx:
    """nginx-light serving the tree as a CDN would: ranges, ETags and 304 are its own. With `tls`,
    HTTPS with a certificate from a throw-away CA, for 127.0.0.1."""

    def __init__(self, tree: Path, tls=False, redirect=None):
        self.dir = Path(tempfile.mkdtemp(dir=world.work))
        port = free_port()
        listen = f"127.0.0.1:{port}"
        if tls:
            keys = self.dir
            sh("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=Velmora Test CA",
               "-addext", "basicConstraints=critical,CA:true", "-keyout", keys / "ca.key", "-out", keys / "ca.pem")
            sh("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout", keys / "tls.key",
               "-out", keys / "tls.csr")
            (keys / "tls.ext").write_text("subjectAltName=IP:127.0.0.1\n")
            sh("openssl", "x509", "-req", "-in", keys / "tls.csr", "-CA", keys / "ca.pem", "-CAkey", keys / "ca.key",
               "-days", "2", "-set_serial", "7", "-extfile", keys / "tls.ext", "-out", keys / "tls.pem")
            listen += f" ssl; ssl_certificate {keys / 'tls.pem'}; ssl_certificate_key {keys / 'tls.key'}"
        (self.dir / "nginx.conf").write_text(f"""daemon off; pid {self.dir}/nginx.pid; error_log {self.dir}/error.log;
events {{ worker_connections 64; }}
http {{ access_log {self.dir}/access.log; client_body_temp_path {self.dir}; proxy_temp_path {self.dir};
  fastcgi_temp_path {self.dir}; uwsgi_temp_path {self.dir}; scgi_temp_path {self.dir};
  types {{ }} default_type application/octet-stream;
  server {{ listen {listen}; root {tree}; {f"return 302 {redirect}$request_uri;" if redirect else ""} }} }}
""")
        self.process = subprocess.Popen(["nginx", "-p", str(self.dir), "-c", str(self.dir / "nginx.conf")],
                                        stderr=subprocess.DEVNULL)
        self.url = f"{'https' if tls else 'http'}://127.0.0.1:{port}"
        self.ca = self.dir / "ca.pem"
        deadline = time.monotonic() + 10
        while not (self.dir / "nginx.pid").exists() and time.monotonic() < deadline:
            time.sleep(0.05)

    def requests(self):
        log = self.dir / "access.log"
        lines = log.read_text().splitlines() if log.exists() else []
        log.write_text("")
        return [{"status": int(line.split('"')[2].split()[0]), "path": line.split('"')[1].split()[1]} for line in lines]

    def stop(self):
        self.process.terminate()
        self.process.wait(10)


def free_port():
    import socket
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


# ---------------------------------------------------------------- the programs under test

def native_path(path: Path) -> str:
    return "Z:" + str(path).replace("/", "\\") if options.wine else str(path)


def updater(install: Path, *arguments, signed_anchor=True, env=None, background=False, prefix=(), program=None):
    """velmora-update (or `program`) with --json against `install`; (exit code, the JSON object)."""
    argv = [str(program or options.updater), *arguments, "--install", native_path(install), "--json"]
    if not options.wine and signed_anchor:
        argv += ["--cafile", str(world.keys / "root.pem"), "--publisher", PUBLISHER]
    if options.wine:
        argv.insert(0, str(REPO / "scripts" / "wine-run.sh"))
    argv[:0] = prefix
    if background:
        return subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env, start_new_session=True)
    done = subprocess.run(argv, capture_output=True, timeout=RUN_LIMIT, env=env)
    try:
        lines = done.stdout.decode().strip().splitlines()
        answer = json.loads(lines[-1])
        answer["_before"] = lines[:-1]  # what came before the answer: --progress lines
    except (ValueError, IndexError):
        answer = {"outcome": "no JSON", "stdout": done.stdout.decode(), "stderr": done.stderr.decode()}
    return done.returncode, answer


def install_application(install: Path, signed=False):
    shutil.rmtree(install, ignore_errors=True)
    write_files(install, application("v1"))
    (install / "data").mkdir()
    if signed:
        shutil.copy(world.signed_loader, install / "Velmora.exe")


def run_loader(install: Path):
    """A start of the installed loader; waits for the update it hands over to be installed."""
    env = dict(os.environ, VELMORA_RECORD=native_path(world.work / "record.txt"))
    argv = [str(install / "Velmora.exe")]
    if options.wine:
        argv.insert(0, str(REPO / "scripts" / "wine-run.sh"))
    subprocess.run(argv, env=env, timeout=RUN_LIMIT, capture_output=True)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and (install / "data" / "update").exists():
        time.sleep(0.1)


def snapshot(root: Path):
    return sorted((str(p.relative_to(root)), p.read_bytes() if p.is_file() else None) for p in root.rglob("*")
                  if "velmora-update" not in p.name and p.name not in ("Velmora.log", "Velmora.log.1"))


# ---------------------------------------------------------------- the rows

def expect(holds, what):
    if not holds:
        raise AssertionError(what)


def expect_run(result, outcome, what=""):
    code, answer = result
    expect(code == EXIT.get(outcome, 0) and answer.get("outcome") == outcome,
           f"{what}: wanted {outcome} ({EXIT.get(outcome, 0)}), got exit {code}: {answer}")


def objects_fetched(requests):
    return [r for r in requests if r["path"].startswith("/objects/")]


def big_digest(version, size=4 << 20):
    return hashlib.sha256(application(version, big=size)["app/data/big.bin"]).hexdigest()


def row_new_release(r):
    publish(r.tree, application("v2", big=1 << 20), extra=["--notes", "https://example.invalid/v2"])
    expect_run(updater(r.install, "check", "--feed", r.server.url), "done", "check")
    expect(all(not x["path"].startswith("/objects/") for x in r.server.requests()), "check fetched objects")
    code, answer = updater(r.install, "stage", "--feed", r.server.url)
    expect_run((code, answer), "done", "stage")
    expect(answer["release"]["notes"] == "https://example.invalid/v2", f"notes: {answer}")
    # The new loader and the large object, and the release's few KiB: nothing the installation has.
    expect(answer["bytesFetched"] <= len(application("v2")["Velmora.exe"]) + (1 << 20) + 64 * 1024,
           f"fetched {answer['bytesFetched']}")
    run_loader(r.install)
    expect((r.install / "app" / "tag.txt").read_text() == "app v2\n", "the loader did not install v2")
    r.server.requests()
    code, answer = updater(r.install, "check", "--feed", r.server.url)
    expect_run((code, answer), "nothing to do", "check once installed")
    expect(answer["requests"] == 1 and [x["status"] for x in r.server.requests()] == [304],
           f"nothing new costs one conditional request: {answer}")


def row_changed_files_only(r):
    publish(r.tree, application("v2", changed=(7,)))
    code, answer = updater(r.install, "stage", "--feed", r.server.url)
    expect_run((code, answer), "done")
    fetched = [x["path"] for x in objects_fetched(r.server.requests())]
    # The changed library, the tag and the new loader: nothing the installation already has.
    expect(len(fetched) == 3, f"objects fetched: {fetched}")


def row_cut_and_resumed(r, ignore_range=False, framing="length"):
    """A download cut by the connection, framed by its Content-Length, by chunks (its last one
    never sent) or by nothing (a body that ends with its connection, whole or not): the network's
    failure, and what came is kept."""
    publish(r.tree, application("v2", big=4 << 20))
    big = "/objects/" + big_digest("v2")
    r.server.rule({big: {"cut": 2 << 20, "framing": framing, "times": 1}})
    expect_run(updater(r.install, "stage", "--feed", r.server.url), "network", "cut")
    partial = r.install / "data" / "velmora-update.partial" / big_digest("v2")
    expect(partial.exists() and partial.stat().st_size == 2 << 20, "the part that came is kept")
    r.server.rule({big: {"ignoreRange": True}} if ignore_range else {})
    r.server.requests()
    code, answer = updater(r.install, "stage", "--feed", r.server.url)
    expect_run((code, answer), "done", "resumed")
    asked = [x for x in r.server.requests() if x["path"] == big]
    expect(len(asked) == 1 and asked[0]["range"] == f"bytes={2 << 20}-", f"one range request: {asked}")
    expect(asked[0]["status"] == (200 if ignore_range else 206), f"answer {asked}")
    if not ignore_range:
        expect(asked[0]["sent"] <= 1.05 * (2 << 20), "resumed, not fetched again")
    expect(not partial.parent.exists(), "no partial download left")
    run_loader(r.install)
    joined = hashlib.sha256((r.install / "app" / "data" / "big.bin").read_bytes()).hexdigest()
    expect(joined == big_digest("v2"), "the joined object installed")


def row_altered_object(r, longer=False):
    publish(r.tree, application("v2", changed=(3,)))
    digest = hashlib.sha256(application("v2", changed=(3,))["app/lib/part03.dat"]).hexdigest()
    obj = r.tree / "objects" / digest
    obj.write_bytes(obj.read_bytes() + b"x" if longer else b"X" + obj.read_bytes()[1:])
    before = snapshot(r.install)
    code, answer = updater(r.install, "stage", "--feed", r.server.url)
    expect_run((code, answer), "release refused")
    expect(("longer than signed" if longer else "does not match") in answer["message"], answer["message"])
    expect(len([x for x in r.server.requests() if x["path"].endswith(digest)]) == 2, "fetched again once")
    expect(snapshot(r.install) == before, "nothing staged, nothing left")


def refused_feed(r, text=None, leaf="a", html=False, code="feed refused", anchored=True, oversized=False):
    publish(r.tree, application("v2"))
    if text is not None:
        sign_feed(r.tree, text(feed_text(r.tree)), leaf)
    if oversized:
        # A signed feed padded past 64 KiB: the updater stops reading it there.
        with open(r.tree / "stable.feed2", "ab") as feed:
            feed.write(b"\0" * (64 * 1024))
    if html:
        r.server.rule({"/stable.feed2": {"html": True}})
    before = snapshot(r.install)
    result = updater(r.install, "stage", "--feed", r.server.url, signed_anchor=anchored)
    expect_run(result, code)
    seen = [x["path"] for x in r.server.requests()]
    # A signer no record pins sends the updater to the tree's next key record, which is not there.
    expect([x for x in seen if x != "/keys/2.keys"] == ["/stable.feed2"] and ("/keys/2.keys" in seen) == (leaf == "c"),
           f"nothing else fetched: {seen}")
    expect(snapshot(r.install) == before, "nothing staged")
    return result[1]


def row_rolled_back(r):
    """Feeds are ordered by their issue time: an older one served again is refused, and so is another
    feed of the same time."""
    publish(r.tree, application("v2"))
    first = feed_text(r.tree)
    later = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(time.time() + 10))
    sign_feed(r.tree, with_field(first, "issued", later))
    expect_run(updater(r.install, "check", "--feed", r.server.url), "done", "the newer feed")
    sign_feed(r.tree, first)
    expect_run(updater(r.install, "check", "--feed", r.server.url), "feed refused", "the older one again")
    sign_feed(r.tree, with_field(with_field(first, "issued", later), "release.notes", "https://example.invalid/other"))
    code, answer = updater(r.install, "check", "--feed", r.server.url)
    expect_run((code, answer), "feed refused", "another feed of the same time")
    expect("two feeds signed for one time" in answer["message"], f"in its own words: {answer}")


def republish(tree: Path, transform):
    """The tree's release with its manifest rewritten by `transform` and signed again by the
    publisher, as a new release folder and feed: what publish-update.sh would refuse to write."""
    feed = feed_text(tree)
    old = tree / "releases" / field(feed, "release.id")
    folder = Path(tempfile.mkdtemp(dir=world.work))
    manifest = transform((old / "SHA256SUMS").read_text(), tree)
    (folder / "SHA256SUMS").write_text(manifest)
    sh("openssl", "cms", "-sign", "-binary", "-md", "sha256", "-in", folder / "SHA256SUMS", "-signer",
       world.keys / "a.pem", "-inkey", world.keys / "a.key", "-certfile", world.keys / "root.pem", "-outform", "DER",
       "-out", folder / "SHA256SUMS.p7")
    digests = sorted({line[:64] for line in manifest.splitlines()})
    (folder / "SIZES").write_text("".join(f"{d} {(tree / 'objects' / d).stat().st_size}\n" for d in digests))
    sha = lambda name: hashlib.sha256((folder / name).read_bytes()).hexdigest()
    release = hashlib.sha256(f"{sha('SHA256SUMS')}  SHA256SUMS\n{sha('SHA256SUMS.p7')}  SHA256SUMS.p7\n".encode())
    shutil.move(str(folder), str(tree / "releases" / release.hexdigest()))
    folder = tree / "releases" / release.hexdigest()
    pinned = lambda name: {"sha256": sha(name), "size": (folder / name).stat().st_size}
    for key, name in (("manifest", "SHA256SUMS"), ("signature", "SHA256SUMS.p7"), ("sizes", "SIZES")):
        feed = with_field(feed, "release." + key, pinned(name))
    sign_feed(tree, with_field(feed, "release.id", release.hexdigest()))


def listing(path):
    """A manifest transform (republish) that lists one file more, `path`, holding "x"."""
    def transform(manifest, tree):
        (tree / "objects" / hashlib.sha256(b"x").hexdigest()).write_bytes(b"x")
        return manifest + hashlib.sha256(b"x").hexdigest() + f"  {path}\n"
    return transform


def row_loader_refuses(r):
    # Every object matches its digest, yet the loader would refuse the staging: its manifest lists
    # a file the staging can never hold apart from the manifest's own signature, or a device's name,
    # which Windows would open as the device: refused before anything is written.
    # Two names Windows takes for one, on every platform: refused before any object is fetched.
    for version, path in (("2.0", "SHA256SUMS.p7"), ("3.0", "app/aux.txt"), ("4.0", "app/TAG.txt")):
        publish(r.tree, application("v2"), version=version)
        republish(r.tree, listing(path))
        r.server.requests()
        expect_run(updater(r.install, "stage", "--feed", r.server.url), "release refused", path)
        expect(path != "app/TAG.txt" or not objects_fetched(r.server.requests()), "an object fetched")
        expect(not (r.install / "data" / "update").exists() and not (r.install / "data" / "update.incoming").exists(),
               f"never staged: {path}")
        r.server.requests()
        code, answer = updater(r.install, "stage", "--feed", r.server.url)
        expect_run((code, answer), "nothing to do", f"remembered: {path}")
        expect(not objects_fetched(r.server.requests()), "nothing fetched for a refused release")


def row_from_folder(r):
    publish(r.tree, application("v2"))
    # What an abandoned release left in the incoming tree stands where this one needs a folder
    # and a file, and a stray tree nested deeper than any release reaches (and, natively given 512
    # descriptors, than a walk holding one per folder could go; under Wine past MAX_PATH): cleared,
    # never a failure at every run.
    incoming = r.install / "data" / "update.incoming"
    write_files(incoming, {"app/lib": b"a file where a folder goes", "app/tag.txt/old.txt": b"a folder where a file goes"})
    stray = incoming / "stray"
    sh("mkdir", "-p", stray.joinpath(*["d"] * (130 if options.wine else 1500)))
    few = [] if options.wine else ["prlimit", "--nofile=512", "--"]
    try:
        code, answer = updater(r.install, "stage", "--from", native_path(r.tree), prefix=few)
    finally:  # Python's own removal recurses, a level a call
        subprocess.run(["rm", "-rf", str(stray)], check=False)
    expect_run((code, answer), "done")
    expect(answer["requests"] == 0 and not r.server.requests(), "no request")
    run_loader(r.install)
    expect((r.install / "app" / "tag.txt").read_text() == "app v2\n", "installed from the folder")


def row_killed_downloading(r):
    publish(r.tree, application("v2", big=4 << 20))
    big = "/objects/" + big_digest("v2")
    r.server.rule({big: {"stall": 30, "times": 1}})
    process = updater(r.install, "stage", "--feed", r.server.url, background=True)
    partial = r.install / "data" / "velmora-update.partial" / big_digest("v2")
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and not (partial.exists() and partial.stat().st_size >= 2 << 20):
        time.sleep(0.05)
    os.killpg(process.pid, signal.SIGKILL)
    process.wait(10)
    expect(partial.exists(), "a partial download")
    expect(not (r.install / "data" / "update").exists(), "nothing staged while killed")
    r.server.rule({})
    r.server.requests()
    expect_run(updater(r.install, "stage", "--feed", r.server.url), "done", "the next run")
    asked = [x for x in r.server.requests() if x["path"] == big]
    expect(len(asked) == 1 and asked[0]["status"] == 206, f"resumed: {asked}")


def row_killed_staging(r):
    """Killed at several moments of staging a release of many files (fewer under Wine, where each
    is flushed on its own): the loader then sees nothing, or the whole staging; the next run
    finishes."""
    count = 300 if options.wine else 2000
    files = application("v2")
    files.update({f"app/many/f{number:04d}.txt": f"file {number}\n".encode() for number in range(count)})
    publish(r.tree, files)
    for delay in (0.3, 0.6, 1.0, 1.5):
        process = updater(r.install, "stage", "--feed", r.server.url, background=True)
        time.sleep(delay * (5 if options.wine else 1))
        os.killpg(process.pid, signal.SIGKILL)
        process.wait(10)
        staging = r.install / "data" / "update"
        if staging.exists():
            listed = (staging / "SHA256SUMS").read_text().splitlines()
            whole = all(hashlib.sha256((staging / line[66:]).read_bytes()).hexdigest() == line[:64] for line in listed)
            expect(whole and len(listed) == len(files), f"killed after {delay} s: a staging, but not whole")
            break
    wanted = "nothing to do" if (r.install / "data" / "update").exists() else "done"
    expect_run(updater(r.install, "stage", "--feed", r.server.url), wanted, "the next run")
    run_loader(r.install)
    expect((r.install / "app" / "many" / f"f{count - 1:04d}.txt").exists(), "installed")


def row_disk_full(r):
    """The installation on a small tmpfs; the release needs more than it has free."""
    mount = r.install.parent / "small"
    mount.mkdir()
    if os.geteuid() != 0:
        print("      (skipped: mounting a tmpfs needs root)")
        return
    sh("mount", "-t", "tmpfs", "-o", "size=12m", "tmpfs", mount)
    try:
        install = mount / "Velmora"
        install_application(install)
        publish(r.tree, application("v2", big=8 << 20))
        before = snapshot(install)
        expect_run(updater(install, "stage", "--feed", r.server.url), "disk full")
        expect(snapshot(install) == before and not (install / "data" / "update.incoming").exists(),
               "no incoming tree left behind")
        # Read-only: learnt before anything is asked or written, and never tried again.
        sh("mount", "-o", "remount,ro", mount)
        code, answer = updater(install, "stage", "--feed", r.server.url)
        expect_run((code, answer), "local failure", "read-only")
        expect(answer["message"].startswith("could not write in ") and answer["requests"] == 0, f"read-only: {answer}")
        expect(snapshot(install) == before, "read-only: the disk changed")
    finally:
        sh("umount", "-l", mount)


def row_damaged_copy(r):
    """The server's damaged copy of an object, or of a file of the release folder (held to the
    feed's pin): truncated (its Content-Length that of the short copy, or sent whole in chunks), a
    206 of another range (after a cut), gzip that was not asked for. Each is fetched whole once
    more, then refused (13) with the staging that waits untouched, and not remembered: once the
    server is mended the next run stages it."""
    staging = r.install / "data" / "update"
    faults = (("object", "truncated", {}), ("object", "misrange", {"misrange": True}), ("object", "gzip", {"gzip": True}),
              ("SHA256SUMS", "truncated", {}), ("object", "truncated", {"framing": "chunked"}),
              ("SIZES", "gzip", {"gzip": True}), ("SIZES", "misrange", {"misrange": True}))
    for number, (file, fault, rule) in enumerate(faults, 2):
        publish(r.tree, application(f"v{number}", big=1 << 20), version=f"{number}.0")
        damaged = "/objects/" + big_digest(f"v{number}", 1 << 20) if file == "object" else \
            "/releases/" + field(feed_text(r.tree), "release.id") + "/" + file
        what = f"{fault} {file} {rule}"
        whole = (r.tree / damaged[1:]).read_bytes()
        if fault == "truncated":
            (r.tree / damaged[1:]).write_bytes(whole[:len(whole) // 2])
        cut = fault == "misrange" and file == "object"
        if cut:
            r.server.rule({damaged: {"cut": 1 << 19, "times": 1}})
            expect_run(updater(r.install, "stage", "--feed", r.server.url), "network", "cut")
        r.server.rule({damaged: rule})
        r.server.requests()
        before = snapshot(staging) if staging.exists() else None
        code, answer = updater(r.install, "stage", "--feed", r.server.url)
        expect_run((code, answer), "release refused", what)
        asked = [x for x in r.server.requests() if x["path"] == damaged]
        expect([x["range"] for x in asked] == ([f"bytes={1 << 19}-"] if cut else [None]) + [None],
               f"{what}: one whole fetch again: {asked}")
        expect(all(x["acceptEncoding"] == "identity" for x in asked), f"an encoding asked for: {asked}")
        expect(f"{len(whole)} expected" in answer["message"] and "HTTP 20" in answer["message"], f"{what}: {answer}")
        expect((snapshot(staging) if staging.exists() else None) == before and
               not (r.install / "data" / "update.incoming").exists(), f"{what}: the disk changed")
        (r.tree / damaged[1:]).write_bytes(whole)
        r.server.rule({})
        expect_run(updater(r.install, "stage", "--feed", r.server.url), "done", f"{what}: once mended")


def row_redirected(r, tls=False):
    """nginx redirects every request to the fault server's plain http: followed from http, never
    from https (natively, over TLS)."""
    publish(r.tree, application("v2"))
    server = Nginx(r.tree, tls=tls, redirect=r.server.url)
    try:
        env = dict(os.environ, CURL_CA_BUNDLE=str(server.ca)) if tls else None
        code, answer = updater(r.install, "check", "--feed", server.url, env=env)
        if tls:
            expect_run((code, answer), "network")
            expect("redirected from https to http" in answer["message"] and not r.server.requests(), f"followed: {answer}")
        else:
            expect_run((code, answer), "done")
            expect([x["path"] for x in r.server.requests()][0] == "/stable.feed2", "the redirection was not followed")
    finally:
        server.stop()


def row_trickled_headers(r):
    """A server trickling a release file's headers, 4 bytes a second: the run ends at the answer's
    bound (a minute and its size at 4 KiB/s), as the network, and stages nothing. The stall limit,
    which natively counts body bytes only, is set beyond that bound."""
    publish(r.tree, application("v2"))
    r.server.rule({"/releases/*/SHA256SUMS": {"headerRate": 4}})
    code, answer = updater(r.install, "stage", "--feed", r.server.url, "--stall-timeout", "200")
    expect_run((code, answer), "network")
    expect("too slowly" in answer["message"] and not (r.install / "data" / "update").exists(), f"trickled: {answer}")


def row_links_in_data(r):
    """A link at data/update.incoming, at data/velmora-update.partial, at data/update.incoming/app,
    at data/update.superseded and at data itself, each to a folder of the user's documents: never
    followed. Natively each is removed as a link and the release staged; under Wine, where no call
    removes a Unix link without reaching what it points to, each is left and the run fails (5) naming
    it, but for the superseded one, which no staging needs."""
    documents = r.dir / "documents"
    write_files(documents, {"letter.txt": b"dear", "app/velmora.exe": b"mine", "deep/notes.txt": b"notes"})
    before = snapshot(documents)
    publish(r.tree, application("v2", big=1 << 20))
    for name, target in (("update.incoming", documents), ("velmora-update.partial", documents / "deep"),
                         ("update.incoming/app", documents), ("update.superseded", documents),
                         ("velmora-update.state.new", documents / "letter.txt"), ("", documents)):
        link = r.install / "data" / name
        if not name:  # data itself, last
            shutil.rmtree(link)
        link.parent.mkdir(exist_ok=True)
        link.symlink_to(target)
        if name == "update.superseded":  # as a run killed between its two renames leaves it: never put back
            (r.install / "data" / "update.incoming").mkdir(exist_ok=True)
        code, answer = updater(r.install, "stage", "--feed", r.server.url)
        expect(snapshot(documents) == before, f"{name}: the documents changed")
        if name == "update.superseded":  # removed once the staging no longer needs it: a link left is logged
            expect_run((code, answer), "done", name)
            expect(link.is_symlink() == options.wine and (r.install / "data" / "update" / "SHA256SUMS").exists(), name)
            shutil.rmtree(r.install / "data" / "update")
            link.unlink(missing_ok=True)
        elif options.wine:
            expect_run((code, answer), "local failure", name)
            expect(link.is_symlink() and ("is a link, left in place" in answer["message"] or name.endswith(".new")),
                   f"{name}: {answer}")
            link.unlink()
        else:
            expect_run((code, answer), "done", name)
            staged = r.install / "data" / "update" / "app" / "tag.txt"
            expect(not link.is_symlink() and staged.read_text() == "app v2\n", f"{name}: not staged in a folder of its own")
            shutil.rmtree(r.install / "data" / "update")
    # A file where data goes is the user's: kept, and nothing done.
    shutil.rmtree(r.install / "data", ignore_errors=True)
    (r.install / "data").write_text("mine")
    expect_run(updater(r.install, "stage", "--feed", r.server.url), "local failure", "a file at data")
    expect((r.install / "data").read_text() == "mine", "the file at data changed")


def probe_argv(*words):
    return ([str(REPO / "scripts" / "wine-run.sh")] if options.wine else []) + [str(options.probe), *words]


def scanning(r, file: Path, how="scan"):
    """Under Wine the probe holding `file` as a scanner does (reading, sharing no deletion), or with
    `how` "claim" for deletion, until the file it writes is removed; (the probe, that file)."""
    release = r.dir / f"release-{file.name}"
    holder = subprocess.Popen(probe_argv(how, native_path(file), native_path(release)), stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, start_new_session=True)
    expect(wait_for(lambda: release.exists() and release.read_text() == "held\n", 20), f"{file} not held")
    return holder, release


def row_scanner(r):
    """A scanner holds the state while `check` replaces it, the partial download kept from a cut
    while `stage` moves it into the incoming tree, then a file of that staging while a newer
    release's `stage` removes it as superseded, each let go a second after the run reaches it: each
    run tries again and ends done, the log saying how many attempts it took. Under Wine the probe
    holds the file without sharing deletion; natively, where nothing holds a file, the renames or
    removals in its folder fail as busy (strace) for a second."""
    publish(r.tree, application("v2", big=2 << 20))
    expect_run(updater(r.install, "check", "--feed", r.server.url), "done", "the first check")
    data = r.install / "data"
    big = application("v2", big=2 << 20)["app/data/big.bin"]
    partial = data / "velmora-update.partial" / hashlib.sha256(big).hexdigest()
    partial.parent.mkdir()
    partial.write_bytes(big[:1 << 20])
    log = data / "velmora-update.log"
    superseded = data / "update.superseded"
    # The command, the file held, the path the log names, the call failed natively in which folder,
    # when the run has reached it, the log's word.
    for command, held, named, call, folder, reached, line in (
            ("check", data / "velmora-update.state", data / "velmora-update.state", "renameat2", data,
             lambda: log.read_text().count("feed taken") == 2, "replaced "),
            ("stage", partial, partial, "renameat2", partial.parent,
             lambda: not partial.exists() or partial.stat().st_size == len(big), "moved "),
            ("stage", data / "update" / "app" / "tag.txt", superseded, "unlinkat", superseded / "app",
             superseded.exists, "removed ")):
        if line == "removed ":
            publish(r.tree, application("v3"), version="3.0")
        busy = [] if options.wine else ["strace", "-f", "-qq", "-o", "/dev/null", "-P", str(folder), "-e",
                                        f"inject={call}:error=EBUSY:when=1..10"]
        holder, release = scanning(r, held) if options.wine else (None, None)
        try:
            run = updater(r.install, command, "--feed", r.server.url, background=True, prefix=busy)
            if options.wine:
                expect(wait_for(reached), f"{command}: never reached {held.name}")
                time.sleep(1)
                release.unlink()
            answer = json.loads(run.communicate(timeout=RUN_LIMIT)[0].decode().strip().splitlines()[-1])
        finally:
            if holder:
                release.unlink(missing_ok=True)
                holder.wait(20)
        expect(run.returncode == 0 and answer["outcome"] == "done", f"{command} with {held.name} held: {answer}")
        tried = [x for x in log.read_text().splitlines() if line + native_path(named) in x and " attempts, " in x]
        expect(tried and int(tried[-1].split("(")[-1].split()[0]) >= 5, f"{command}: not tried again: {tried}")
    expect((data / "update" / "app" / "tag.txt").read_text() == "app v3\n" and not superseded.exists(), "not staged")


def row_refused_while_held(r):
    """The loader's check refuses a release whose every object matched (its manifest lists its own
    signature's name) while a file of the incoming tree cannot be removed: under Wine a scanner
    holds it; natively a file system is mounted below, which no removal enters. The refusal is
    remembered first: the run ends refused (13), not as a local failure, with the file left; the
    next run finds it refused before and removes what is left."""
    publish(r.tree, application("v2"))
    republish(r.tree, listing("SHA256SUMS.p7"))
    incoming = r.install / "data" / "update.incoming"
    tag = incoming / "app" / "tag.txt"  # as a cut run leaves it: kept in place
    write_files(incoming, {"app/tag.txt": b"app v2\n", "app/lib/.keep": b""})
    if not options.wine and os.geteuid() != 0:
        print("      (skipped: mounting a tmpfs needs root)")
        return
    holder, release = scanning(r, tag) if options.wine else (None, None)
    if not options.wine:
        sh("mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", incoming / "app" / "lib")
    try:
        code, answer = updater(r.install, "stage", "--feed", r.server.url)
        expect_run((code, answer), "release refused")
        expect("the loader's check refuses it" in answer["message"] and tag.exists(), f"{answer}")
    finally:
        if options.wine:
            release.unlink(missing_ok=True)
            holder.wait(20)
        else:
            sh("umount", "-l", incoming / "app" / "lib")
    code, answer = updater(r.install, "stage", "--feed", r.server.url)
    expect_run((code, answer), "nothing to do", "the next run")
    expect("refused for its origin before" in answer["message"] and not incoming.exists(), f"not remembered: {answer}")


def row_long_paths(r):
    """A release whose longest installed path is 259 characters, in an installation so deep that
    its incoming tree's paths pass 260 and its partial download's pass 300: staged, resumed and
    installed. Wine has no 260 limit: there this shows that the verbatim paths work, not the limit."""
    install = r.dir / ("x" * 90) / ("y" * 80) / "Velmora"
    install_application(install)
    name = "z" * (259 - len(native_path(install)) - len("\\app\\"))
    files = application("v2", big=1 << 20)
    files[f"app/{name}"] = b"the longest path\n"
    publish(r.tree, files)
    big = "/objects/" + big_digest("v2", 1 << 20)
    r.server.rule({big: {"cut": 1 << 19, "times": 1}})
    expect_run(updater(install, "stage", "--feed", r.server.url), "network", "cut")
    partial = install / "data" / "velmora-update.partial" / big_digest("v2", 1 << 20)
    expect(len(native_path(partial)) > 300 and partial.stat().st_size == 1 << 19, "no partial download kept")
    r.server.rule({})
    expect_run(updater(install, "stage", "--feed", r.server.url), "done", "resumed")
    # Under Wine the incoming application's version record is read by a path past 260 too.
    checked = (install / "data" / "velmora-update.log").read_text().split("staging check of ")[-1]
    expect(not options.wine or "staged application 1.0.0.0" in checked, f"no version record read: {checked}")
    run_loader(install)
    installed = install / "app" / name
    expect(len(native_path(installed)) == 259 and installed.read_bytes() == b"the longest path\n", "not installed")


def row_server_errors(r):
    publish(r.tree, application("v2", changed=(1,)))
    r.server.rule({"/stable.feed2": {"status": 503}})
    expect_run(updater(r.install, "stage", "--feed", r.server.url), "network", "503 for the feed")
    r.server.rule({"/objects/*": {"status": 500}})
    expect_run(updater(r.install, "stage", "--feed", r.server.url), "network", "500 for an object")
    r.server.rule({"/releases/*": {"status": 404}})
    expect_run(updater(r.install, "stage", "--feed", r.server.url), "network", "404 for the release")
    r.server.rule({})
    expect_run(updater(r.install, "stage", "--feed", r.server.url), "done", "once the server answers")


def row_nginx(r, tls=False):
    publish(r.tree, application("v2", big=2 << 20))
    server = Nginx(r.tree, tls)
    try:
        env = dict(os.environ, CURL_CA_BUNDLE=str(server.ca)) if tls else None
        # Half of the large object already here, as a cut download leaves it.
        partial = r.install / "data" / "velmora-update.partial"
        partial.mkdir(parents=True)
        big = application("v2", big=2 << 20)["app/data/big.bin"]
        (partial / hashlib.sha256(big).hexdigest()).write_bytes(big[:1 << 20])
        code, answer = updater(r.install, "stage", "--feed", server.url, env=env)
        expect_run((code, answer), "done", "through nginx")
        seen = server.requests()
        expect(any(x["status"] == 206 for x in seen), f"nginx resumed the object: {seen}")
        run_loader(r.install)
        code, answer = updater(r.install, "check", "--feed", server.url, env=env)
        expect_run((code, answer), "nothing to do")
        expect([x["status"] for x in server.requests()] == [304], "one conditional request, 304")
    finally:
        server.stop()


def row_signed_installation(r, leaf, outcome, user_root=False):
    """Under Wine: the installation's loader signed by the publisher: the feed's signer must hold a
    pinned key and be its publisher, through a chain this machine trusts; with `user_root`, the stray
    root is in the current user's root store, which counts for nothing."""
    install_application(r.install, signed=True)
    files = application("v2")
    files["Velmora.exe"] = world.signed_loader.read_bytes()
    publish(r.tree, files)
    sign_feed(r.tree, feed_text(r.tree), leaf)
    store = lambda command: sh(REPO / "scripts" / "wine-run.sh", options.root_store, command,
                               native_path(world.keys / "stray.der"))
    if user_root:
        sh("openssl", "x509", "-in", world.keys / "stray.pem", "-outform", "DER", "-out", world.keys / "stray.der")
        store("add-user")
    try:
        expect_run(updater(r.install, "stage", "--feed", r.server.url), outcome)
    finally:
        if user_root:
            store("remove-user")
    staged = r.install / "data" / "update" / "app" / "tag.txt"
    expect(staged.exists() == (outcome == "done"), "staged only through the publisher's trusted chain")


def row_rotated(r):
    """A key record adds a new key (d), signed by the publisher's (a); the next one retires a's,
    signed by d. A feed signed by d is refused until the tree holds them, then both are taken and
    kept, and the release is staged (under Wine in a signed installation, whose loader's check takes
    its manifest, signed by d, through the kept records) and installed; a feed signed by the retired
    key is refused from then on."""
    install_application(r.install, signed=options.wine)
    files = application("v2")
    if options.wine:
        files["Velmora.exe"] = world.signed_loader.read_bytes()
    r.tree.mkdir()
    publisher_keys(r.tree, "a", "add", world.keys / "d.pem")
    publisher_keys(r.tree, "d", "retire", world.keys / "a.key")
    # Published as the tree's records allow, its feed naming record 3.
    publish(r.tree, files, leaf="d")
    records, aside = r.tree / "keys", r.dir / "records-aside"
    records.rename(aside)
    expect_run(updater(r.install, "check", "--feed", r.server.url), "feed refused", "d, before a record names it")
    aside.rename(records)
    r.server.requests()
    code, answer = updater(r.install, "stage", "--feed", r.server.url)
    expect_run((code, answer), "done", "d, once the records name it")
    expect(not answer["waits"], f"the loader's check takes d's manifest: {answer}")
    asked = [x["path"] for x in r.server.requests()]
    expect(asked[:3] == ["/stable.feed2", "/keys/2.keys", "/keys/3.keys"] and "/keys/4.keys" not in asked,
           f"records asked up to the one the feed names: {asked}")
    kept = r.install / "data" / "velmora-update.keys"
    expect(sorted(x.name for x in kept.iterdir()) == ["2.keys", "3.keys"] and
           all((kept / x).read_bytes() == (r.tree / "keys" / x).read_bytes() for x in ("2.keys", "3.keys")),
           "the records kept as they came")
    run_loader(r.install)
    expect((r.install / "app" / "tag.txt").read_text() == "app v2\n", "the loader did not install d's release")
    # The publishing tool refuses to sign with a retired key: the feed is signed by hand.
    publish(r.tree, application("v3"), version="3.0", leaf="d")
    sign_feed(r.tree, feed_text(r.tree), "a")
    expect_run(updater(r.install, "check", "--feed", r.server.url), "feed refused", "the retired key")


def row_keyless(r):
    """An updater built without its publisher's keys refuses every feed before it asks anything."""
    if options.keyless is None:
        print("      (skipped: no --keyless updater)")
        return
    publish(r.tree, application("v2"))
    before = snapshot(r.install)
    code, answer = updater(r.install, "stage", "--feed", r.server.url, program=options.keyless)
    expect_run((code, answer), "feed refused")
    expect("built without its publisher's keys" in answer["message"] and not r.server.requests(), f"{answer}")
    expect(snapshot(r.install) == before, "nothing changed")


def row_superseded(r):
    """A staging that waits is replaced by a newer release in one rename; the one a loader is
    applying (its staged loader runs) is never touched."""
    publish(r.tree, application("v2"))
    expect_run(updater(r.install, "stage", "--feed", r.server.url), "done", "v2")
    publish(r.tree, application("v3"), version="3.0")
    expect_run(updater(r.install, "stage", "--feed", r.server.url), "done", "v3 over the waiting v2")
    staging = r.install / "data" / "update"
    expect((staging / "app" / "tag.txt").read_text() == "app v3\n", "v3 staged")
    expect(not (r.install / "data" / "update.superseded").exists(), "the superseded staging removed")
    # A run killed between its two renames: the waiting staging goes back, the release is staged.
    superseded = r.install / "data" / "update.superseded"
    staging.rename(superseded)
    (r.install / "data" / "update.incoming").mkdir()
    expect_run(updater(r.install, "stage", "--feed", r.server.url), "nothing to do", "v3 back in place")
    if not options.wine:  # a program kept running from data/update: natively only, where the test can hold one
        publish(r.tree, application("v4"), version="4.0")
        held = staging / "Velmora.exe"
        holder = subprocess.Popen([str(held)], env=dict(os.environ, VELMORA_SLEEP_MS="60000"), start_new_session=True,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            time.sleep(0.5)
            before = snapshot(staging)
            expect_run(updater(r.install, "stage", "--feed", r.server.url), "busy", "while the staged loader runs")
            expect(snapshot(staging) == before, "the staging being applied untouched")
        finally:
            os.killpg(holder.pid, signal.SIGKILL)
            holder.wait(10)
    # One the run could not remove, found after the loader installed the newer one: never put back.
    shutil.copytree(staging, superseded)
    run_loader(r.install)
    expect(not staging.exists(), "installed")
    updater(r.install, "stage", "--feed", r.server.url)
    expect(not staging.exists() or (staging / "app" / "tag.txt").read_text() != "app v3\n",
           "the older staging removed, not staged again")
    expect(not superseded.exists(), "the superseded staging removed")


def row_busy(r):
    """A second run while one works on the installation waits 2 s for it: it goes on once a short
    run has ended, and is busy, nothing changed, while a long one goes on."""
    publish(r.tree, application("v2", big=4 << 20))
    partial = r.install / "data" / "velmora-update.partial" / big_digest("v2")
    for stall in (20, 0.5):
        partial.unlink(missing_ok=True)
        r.server.rule({"/objects/" + big_digest("v2"): {"stall": stall, "times": 1}})
        first = updater(r.install, "stage", "--feed", r.server.url, background=True)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and not partial.exists():
            time.sleep(0.05)
        try:
            started = time.monotonic()
            code, answer = updater(r.install, "check", "--feed", r.server.url)
            waited = time.monotonic() - started
            if stall > 2:
                expect_run((code, answer), "busy", "the second run while the first goes on")
                expect(waited >= 2.0, f"busy after {waited:.1f} s, before its patience ran out")
            else:
                expect(code == 0, f"the second run once the first has ended: {answer}")
        finally:
            os.killpg(first.pid, signal.SIGKILL)
            first.wait(10)


def row_lock_held(r):
    """The installation's lock held by a program that is no loader: the updater waits 2 s as the
    loader does, exits busy with its incoming tree kept, and the next run stages it from there."""
    if options.probe is None:
        print("      (skipped: no --probe to hold the lock)")
        return
    publish(r.tree, application("v2", changed=(5,)))
    release = r.dir / "release-lock"
    argv = [str(options.probe), "lock", native_path(r.install), native_path(release)]
    if options.wine:
        argv.insert(0, str(REPO / "scripts" / "wine-run.sh"))
    holder = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and not release.exists():
            time.sleep(0.05)
        started = time.monotonic()
        expect_run(updater(r.install, "stage", "--feed", r.server.url), "busy", "while the lock is held")
        expect(time.monotonic() - started >= 2.0, "waited for the lock as the loader does")
        expect((r.install / "data" / "update.incoming" / "SHA256SUMS").exists() and
               not (r.install / "data" / "update").exists(), "verified, kept, not staged")
    finally:
        release.unlink(missing_ok=True)
        holder.wait(20)
    r.server.requests()
    expect_run(updater(r.install, "stage", "--feed", r.server.url), "done", "once it is free")
    expect(not objects_fetched(r.server.requests()), "nothing fetched again")


def row_older(r):
    """A release of a lower version than the installed one is never staged: under Wine the
    installed application's version record says 1.0.0.0; natively the version of the release
    the updater saw installed."""
    if not options.wine:
        publish(r.tree, application("v2"), version="2.0")
        expect_run(updater(r.install, "stage", "--feed", r.server.url), "done", "2.0")
        run_loader(r.install)
    publish(r.tree, application("v3"), version="0.9" if options.wine else "1.5")
    r.server.requests()
    code, answer = updater(r.install, "stage", "--feed", r.server.url)
    expect_run((code, answer), "nothing to do", "an older release")
    expect("older" in answer["message"] and not objects_fetched(r.server.requests()), f"nothing fetched: {answer}")


def row_command_line(r):
    """Options before or after the command; what is rejected touches nothing and says why."""
    publish(r.tree, application("v2"))
    argv = [str(options.updater)]
    if options.wine:
        argv.insert(0, str(REPO / "scripts" / "wine-run.sh"))
    anchor = [] if options.wine else ["--cafile", str(world.keys / "root.pem"), "--publisher", PUBLISHER]
    before = ["--json", "--feed", r.server.url, "--install", native_path(r.install), *anchor, "check"]
    done = subprocess.run(argv + before, capture_output=True, timeout=RUN_LIMIT)
    expect(done.returncode == 0 and json.loads(done.stdout)["outcome"] == "done", f"options first: {done}")
    for rejected in (["check", "stage"], ["update"], ["check", "--from", native_path(r.tree)],
                     ["stage", "--channel", "Stable"], ["stage", "--feed", "ftp://127.0.0.1/"], ["stage", "--bogus"],
                     ["apply"], ["apply", "--pid", "0"], ["apply", "--pid=-1"], ["apply", "--pid", "4294967296"],
                     ["status", "--pid", "5"], ["check", "--progress"], ["status", "--feed", r.server.url]):
        done = subprocess.run(argv + rejected + ["--install", native_path(r.install)], capture_output=True,
                              timeout=RUN_LIMIT)
        expect(done.returncode == 2 and b"usage:" in done.stderr and not done.stdout, f"{rejected}: {done}")
    done = subprocess.run(argv + ["--help"], capture_output=True, timeout=RUN_LIMIT)
    expect(done.returncode == 0 and b"exit codes:" in done.stdout, "--help")
    nowhere = r.dir / "nowhere"
    nowhere.mkdir()
    expect_run(updater(nowhere, "check", "--feed", r.server.url), "no installation", "no Velmora.exe there")
    expect(list(nowhere.iterdir()) == [], "nothing written where no installation is")


# ---------------------------------------------------------------- what an application drives

def record_env(r, **more):
    return dict(os.environ, VELMORA_RECORD=native_path(r.dir / "record.txt"), **more)


def records(r):
    """(tag, program) of each run of a recorder, the applications' among them."""
    file = r.dir / "record.txt"
    lines = file.read_text(errors="replace").splitlines() if file.exists() else []
    return [tuple(field.replace("\\\\", "\\") for field in line.split("\t")[:2]) for line in lines]


def start_application(r, sleep_ms):
    """The installed application, running until `sleep_ms` have passed; (process, its id as the
    updater sees process ids)."""
    pid_file = r.dir / "app.pid"
    argv = [str(r.install / "app" / "velmora.exe")]
    if options.wine:
        argv.insert(0, str(REPO / "scripts" / "wine-run.sh"))
    app = subprocess.Popen(argv, env=record_env(r, VELMORA_SLEEP_MS=str(sleep_ms), VELMORA_PID_FILE=native_path(pid_file)),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        text = pid_file.read_text() if pid_file.exists() else ""
        if text.endswith("\n"):
            return app, int(text)
        time.sleep(0.05)
    raise AssertionError("the application did not start")


def wait_for(holds, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and not holds():
        time.sleep(0.1)
    return holds()


def loader_log(install: Path):
    log = install / "data" / "Velmora.log"
    return log.read_text(errors="replace") if log.exists() else ""


def row_status(r):
    """status before a check, after staging, after the loader took the update and after it
    refused one: the loader's verdict read from the words that end its check's line."""
    code, before = updater(r.install, "status")
    expect(code == 0 and before["staged"] is None and before["lastCheck"] is None and before["lastStart"] is None and
           before["installed"]["release"] is None, f"before a check: {before}")
    expect(before["installed"]["applicationVersion"] == ("1.0.0.0" if options.wine else None), f"versions: {before}")
    publish(r.tree, application("v2"))
    code, staged = updater(r.install, "stage", "--feed", r.server.url)
    release = staged["release"]["id"]
    manifest = hashlib.sha256((r.install / "data" / "update" / "SHA256SUMS").read_bytes()).hexdigest()
    code, waiting = updater(r.install, "status")
    expect(waiting["staged"] == {"release": release, "version": "2.0"}, f"after staging: {waiting}")
    if options.wine:  # read sharing deletion: a run moving a file over the state, or a removal, is not kept out
        held = [scanning(r, r.install / "data" / name, "claim") for name in ("velmora-update.state", "update/SHA256SUMS")]
        try:
            code, claimed = updater(r.install, "status")
        finally:
            for holder, let_go in held:
                let_go.unlink()
                holder.wait(20)
        expect(claimed["staged"] == waiting["staged"] and claimed["lastCheck"] == waiting["lastCheck"], f"{claimed}")
    argv = ([str(REPO / "scripts" / "wine-run.sh")] if options.wine else []) + [str(options.updater), "status", "--install",
                                                                              native_path(r.install)]
    text = subprocess.run(argv, capture_output=True, text=True, timeout=RUN_LIMIT).stdout.replace("\r", "")
    expect(f"\nstaged: release {release} version 2.0\n" in text and "\nlast check: " in text, f"as text: {text}")
    last = waiting["lastCheck"]
    expect(last["command"] == "stage" and last["outcome"] == "done" and last["exitCode"] == 0 and
           last["release"] == release, f"the last check: {last}")
    run_loader(r.install)
    code, taken = updater(r.install, "status")
    start = taken["lastStart"] or {}
    expect(taken["staged"] is None and taken["installed"]["release"] == release and start["verdict"] == "taken" and
           start["manifest"] == manifest, f"after the loader took it: {taken}")
    publish(r.tree, application("v3"), version="3.0")
    expect_run(updater(r.install, "stage", "--feed", r.server.url), "done", "v3")
    (r.install / "data" / "update" / "app" / "tag.txt").write_text("altered after staging\n")
    run_loader(r.install)
    code, refused = updater(r.install, "status")
    expect((refused["lastStart"] or {}).get("verdict") == "refused-integrity" and refused["lastStart"]["time"] > start["time"] and
           refused["installed"]["release"] == release, f"after the loader refused v3: {refused}")
    # A later verdict in the previous generation (rotated since, say) wins by its time stamp.
    with open(r.install / "data" / "Velmora.log.1", "a") as previous:
        previous.write("2999-01-01T00:00:00.000Z 7 staging kept for a later start: cannot be checked now: x; "
                       "unsigned installation; verdict kept\n")
    code, rotated = updater(r.install, "status")
    expect(rotated["lastStart"] == {"time": "2999-01-01T00:00:00.000Z", "verdict": "kept"}, f"rotated: {rotated}")


def row_progress(r):
    """stage --progress: JSON lines of the bytes fetched against the signed sizes, growing, a few a
    second, ending at the total; natively, in a terminal, one line written over instead."""
    publish(r.tree, application("v2", big=4 << 20))
    r.server.rule({"/objects/" + big_digest("v2"): {"rate": 2 << 20}})
    started = time.monotonic()
    code, answer = updater(r.install, "stage", "--progress", "--feed", r.server.url)
    took = time.monotonic() - started
    expect_run((code, answer), "done")
    lines = [json.loads(line) for line in answer["_before"]]
    done = [line["bytesDone"] for line in lines]
    expect(all(set(line) == {"bytesDone", "bytesTotal"} and line["bytesTotal"] == answer["bytesToFetch"] for line in lines)
           and done == sorted(done) and done[0] == 0 and done[-1] == answer["bytesToFetch"] and done.count(done[-1]) == 1,
           f"progress lines: {lines}")
    expect(4 <= len(lines) <= 4 * took + 2, f"{len(lines)} lines in {took:.1f} s")
    if options.wine:
        return
    import pty
    shutil.rmtree(r.install / "data" / "update")
    r.server.rule({"/objects/" + big_digest("v2"): {"rate": 4 << 20}})
    (r.install / "data" / "velmora-update.state").unlink()
    controller, terminal = pty.openpty()
    process = subprocess.Popen([str(options.updater), "stage", "--progress", "--feed", r.server.url, "--install",
                                str(r.install), "--cafile", str(world.keys / "root.pem"), "--publisher", PUBLISHER],
                               stdout=terminal, stderr=subprocess.DEVNULL)
    os.close(terminal)
    shown = b""
    while True:
        try:
            piece = os.read(controller, 4096)
        except OSError:
            break
        if not piece:
            break
        shown += piece
    process.wait(RUN_LIMIT)
    os.close(controller)
    expect(b"\rvelmora-update: fetched" in shown and b"(100 %)\r\n" in shown and b"bytesDone" not in shown,
           f"in a terminal: {shown[-300:]!r}")


def row_apply_restart(r):
    """apply --pid with an application that takes 5 s to exit: the updater checks and starts the
    staged loader and returns at once; the staged loader waits, applies, the new version runs, no box."""
    publish(r.tree, application("v2"))
    expect_run(updater(r.install, "stage", "--feed", r.server.url), "done", "v2")
    app, pid = start_application(r, 5000)
    started = time.monotonic()
    run = updater(r.install, "apply", "--pid", str(pid), env=record_env(r), background=True)
    code = run.wait(RUN_LIMIT)
    exited = time.monotonic() - started
    answer = json.loads(run.communicate(timeout=RUN_LIMIT)[0].decode().strip().splitlines()[-1])
    took = time.monotonic() - started
    expect_run((code, answer), "done", "apply")
    expect(answer["verdict"] == "taken" and answer["release"]["version"] == "2.0", f"apply: {answer}")
    # Under Wine every process keeps the Unix standard error of the one that started it: only
    # standard output is read to its end here.
    expect(exited < 4 and took < 4 and app.poll() is None, f"returned after {took:.1f} s, the application still running")
    expect((r.install / "app" / "tag.txt").read_text() == "app v1\n", "nothing applied while the application runs")
    app.wait(30)
    expect(wait_for(lambda: ("app v2", native_path(r.install / "app" / "velmora.exe")) in records(r)),
           f"the new version did not run: {records(r)}")
    expect("failure shown" not in loader_log(r.install), "a box was shown")


def row_apply_in_job(r):
    """Under Wine: apply --pid from an application in a job that ends its processes when it closes
    (as a launcher's, an IDE's or a game client's often does). Without breakaway allowed nothing is
    started and apply says so; with it the staged loader leaves the job, outlives the application
    and installs the new version."""
    publish(r.tree, application("v2"))
    expect_run(updater(r.install, "stage", "--feed", r.server.url), "done", "v2")
    for limits, outcome in (("kill", "cannot restart"), ("kill,breakaway", "done")):
        before = snapshot(r.install)
        ran = subprocess.run([REPO / "scripts" / "wine-run.sh", options.probe, "job", limits, native_path(options.updater),
                              "apply", "--pid", "{pid}", "--install", native_path(r.install), "--json"],
                             env=record_env(r), capture_output=True, timeout=RUN_LIMIT)
        expect_run((ran.returncode, json.loads(ran.stdout)), outcome, limits)
        if outcome == "cannot restart":
            time.sleep(1)
            expect(snapshot(r.install) == before and "waiting for process" not in loader_log(r.install) and
                   not records(r), f"{limits}: something was started or changed")
    expect(wait_for(lambda: ("app v2", native_path(r.install / "app" / "velmora.exe")) in records(r)),
           f"the new version did not run after the application's job closed: {records(r)}")


def row_console(r):
    """Under Wine: a run in a console writes its characters there and leaves the console's code
    page as the user's shell set it (850, in which UTF-8 bytes would show as other letters)."""
    install = r.dir / "Velmöra"
    r.install.rename(install)
    command = f'"{native_path(options.updater)}" status --install "{native_path(install)}"'
    ran = sh(REPO / "scripts" / "wine-run.sh", options.probe, "console", "850", command, timeout=RUN_LIMIT)
    shown = ran.stdout.decode().replace("\r", "")
    expect(shown.startswith("code page 850\n") and f"status of {native_path(install)}" in shown, f"the console: {shown}")


def row_apply_refused(r):
    """apply --pid with nothing staged, and with a staging the check refuses: nothing started,
    nothing changed, the class's exit code."""
    expect_run(updater(r.install, "apply", "--pid", "4242"), "nothing staged")
    publish(r.tree, application("v2"))
    expect_run(updater(r.install, "stage", "--feed", r.server.url), "done", "v2")
    (r.install / "data" / "update" / "app" / "tag.txt").write_text("altered after staging\n")
    before = snapshot(r.install)
    code, answer = updater(r.install, "apply", "--pid", "4242", env=record_env(r))
    expect_run((code, answer), "staging refused")
    expect(answer["verdict"] == "refused-integrity", f"apply: {answer}")
    time.sleep(1)
    expect(snapshot(r.install) == before and not records(r), "something was started or changed")
    if not options.wine:  # Wine shows a Unix link as the folder it names
        staging = r.install / "data" / "update"
        shutil.move(str(staging), str(r.dir / "elsewhere"))
        staging.symlink_to(r.dir / "elsewhere")
        expect_run(updater(r.install, "apply", "--pid", "4242", env=record_env(r)), "staging refused", "a link at data/update")
        expect(staging.is_symlink() and not records(r), "a link followed")


def row_apply_replaced(r):
    """The staged loader replaced between the check and the start: the replacement never runs.
    Under Wine the hold refuses the replacement; natively it succeeds (its start delayed by strace
    until then), and the start goes through the file held before the check."""
    publish(r.tree, application("v2"))
    expect_run(updater(r.install, "stage", "--feed", r.server.url), "done", "v2")
    staged = r.install / "data" / "update" / "Velmora.exe"
    replacement = r.dir / "replacement.exe"
    shutil.copy(options.recorder, replacement)
    app, pid = start_application(r, 4000)
    delayed = [] if options.wine else ["strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=clone,clone3,fork,vfork",
                                       "-e", "inject=clone,clone3,fork,vfork:delay_enter=2000000"]
    run = updater(r.install, "apply", "--pid", str(pid), env=record_env(r), background=True, prefix=delayed)
    log = r.install / "data" / "velmora-update.log"
    checked = f"staging check of {native_path(staged.parent)}: "
    expect(wait_for(lambda: checked in (log.read_text(errors="replace") if log.exists() else "")), "no check")
    if options.wine:
        moved = subprocess.run([str(REPO / "scripts" / "wine-run.sh"), "cmd", "/c", "move", "/y", native_path(replacement),
                                native_path(staged)], capture_output=True, timeout=RUN_LIMIT)
        expect(moved.returncode != 0 and replacement.exists(), f"the held staged loader was replaced: {moved}")
    else:
        os.replace(replacement, staged)
    answer = json.loads(run.communicate(timeout=RUN_LIMIT)[0].decode().strip().splitlines()[-1])
    expect(answer["outcome"] in ("done", "busy"), f"apply: {answer}")
    app.wait(30)
    # The staged loader applies the update, or, finding the staging changed, leaves it.
    wait_for(lambda: any(tag == "app v2" for tag, _ in records(r)) or "the restart route leaves" in loader_log(r.install))
    time.sleep(1)
    expect(all(tag.startswith("app ") for tag, _ in records(r)), f"the replacement ran: {records(r)}")


def row_administrator(r):
    """The administrator's mirror in data/velmora-update.ini wins over the application's --feed;
    checks turned off ask no server; a malformed file stops the run; under Wine the machine's
    policy in the registry wins over the file."""
    publish(r.tree, application("v2"))
    settings = r.install / "data" / "velmora-update.ini"
    nowhere = "http://127.0.0.1:9"
    settings.write_text(f"; the site's mirror\r\nfeed = {r.server.url}/\r\n")
    expect_run(updater(r.install, "stage", "--feed", nowhere), "done", "through the mirror")
    expect(r.server.requests(), "the mirror was not asked")
    code, status = updater(r.install, "status")
    expect(status["settings"]["feed"] == {"value": r.server.url + "/", "from": native_path(settings)}, f"status: {status}")
    publish(r.tree, application("v3"), version="3.0", channel="pilot")
    settings.write_text(f"feed = {r.server.url}\nchannel = pilot\n")
    code, answer = updater(r.install, "check", "--channel", "stable")
    expect(code == 0 and answer["channel"] == "pilot" and answer["release"]["version"] == "3.0" and
           [x["path"] for x in r.server.requests()][0] == "/pilot.feed2", f"the administrator's channel: {answer}")
    settings.write_text("checks = off\n")
    expect_run(updater(r.install, "check", "--feed", r.server.url), "turned off", "checks off")
    expect(not r.server.requests(), "a server was asked with checks off")
    settings.write_text("checks = of\n")
    expect_run(updater(r.install, "check", "--feed", r.server.url), "settings refused", "a malformed file")
    expect(not r.server.requests(), "a server was asked with the settings refused")
    if not options.wine:
        return
    reg = [str(REPO / "scripts" / "wine-run.sh"), "reg"]
    key = r"HKLM\Software\Policies\Velmora\Update"
    settings.write_text(f"feed = {nowhere}\n")
    try:
        sh(*reg, "add", key, "/v", "feed", "/t", "REG_SZ", "/d", r.server.url, "/f")
        expect_run(updater(r.install, "check"), "nothing to do", "the policy's feed over the file's")
        expect(r.server.requests(), "the policy's mirror was not asked")
        # An expandable string, as Group Policy Preferences write one, expanded in the run's environment.
        sh(*reg, "add", key, "/v", "feed", "/t", "REG_EXPAND_SZ", "/d", "http://%VELMORA_TEST_MIRROR%", "/f")
        mirror = dict(os.environ, VELMORA_TEST_MIRROR=r.server.url.split("//")[1])
        expect_run(updater(r.install, "check", env=mirror), "nothing to do", "an expandable policy value")
        expect(r.server.requests(), "the expanded policy's mirror was not asked")
    finally:
        subprocess.run(reg + ["delete", key, "/f"], capture_output=True, timeout=RUN_LIMIT)


def row_feed_for_another(r):
    """Signed by the publisher, but for what this installation is not, or living past 90 days:
    refused in its own words."""
    other = "linux-x86_64" if options.wine else "windows-x64"
    for change, words in ((lambda t: with_field(t, "product", "velmora-pro"), "another product: velmora-pro"),
                          (lambda t: with_field(t, "platform", other), "another platform: " + other),
                          (lambda t: with_field(t, "requires", 2), "requires a later updater"),
                          (LONG_LIVED, "longer than 90 days")):
        answer = refused_feed(r, change)
        expect(words in answer["message"], f"{words}: {answer}")


def row_issued_ahead(r):
    """The publisher's key signs a feed issued in 9999, and a first feed of the largest sequence: the
    first is not taken (the clock may be wrong) and nothing of it is kept; the second is read by no
    updater now; the next genuine feed is taken as if neither came."""
    publish(r.tree, application("v2"))
    genuine = feed_text(r.tree)
    sign_feed(r.tree, with_field(with_field(genuine, "issued", "9999-12-01T00:00:00Z"), "expires", "9999-12-31T00:00:00Z"))
    sign_feed(r.tree, re.sub(r"(?m)^sequence .*$", "sequence 9223372036854775807", feed_text(r.tree, suffix=".feed")),
              suffix=".feed")
    code, answer = updater(r.install, "check", "--feed", r.server.url)
    expect_run((code, answer), "feed cannot be checked now")
    expect("check the clock" in answer["message"], f"in its own words: {answer}")
    state = json.loads((r.install / "data" / "velmora-update.state").read_text())
    expect(state["channels"].get("stable", {}).get("issued", 0) == 0 and
           not (r.install / "data" / "velmora-update.stable.feed2").exists(), f"kept: {state}")
    sign_feed(r.tree, genuine)
    expect_run(updater(r.install, "stage", "--feed", r.server.url), "done", "the genuine feed after it")
    expect("/stable.feed" not in [x["path"] for x in r.server.requests()], "the first feed read")


def row_other_product(r):
    """A feed for this product naming a release whose own release file names another (a mirror or a
    publisher mixing products up): refused for its origin once that file alone is fetched, never
    fetched again."""
    files = application("v2", changed=(1,))
    files["app/velmora.release"] = release_file("velmora-pro")
    publish(r.tree, files)
    sign_feed(r.tree, with_field(feed_text(r.tree), "product", "velmora"))
    before = snapshot(r.install)
    code, answer = updater(r.install, "stage", "--feed", r.server.url)
    expect_run((code, answer), "release refused")
    expect("a release for another product (velmora-pro for" in answer["message"], f"in its own words: {answer}")
    fetched = [x["path"] for x in objects_fetched(r.server.requests())]
    expect(fetched == ["/objects/" + hashlib.sha256(release_file("velmora-pro")).hexdigest()], f"fetched: {fetched}")
    expect(snapshot(r.install) == before, "something staged or left")
    code, answer = updater(r.install, "stage", "--feed", r.server.url)
    expect_run((code, answer), "nothing to do", "remembered")
    expect(not objects_fetched(r.server.requests()), "fetched again")
    # A manifest that lists no release file at all, signed by the publisher: nothing to fetch for it.
    publish(r.tree, application("v3"), version="3.0")
    republish(r.tree, lambda manifest, tree: "".join(line for line in manifest.splitlines(True) if "velmora.release" not in line))
    code, answer = updater(r.install, "stage", "--feed", r.server.url)
    expect_run((code, answer), "release refused", "no release file")
    expect("no release file: it names no product" in answer["message"] and not objects_fetched(r.server.requests()),
           f"in its own words, nothing fetched: {answer}")


def row_damaged_cached_feed(r):
    """The feed kept in data/ damaged on disk while nginx rightly answers 304: its validators dropped,
    the feed fetched whole once in the same run, and the next check costs one 304 again."""
    publish(r.tree, application("v2"))
    server = Nginx(r.tree)
    try:
        expect_run(updater(r.install, "check", "--feed", server.url), "done", "the feed taken and kept")
        cached = r.install / "data" / "velmora-update.stable.feed2"
        # A byte of the signed text changed: what a disk's fault leaves.
        cached.write_bytes(cached.read_bytes().replace(b'"channel":"stable"', b'"channel":"stabla"'))
        server.requests()
        feed = lambda: [x["status"] for x in server.requests() if x["path"] == "/stable.feed2"]
        expect_run(updater(r.install, "check", "--feed", server.url), "done", "healed in one run")
        seen = feed()
        expect(seen == [304, 200], f"the feed's answers: {seen}")
        expect_run(updater(r.install, "check", "--feed", server.url), "done", "once healed")
        seen = feed()
        expect(seen == [304], f"one conditional request again: {seen}")
        # Another feed of the publisher's, older, in its place: intact, but not the one the 304 is about.
        kept = cached.read_bytes()
        publish(r.tree, application("v3"), version="3.0")
        # Its validator another than the last one's, which nginx makes of the size and the second.
        stamp = time.time() + 10
        os.utime(r.tree / "stable.feed2", (stamp, stamp))
        expect_run(updater(r.install, "check", "--feed", server.url), "done", "v3")
        cached.write_bytes(kept)
        server.requests()
        code, answer = updater(r.install, "check", "--feed", server.url)
        expect(code == 0 and answer["release"]["version"] == "3.0" and feed() == [304, 200], f"the older copy: {answer}")
    finally:
        server.stop()


EXPIRED = lambda text: with_field(with_field(text, "issued", "2020-01-01T00:00:00Z"), "expires", "2020-02-01T00:00:00Z")
LONG_LIVED = lambda text: with_field(text, "expires", time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(time.time() + 91 * 86400)))
ROWS = [
    # name, what it does, where it runs ("both", "native", "wine")
    ("a new release staged, then installed by the loader; nothing new then costs one request", row_new_release, "both"),
    ("only the changed files fetched", row_changed_files_only, "both"),
    ("a cut download resumed with one range request", row_cut_and_resumed, "both"),
    ("a server ignoring ranges sends the object again", lambda r: row_cut_and_resumed(r, True), "both"),
    ("a download cut without a Content-Length: the network, resumed", lambda r: row_cut_and_resumed(r, framing="none"),
     "both"),
    # Wine's WinHTTP ends a chunked body cut before its last chunk as if it were whole (docs/windows.md).
    ("a chunked download cut: the network, resumed", lambda r: row_cut_and_resumed(r, framing="chunked"), "native"),
    ("an altered object: fetched again, then refused, nothing staged", row_altered_object, "both"),
    ("an object longer than its size: refused, nothing staged", lambda r: row_altered_object(r, True), "both"),
    ("an expired feed: nothing else fetched", lambda r: refused_feed(r, EXPIRED), "both"),
    ("a feed for another channel: nothing else fetched", lambda r: refused_feed(r, lambda t: with_field(t, "channel", "beta")),
     "both"),
    ("a feed for another product, another platform, a later updater, a life past 90 days: nothing else fetched",
     row_feed_for_another, "both"),
    ("a far-future issue time signed by the publisher: neither taken nor kept; the next genuine feed taken",
     row_issued_ahead, "both"),
    ("a release file naming another product: refused, remembered, nothing but it fetched", row_other_product, "both"),
    ("nginx-light: a kept feed damaged on disk, answered 304, fetched whole in the same run", row_damaged_cached_feed,
     "both"),
    ("a feed signed by another publisher", lambda r: refused_feed(r, lambda t: t, "b"), "native"),
    ("the publisher's name under a stray root, its key not pinned: refused", lambda r: refused_feed(r, lambda t: t, "c"),
     "both"),
    ("the publisher's key under a root this machine does not trust: cannot be checked now",
     lambda r: refused_feed(r, lambda t: t, "s", code="feed cannot be checked now"), "native"),
    ("a feed of two signers: refused", lambda r: refused_feed(r, lambda t: t, "ab"), "both"),
    ("an updater built without its publisher's keys: refused, nothing asked", row_keyless, "both"),
    ("a key record rotates a key in, the next retires the old one", row_rotated, "both"),
    ("not a feed at all: HTML where the feed belongs", lambda r: refused_feed(r, html=True, anchored=False),
     "both"),
    ("a feed larger than 64 KiB: not read further", lambda r: refused_feed(r, oversized=True), "both"),
    ("a rolled-back feed", row_rolled_back, "both"),
    ("a release older than the installed one: never staged", row_older, "both"),
    ("a release the loader would refuse, or naming one file twice in letter case: never staged, remembered",
     row_loader_refuses, "both"),
    ("--from a folder", row_from_folder, "both"),
    ("killed during a download: the next run resumes", row_killed_downloading, "both"),
    ("killed during the staging: never half a staging", row_killed_staging, "both"),
    ("a full disk on a small tmpfs: nothing staged or left", row_disk_full, "both"),
    ("503, 500, 404: network, and staged once the server answers", row_server_errors, "both"),
    ("the server's damaged copy: truncated, misranged, gzip: 13 after one whole fetch, then staged", row_damaged_copy,
     "both"),
    ("a feed redirected from http to http: followed", row_redirected, "both"),
    ("an https feed redirected to http: never followed", lambda r: row_redirected(r, tls=True), "native"),
    ("headers trickled: the run ends at its bound", row_trickled_headers, "both"),
    ("links in data/ to the user's documents: never followed", row_links_in_data, "both"),
    ("a scanner holding the state, the partial download, a superseded staging: tried again, done", row_scanner,
     "both"),
    ("a refused release is remembered although what it left cannot be removed", row_refused_while_held, "both"),
    ("paths past 260 characters below data/ for a release that fits in 259", row_long_paths, "both"),
    ("nginx-light: a kept part resumed (206), then one 304", row_nginx, "both"),
    ("nginx-light over HTTPS with a throw-away CA", lambda r: row_nginx(r, True), "native"),
    ("a waiting staging superseded by a newer release; one being applied left alone", row_superseded, "both"),
    ("a second run while one works: it waits 2 s, then busy", row_busy, "both"),
    ("the command line: options anywhere, rejections touch nothing", row_command_line, "both"),
    ("the installation's lock held: busy after 2 s, staged at the next run without fetching", row_lock_held, "both"),
    ("status: before a check, staged, taken by the loader, refused by it", row_status, "both"),
    ("stage --progress: growing lines, a few a second, ending at the total", row_progress, "both"),
    ("apply --pid: the application takes 5 s to exit, the new version runs", row_apply_restart, "both"),
    ("apply --pid: nothing staged, a staging refused: nothing started", row_apply_refused, "both"),
    ("apply --pid: the staged loader replaced after the check never runs", row_apply_replaced, "both"),
    ("apply --pid from a kill-on-close job: cannot restart, or the staged loader breaks away", row_apply_in_job, "wine"),
    ("the administrator's mirror, checks off, a malformed file, the policy", row_administrator, "both"),
    ("a console: its code page left as it was, the text in its own characters", row_console, "wine"),
    ("signed installation: a feed signed by another publisher", lambda r: row_signed_installation(r, "b", "feed refused"),
     "wine"),
    ("signed installation: the publisher's feed through a chain this machine trusts",
     lambda r: row_signed_installation(r, "a", "done"), "wine"),
    ("signed installation: the publisher's name under a stray root, its key not pinned",
     lambda r: row_signed_installation(r, "c", "feed refused"), "wine"),
    ("signed installation: the publisher's key under a root not trusted",
     lambda r: row_signed_installation(r, "s", "feed cannot be checked now"), "wine"),
    ("signed installation: the publisher's key under a root only the user's store holds",
     lambda r: row_signed_installation(r, "s", "feed cannot be checked now", user_root=True), "wine"),
]


class Row:
    pass


class World:
    pass


world = World()


def main():
    global options
    parser = argparse.ArgumentParser()
    parser.add_argument("--updater", type=Path, required=True)
    parser.add_argument("--loader", type=Path, required=True)
    parser.add_argument("--recorder", type=Path, required=True)
    parser.add_argument("--probe", type=Path, help="the platform probe, which can hold the lock")
    parser.add_argument("--wine", action="store_true")
    parser.add_argument("--only", nargs="*")
    parser.add_argument("--root-store", type=Path, help="Wine: the helper that trusts the test root in a prefix")
    parser.add_argument("--keyless", type=Path, help="the updater built without its publisher's keys")
    parser.add_argument("--keys", type=Path, help=argparse.SUPPRESS)
    parser.add_argument("--feed-tool", type=Path, help="velmora-feed, which publish-update.sh runs")
    options = parser.parse_args()
    if options.feed_tool:
        os.environ["VELMORA_FEED_TOOL"] = str(options.feed_tool)
    world.work = Path(tempfile.mkdtemp(prefix="velmora-update-table-"))
    world.work.chmod(0o755)
    world.keys = options.keys or world.work / "keys"
    if not options.keys:
        make_keys(world.keys)
        if options.wine and options.root_store:
            # Under Wine the rows run again in a prefix of their own whose machine trusts the test
            # root, as a machine with its publisher's root does; the stray root stays untrusted.
            rerun = [str(REPO / "scripts" / "with-trusted-roots.sh"), str(options.root_store), str(world.keys / "root.pem"),
                     "--", sys.executable, *sys.argv, "--keys", str(world.keys)]
            try:
                sys.exit(subprocess.run(rerun, timeout=TABLE_LIMIT).returncode)
            finally:
                shutil.rmtree(world.work, ignore_errors=True)
    world.loader = options.loader.read_bytes()
    world.recorder = options.recorder.read_bytes()
    if options.wine:
        world.signed_loader = world.work / "signed.exe"
        sh("osslsigncode", "sign", "-pkcs12", world.keys / "a.pfx", "-readpass", world.keys / "pass", "-h", "sha256",
           "-n", "Velmora", "-in", options.loader, "-out", world.signed_loader)
    place = "wine" if options.wine else "native"
    try:
        for name, function, where in ROWS:
            if where not in ("both", place) or (options.only and not any(o in name for o in options.only)):
                continue
            r = Row()
            r.dir = Path(tempfile.mkdtemp(dir=world.work))
            r.dir.chmod(0o755)  # nginx's workers read the tree as another user
            r.install, r.tree = r.dir / "Velmora", r.dir / "tree"
            install_application(r.install)
            r.server = FaultServer(r.tree)
            started = time.monotonic()
            try:
                function(r)
                print(f"ok    {name} ({time.monotonic() - started:.1f} s)", flush=True)
            except (AssertionError, subprocess.SubprocessError, OSError, LookupError, TypeError, ValueError) as failure:
                failures.append(name)
                print(f"FAIL  {name}: {failure}", flush=True)
            finally:
                r.server.stop()
                shutil.rmtree(r.dir, ignore_errors=True)
    finally:
        shutil.rmtree(world.work, ignore_errors=True)
    print(f"{len(failures)} failed" if failures else "all rows passed")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
