#!/usr/bin/env python3
"""Property test of the built romcast against a model of its own.

Plan:
  valid    random well-formed HEX files (1 to 255 data bytes per record, often the 16 or
           32 of the common records that the vector kernels decode, alone or in runs
           one after another, gaps, records out of address order, both letter cases,
           LF / CR LF / lone CR endings, base and start-address records, with or
           without end record). The expected image,
           report and streams come from the records as they are generated, never from
           the program; the run must match them exactly.
  mutated  the same files with one character changed, a line dropped or doubled, or a
           count changed. The run must end cleanly: status 0 with a report and an
           image of the reported size, or status 3 with at most one fatal message and
           no output; never anything else, and never a temporary file left. A success
           may warn of a missing end record.

Usage: property_test.py PROGRAM [SEED [FILES]]. A failing input is kept as
property-failure.hex in the current directory.
"""
import concurrent.futures
import os
import random
import re
import subprocess
import sys
import tempfile

import run_cases

BANNER = run_cases.BANNER + b"Reading prog.hex\n"
READ_FAILED = b"\nCan't read HEX-Data !\n"
NO_END_RECORD = (b"romcast: warning: prog.hex ends after HEX-Line %d without an end record: it may have been "
                 b"cut short (--strict refuses it)\n")
CHECKSUM = rb"\nChecksum error in hex line \d+ ! Read: 0x[0-9A-F]{2}  Calculated: 0x[0-9A-F]{2}\n"
FATAL = (rb"\nBeginning of HEX-Line \d+ not found\n"
         rb"|\nLength of line \d+ is not correct\nRead: \d+    Calculated: \d+\n"
         rb"|\nInvalid record type 0x[0-9A-F]{2} in HEX-Line \d+ !\n"
         rb"|\nAddress \d+ in HEX-Line \d+ beyond buffer !\n"
         rb"|\nDouble databyte in HEX-Line \d+ !\n")
REPORT = (rb"\nHEX-Lines +\d+\nNumber of bytes +\d+ 0x[0-9A-F]{4,}\n"
          rb"Highest address +(?P<highest>\d+) 0x[0-9A-F]{4,}\nSaved bytes +(?P<saved>\d+) 0x[0-9A-F]{4,} including 0xFF fillbytes\n")
CLEAN_OUTPUT = re.compile(rb"(?:%s)*(?P<fatal>%s)?(?P<report>%s)?" % (CHECKSUM, FATAL, REPORT))
IMAGE_SIZE = 0x10000


def report(lines, count, highest, saved):
    return (f"\nHEX-Lines       {lines:5d}\nNumber of bytes {count:5d} 0x{count:04X}\n"
            f"Highest address {highest:5d} 0x{highest:04X}\n"
            f"Saved bytes     {saved:5d} 0x{saved:04X} including 0xFF fillbytes\n").encode()


def record(rng, upper, kind, load, data, comment=False):
    fields = [len(data), load >> 8, load & 0xFF, kind] + list(data)
    fields.append(-sum(fields) & 0xFF)
    line = ":" + "".join(f"{b:02X}" for b in fields)
    line = line if upper else line.lower()
    return line + (" ; " + rng.choice(["main", "vectors", "x y z"]) if comment else "")


class Model:
    """The expected outcome of a valid file, kept as its records are generated."""

    def __init__(self):
        self.image = bytearray(b"\xff" * IMAGE_SIZE)
        self.count = 0
        self.highest = 0
        self.lines = 0
        self.base = 0

    def place(self, rng, length):
        # Data may go only where the image is still free, that is holds 0xFF.
        for _ in range(20):
            room = IMAGE_SIZE - self.base - length
            if room < 0:
                return None
            load = rng.randrange(0, min(room, 0xFFFF) + 1)
            start = self.base + load
            if self.image[start:start + length] == b"\xff" * length:
                return load
        return None

    def store(self, load, data):
        start = self.base + load
        self.image[start:start + len(data)] = bytes(data)
        self.count += len(data)
        self.highest = max(self.highest, start + len(data) - 1)


def valid_file(rng):
    """Returns the file's bytes and its expected (status, stdout tail, image)."""
    model = Model()
    upper = rng.random() < 0.5
    endings = rng.choice([["\n"], ["\r\n"], ["\r"], ["\n", "\r\n", "\r"]])
    lines = []
    if rng.random() < 0.5:
        lines.append(":020000040000FA")
    for _ in range(rng.randint(0, 40)):
        mixed_case = upper if rng.random() < 0.9 else not upper
        roll = rng.random()
        if roll < 0.06:
            kind = rng.choice([3, 5])
            lines.append(record(rng, mixed_case, kind, 0, [rng.randrange(256) for _ in range(4)]))
        elif roll < 0.10:
            segment = rng.randrange(0, 0x1000)
            lines.append(record(rng, mixed_case, 2, 0, [segment >> 8, segment & 0xFF]))
            model.base = segment * 16
        elif roll < 0.12:
            lines.append(record(rng, mixed_case, 4, 0, [0, 0]))
            model.base = 0
        elif roll < 0.30:
            # A run of common records one after another, as toolchains write them.
            length = rng.choice([16, 32])
            records = rng.randint(2, 6)
            load = model.place(rng, length * records)
            if load is None:
                continue
            for k in range(records):
                data = [0xFF if rng.random() < 0.1 else rng.randrange(256) for _ in range(length)]
                model.store(load + k * length, data)
                lines.append(record(rng, mixed_case, 0, load + k * length, data))
        else:
            roll = rng.random()
            length = rng.choice([16, 32]) if roll < 0.3 else rng.randint(1, 32) if roll < 0.8 else rng.randint(33, 255)
            load = model.place(rng, length)
            if load is None:
                continue
            data = [0xFF if rng.random() < 0.1 else rng.randrange(256) for _ in range(length)]
            model.store(load, data)
            lines.append(record(rng, mixed_case, 0, load, data, comment=rng.random() < 0.05))
    has_end = rng.random() < 0.8
    if has_end:
        lines.append(":00000001FF")
    model.lines = len(lines)
    if has_end and rng.random() < 0.2:
        lines.append("never read")
    body = "".join(line + rng.choice(endings) for line in lines).encode()
    if rng.random() < 0.1:
        body += b"\x1a:garbage after the end of text"

    if model.count == 0 and not has_end:
        return body, (3, b"", READ_FAILED, None)
    image = bytes(model.image.rstrip(b"\xff")) or b"\xff"
    warning = b"" if has_end else NO_END_RECORD % model.lines
    return body, (0, report(model.lines, model.count, model.highest, len(image)), warning, image)


def mutate(rng, body):
    lines = body.splitlines(keepends=True) or [b""]
    how = rng.randrange(4)
    if how == 0:
        at = rng.randrange(len(body) or 1)
        return body[:at] + bytes([rng.choice(b"0123456789ABCDEFaf: \r\n\x00\x1aG")]) + body[at + 1:]
    at = rng.randrange(len(lines))
    if how == 1:
        del lines[at]
    elif how == 2:
        lines.insert(at, lines[at])
    elif len(lines[at]) >= 3:
        lines[at] = lines[at][:1] + f"{rng.randrange(256):02X}".encode() + lines[at][3:]
    return b"".join(lines)


def run(program, work, body):
    with open(os.path.join(work, "prog.hex"), "wb") as f:
        f.write(body)
    done = subprocess.run([program, "prog.hex"], cwd=work, capture_output=True, timeout=30)
    output = os.path.join(work, "prog.bin")
    image = open(output, "rb").read() if os.path.exists(output) else None
    left = sorted(set(os.listdir(work)) - {"prog.hex", "prog.bin"})
    if image is not None:
        os.unlink(output)
    return done, image, left


def check_valid(done, image, left, expected):
    status, tail, stderr, want_image = expected
    faults = []
    if done.returncode != status:
        faults.append(f"status {done.returncode}, expected {status}")
    if done.stdout != BANNER + tail:
        faults.append(f"stdout {done.stdout[len(BANNER):]!r}, expected {tail!r}")
    if done.stderr != stderr:
        faults.append(f"stderr {done.stderr!r}, expected {stderr!r}")
    if image != want_image:
        faults.append(f"image of {None if image is None else len(image)} bytes differs from the model's")
    if left:
        faults.append(f"files left: {left}")
    return faults


def check_clean(done, image, left):
    faults = []
    tail = done.stdout[len(BANNER):]
    shape = CLEAN_OUTPUT.fullmatch(tail) if done.stdout.startswith(BANNER) else None
    if shape is None:
        faults.append(f"stdout not a sequence of known messages: {tail[-300:]!r}")
    elif done.returncode == 0:
        saved = int(shape.group("saved")) if shape.group("report") else -1
        warned = re.fullmatch(re.escape(NO_END_RECORD).replace(b"%d", rb"\d+"), done.stderr) is not None
        if shape.group("fatal") or (done.stderr and not warned) or image is None or len(image) != saved:
            faults.append("success without a clean report and an image of the saved size")
        elif int(shape.group("highest")) >= IMAGE_SIZE or not 1 <= saved <= IMAGE_SIZE:
            faults.append("report out of range")
    elif done.returncode == 3:
        if shape.group("report") or done.stderr != READ_FAILED or image is not None:
            faults.append("failed read with a report, a wrong message or an output file")
    else:
        faults.append(f"status {done.returncode}")
    if left:
        faults.append(f"files left: {left}")
    return faults


def run_share(program, share):
    """Runs one worker's share of the files in a directory of its own."""
    failures = []
    with tempfile.TemporaryDirectory() as work:
        for group, number, data, expected in share:
            done, image, left = run(program, work, data)
            if group == "valid":
                faults = check_valid(done, image, left, expected)
            else:
                faults = check_clean(done, image, left)
            if faults:
                failures.append((group, number, data, faults))
    return failures


def main():
    program = os.path.abspath(sys.argv[1])
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else 20261207
    files = int(sys.argv[3]) if len(sys.argv) > 3 else 1500
    rng = random.Random(seed)
    runs = []
    for number in range(files):
        body, expected = valid_file(rng)
        runs.append(("valid", number, body, expected))
        runs.append(("mutated", number, mutate(rng, body), None))
    workers = 2
    with concurrent.futures.ThreadPoolExecutor(workers) as pool:
        shares = pool.map(lambda k: run_share(program, runs[k::workers]), range(workers))
        failures = sorted(f for share in shares for f in share)
    for group, number, data, faults in failures[:5]:
        print(f"FAIL {group} file {number} (seed {seed}):\n  " + "\n  ".join(faults))
    if failures:
        with open("property-failure.hex", "wb") as f:
            f.write(failures[0][2])
    print(f"{files} valid and {files} mutated files, seed {seed}: {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
