#!/usr/bin/env python3
"""Writes the download zip: every file under one top folder, plus SHA256SUMS of them.

usage: make_zip.py OUT.zip --top NAME [--binary PATH_IN_ZIP=FILE]... [--text PATH_IN_ZIP=FILE]...

Text files must be UTF-8; they get CR LF line ends. The same inputs give the same bytes:
entries sorted by name, every one dated SOURCE_DATE_EPOCH (seconds, from the environment),
fixed permissions, fixed compression level."""
import argparse
import hashlib
import os
import sys
import time
import zipfile

FILE_MODE = 0o100644
DIR_MODE = 0o040755
MSDOS_DIRECTORY = 0x10
ZIP_EPOCH = 315532800  # 1980-01-01, the earliest date a zip entry can hold


def read_files(args):
    files = {}
    for entry, text in [(s, False) for s in args.binary] + [(s, True) for s in args.text]:
        name, sep, path = entry.partition("=")
        if not sep or not name or name in files:
            raise SystemExit("bad or repeated entry: %s" % entry)
        with open(path, "rb") as f:
            data = f.read()
        if text:
            data.decode("utf-8")  # raises on anything else
            data = data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
        files[name] = data
    return files


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("zip")
    parser.add_argument("--top", required=True)
    parser.add_argument("--binary", action="append", default=[])
    parser.add_argument("--text", action="append", default=[])
    args = parser.parse_args()
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if not epoch or not epoch.isdigit():
        raise SystemExit("SOURCE_DATE_EPOCH must hold the commit time in seconds")
    date_time = time.gmtime(max(int(epoch), ZIP_EPOCH))[:6]

    files = read_files(args)
    files["SHA256SUMS"] = "".join(
        "%s  %s\n" % (hashlib.sha256(files[n]).hexdigest(), n) for n in sorted(files)).encode()
    entries = {args.top + "/" + n: data for n, data in files.items()}
    for name in list(entries):
        parent = name.rsplit("/", 1)[0]
        while parent:
            entries[parent + "/"] = None
            parent = parent.rsplit("/", 1)[0] if "/" in parent else ""

    partial = args.zip + ".partial"
    with zipfile.ZipFile(partial, "w") as z:
        for name in sorted(entries):
            info = zipfile.ZipInfo(name, date_time)
            info.create_system = 3  # Unix: the mode bits below are read as such
            if entries[name] is None:
                info.external_attr = (DIR_MODE << 16) | MSDOS_DIRECTORY
                z.writestr(info, b"")
            else:
                info.external_attr = FILE_MODE << 16
                info.compress_type = zipfile.ZIP_DEFLATED
                z.writestr(info, entries[name], compresslevel=9)
    os.replace(partial, args.zip)
    return 0


if __name__ == "__main__":
    sys.exit(main())
