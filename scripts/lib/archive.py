#!/usr/bin/env python3
"""Deterministic zip and tar.gz archives for scripts/package.

archive.py zip|tgz OUTPUT DIRECTORY

Every file under DIRECTORY goes into OUTPUT under DIRECTORY's own name, in
sorted order, with the time SOURCE_DATE_EPOCH, owner root, and mode 0755 for
files the owner may run and 0644 for the rest: the same tree gives the same
archive byte for byte, whoever packs it and whenever.
"""
import gzip
import io
import os
import sys
import tarfile
import time
import zipfile


def entries(directory):
    base = os.path.dirname(os.path.abspath(directory))
    found = []
    for root, dirs, files in os.walk(directory):
        for name in files:
            path = os.path.join(root, name)
            found.append((os.path.relpath(os.path.abspath(path), base).replace(os.sep, "/"), path))
    return sorted(found)


def mode_of(path):
    return 0o755 if os.stat(path).st_mode & 0o100 else 0o644


def write_zip(output, directory, epoch):
    # Zip times have no zone and start in 1980.
    stamp = time.gmtime(max(epoch, 315532800))[:6]
    with zipfile.ZipFile(output, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, path in entries(directory):
            info = zipfile.ZipInfo(name, stamp)
            info.external_attr = (0o100000 | mode_of(path)) << 16
            info.create_system = 3  # Unix, so that the modes count
            info.compress_type = zipfile.ZIP_DEFLATED
            with open(path, "rb") as source:
                archive.writestr(info, source.read(), compresslevel=9)


def write_tgz(output, directory, epoch):
    packed = io.BytesIO()
    with tarfile.open(fileobj=packed, mode="w", format=tarfile.PAX_FORMAT) as archive:
        for name, path in entries(directory):
            info = tarfile.TarInfo(name)
            info.size = os.path.getsize(path)
            info.mtime = epoch
            info.mode = mode_of(path)
            info.uid = info.gid = 0
            info.uname = info.gname = "root"
            with open(path, "rb") as source:
                archive.addfile(info, source)
    # No file name and a fixed time in the gzip header.
    with open(output, "wb") as raw, gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=epoch, compresslevel=9) as out:
        out.write(packed.getvalue())


def main():
    kind, output, directory = sys.argv[1:4]
    epoch = int(os.environ["SOURCE_DATE_EPOCH"])
    {"zip": write_zip, "tgz": write_tgz}[kind](output, directory, epoch)


if __name__ == "__main__":
    main()
