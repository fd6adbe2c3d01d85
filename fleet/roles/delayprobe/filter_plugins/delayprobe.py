"""The file name a host's results go under, on the control machine."""

import hashlib
import re


def delayprobe_file_name(name):
    """An inventory name may hold anything, a slash or a semicolon among them;
    the name of its file keeps only what no shell, no option parser and no
    path can misread, and says by a hash of the whole name when it had to
    change it, so that two hosts never share a file. Long names are cut, as
    a file name has at most 255 bytes."""
    safe = re.sub(r"[^A-Za-z0-9._-]", "_", name)
    safe = re.sub(r"\A[.-]", "_", safe)[:100]
    if safe != name:
        safe += "-" + hashlib.sha256(name.encode("utf-8", "surrogateescape")).hexdigest()[:8]
    return safe


class FilterModule:
    def filters(self):
        return {"delayprobe_file_name": delayprobe_file_name}
