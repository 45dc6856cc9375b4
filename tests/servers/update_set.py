"""Writes update sets for tests, independently of the builder: packed files
(16-byte header of two little-endian doubles, then raw LZMA1 with its five
property bytes, or the content as it is) and the manifest."""
import hashlib
import json
import lzma
import os
import struct
import urllib.parse
import zlib

LZMA_PROPS = bytes([(2 * 5 + 0) * 9 + 3]) + struct.pack("<I", 1 << 23)  # lc3 lp0 pb2, 8 MiB


def pack(content, store=False):
    if not store and content:
        stream = lzma.compress(content, format=lzma.FORMAT_RAW,
                               filters=[{"id": lzma.FILTER_LZMA1, "preset": 5}])
        payload = LZMA_PROPS + stream
        if len(payload) <= len(content):
            return struct.pack("<dd", float(len(payload)), float(len(content))) + payload
    return struct.pack("<dd", 0.0, float(len(content))) + content


def pack_name(name, path):
    dot = name.rfind(".")
    if dot <= 0 or " " in name[dot:] or dot == len(name) - 1:
        base, ext = name, ""
    else:
        base, ext = name[:dot], name[dot + 1:]
    prefix = "{" + path.replace("\\", "") + "}" if path else ""
    return prefix + base + "[" + ext + "].uzf"


def signed(v):
    return v - (1 << 32) if v >= 1 << 31 else v


class UpdateSet:
    def __init__(self, site):
        self.site = site
        self.entries = {}
        os.makedirs(site, exist_ok=True)

    def add(self, path, name, content=b"", date=0, flags=0, type_="F", attrib=0x20, store=False,
            sha256=None):
        """sha256: True for the content's hash, a text for that text, None
        for none (a manifest of an older builder)."""
        entry = {"Version": "2.0", "VDate": date, "Path": path, "Name": name, "Pack": "",
                 "CRC": 0, "Date": date, "Size": len(content), "Type": type_,
                 "Attrib": attrib, "Flags": flags, "Update": 0}
        if type_ == "F" and flags != 4:
            packed = pack(content, store)
            entry["Pack"] = pack_name(name, path)
            entry["CRC"] = signed(zlib.crc32(packed))
            with open(os.path.join(self.site, entry["Pack"]), "wb") as f:
                f.write(packed)
            if sha256 is not None:
                entry["SHA256"] = hashlib.sha256(content).hexdigest() if sha256 is True else sha256
        self.entries[path + name] = entry
        return entry

    def corrupt(self, key):
        p = os.path.join(self.site, self.entries[key]["Pack"])
        with open(p, "r+b") as f:
            data = bytearray(f.read())
            data[len(data) // 2] ^= 1
            f.seek(0)
            f.write(data)

    def write_manifest(self, folder=None):
        text = json.dumps(self.entries, ensure_ascii=False, separators=(", ", ": "))
        with open(os.path.join(folder or self.site, "Quastorell.uif"), "wb") as f:
            f.write(text.encode("utf-8"))


def url_name(pack):
    return urllib.parse.quote(pack, safe="")
