"""Unpacks an sdist into a folder kept between builds, touching only what changed.

usage: python tools/unpack_sdist.py SDIST FOLDER

The sdist's members all carry one fixed time (it is reproducible), so a plain
extraction over an earlier one would leave an edited file looking older than
the objects built from it, and an incremental build would skip it. Here a file
is written only when its bytes differ from the folder's copy (it then gets the
current time, newer than any object), and files the sdist no longer has are
removed. Prints the folder holding the project, the sdist's single top folder.
"""
import os
import sys
import tarfile


def main(sdist, folder):
    os.makedirs(folder, exist_ok=True)
    kept = set()
    with tarfile.open(sdist) as tar:
        tops = {m.name.split("/", 1)[0] for m in tar.getmembers()}
        if len(tops) != 1:
            sys.exit("unpack_sdist.py: %s has %d top folders, not one" % (sdist, len(tops)))
        for member in tar.getmembers():
            if not member.isfile():
                continue
            parts = member.name.split("/")
            if member.name.startswith("/") or ".." in parts:
                sys.exit("unpack_sdist.py: %s names a path outside its folder: %s" % (sdist, member.name))
            path = os.path.join(folder, *parts)
            kept.add(os.path.normpath(path))
            data = tar.extractfile(member).read()
            try:
                with open(path, "rb") as f:
                    if f.read() == data:
                        continue
            except FileNotFoundError:
                os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
            os.chmod(path, member.mode & 0o777)
    for root, _, files in os.walk(folder):
        for name in files:
            path = os.path.normpath(os.path.join(root, name))
            if path not in kept:
                os.remove(path)
    print(os.path.join(folder, tops.pop()))


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
