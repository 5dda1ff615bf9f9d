#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets (tests/fuzz/corpus/<target>/).

The binary targets get a few inputs made with a fixed random seed (their
decoders accept any bytes) plus hand-made ones that reach the interesting
paths; the text targets get the repository's example machines and lspci
dumps. Run from anywhere; rewrites the corpus folders it owns.
"""
import os
import random
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def random_seeds(target, sizes, seed):
    rng = random.Random(seed)
    for i, n in enumerate(sizes):
        write(target, "random-%02d" % i, bytes(rng.randrange(256) for _ in range(n)))


def lists():
    random_seeds("lists", [16, 64, 200, 400, 800, 1500], 11)
    # A P2P bridge (choice 1) with ENUMERATE, one alternative list of a
    # memory window, its tag {1,3,0}, a prefetchable window and its tag.
    head = bytes([1, 1, 5, 0, 1]) + bytes([1, 0])  # Io pick, filterIO, verbose, checked, choice, extra, alts...
    desc_mem = bytes(32) + bytes([0x01])  # type pick 1: memory, option preferred
    tag = bytes(32) + bytes([0x02, 2])  # device private, key {1,3,0}
    write("lists", "p2p-two-windows", head + bytes([1, 4]) + bytes(4 * 7) + desc_mem + tag + desc_mem + tag)


def enum():
    random_seeds("enum", [32, 128, 256, 512, 1024, 2048], 22)
    # A CardBus controller with a bridge behind it and a card behind that.
    data = bytes([0x1F, 1, 0x3000 & 0xFF, 0, 0, 5])  # params, controller slot, model ...
    data += bytes([0, 3])  # no firmware numbers; three functions
    data += bytes([0, 0x00, 0x00]) + struct.pack("<H", 0x0026) + bytes([0, 0])  # bridge at 00.0
    data += bytes([1, 0x02, 0x00]) + struct.pack("<H", 0x8139) + bytes([4, 0x01, 0, 0x03, 8])
    data += bytes([0, 0x08, 0x00]) + struct.pack("<H", 0x0110) + bytes([3, 0x0F, 0x02, 0x10, 0, 0x03, 0x18, 1])
    write("enum", "cardbus-bridge-card", data)


def format_():
    random_seeds("format", [4, 16, 64, 256, 600], 33)
    for i in range(0, 230, 23):
        # Format i, a buffer of 40 bytes, arguments of all ones and 10-letter texts.
        write("format", "format-%03d" % i, struct.pack("<HH", i, 40) + bytes([10] + [0x41] * 10) * 6)


def texts():
    for name in sorted(os.listdir(os.path.join(ROOT, "examples"))):
        # The largest example (a machine of many bridges) would only slow
        # every run of the reader down.
        path = os.path.join(ROOT, "examples", name)
        if name.endswith(".json") and os.path.getsize(path) <= 32768:
            shutil.copy(path, os.path.join(HERE, "corpus", "machine_file", name))
    for folder in ("tests/tools/lspci/data", "tests/tools/cli/data"):
        for name in sorted(os.listdir(os.path.join(ROOT, folder))):
            with open(os.path.join(ROOT, folder, name), "rb") as f:
                write("lspci", name, b"\x00" + f.read())


def main():
    for t in ("lists", "enum", "format", "machine_file", "lspci"):
        folder = os.path.join(HERE, "corpus", t)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
    lists()
    enum()
    format_()
    texts()


if __name__ == "__main__":
    main()
