#!/usr/bin/env python3
"""The download as scripts/package writes it.

Runs scripts/package twice: from the source tree, and from a copy of that tree at another
path with a fresh build folder. Both zips must be the same bytes. Then checks the zip:
one top folder holding exactly the expected files, entries sorted, every one dated from
the commit with fixed permissions, SHA256SUMS right for every file, the texts UTF-8 with
CR LF. Last it unpacks the zip into a fresh folder for the checks that run the files.

usage: package_zip_test.py SOURCE_DIR WORK_DIR TOP_FOLDER"""
import hashlib
import io
import os
import shutil
import subprocess
import sys
import time
import zipfile

FILES = ["LICENSE", "README.txt", "SHA256SUMS", "bars_window.exe", "callback_console.exe",
         "polling_console.exe", "stand-in/Korvane.dll"]
DIRS = ["", "stand-in/"]
TEXTS = ["LICENSE", "README.txt"]
FILE_MODE, DIR_MODE = 0o100644, 0o040755


def package(source, out, epoch, build_dir=None):
    command = [os.path.join(source, "scripts", "package"), "--out", out]
    if build_dir:
        command += ["--build-dir", build_dir]
    env = dict(os.environ)
    if epoch is not None:
        env["SOURCE_DATE_EPOCH"] = str(epoch)
    subprocess.run(command, check=True, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)


def copy_tree(source, dest):
    """The working tree's files as git sees them (tracked and new, not ignored): a clone
    that also carries uncommitted changes."""
    listed = subprocess.run(["git", "-C", source, "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                            check=True, stdout=subprocess.PIPE).stdout
    for name in sorted(set(listed.decode().split("\0")) - {""}):
        path = os.path.join(source, name)
        if os.path.isfile(path):  # a tracked file deleted in the tree is gone
            os.makedirs(os.path.dirname(os.path.join(dest, name)), exist_ok=True)
            shutil.copy2(path, os.path.join(dest, name))


def differences(a, b):
    za, zb = zipfile.ZipFile(io.BytesIO(a)), zipfile.ZipFile(io.BytesIO(b))
    names = sorted(set(za.namelist()) | set(zb.namelist()))
    found = []
    for n in names:
        if n not in za.namelist() or n not in zb.namelist():
            found.append(n + " (in one zip only)")
        elif za.read(n) != zb.read(n) or za.getinfo(n).date_time != zb.getinfo(n).date_time:
            found.append(n)
    return found or ["the zip structure itself"]


def check_zip(data, top, epoch, problems):
    z = zipfile.ZipFile(io.BytesIO(data))
    names = z.namelist()
    if names != sorted(names):
        problems.append("entries not sorted: %s" % names)
    want = sorted([top + "/" + d for d in DIRS] + [top + "/" + f for f in FILES])
    if sorted(names) != want:
        problems.append("entries %s, want %s" % (sorted(names), want))
    when = time.gmtime(epoch)[:6]
    when = when[:5] + (when[5] // 2 * 2,)  # a zip entry holds even seconds
    for info in z.infolist():
        if info.date_time != when:
            problems.append("%s dated %s, not the commit's %s" % (info.filename, info.date_time, when))
        mode = info.external_attr >> 16
        want_mode = DIR_MODE if info.is_dir() else FILE_MODE
        if mode != want_mode:
            problems.append("%s mode %o, want %o" % (info.filename, mode, want_mode))
    contents = {n[len(top) + 1:]: z.read(n) for n in names if not n.endswith("/") and n.startswith(top + "/")}
    sums = {}
    for line in contents.get("SHA256SUMS", b"").decode("ascii", "replace").splitlines():
        digest, sep, name = line.partition("  ")
        sums[name] = digest
    listed = sorted(f for f in FILES if f != "SHA256SUMS")
    if sorted(sums) != listed:
        problems.append("SHA256SUMS lists %s, want %s" % (sorted(sums), listed))
    for name, digest in sums.items():
        if name in contents and hashlib.sha256(contents[name]).hexdigest() != digest:
            problems.append("SHA256SUMS: wrong sum for %s" % name)
    for name in TEXTS:
        text = contents.get(name, b"")
        try:
            text.decode("utf-8")
        except UnicodeDecodeError as e:
            problems.append("%s is not UTF-8: %s" % (name, e))
        if not text.endswith(b"\r\n") or text.count(b"\n") != text.count(b"\r\n") or \
                text.count(b"\r") != text.count(b"\r\n"):
            problems.append("%s: not every line ends in CR LF" % name)


def main(argv):
    source, work, top = argv
    source, work = os.path.realpath(source), os.path.realpath(work)
    zip_name = top + ".zip"
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if not epoch:
        epoch = subprocess.run(["git", "-C", source, "log", "-1", "--format=%ct"], check=True,
                               stdout=subprocess.PIPE).stdout.decode().strip()
    epoch = int(epoch)

    for d in ("first", "second", "tree", "unpacked"):
        shutil.rmtree(os.path.join(work, d), ignore_errors=True)
    # The first as a user runs it (the date from git), the second from elsewhere.
    package(source, os.path.join(work, "first"), None, os.path.join(work, "build"))
    tree = os.path.join(work, "tree")
    copy_tree(source, tree)
    package(tree, os.path.join(work, "second"), epoch)
    first = open(os.path.join(work, "first", zip_name), "rb").read()
    second = open(os.path.join(work, "second", zip_name), "rb").read()
    shutil.rmtree(tree)
    for label, data in (("first", first), ("second", second)):
        print("%s run: %s, %d bytes, SHA-256 %s" % (label, zip_name, len(data), hashlib.sha256(data).hexdigest()))

    problems = []
    if first != second:
        problems.append("two runs differ in: " + ", ".join(differences(first, second)))
    check_zip(first, top, epoch, problems)
    zipfile.ZipFile(io.BytesIO(first)).extractall(os.path.join(work, "unpacked"))
    for p in problems:
        print("FAIL: " + p)
    print("%d problems" % len(problems))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
