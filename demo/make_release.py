#!/usr/bin/env python3
"""Writes the demo's sample release: the files a server offers below
vmrkxupdate/, under app/ and win/. The list that names them is written by
vmrkxupdate-listgen, as a maintainer would."""
import os
import sys
import time

FILES = {
    "app/vmrPlayer": b"#!/bin/sh\necho \"Vmr player 2.0 (demo) started $(date)\" >> \"$(dirname \"$0\")/player.log\"\n",
    "app/readme.txt": "Vmr播放器 演示版本 2.0\r\n".encode("utf-8"),
    "app/plugins/skins/blue.dat": bytes(range(256)) * 64,
    "app/皮肤/默认.dat": "默认皮肤".encode("utf-8"),
    "app/empty.dat": b"",
    # Sent slowly by the demo server, so that the download can be watched.
    "app/media/intro.slow.dat": bytes(range(256)) * 800,
    "win/system32/vmrcodec.dll": b"MZ" + b"\0" * 4094,
    # The next updater: left beside the running one as its side file.
    "app/vmrkxupdate": b"(the next version of the updater)\n",
}
# A fixed time, so that reruns produce the same list.
STAMP = time.mktime((2026, 11, 20, 9, 30, 15, 0, 0, -1))


def main(root):
    served = os.path.join(root, "vmrkxupdate")
    for location, data in FILES.items():
        path = os.path.join(served, *location.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.utime(path, (STAMP, STAMP))
    print(served)


if __name__ == "__main__":
    main(sys.argv[1])
