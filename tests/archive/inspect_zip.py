#!/usr/bin/env python3
"""Lists a zip archive as JSON, read by Python's own zipfile module: an
independent reader for the archive tests."""
import hashlib
import json
import sys
import zipfile

entries = []
with zipfile.ZipFile(sys.argv[1]) as archive:
    bad = archive.testzip()
    for info in archive.infolist():
        data = archive.read(info)
        entries.append({
            "name": info.filename,
            "mode": info.external_attr >> 16,
            "date_time": list(info.date_time),
            "compress_type": info.compress_type,
            "utf8_flag": bool(info.flag_bits & 0x800),
            "size": info.file_size,
            "sha256": hashlib.sha256(data).hexdigest(),
            "content": data.decode("utf-8", "replace") if len(data) < 256 else None,
        })
print(json.dumps({"bad": bad, "entries": entries}))
