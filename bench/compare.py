#!/usr/bin/env python3
"""Checks that a copied tree matches its original: the same folders and files, and for every
file the same content, mode and modification time (to the nanosecond). Folder times are not
compared: the copies do not keep them. With --no-content only sizes, modes and times are
compared (a quick look between runs of a tree already checked whole). Exit status 0 when they
match."""
import os
import stat
import sys

CHUNK = 4 << 20


def listing(root):
    folders, files = set(), {}
    for here, dirs, names in os.walk(root):
        rel = os.path.relpath(here, root)
        folders.update(os.path.normpath(os.path.join(rel, d)) for d in dirs)
        for name in names:
            files[os.path.normpath(os.path.join(rel, name))] = os.lstat(os.path.join(here, name))
    return folders, files


def same_content(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x, y = fa.read(CHUNK), fb.read(CHUNK)
            if x != y:
                return False
            if not x:
                return True


def compare(original, copy, content=True):
    problems = []
    folders_a, files_a = listing(original)
    folders_b, files_b = listing(copy)
    for missing in sorted(folders_a - folders_b):
        problems.append(f"folder missing: {missing}")
    for extra in sorted(set(files_b) - set(files_a)):
        problems.append(f"extra file: {extra}")
    for rel, st in sorted(files_a.items()):
        other = files_b.get(rel)
        if other is None:
            problems.append(f"file missing: {rel}")
        elif stat.S_IMODE(st.st_mode) != stat.S_IMODE(other.st_mode):
            problems.append(f"mode {oct(st.st_mode)} != {oct(other.st_mode)}: {rel}")
        elif st.st_mtime_ns != other.st_mtime_ns:
            problems.append(f"mtime {st.st_mtime_ns} != {other.st_mtime_ns}: {rel}")
        elif st.st_size != other.st_size or content and not same_content(
                os.path.join(original, rel), os.path.join(copy, rel)):
            problems.append(f"content differs: {rel}")
    return problems, len(files_a)


def main():
    args = sys.argv[1:]
    content = "--no-content" not in args
    args = [a for a in args if a != "--no-content"]
    if len(args) != 2:
        sys.exit("usage: compare.py [--no-content] ORIGINAL COPY")
    problems, count = compare(args[0], args[1], content)
    for line in problems[:20]:
        print("compare:", line)
    if problems:
        print(f"compare: {len(problems)} differences in {count} files")
        sys.exit(1)


if __name__ == "__main__":
    main()
