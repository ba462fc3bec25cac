#!/usr/bin/env python3
"""Makes orvel's wheels, one per architecture, from the release archives.

    build_wheels.py DIST_DIR OUT_DIR

Each wheel carries the binary of orvel-VERSION-linux-ARCH.tar.gz in DIST_DIR, unchanged, as a
script of its .data folder: pip copies such a file into the environment's bin as it is, so no
Python runs when orvel is called. The binary is static, so one wheel serves glibc and musl
systems alike and carries both tags. The version is CMakeLists.txt's. A wheel's bytes depend on
its contents alone (entries in a fixed order, one time stamp, fixed modes), so a rebuild of the
same commit gives the same files. Only the standard library is used.
"""

import base64
import hashlib
import os
import pathlib
import subprocess
import sys
import tarfile
import zipfile

NAME = "orvel"
ARCHES = ("x86_64", "aarch64")
# glibc 2.17 and musl 1.1 are the oldest each tag family names; a static binary needs neither.
PLATFORM_TAGS = ("manylinux_2_17_{0}", "manylinux2014_{0}", "musllinux_1_1_{0}")
SUMMARY = "Rewrite JSON files in place in one canonical form: keys in natural order, two-space layout"
HOMEPAGE = "https://github.com/orvel-json/orvel"
# The earliest time a zip entry can hold: no build's clock reaches the bytes.
ZIP_TIME = (1980, 1, 1, 0, 0, 0)

ROOT = pathlib.Path(__file__).resolve().parents[2]


def record_hash(data):
    digest = hashlib.sha256(data).digest()
    return "sha256=" + base64.urlsafe_b64encode(digest).rstrip(b"=").decode("ascii")


def metadata(version):
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    headers = [
        "Metadata-Version: 2.1",
        f"Name: {NAME}",
        f"Version: {version}",
        f"Summary: {SUMMARY}",
        f"Home-page: {HOMEPAGE}",
        "License: MIT",
        "Keywords: json,formatter,canonical,sort-keys,lint",
        "Classifier: Environment :: Console",
        "Classifier: License :: OSI Approved :: MIT License",
        "Classifier: Operating System :: POSIX :: Linux",
        "Classifier: Programming Language :: C++",
        f"Project-URL: Source, {HOMEPAGE}",
        "Description-Content-Type: text/markdown",
    ]
    return ("\n".join(headers) + "\n\n" + readme).encode("utf-8")


def wheel_file(tags):
    lines = ["Wheel-Version: 1.0", f"Generator: {NAME} build_wheels.py", "Root-Is-Purelib: false"]
    lines += [f"Tag: {tag}" for tag in tags]
    return ("\n".join(lines) + "\n").encode("ascii")


def read_binary(archive, folder):
    with tarfile.open(archive, "r:gz") as tar:
        member = tar.extractfile(f"{folder}/orvel")
        if member is None:
            sys.exit(f"build_wheels.py: {archive} has no regular file {folder}/orvel")
        return member.read()


def write_wheel(path, entries):
    """entries: (name, bytes, mode) in the order they go into the zip; RECORD is added last."""
    record_name = entries[-1][0].split("/")[0] + "/RECORD"
    rows = [f"{name},{record_hash(data)},{len(data)}" for name, data, _ in entries]
    rows.append(f"{record_name},,")
    entries = entries + [(record_name, ("\n".join(rows) + "\n").encode("utf-8"), 0o644)]

    partial = path.with_name(path.name + ".part")
    with zipfile.ZipFile(partial, "w") as whl:
        for name, data, mode in entries:
            info = zipfile.ZipInfo(name, date_time=ZIP_TIME)
            info.create_system = 3  # Unix, so that the mode below is honoured
            info.external_attr = (0o100000 | mode) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            whl.writestr(info, data)
    os.replace(partial, path)


def main(argv):
    if len(argv) != 3:
        sys.exit("usage: build_wheels.py DIST_DIR OUT_DIR")
    dist, out = pathlib.Path(argv[1]), pathlib.Path(argv[2])
    version = subprocess.run([str(ROOT / "packaging" / "version.sh")], check=True,
                             capture_output=True, text=True).stdout.strip()
    out.mkdir(parents=True, exist_ok=True)
    data_dir = f"{NAME}-{version}.data"
    info_dir = f"{NAME}-{version}.dist-info"
    license_text = (ROOT / "LICENSE").read_bytes()

    for arch in ARCHES:
        folder = f"{NAME}-{version}-linux-{arch}"
        archive = dist / f"{folder}.tar.gz"
        if not archive.is_file():
            sys.exit(f"build_wheels.py: no {archive} (make dist makes it)")
        platforms = [form.format(arch) for form in PLATFORM_TAGS]
        entries = [
            (f"{data_dir}/scripts/orvel", read_binary(archive, folder), 0o755),
            (f"{info_dir}/LICENSE", license_text, 0o644),
            (f"{info_dir}/METADATA", metadata(version), 0o644),
            (f"{info_dir}/WHEEL", wheel_file([f"py3-none-{p}" for p in platforms]), 0o644),
        ]
        path = out / f"{NAME}-{version}-py3-none-{'.'.join(platforms)}.whl"
        write_wheel(path, entries)
        print(f"wheel: {path}")


if __name__ == "__main__":
    main(sys.argv)
