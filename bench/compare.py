#!/usr/bin/env python3
"""Compares two benchmark runs: bench/compare.py BEFORE/results.txt AFTER/results.txt

Prints every median both runs have, with the change in percent. Per-round
lines are left out; a change smaller than the rounds' spread is noise.
"""
import sys


def load(path):
    values = {}
    with open(path, encoding="utf-8") as fh:
        for line in fh:
            key, _, value = line.strip().partition(" ")
            if key.startswith("round"):
                continue
            try:
                values[key] = float(value)
            except ValueError:
                values[key] = value
    return values


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    a, b = load(sys.argv[1]), load(sys.argv[2])
    print("%-32s %14s %14s %8s" % ("measure", "before", "after", "change"))
    for key in a:
        if key not in b:
            continue
        x, y = a[key], b[key]
        if isinstance(x, float) and isinstance(y, float):
            change = "%+.1f%%" % ((y - x) / x * 100) if x else ""
            print("%-32s %14.2f %14.2f %8s" % (key, x, y, change))
        elif x != y:
            print("%-32s %14s %14s" % (key, x, y))
    return 0


if __name__ == "__main__":
    sys.exit(main())
