#!/usr/bin/env python3
"""Writes the seed corpus of the zvkfsck fuzz driver into zvkfsck/ beside
this script: the small volumes of the zvkfm seeds (healthy and damaged) and
one volume for each kind of damage the checker repairs."""
import os

from make_zvkfm_seeds import be16, be32, damaged, formatted, tree

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "zvkfsck")


def pack(im):
    data = bytes(im.data[:im.blocks * 512]).rstrip(b"\0")
    return be16(im.blocks) + be16(len(data)) + data


def variant(change):
    im = tree()
    ds = (im.total - 1) // 170 + 6
    change(im, ds)
    return im


# tree(): os file ds, ds+1; piano ds+2..ds+4 (also linked as entry 3);
# sub ds+5, ds+6 { macro ds+7, deeper ds+8, ds+9 }
VARIANTS = {
    "leaked": lambda im, ds: (im.fat(ds + 20, ds + 22), im.fat(ds + 22, 1)),
    "counter": lambda im, ds: im.put(1024, be32(3)),
    "count": lambda im, ds: im.entry(3, 2, 2, "sub", 9, 2, ds + 5),
    "two-places": lambda im, ds: im.entry(3, 6, 2, "deeper", 0, 2, ds + 8),
    "first-free": lambda im, ds: im.entry(3, 7, 3, "residue", 3, 3, ds + 30),
    "mid-free": lambda im, ds: im.fat(ds + 3, 0),
    "loop": lambda im, ds: im.fat(ds + 4, ds + 2),
    "bad": lambda im, ds: im.fat(ds + 3, 2),
    "shared": lambda im, ds: (im.fat(ds + 7, ds + 3),),
    "cycle": lambda im, ds: im.entry(ds + 8, 1, 2, "back", 0, 2, ds + 5),
    "misplaced-link": lambda im, ds: im.entry(3, 8, 8, "up", 0, 1, 3),
    "dir-free": lambda im, ds: im.fat(ds + 5, 0),
    "lost-dir": lambda im, ds: im.entry(3, 2, 0, "sub", 2, 2, ds + 5),
    "parent-link": lambda im, ds: im.entry(ds + 5, 0, 8, "root", 0, 17, 3),
}


def main():
    os.makedirs(OUT, exist_ok=True)
    vols = {"fresh": formatted(64)[0], "tree": tree(), "damaged": damaged(), "big": formatted(360)[0]}
    for name, change in VARIANTS.items():
        vols[name] = variant(change)
    for name, im in vols.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(pack(im))


if __name__ == "__main__":
    main()
