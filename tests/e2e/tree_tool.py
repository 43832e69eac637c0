#!/usr/bin/env python3
"""Snapshots of folder trees for the end-to-end scenarios: one line per entry, so that two trees
(or one tree before and after a run) compare with diff.

  tree_tool.py snapshot DIR [--skip NAME]... [--no-mtime] [--dir-mtime] [--paths]

Lines, sorted by the bytes of the path:
  F <path> <size> <mtime> <sha256>   a file; mtime in seconds rounded to the nearest one
  D <path> [<mtime>]                 a folder (its mtime only with --dir-mtime)
  L <path> -> <target>               a symbolic link, never followed; a target inside DIR is
                                     written as @/<path below DIR>, so trees in different
                                     places compare equal
--skip leaves an entry of that name directly below DIR out (the work folder), not deeper ones.
With --paths only the kind letter and the path. Paths are relative to DIR; bytes that are not UTF-8 are shown escaped.
"""

import argparse
import hashlib
import os
import sys


def show(b):
    return b.decode("utf-8", "backslashreplace")


def seconds(ns):
    return (ns + 500_000_000) // 1_000_000_000


def snapshot(root, skip, mtime, dir_mtime, paths_only=False):
    root = os.fsencode(os.path.abspath(root))
    skip = {os.fsencode(s) for s in skip}
    lines = []

    def walk(folder, rel):
        with os.scandir(folder) as it:
            entries = sorted(it, key=lambda e: e.name)
        for e in entries:
            if not rel and e.name in skip:
                continue
            path = rel + b"/" + e.name if rel else e.name
            st = e.stat(follow_symlinks=False)
            if e.is_symlink():
                target = os.readlink(e.path)
                if target == root or target.startswith(root + b"/"):
                    target = b"@" + target[len(root):]
                lines.append((path, f"L {show(path)} -> {show(target)}"))
            elif e.is_dir(follow_symlinks=False):
                extra = f" {seconds(st.st_mtime_ns)}" if dir_mtime else ""
                lines.append((path, f"D {show(path)}{extra}"))
                walk(e.path, path)
            else:
                h = hashlib.sha256()
                with open(e.path, "rb") as f:
                    for chunk in iter(lambda: f.read(1 << 20), b""):
                        h.update(chunk)
                t = f" {seconds(st.st_mtime_ns)}" if mtime else ""
                lines.append((path, f"F {show(path)} {st.st_size}{t} {h.hexdigest()}"))

    walk(root, b"")
    lines.sort()
    if paths_only:
        return [line[:2] + show(path) for path, line in lines]
    return [line for _, line in lines]


# --- building trees: imported by the scenarios' tree scripts --------------------------------------

def writer(root):
    """put(rel, data, mtime): writes a file below root, with its folders and modification time."""
    def put(rel, data, mtime=1600000000):
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.utime(path, (mtime, mtime))
    return put


def text(n, seed):
    """n bytes of source-like text, the same for the same seed."""
    import random
    r = random.Random(seed)
    words = ["alpha", "beta", "gamma", "delta", "return", "value", "int", "for", "(i)", "{", "}"]
    out = []
    while sum(map(len, out)) < n:
        out.append(" ".join(r.choice(words) for _ in range(r.randint(3, 12))) + "\n")
    return "".join(out).encode()[:n]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = ap.add_subparsers(dest="what", required=True)
    p = sub.add_parser("snapshot")
    p.add_argument("dir")
    p.add_argument("--skip", action="append", default=[], help="entry name left out directly below DIR")
    p.add_argument("--no-mtime", action="store_true")
    p.add_argument("--dir-mtime", action="store_true")
    p.add_argument("--paths", action="store_true")
    args = ap.parse_args()
    out = snapshot(args.dir, args.skip, not args.no_mtime, args.dir_mtime, args.paths)
    sys.stdout.write("".join(line + "\n" for line in out))


if __name__ == "__main__":
    main()
