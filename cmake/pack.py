"""Packs the release zip: pack.py EPOCH ZIP TOPDIR FILE...

The same bytes from the same inputs wherever and whenever it runs: entries
in the order given, every time set to EPOCH, fixed modes, no owner and no
extra fields. Text files get CRLF line ends, for the Windows tools that read
them. A SHA256SUMS of the files goes in last, and one of the zip beside it.
"""
import hashlib
import os
import sys
import time
import zipfile


def entry(name, when, mode):
    info = zipfile.ZipInfo(name, date_time=when)
    info.compress_type = zipfile.ZIP_DEFLATED
    info.create_system = 3  # Unix, so the mode below means what it says
    info.external_attr = (0o100000 | mode) << 16
    return info


def crlf(data):
    return data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def main():
    epoch, zip_path, top, *files = sys.argv[1:]
    when = time.gmtime(int(epoch))[:6]
    when = max(when, (1980, 1, 1, 0, 0, 0))  # the earliest a zip can say
    sums = ""
    tmp = zip_path + ".part"
    with zipfile.ZipFile(tmp, "w") as z:
        for path in files:
            name = os.path.basename(path)
            data = open(path, "rb").read()
            mode = 0o755 if name.endswith(".exe") else 0o644
            if not name.endswith(".exe"):
                data = crlf(data)
            z.writestr(entry(f"{top}/{name}", when, mode), data, compresslevel=9)
            sums += f"{hashlib.sha256(data).hexdigest()}  {name}\n"
        z.writestr(entry(f"{top}/SHA256SUMS", when, 0o644), crlf(sums.encode()), compresslevel=9)
    os.replace(tmp, zip_path)
    digest = hashlib.sha256(open(zip_path, "rb").read()).hexdigest()
    with open(os.path.join(os.path.dirname(zip_path), "SHA256SUMS"), "w") as f:
        f.write(f"{digest}  {os.path.basename(zip_path)}\n")


main()
