#!/usr/bin/env python3
"""Lists a zip archive as JSON, read by Python's own zipfile module: an
independent reader for the archive tests. Entries are keyed by their stored
name, bytes that are not UTF-8 written as \\xNN. With a folder as second
argument, also lists the entries whose data differ from that folder's files
(a link's data is its target) and the folder's items that have no entry."""
import json
import os
import sys
import zipfile

folder = os.fsencode(sys.argv[2]) if len(sys.argv) > 2 else None
entries, differ, stored = {}, [], set()
with zipfile.ZipFile(sys.argv[1]) as archive:
    bad = archive.testzip()
    for info in archive.infolist():
        data = archive.read(info)
        # A name without the UTF-8 flag was decoded as CP437: its stored bytes.
        raw = info.orig_filename.encode("utf-8" if info.flag_bits & 0x800 else "cp437")
        name = raw.decode("utf-8", "backslashreplace")
        if name in entries:
            differ.append(name + " (twice)")
        stored.add(raw.rstrip(b"/"))
        entries[name] = {"mode": info.external_attr >> 16, "date_time": list(info.date_time),
                         "compress_type": info.compress_type, "utf8_flag": bool(info.flag_bits & 0x800),
                         "size": info.file_size, "compress_size": info.compress_size, "content": data.decode("utf-8", "replace") if len(data) < 256 else None}
        if folder and not raw.endswith(b"/"):
            path = os.path.join(folder, raw)
            source = os.readlink(path) if os.path.islink(path) else open(path, "rb").read()
            if source != data:
                differ.append(name)
missing = []
for top, dirs, files in os.walk(folder) if folder else []:
    for item in dirs + files:
        relative = os.path.relpath(os.path.join(top, item), folder)
        if relative not in stored:
            missing.append(relative.decode("utf-8", "backslashreplace"))
print(json.dumps({"bad": bad, "entries": entries, "differ": differ, "missing": missing}))
