#!/usr/bin/env python3
"""Checks our keyed archives against an independent reading, and writes archives laid out the way
Apple's NSKeyedArchiver lays them out, for our reader to read.

  check-index FILE   FILE is a CacheIndex.bw2idx written by the library from the fixed sample below
  check-added FILE   FILE is a .Binwarden2.bw2added written by the library from the fixed sample below
  make-index FILE    writes an index archive in Apple's layout (zlib-compressed)
  make-added FILE    writes an added list in Apple's layout (zlib-compressed)
"""

import plistlib
import sys
import zlib

from plistlib import UID

# Keep in step with keyed_archive_interop_test.cpp.
INDEX_TABLE = [
    ("0F0E0D0C-0B0A-4908-8706-050403020100", "report.txt", 786000000.25),
    ("A1B2C3D4-E5F6-4789-8ABC-DEF012345678", "Ordner mit \u00dcmlaut", 786000001.5),
]
INDEX_FLAG = True
INDEX_SIZE = 2**63 + 5  # above INT64_MAX: must travel as a 16-byte integer
INDEX_CREATED = 786000000
INDEX_ADDED = 786000100
ADDED = [("0_Folder_12", 12.0), ("1234_a.txt_4", 786000000.5), ("9_caf\u00e9_1", -3.25)]


class AppleArchiver:
    """NSKeyedArchiver's object table: an object takes the next UID before its members are encoded,
    a class description is appended once, after the first object of that class; NSString and NSNumber
    values are stored inline and shared when equal (constant strings and tagged numbers)."""

    def __init__(self):
        self.objects = ["$null"]
        self.classes = {}
        self.scalars = {}

    def scalar(self, value):
        key = (type(value), value)
        if key not in self.scalars:
            self.objects.append(value)
            self.scalars[key] = len(self.objects) - 1
        return UID(self.scalars[key])

    def class_uid(self, chain):
        chain = tuple(chain)
        if chain not in self.classes:
            self.objects.append({"$classname": chain[0], "$classes": list(chain)})
            self.classes[chain] = len(self.objects) - 1
        return UID(self.classes[chain])

    def reserve(self):
        self.objects.append(None)
        return len(self.objects) - 1

    def dictionary(self, pairs, chain=("NSDictionary", "NSObject")):
        uid = self.reserve()
        keys = [self.encode(k) for k, _ in pairs]
        values = [self.encode(v) for _, v in pairs]
        self.objects[uid] = {"NS.keys": keys, "NS.objects": values, "$class": self.class_uid(chain)}
        return UID(uid)

    def obj(self, chain, fields):
        uid = self.reserve()
        members = {k: self.encode(v) for k, v in fields}
        members["$class"] = self.class_uid(chain)
        self.objects[uid] = members
        return UID(uid)

    def encode(self, value):
        if value is None:
            return UID(0)
        if isinstance(value, UID):
            return value
        if isinstance(value, (str, bool, int, float)):
            return self.scalar(value)
        return value(self)

    def archive(self, root):
        self.encode(root)
        return {"$version": 100000, "$archiver": "NSKeyedArchiver", "$top": {"root": UID(1)},
                "$objects": self.objects}


def index_root(a):
    table = lambda a: a.dictionary(
        [(name, lambda a, real=real, added=added: a.dictionary(
            [("BWCacheRealNameKey", real), ("BWCacheAddDateKey", added)])) for name, real, added in INDEX_TABLE])
    return a.obj(("BWCacheIndex", "NSObject"), [
        ("indexTableKey", table), ("permissionsRepairedKey", INDEX_FLAG), ("cacheSizeKey", INDEX_SIZE),
        ("cacheCreationKey", INDEX_CREATED), ("cacheAdditionKey", INDEX_ADDED)])


def added_root(a):
    return a.dictionary(ADDED, ("NSMutableDictionary", "NSDictionary", "NSObject"))


def strict(value):
    """A comparable form that keeps booleans, integers and reals apart."""
    if isinstance(value, dict):
        return {k: strict(v) for k, v in value.items()}
    if isinstance(value, list):
        return [strict(v) for v in value]
    if isinstance(value, UID):
        return ("uid", value.data)
    return (type(value).__name__, value)


def check(path, root):
    with open(path, "rb") as f:
        raw = zlib.decompress(f.read())
    if not raw.startswith(b"bplist00"):
        sys.exit("not a binary property list")
    ours = plistlib.loads(raw, fmt=plistlib.FMT_BINARY)
    expected = AppleArchiver().archive(root)
    for key in ("$version", "$archiver", "$top"):
        if strict(ours.get(key)) != strict(expected[key]):
            sys.exit(f"{key}: {ours.get(key)!r} != {expected[key]!r}")
    got, want = ours["$objects"], expected["$objects"]
    if len(got) != len(want):
        sys.exit(f"$objects has {len(got)} entries, expected {len(want)}:\n{got!r}\n{want!r}")
    for i, (g, w) in enumerate(zip(got, want)):
        if strict(g) != strict(w):
            sys.exit(f"$objects[{i}]: {g!r} != {w!r}")
    print(f"ok: {len(got)} objects")


def make(path, root):
    data = plistlib.dumps(AppleArchiver().archive(root), fmt=plistlib.FMT_BINARY)
    with open(path, "wb") as f:
        f.write(zlib.compress(data))


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    command, path = sys.argv[1:]
    roots = {"index": index_root, "added": added_root}
    action, kind = command.split("-", 1)
    if kind not in roots or action not in ("check", "make"):
        sys.exit(__doc__)
    (check if action == "check" else make)(path, roots[kind])


if __name__ == "__main__":
    main()
