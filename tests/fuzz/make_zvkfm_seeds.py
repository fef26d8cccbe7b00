#!/usr/bin/env python3
"""Writes the seed corpus of the zvkfm fuzz driver into zvkfm/ beside this
script: small volumes (blank, freshly formatted, with a tree of files and
subdirectories, damaged) each paired with typical command scripts."""
import os
import struct

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "zvkfm")


def be16(v): return struct.pack(">H", v & 0xFFFF)
def be32(v): return struct.pack(">I", v & 0xFFFFFFFF)


class Image:
    def __init__(self, total, blocks=None):
        self.total = total
        self.blocks = blocks if blocks is not None else total
        self.data = bytearray(self.blocks * 512)

    def put(self, off, b):
        self.data[off:off + len(b)] = b

    def fat(self, n, v):
        off = (n // 170 + 5) * 512 + (n % 170) * 3
        self.data[off:off + 3] = struct.pack(">I", v)[1:]

    def entry(self, dir_block, i, typ, name, size, cont, start, chained=False):
        # dir_block: first block of the directory; entries past 512 bytes
        # lie in its second block (root: block 4; subdirectory: start + 1)
        off = i * 26
        blk = dir_block + (1 if off >= 512 else 0)
        off = blk * 512 + (off - 512 if off >= 512 else off)
        e = bytearray(26)
        e[1] = typ
        e[2:14] = name.upper().ljust(12)[:12].encode()
        e[14:16] = be16(size)
        e[16:18] = be16(cont)
        e[18:22] = be32(start)
        self.put(off, e)

    def dir_sig(self, first):
        self.put((first + 1) * 512 + 510, b"DR")


def formatted(total, sectors=4, heads=2, cyl=8):
    im = Image(total)
    d = bytearray(512)
    d[4:6] = be16(sectors)
    d[6:8] = be16(heads)
    d[8:10] = be16(cyl)
    d[10:14] = be32(512)
    d[14:18] = be32(total)
    d[31:38] = b"FUZZ   "
    d[38:40] = b"OS"
    im.put(512, d)
    ds = (total - 1) // 170 + 6
    o = bytearray(512)
    o[0:4] = be32(total - ds)
    o[28:30] = b"ID"
    im.put(1024, o)
    for k in range((total - 1) // 170 + 1):
        im.put((k + 5) * 512 + 510, b"FB")
    im.dir_sig(3)
    return im, ds


def tree(total=64):
    im, ds = formatted(total)
    used = 0
    # root: 0 OS file (2 blocks), 1 file (3 blocks), 2 subdir, 3 link of 1
    os_start = ds
    im.fat(os_start, os_start + 1); im.fat(os_start + 1, 1)
    im.entry(3, 0, 32, "osfile", 2, 2, os_start)
    f = ds + 2
    im.fat(f, f + 1); im.fat(f + 1, f + 2); im.fat(f + 2, 1)
    im.entry(3, 1, 3, "piano", 3, 3, f)
    sub = ds + 5
    im.fat(sub, sub + 1); im.fat(sub + 1, 1)
    im.entry(3, 2, 2, "sub", 2, 2, sub)
    im.entry(3, 3, 3, "piano", 3, 3, f)
    # subdirectory: parent link, a file, a sub-subdirectory
    im.entry(sub, 0, 8, "root", 0, 2, 3)
    g = ds + 7
    im.fat(g, 1)
    im.entry(sub, 1, 9, "macro", 1, 1, g)
    sub2 = ds + 8
    im.fat(sub2, sub2 + 1); im.fat(sub2 + 1, 1)
    im.entry(sub, 2, 2, "deeper", 0, 2, sub2)
    im.dir_sig(sub)
    im.entry(sub2, 0, 8, "sub", 0, 2, sub)
    im.dir_sig(sub2)
    used = 10
    im.put(1024, be32(total - ds - used))
    return im


def damaged():
    im = tree()
    ds = (im.total - 1) // 170 + 6
    im.fat(ds + 2, ds + 2)        # the 3-block file loops on itself
    im.fat(ds + 7, 0)             # macro runs into a free block
    im.entry(3, 5, 31, "odd", 4, 1, 900)   # first block beyond the volume
    im.entry(3, 6, 2, "baddir", 2, 2, ds + 20)  # subdirectory over free blocks
    im.put(1024, be32(12345))     # wrong free counter
    return im


def pack(im, script, keep_blocks=None):
    keep = keep_blocks if keep_blocks is not None else im.blocks
    data = bytes(im.data[:keep * 512]).rstrip(b"\0")
    return be16(im.blocks) + be16(len(data)) + data + script.encode()


SCRIPTS = {
    "listing": "ls\nls -t\ndir\npwd\nlabel\ndf\nfatlist 0\nfatlist 1\nfatlist 2\nfatlist 5\nhelp\n",
    "navigate": "cd 2\npwd\nls\nfatlist 0\ncd 2\npwd\ncd ..\ncd ..\ncd 39\ncd -1\ncd\nexit\n",
    "dirops": "mkdir new\ncd 4\nmkdir inner\nls\ncd ..\nchname renamed 4\nchtype 300 1\nchtype 258 1\n"
               "ln 1\ny\nrm -e 3\ny\nmv 1 2\ncd 2\nmv 3 0\ncd\nrmdir 4\nrm 1\ndel 3\nsync\nq\n",
    "transfer": "put a 3\nput b bee 9\nput e 3\nput a 2\nloados os system\ncp 1 copy\ncopy 0 osbak\n"
                "get 1 out1\nsave 2 out2\nexport 0 out3\nimport a x 31\nload b 259\nls\ndf -c\nbye\n",
    "format": "chlabel\ny\n4\n2\n8\n\nmydisk\ny\nnewfs\ny\nls\ndf\nchlabel sampler\nlabel\nnewfs\nn\n",
    "usage": "ls -x\nrm -x 5\nrm\nmv 1\ncp 1\nget\nput\nput a b c d\nloados a\nchlabel a b\nnewfs x\n"
             "fatlist\ncd 1 2\ndf -x\nEXIT\n   \n\t\nmkdir\nrmdir\nchname x\nchtype 1\nln\n",
}


def main():
    os.makedirs(OUT, exist_ok=True)
    blank = Image(0, 64)
    fresh, _ = formatted(64)
    vols = {"blank": blank, "fresh": fresh, "tree": tree(), "damaged": damaged(),
            "big": formatted(360)[0]}
    for vname, im in vols.items():
        for sname, script in SCRIPTS.items():
            if vname == "blank" and sname not in ("format", "usage", "listing"):
                continue
            with open(os.path.join(OUT, f"{vname}-{sname}"), "wb") as f:
                f.write(pack(im, script))
    # A total far beyond the image, and one of 3 blocks.
    im, _ = formatted(64)
    im.put(512 + 14, be32(0x7FFFFFFF))
    with open(os.path.join(OUT, "huge-total"), "wb") as f:
        f.write(pack(im, SCRIPTS["listing"] + "newfs\ny\n"))
    with open(os.path.join(OUT, "short-file"), "wb") as f:
        f.write(be16(3) + be16(0) + b"ls\n")


if __name__ == "__main__":
    main()
