#!/usr/bin/env python3
"""Reads a kvcs folder storage without any of kvcs's own code, to check what kvcs wrote.

It knows the layout (projects/OWNER/NAME/N.gz, files/X/X/X/X/<54 characters><size>), decodes
version files (a gzip stream: "KVCS", time, command count, commands) and stored contents (a
method byte, then gzip or raw bytes), recomputes every identity (Keccak-256 with the original
0x01 padding, then the CRC-32 in little-endian order) and can rebuild any version into a folder.

  read_storage.py layout STORAGE [--leftovers] check the layout; print a summary as JSON
  read_storage.py check STORAGE [--leftovers]  layout, every version file and every blob
  read_storage.py version FILE                 print a version file as JSON lines
  read_storage.py blob FILE                    write the decoded content of a blob to stdout
  read_storage.py extract STORAGE PROJECT N OUT [--prefix P]
                                               rebuild version N of PROJECT into the folder OUT

--leftovers accepts (and counts) the "NAME.partial-N" files that a copy killed midway leaves
beside the stored names. Exit code 0 when everything read is consistent, 1 with a message on standard error otherwise.
"""

import argparse
import json
import os
import re
import struct
import sys
import zlib

# Two values share the character '0' and 'V' is never written; stored names rely on this.
ALPHABET = "01234567890ABCDEFGHXJKYMNWPQRSTUV"
RAW_EXTENSIONS = {
    ".zip", ".rar", ".7z", ".gz", ".tgz", ".arj", ".lha", ".ha", ".jpg", ".jpeg", ".png", ".gif",
    ".avi", ".mp4", ".mkv", ".mka", ".3gp", ".divx", ".flv", ".vob", ".mpeg", ".mov", ".webm",
    ".wmv", ".mp3", ".ogg", ".aac", ".flac",
}
NAME_RE = re.compile(rb"[a-zA-Z0-9_@$\-]+/[a-zA-Z0-9_@$\-]+")
CHAR = "[" + "".join(sorted(set(ALPHABET[:32]))) + "]"
BLOB_RE = re.compile(f"({CHAR})/({CHAR})/({CHAR})/({CHAR})/({CHAR}{{54}})([0-9]+)")

# Contents above this size get their CRC-32 checked but not their Keccak digest, which is slow
# in pure Python; KVCS_READER_KECCAK_LIMIT overrides it.
KECCAK_LIMIT = int(os.environ.get("KVCS_READER_KECCAK_LIMIT", str(2 << 20)))


class Bad(Exception):
    """A storage that does not hold what kvcs should have written."""


# --- Keccak-256, the original submission's padding (not SHA3-256) -------------------------------

_RC = [
    0x0000000000000001, 0x0000000000008082, 0x800000000000808A, 0x8000000080008000,
    0x000000000000808B, 0x0000000080000001, 0x8000000080008081, 0x8000000000008009,
    0x000000000000008A, 0x0000000000000088, 0x0000000080008009, 0x000000008000000A,
    0x000000008000808B, 0x800000000000008B, 0x8000000000008089, 0x8000000000008003,
    0x8000000000008002, 0x8000000000000080, 0x000000000000800A, 0x800000008000000A,
    0x8000000080008081, 0x8000000000008080, 0x0000000080000001, 0x8000000080008008,
]
_ROT = [
    [0, 36, 3, 41, 18], [1, 44, 10, 45, 2], [62, 6, 43, 15, 61], [28, 55, 25, 21, 56],
    [27, 20, 39, 8, 14],
]
_MASK = (1 << 64) - 1


# Rho and pi as one table: lane i of the state moves to lane _PI[i] rotated by _RHO[i].
_PI = [y + 5 * ((2 * x + 3 * y) % 5) for y in range(5) for x in range(5)]
_RHO = [_ROT[x][y] for y in range(5) for x in range(5)]
_CHI = [((i % 5 + 1) % 5 + 5 * (i // 5), (i % 5 + 2) % 5 + 5 * (i // 5)) for i in range(25)]


def _keccak_f(a):
    """a: 25 lanes, index x + 5 * y."""
    for rc in _RC:
        c0 = a[0] ^ a[5] ^ a[10] ^ a[15] ^ a[20]
        c1 = a[1] ^ a[6] ^ a[11] ^ a[16] ^ a[21]
        c2 = a[2] ^ a[7] ^ a[12] ^ a[17] ^ a[22]
        c3 = a[3] ^ a[8] ^ a[13] ^ a[18] ^ a[23]
        c4 = a[4] ^ a[9] ^ a[14] ^ a[19] ^ a[24]
        c = (c0, c1, c2, c3, c4)
        d = [c[(x - 1) % 5] ^ (((c[(x + 1) % 5] << 1) | (c[(x + 1) % 5] >> 63)) & _MASK)
             for x in range(5)]
        b = [0] * 25
        for i in range(25):
            v = a[i] ^ d[i % 5]
            n = _RHO[i]
            b[_PI[i]] = ((v << n) | (v >> (64 - n))) & _MASK if n else v
        a = [b[i] ^ (~b[j] & b[k]) for i, (j, k) in enumerate(_CHI)]
        a[0] ^= rc
    return a


def keccak256(data):
    rate = 136
    padded = bytearray(data)
    padded.append(0x01)
    padded.extend(b"\0" * ((-len(padded)) % rate))
    padded[-1] |= 0x80
    lanes = [0] * 25
    for off in range(0, len(padded), rate):
        words = struct.unpack_from("<17Q", padded, off)
        for i in range(17):
            lanes[i] ^= words[i]
        lanes = _keccak_f(lanes)
    return struct.pack("<4Q", *lanes[:4])


def base32_text(data):
    text, acc, bits, i = [], 0, 0, 0
    while i < len(data):
        if bits < 5:
            acc = (acc | (data[i] << bits)) & 0xFFFF
            i += 1
            bits += 8
        for _ in range(bits // 5):
            text.append(ALPHABET[acc & 31])
            acc >>= 5
            bits -= 5
    if bits > 0:
        text.append(ALPHABET[acc])
    return "".join(text)


def storage_name(identity, size):
    text = base32_text(identity)
    return "files/" + "/".join(text[:4]) + "/" + text[4:] + str(size)


def extension(name):
    """The lower-cased extension of the last element of a stored path, '.' included."""
    base = name.rsplit(b"/", 1)[-1]
    if base in (b".", b".."):
        return ""
    dot = base.rfind(b".")
    if dot <= 0:
        return ""
    return base[dot:].decode("utf-8", "replace").lower()


# --- version files ----------------------------------------------------------------------------

def read_version(path):
    """Decodes one version file; returns (stored time, [commands]) where a command is a dict."""
    with open(path, "rb") as f:
        raw = f.read()
    # One gzip stream and nothing behind it: the writer never appends a second member.
    d = zlib.decompressobj(31)
    try:
        body = d.decompress(raw) + d.flush()
    except zlib.error as e:
        raise Bad(f"{path}: not a gzip stream ({e})")
    if not d.eof:
        raise Bad(f"{path}: the gzip stream is cut short")
    if d.unused_data:
        raise Bad(f"{path}: {len(d.unused_data)} bytes follow the gzip stream")
    if len(body) < 16 or body[:4] != b"KVCS":
        raise Bad(f"{path}: no KVCS header")
    stored_time, count = struct.unpack_from("<QI", body, 4)
    pos, commands = 16, []

    def need(n):
        if pos + n > len(body):
            raise Bad(f"{path}: command {len(commands) + 1} of {count} is cut short")

    for _ in range(count):
        need(1)
        ctype = chr(body[pos])
        pos += 1
        end = body.find(b"\0", pos)
        if end < 0:
            raise Bad(f"{path}: a path without its 0 byte")
        cpath = body[pos:end]
        pos = end + 1
        if ctype not in "AR":
            raise Bad(f"{path}: command type {ctype!r}")
        cmd = {"type": ctype, "path": cpath}
        if ctype == "A":
            need(1)
            kind = chr(body[pos])
            pos += 1
            cmd["kind"] = kind
            if kind == "F":
                need(52)
                size, mtime = struct.unpack_from("<Qq", body, pos)
                cmd.update(size=size, time=mtime, identity=body[pos + 16:pos + 52])
                pos += 52
            elif kind == "L":
                end = body.find(b"\0", pos)
                if end < 0:
                    raise Bad(f"{path}: a link target without its 0 byte")
                cmd["target"] = body[pos:end]
                pos = end + 1
            elif kind != "D":
                raise Bad(f"{path}: item type {kind!r}")
        commands.append(cmd)
    if pos != len(body):
        raise Bad(f"{path}: {len(body) - pos} bytes after the last command")
    return stored_time, commands


def command_json(cmd):
    out = {"type": cmd["type"], "path": cmd["path"].decode("utf-8", "surrogateescape")}
    if "kind" in cmd:
        out["kind"] = cmd["kind"]
    for key in ("size", "time"):
        if key in cmd:
            out[key] = cmd[key]
    if "identity" in cmd:
        out["identity"] = cmd["identity"].hex()
        out["blob"] = storage_name(cmd["identity"], cmd["size"])
    if "target" in cmd:
        out["target"] = cmd["target"].decode("utf-8", "surrogateescape")
    return out


# --- blobs ------------------------------------------------------------------------------------

def read_blob(path):
    """Returns (method, content) of one stored content."""
    with open(path, "rb") as f:
        raw = f.read()
    if not raw:
        raise Bad(f"{path}: empty blob (no method byte)")
    method = raw[0]
    if method == 0:
        return 0, raw[1:]
    if method != 1:
        raise Bad(f"{path}: method byte {method}")
    d = zlib.decompressobj(31)
    try:
        content = d.decompress(raw[1:]) + d.flush()
    except zlib.error as e:
        raise Bad(f"{path}: broken gzip content ({e})")
    if not d.eof or d.unused_data:
        raise Bad(f"{path}: the gzip content is cut short or followed by other bytes")
    return 1, content


def check_blob(storage, cmd, checked):
    """Checks the blob of one file command: name, method rule, size and identity."""
    name = storage_name(cmd["identity"], cmd["size"])
    if name in checked:
        return checked[name]
    path = os.path.join(storage, name)
    if not os.path.isfile(path):
        raise Bad(f"blob {name} of {cmd['path']!r} is missing")
    method, content = read_blob(path)
    size = cmd["size"]
    stored = os.path.getsize(path)
    if len(content) != size:
        raise Bad(f"blob {name}: {len(content)} bytes, the version says {size}")
    ident = cmd["identity"]
    if struct.pack("<I", zlib.crc32(content)) != ident[32:]:
        raise Bad(f"blob {name}: the CRC-32 does not match the identity")
    if size <= KECCAK_LIMIT and keccak256(content) != ident[:32]:
        raise Bad(f"blob {name}: the Keccak-256 digest does not match the identity")
    ext = extension(cmd["path"])
    if ext in RAW_EXTENSIONS and method != 0:
        raise Bad(f"blob {name} of {cmd['path']!r}: deflated despite its extension {ext}")
    if method == 1 and not stored + 1 < size:
        raise Bad(f"blob {name}: deflated to {stored} bytes for {size}, which does not pay")
    if method == 0 and ext not in RAW_EXTENSIONS:
        # Stored raw although deflating was tried: deflating must not have paid.
        c = zlib.compressobj(9, zlib.DEFLATED, 31, 8)
        packed = 1 + len(c.compress(content) + c.flush())
        if packed + 1 < size:
            raise Bad(f"blob {name} of {cmd['path']!r}: stored raw though deflate gives {packed}")
    if method == 0 and stored != 1 + size:
        raise Bad(f"blob {name}: raw blob of {stored} bytes for {size}")
    checked[name] = content
    return content


# --- the storage as a whole -------------------------------------------------------------------

LEFTOVER_RE = re.compile(r"(.+)\.partial-[0-9]+")


def layout(storage, leftovers=None):
    """Checks the folder layout; returns {project: last version} and the set of blob names.
    With a list as leftovers, files cut short by a kill are put there instead of failing."""

    def leftover(rel):
        if leftovers is not None and LEFTOVER_RE.fullmatch(rel):
            leftovers.append(rel)
            return True
        return False

    top = sorted(os.listdir(storage))
    extra = [n for n in top if n not in ("projects", "files")]
    if extra:
        raise Bad(f"unexpected entries at the top of the storage: {extra}")
    projects = {}
    pdir = os.path.join(storage, "projects")
    if os.path.isdir(pdir):
        for owner in sorted(os.listdir(pdir)):
            for name in sorted(os.listdir(os.path.join(pdir, owner))):
                project = f"{owner}/{name}"
                if not NAME_RE.fullmatch(project.encode()):
                    raise Bad(f"project folder {project} is not an owner/name")
                files = os.listdir(os.path.join(pdir, owner, name))
                numbers = []
                for f in files:
                    if leftover(f"projects/{project}/{f}"):
                        continue
                    m = re.fullmatch(r"([1-9][0-9]*)\.gz", f)
                    if not m or not os.path.isfile(os.path.join(pdir, owner, name, f)):
                        raise Bad(f"unexpected entry projects/{project}/{f}")
                    numbers.append(int(m.group(1)))
                numbers.sort()
                if numbers != list(range(1, len(numbers) + 1)):
                    raise Bad(f"versions of {project} are not 1..N: {numbers}")
                projects[project] = len(numbers)
    blobs = set()
    fdir = os.path.join(storage, "files")
    if os.path.isdir(fdir):
        for dirpath, dirnames, filenames in os.walk(fdir):
            rel = os.path.relpath(dirpath, storage)
            depth = rel.count("/")
            if depth < 4 and filenames:
                raise Bad(f"files stored above the fourth folder level: {rel}/{filenames[0]}")
            if depth == 4 and dirnames:
                raise Bad(f"folders inside the fourth level: {rel}/{dirnames[0]}")
            for d in dirnames:
                if not re.fullmatch(CHAR, d):
                    raise Bad(f"folder {rel}/{d} is not one character of the alphabet")
            for f in filenames:
                name = f"{rel}/{f}"
                if leftover(name):
                    continue
                if not BLOB_RE.fullmatch(name[len("files/"):]):
                    raise Bad(f"{name} is not a blob name")
                blobs.add(name)
    return projects, blobs


def versions_of(storage, project):
    base = os.path.join(storage, "projects", project)
    n = 0
    while os.path.isfile(os.path.join(base, f"{n + 1}.gz")):
        n += 1
    return n


def replay(storage, project, nn, prefix=b""):
    """The state of version nn: {path: command that added it}."""
    flt = prefix + b"/" if prefix else b""
    state = {}
    for i in range(1, nn + 1):
        path = os.path.join(storage, "projects", project, f"{i}.gz")
        if not os.path.isfile(path):
            raise Bad(f"version {i} of {project} is missing")
        _, commands = read_version(path)
        for cmd in commands:
            if not cmd["path"].startswith(flt):
                continue
            if cmd["type"] == "A":
                state.setdefault(cmd["path"], cmd)
            else:
                state.pop(cmd["path"], None)
    return state


def leftover_list(args):
    return [] if args.leftovers else None


def cmd_layout(args):
    left = leftover_list(args)
    projects, blobs = layout(args.storage, left)
    out = {"projects": projects, "blobs": len(blobs)}
    if left is not None:
        out["leftovers"] = len(left)
    print(json.dumps(out, sort_keys=True))


def cmd_check(args):
    left = leftover_list(args)
    projects, blobs = layout(args.storage, left)
    checked, referenced = {}, set()
    for project, last in projects.items():
        state = {}
        for i in range(1, last + 1):
            _, commands = read_version(os.path.join(args.storage, "projects", project, f"{i}.gz"))
            for cmd in commands:
                p = cmd["path"]
                if cmd["type"] == "R":
                    if p not in state:
                        raise Bad(f"{project} version {i} removes {p!r}, which is not there")
                    del state[p]
                else:
                    if p in state:
                        raise Bad(f"{project} version {i} adds {p!r} without removing it first")
                    state[p] = cmd
                    if cmd["kind"] == "F":
                        check_blob(args.storage, cmd, checked)
                        referenced.add(storage_name(cmd["identity"], cmd["size"]))
    out = {"projects": projects, "blobs": len(blobs), "referenced": len(referenced),
           "unreferenced": len(blobs - referenced)}
    if left is not None:
        out["leftovers"] = len(left)
    print(json.dumps(out, sort_keys=True))


def cmd_version(args):
    stored_time, commands = read_version(args.file)
    print(json.dumps({"time": stored_time, "count": len(commands)}))
    for cmd in commands:
        print(json.dumps(command_json(cmd), ensure_ascii=False, sort_keys=True))


def cmd_blob(args):
    method, content = read_blob(args.file)
    print(f"method {method}, {len(content)} bytes", file=sys.stderr)
    sys.stdout.buffer.write(content)


def cmd_extract(args):
    nn = args.nn if args.nn > 0 else versions_of(args.storage, args.project) + args.nn
    state = replay(args.storage, args.project, nn, os.fsencode(args.prefix))
    out = os.fsencode(args.out)
    checked = {}
    links = []
    for path in sorted(state):
        cmd = state[path]
        local = os.path.join(out, path)
        if cmd["kind"] == "D":
            os.makedirs(local, exist_ok=True)
        elif cmd["kind"] == "F":
            content = check_blob(args.storage, cmd, checked)
            os.makedirs(os.path.dirname(local), exist_ok=True)
            with open(local, "wb") as f:
                f.write(content)
            os.utime(local, ns=(cmd["time"] * 10**9, cmd["time"] * 10**9))
        else:
            links.append((local, os.path.join(out, cmd["target"])))
    for local, target in links:
        os.symlink(target, local)
    print(json.dumps({"version": nn, "entries": len(state)}))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = ap.add_subparsers(dest="what", required=True)
    p = sub.add_parser("layout")
    p.add_argument("storage")
    p.add_argument("--leftovers", action="store_true")
    p.set_defaults(run=cmd_layout)
    p = sub.add_parser("check")
    p.add_argument("storage")
    p.add_argument("--leftovers", action="store_true")
    p.set_defaults(run=cmd_check)
    p = sub.add_parser("version")
    p.add_argument("file")
    p.set_defaults(run=cmd_version)
    p = sub.add_parser("blob")
    p.add_argument("file")
    p.set_defaults(run=cmd_blob)
    p = sub.add_parser("extract")
    p.add_argument("storage")
    p.add_argument("project")
    p.add_argument("nn", type=int, help="version; 0 or less counts back from the last")
    p.add_argument("out")
    p.add_argument("--prefix", default="")
    p.set_defaults(run=cmd_extract)
    args = ap.parse_args()
    try:
        args.run(args)
    except Bad as e:
        print(f"read_storage: {e}", file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
