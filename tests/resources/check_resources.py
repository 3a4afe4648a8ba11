#!/usr/bin/python3
"""Reads a built Velmora.exe as Windows would, without running it: headers, imports, version
record, manifest and icon group. Prints every mismatch; exits 1 if there is any.

    check_resources.py PATH/Velmora.exe VERSION     VERSION in the four numbers Windows writes
    check_resources.py --icon FILE.ico              only the icon's images
"""
import os
import re
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

import pefile

ICON_SIZES = [16, 32, 48, 64, 128, 256]
# Windows reads a PNG image at any size; the small ones stay bitmaps, as every reader takes them.
BITMAP_SIZES, PNG_SIZES = ICON_SIZES[:3], ICON_SIZES[3:]
SUPPORTED_OS = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10 and 11",
}
NS = {
    "v1": "urn:schemas-microsoft-com:asm.v1",
    "v3": "urn:schemas-microsoft-com:asm.v3",
    "compat": "urn:schemas-microsoft-com:compatibility.v1",
    "ws2005": "http://schemas.microsoft.com/SMI/2005/WindowsSettings",
    "ws2016": "http://schemas.microsoft.com/SMI/2016/WindowsSettings",
}
RT_ICON, RT_GROUP_ICON, RT_MANIFEST = 3, 14, 24
failures = []


def check(ok, message):
    if not ok:
        failures.append(message)
    return ok


def check_icon_file(path):
    # One 32-bpp image of each size, so Windows never rescales; every one must decode.
    listing = subprocess.run(["icotool", "--list", path], capture_output=True, text=True).stdout
    images = sorted(tuple(map(int, image)) for image in
                    re.findall(r"^--icon --index=\d+ --width=(\d+) --height=(\d+) --bit-depth=(\d+)",
                               listing, re.M))
    check(images == [(size, size, 32) for size in ICON_SIZES],
          f"{path}: images (width, height, bpp) {images}, want 32 bpp at {ICON_SIZES}")
    with tempfile.TemporaryDirectory() as out:
        decoded = subprocess.run(["icotool", "--extract", "--output", out, path], capture_output=True)
        check(decoded.returncode == 0 and len(os.listdir(out)) == len(ICON_SIZES),
              f"{path}: icotool cannot decode every image")


def resources(pe, type_id):
    """{id: bytes} of one resource type, in directory order (the order Windows enumerates)."""
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries if hasattr(pe, "DIRECTORY_ENTRY_RESOURCE") else []:
        if kind.id == type_id:
            found = {}
            for entry in kind.directory.entries:
                data = entry.directory.entries[0].data.struct
                found[entry.id if entry.name is None else str(entry.name)] = \
                    pe.get_data(data.OffsetToData, data.Size)
            return found
    return {}


def check_icon_images(pe):
    # The images themselves: those of 64 px and more as PNG, the small ones as bitmaps; every one
    # with a real alpha channel (all transparent falls back to the mask, all opaque loses the
    # rounded corners).
    for image_id, image in resources(pe, RT_ICON).items():
        if image.startswith(b"\x89PNG\r\n\x1a\n"):
            header = struct.unpack(">4sIIBB", image[12:26])
            check(header[1] in PNG_SIZES and header == (b"IHDR", header[1], header[1], 8, 6),
                  f"icon {image_id}: PNG {header}, want 8-bit RGBA at {PNG_SIZES}")
            continue
        header = struct.unpack_from("<IiiHHI", image)
        width = header[1]
        check(width in BITMAP_SIZES and header == (40, width, 2 * width, 1, 32, 0),
              f"icon {image_id}: bitmap header {header}, want 32 bpp uncompressed at {BITMAP_SIZES}")
        alpha = image[40 + 3:40 + 4 * width * width:4]
        mask = (width + 31) // 32 * 4 * width
        check(len(image) >= 40 + 4 * width * width + mask, f"icon {image_id}: truncated")
        check(set(alpha) - {0} and set(alpha) - {255}, f"icon {image_id}: alpha is all 0 or all 255")


def check_version(pe, path, version):
    fixed = getattr(pe, "VS_FIXEDFILEINFO", [None])[0]
    if check(fixed is not None, "no version record"):
        parts = [int(n) for n in version.split(".")]
        want = (parts[0] << 16 | parts[1], parts[2] << 16 | parts[3])
        check(fixed.Signature == 0xFEEF04BD, "bad VS_FIXEDFILEINFO signature")
        check((fixed.FileVersionMS, fixed.FileVersionLS) == want, f"file version is not {version}")
        check((fixed.ProductVersionMS, fixed.ProductVersionLS) == want, f"product version is not {version}")
        check(fixed.FileOS == 0x40004, f"FILEOS is {fixed.FileOS:#x}, want VOS_NT_WINDOWS32")
        check(fixed.FileType == 1, f"FILETYPE is {fixed.FileType}, want VFT_APP")
    strings, translations = {}, []
    for info in getattr(pe, "FileInfo", [[]])[0]:
        for table in getattr(info, "StringTable", []):
            if table.LangID.upper() == b"040904B0":
                strings = {key.decode(): value.decode() for key, value in table.entries.items()}
        translations += [var.entry.get(b"Translation") for var in getattr(info, "Var", [])]
    check("0x0409 0x04b0" in translations, f"translations {translations}, want 0409/04B0")
    want = {"CompanyName": "Velmora", "FileDescription": "Velmora loader", "FileVersion": version,
            "InternalName": "Velmora", "OriginalFilename": "Velmora.exe", "ProductName": "Velmora",
            "ProductVersion": version}
    for name, value in want.items():
        check(strings.get(name) == value, f"string {name} is {strings.get(name)!r}, want {value!r}")
    check("Velmora" in strings.get("LegalCopyright", ""), "LegalCopyright does not name Velmora")
    # The record describes the file it sits in.
    check(os.path.basename(path).lower() == "velmora.exe", f"{path} is not Velmora.exe, as its record says")


def check_manifest(pe, version):
    text = resources(pe, RT_MANIFEST).get(1)
    if not check(text, "no RT_MANIFEST resource with id 1"):
        return
    try:
        root = ET.fromstring(text)
    except ET.ParseError as error:
        check(False, f"the manifest is not well-formed: {error}")
        return
    check(root.tag == "{%s}assembly" % NS["v1"] and root.get("manifestVersion") == "1.0",
          "the manifest's root is not an asm.v1 assembly of manifestVersion 1.0")
    identity = root.find("v1:assemblyIdentity", NS)
    check(identity is not None and identity.get("version") == version and
          identity.get("processorArchitecture") == "amd64", f"assemblyIdentity is not amd64 version {version}")
    # The loader updates the user's own install: it must never ask for elevation.
    level = root.find("v3:trustInfo/v3:security/v3:requestedPrivileges/v3:requestedExecutionLevel", NS)
    check(level is not None and (level.get("level"), level.get("uiAccess")) == ("asInvoker", "false"),
          "requestedExecutionLevel is not asInvoker without uiAccess")
    declared = {entry.get("Id") for entry in
                root.findall("compat:compatibility/compat:application/compat:supportedOS", NS)}
    for guid, name in SUPPORTED_OS.items():
        check(guid in declared, f"the manifest does not declare support for {name}")

    def setting(name):
        element = root.find("v3:application/v3:windowsSettings/" + name, NS)
        return "" if element is None or element.text is None else element.text.strip()
    check(setting("ws2016:longPathAware") == "true", "longPathAware is not true")
    check([s.strip() for s in setting("ws2016:dpiAwareness").split(",")] == ["PerMonitorV2", "PerMonitor"],
          "dpiAwareness is not PerMonitorV2, PerMonitor")
    check(setting("ws2005:dpiAware") == "true/pm", "dpiAware (before Windows 10 1607) is not true/pm")
    # The loader relies on the process's ANSI code page, and needs no common controls.
    check(b"activeCodePage" not in text, "the manifest sets activeCodePage")
    check(b"Microsoft.Windows.Common-Controls" not in text, "the manifest depends on Common Controls")


def check_exe(path, version):
    pe = pefile.PE(path)
    check(pe.FILE_HEADER.Machine == 0x8664 and pe.OPTIONAL_HEADER.Magic == 0x20B, "not a PE32+ x86-64 image")
    check(pe.OPTIONAL_HEADER.Subsystem == 2, f"subsystem {pe.OPTIONAL_HEADER.Subsystem}, want 2 (Windows GUI)")
    # Shipped as one file, and a plain start loads neither the shell nor the window library.
    imports = sorted(entry.dll.decode().lower() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []))
    check(imports == ["kernel32.dll", "msvcrt.dll"], f"imports {imports}, want only KERNEL32.dll and msvcrt.dll")
    check(not hasattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT"), "delay-loaded imports")
    check_version(pe, path, version)
    check_manifest(pe, version)
    # Explorer shows the first icon group.
    groups = list(resources(pe, RT_GROUP_ICON))
    if check(groups[:1] == [1], f"icon groups {groups}, want id 1 first"):
        with tempfile.TemporaryDirectory() as out:
            with open(os.path.join(out, "group.ico"), "wb") as ico:
                subprocess.run(["wrestool", "--extract", "--type=14", "--name=1", path], stdout=ico, check=True)
            check_icon_file(ico.name)
    check_icon_images(pe)


if len(sys.argv) != 3:
    sys.exit(__doc__)
if sys.argv[1] == "--icon":
    checked = sys.argv[2]
    check_icon_file(checked)
else:
    checked = sys.argv[1]
    check_exe(checked, sys.argv[2])
for failure in failures:
    print("FAIL:", failure)
print(f"{checked}: {len(failures)} failed" if failures else f"{checked}: ok")
sys.exit(1 if failures else 0)
