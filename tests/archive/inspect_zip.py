#!/usr/bin/env python3
"""Lists a zip archive as JSON, read by Python's own zipfile module: an
independent reader for the archive tests. With a folder as second argument,
also lists the entries whose data differ from that folder's files (a link's
data is its target) and the folder's items that have no entry."""
import json
import os
import sys
import zipfile

entries = []
differ = []
with zipfile.ZipFile(sys.argv[1]) as archive:
    bad = archive.testzip()
    for info in archive.infolist():
        data = archive.read(info)
        # A name without the UTF-8 flag was decoded as CP437: its stored bytes.
        raw = info.orig_filename.encode("utf-8" if info.flag_bits & 0x800 else "cp437")
        entries.append({
            "name": info.filename,
            "name_hex": raw.hex(),
            "mode": info.external_attr >> 16,
            "date_time": list(info.date_time),
            "compress_type": info.compress_type,
            "utf8_flag": bool(info.flag_bits & 0x800),
            "size": info.file_size,
            "content": data.decode("utf-8", "replace") if len(data) < 256 else None,
        })
        if len(sys.argv) > 2 and not raw.endswith(b"/"):
            path = os.path.join(os.fsencode(sys.argv[2]), raw)
            source = os.readlink(path) if os.path.islink(path) else open(path, "rb").read()
            if source != data:
                differ.append(info.filename)
    missing = []
    if len(sys.argv) > 2:
        names = {bytes.fromhex(e["name_hex"]) for e in entries}
        for top, dirs, files in os.walk(os.fsencode(sys.argv[2])):
            for name in dirs + files:
                relative = os.path.relpath(os.path.join(top, name), os.fsencode(sys.argv[2]))
                if relative not in names and relative + b"/" not in names:
                    missing.append(relative.decode("utf-8", "replace"))
print(json.dumps({"bad": bad, "entries": entries, "differ": differ, "missing": missing}))
