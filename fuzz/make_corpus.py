#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus: every input file of the end-to-end cases (standard
input and FIFO contents included, S-record and ELF files among them), the bundled
example, and the toolchain files of tests/firmware, HEX and ELF, one file each, into
the directory given."""
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))
import run_cases  # noqa: E402


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    cases_dir = os.path.join(ROOT, "tests", "cases")
    seeds = [open(os.path.join(ROOT, "examples", "blink.hex"), "rb").read()]
    firmware_dir = os.path.join(ROOT, "tests", "firmware")
    for name in sorted(os.listdir(firmware_dir)):
        if name.endswith((".hex", ".ihx", ".elf")):
            seeds.append(open(os.path.join(firmware_dir, name), "rb").read())
    for name in sorted(os.listdir(cases_dir)):
        if name.endswith(".txt"):
            for case in run_cases.parse(os.path.join(cases_dir, name)):
                for file_name, lines in case["files"].items():
                    seeds.append(run_cases.text(lines, file_name in case["raw"]))
                for lines in list(case["feeds"].values()) + [case["stdin"] or []]:
                    if lines:
                        seeds.append(run_cases.text(lines))
    for number, seed in enumerate(seeds):
        with open(os.path.join(out, f"seed-{number:03d}"), "wb") as f:
            f.write(seed)
    print(f"{len(seeds)} seeds in {out}")


if __name__ == "__main__":
    main()
