#!/usr/bin/python3
"""Writes a file of mixed content, the same bytes on every run of one machine:
stretches of real program code (the Windows DLLs of Wine, else the machine's
own libraries), of generated text and of incompressible noise, in turns.

  mixed_file.py PATH MIB
"""
import os
import random
import sys

PROGRAM_FOLDERS = ["/usr/lib/i386-linux-gnu/wine/i386-windows", "/usr/lib/x86_64-linux-gnu"]


def program_bytes():
    """Program files, one after the other, for ever."""
    files = []
    for folder in PROGRAM_FOLDERS:
        if os.path.isdir(folder):
            files = [os.path.join(folder, n) for n in sorted(os.listdir(folder))]
            files = [f for f in files if os.path.isfile(f) and not os.path.islink(f)]
            if files:
                break
    if not files:
        sys.exit("no program files found")
    while True:
        for f in files:
            with open(f, "rb") as fh:
                data = fh.read()
            if data:
                yield data


def write(path, mib):
    rnd = random.Random(256)
    words = [bytes(rnd.choice(b"etaoinshrdlucmfwyp") for _ in range(rnd.randint(2, 10)))
             for _ in range(8000)]
    programs = program_bytes()
    pending = b""
    left = mib << 20
    with open(path, "wb") as out:
        turn = 0
        while left > 0:
            step = min(left, 1 << 20)
            kind = turn % 10
            if kind < 6:  # program code
                while len(pending) < step:
                    pending += next(programs)
                chunk, pending = pending[:step], pending[step:]
            elif kind < 9:  # text
                line = []
                size = 0
                while size < step:
                    w = rnd.choice(words)
                    line.append(w)
                    size += len(w) + 1
                chunk = b" ".join(line)[:step]
            else:  # noise, as in already compressed resources
                chunk = rnd.randbytes(step)
            out.write(chunk)
            left -= len(chunk)
            turn += 1


if __name__ == "__main__":
    write(sys.argv[1], int(sys.argv[2]))
