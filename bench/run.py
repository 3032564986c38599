#!/usr/bin/env python3
"""Benchmark of romcast against objcopy and a floor program that does only what a safe
converter cannot avoid: it reads the input, writes a 64 KiB image to a temporary file
and renames that over its output. Builds with CMake, generates the inputs with a fixed
seed into the build tree, checks that romcast and objcopy produce the same image, then
times all three with hyperfine and measures their peak resident memory with GNU time.

The last input is a 16 MiB Cortex-M image at 0x08000000 (the others hold 64 KiB),
converted with --offset and --size. Its image is checked against objcopy's,
srec_cat's and the generated one; romcast, objcopy, srec_cat (fewer runs: it is slow)
and the floor writing 16 MiB are timed on it. Then the same image is written as
Intel HEX, from the HEX input (against objcopy -O ihex and srec_cat -o -intel) and
from the image as a 16 MiB binary (against objcopy -I binary -O ihex), each checked
by reading romcast's HEX file back with objcopy, and each timed against a floor that
reads the input and writes the HEX file's size. Then the image is filled to 32 MiB
with a 4-byte pattern (--fill), checked, and timed against the floor writing 32 MiB.
Last the image is written as S-records and as an ELF file, each converted back to
the binary and timed: the S-records against objcopy -I srec, the ELF file against
the floor.

    bench/run.py                 build, check, time, report; see the exit status below
    bench/run.py --check-only    build, generate and check the images; no timing
    bench/run.py --romcast PATH  the same for another romcast binary, an older build say
    bench/run.py --before PATH   also time an earlier romcast build in the same runs, as
                                 "before"; the targets are those of the one checked

Exit status: 0 all images equal and every target met; 1 an image differs or a run
failed; 2 the images are equal but a target was missed (timing is noisy on a loaded
machine: rerun before concluding)."""
import argparse
import json
import os
import platform
import random
import statistics
import struct
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SEED = 20040313
IMAGE_SIZE = 0x10000
TARGET_TOTAL = 100_000_000   # bytes of the long input, about
MB = 1_000_000               # MB and GB/s are decimal throughout

# Targets on the project's 2-core reference machine, each ratio from one run.
MAX_LONG_FLOOR_RATIO = 2.0   # romcast/floor on the long input: 4 GB/s or more there
MAX_FLOOR_RATIO = 1.1        # romcast/floor on the full image of 16-byte records
MAX_CRLF_FLOOR_RATIO = 1.25  # romcast/floor on the full image of 32-byte records with CR LF
MAX_RSS_GROWTH_KIB = 1024    # peak RSS on the long input over the 180 KB input

# The Cortex-M input: 16 MiB of flash at 0x08000000, every byte data.
WINDOW_BASE = 0x08000000
WINDOW_SIZE = 16 << 20
WINDOW_START = 0x080001C5    # the type 05 start address: a reset handler, Thumb bit set
SEGMENT = 0x10000            # a type 04 record opens each 64 KiB
NOT_FF = bytes(range(0xFF)) + b"\xfe"  # bytes.translate table: 0xFF becomes 0xFE, the rest stay

MIN_WINDOW_OBJCOPY_RATIO = 10.0  # objcopy/romcast on the Cortex-M input
MAX_WINDOW_FLOOR_RATIO = 1.5     # romcast/floor on the Cortex-M input
MAX_WINDOW_WAIT = 0.2            # romcast's mean wall time over its mean CPU time, less 1, there
# romcast allocates a 64 KiB page of the image on its first write, with a bitmap of
# the bytes written (an eighth of the page), so on the Cortex-M input it holds the
# whole 16 MiB image and 2 MiB of bitmaps. What it holds besides (code, libraries,
# the 64 KiB input block, stdio, a table of the chunks of 2 MiB) is the same on
# every input, about 1.5 MiB on the 64 KiB ones; 4 MiB over the image leaves room
# for that and the allocator's slack, while a second copy of the image, or of a
# quarter of it, would not fit.
WINDOW_RSS_MARGIN_KIB = 4096
MAX_WINDOW_RSS_KIB = WINDOW_SIZE * 9 // 8 // 1024 + WINDOW_RSS_MARGIN_KIB

# The Cortex-M image written as Intel HEX: 16 MiB of data become 44 MB of text, so
# writing it is most of the cost, and a floor that writes that much is the measure.
MIN_HEX_OBJCOPY_RATIO = 5.0         # objcopy/romcast, HEX input to HEX output
MIN_BINARY_HEX_OBJCOPY_RATIO = 3.0  # objcopy/romcast, binary input to HEX output
MAX_HEX_FLOOR_RATIO = 2.0           # romcast/floor for both

# The Cortex-M image filled to 32 MiB with a 4-byte pattern (--fill without a range):
# the second half of the output is pattern, which the floor writes as 0xFF.
FILLED_SIZE = 32 << 20
FILL_PATTERN = "0xDEADBEEF"                    # stored little-endian
FILL_BYTES = bytes.fromhex("EFBEADDE")
MAX_FILLED_FLOOR_RATIO = 1.5                   # romcast/floor writing 32 MiB

# The Cortex-M image as S-records (S3, 16 bytes each, as objcopy writes them) and as an
# ELF file of one loadable segment, each converted to the 16 MiB binary.
MIN_SRECORD_OBJCOPY_RATIO = 10.0  # objcopy -I srec -O binary over romcast
MAX_ELF_FLOOR_RATIO = 1.3         # romcast/floor on the ELF file


def record(address, kind, data=b""):
    body = bytes([len(data), address >> 8, address & 0xFF, kind]) + data
    checksum = (-sum(body)) & 0xFF
    return ":" + (body + bytes([checksum])).hex().upper()


def image_records(image, width, line_end):
    lines = [record(address, 0, image[address:address + width]) for address in range(0, IMAGE_SIZE, width)]
    return (line_end.join(lines) + line_end).encode("ascii")


def end_record(line_end):
    return (record(0, 1) + line_end).encode("ascii")


def generate(directory):
    """Writes the three inputs; returns [(title, path)] and the image each one holds."""
    rng = random.Random(SEED)
    image = bytes(rng.randrange(0xFF) for _ in range(IMAGE_SIZE))  # never 0xFF: every byte saved
    full16 = image_records(image, 16, "\n")
    full32 = image_records(image, 32, "\r\n")
    # An 0xFF byte leaves its address free, so any number of passes of 0xFF records
    # may come before the real image; after it they would be double data bytes.
    free_pass = image_records(b"\xff" * IMAGE_SIZE, 16, "\n")
    passes = (TARGET_TOTAL - len(full16)) // len(free_pass)

    inputs = [
        ("full image, 16-byte records, LF", "full16.hex", [full16, end_record("\n")]),
        ("full image, 32-byte records, CR LF", "full32crlf.hex", [full32, end_record("\r\n")]),
        ("0xFF records x%d, then the image" % passes, "long.hex",
         [free_pass] * passes + [full16, end_record("\n")]),
    ]
    result = []
    for title, name, parts in inputs:
        path = os.path.join(directory, name)
        with open(path, "wb") as f:
            for part in parts:
                f.write(part)
        result.append((title, path))
    return result, image


def window_records(image):
    """The Cortex-M input as a toolchain writes a big image, one 64 KiB segment at a time:
    a type 04 record, then 16-byte data records in the lower 8 MiB and 32-byte ones in
    the upper 8 MiB, LF line ends; after the last segment a type 05 start address and
    the end record."""
    for offset in range(0, WINDOW_SIZE, SEGMENT):
        width = 16 if offset < WINDOW_SIZE // 2 else 32
        lines = [record(0, 4, ((WINDOW_BASE + offset) >> 16).to_bytes(2, "big"))]
        lines += [record(address, 0, image[offset + address:offset + address + width])
                  for address in range(0, SEGMENT, width)]
        yield ("\n".join(lines) + "\n").encode("ascii")
    yield (record(0, 5, WINDOW_START.to_bytes(4, "big")) + "\n").encode("ascii") + end_record("\n")


def s_record(kind, address, width, data=b""):
    body = bytes([width + len(data) + 1]) + address.to_bytes(width, "big") + data
    return "S%d%s%02X" % (kind, body.hex().upper(), ~sum(body) & 0xFF)


def generate_toolchain_files(directory, image):
    """Writes the Cortex-M image as S-records and as an ELF file; returns their paths."""
    srec = os.path.join(directory, "cortexm16m.srec")
    with open(srec, "w") as f:
        f.write(s_record(0, 0, 2, b"cortexm16m") + "\n")
        for offset in range(0, WINDOW_SIZE, SEGMENT):
            f.write("\n".join(s_record(3, WINDOW_BASE + offset + a, 4, image[offset + a:offset + a + 16])
                              for a in range(0, SEGMENT, 16)) + "\n")
        f.write(s_record(7, WINDOW_START, 4) + "\n")
    # ELF32, little-endian, ARM, executable: its header, one PT_LOAD program header, and
    # the image at file offset 0x1000, loaded at 0x08000000.
    elf = os.path.join(directory, "cortexm16m.elf")
    header = b"\x7fELF" + bytes([1, 1, 1, 0]) + bytes(8)
    header += struct.pack("<HHIIIIIHHHHHH", 2, 40, 1, WINDOW_START, 52, 0, 0x5000000, 52, 32, 1, 40, 0, 0)
    header += struct.pack("<IIIIIIII", 1, 0x1000, WINDOW_BASE, WINDOW_BASE, WINDOW_SIZE, WINDOW_SIZE, 5, 0x1000)
    with open(elf, "wb") as f:
        f.write(header + bytes(0x1000 - len(header)) + image)
    return srec, elf


def toolchain_commands(romcast, floor, srec, elf):
    """The programs timed on the S-record and the ELF input, by input. An earlier build
    may not read them: it is not timed here."""
    options = ["-q", "--offset", "0x%08X" % WINDOW_BASE, "--size", "%dM" % (WINDOW_SIZE >> 20), "-o"]
    result = {}
    for path, others in ((srec, {"objcopy": ["objcopy", "-I", "srec", "-O", "binary", srec,
                                             stem(srec) + ".objcopy.bin"]}),
                         (elf, {"floor": [floor, elf, stem(elf) + ".floor.bin", str(WINDOW_SIZE)]})):
        out = stem(path) + "." + path.rsplit(".", 1)[1] + ".bin"
        result[path] = {"romcast": [romcast] + options + [out, path], **others}
    return result


def generate_window(directory):
    """Writes the Cortex-M input; returns its title, its path and the image it holds."""
    # randbytes is fast where randrange per byte would take seconds; never 0xFF, so
    # that every byte of the window is data, as in the other inputs.
    image = random.Random(SEED).randbytes(WINDOW_SIZE).translate(NOT_FF)
    path = os.path.join(directory, "cortexm16m.hex")
    with open(path, "wb") as f:
        for part in window_records(image):
            f.write(part)
    return "Cortex-M image, %d MiB at 0x%08X" % (WINDOW_SIZE >> 20, WINDOW_BASE), path, image


def run(command, quiet=False, **kwargs):
    if not quiet:
        print("+ " + " ".join(command), flush=True)
    subprocess.run(command, check=True, **kwargs)


def build(build_dir):
    run(["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release", "-DROMCAST_BENCH=ON"],
        stdout=subprocess.DEVNULL)
    run(["cmake", "--build", build_dir, "-j2", "--target", "bench_programs"])
    return os.path.join(build_dir, "romcast"), os.path.join(build_dir, "bench", "romcast_floor")


def stem(path):
    return os.path.splitext(path)[0]


def commands(romcast, floor, path, before=None):
    earlier = {"before": [before, path]} if before else {}
    return {
        "romcast": [romcast, path],
        **earlier,
        "objcopy": ["objcopy", "-I", "ihex", "-O", "binary", "--gap-fill", "0xff", path,
                    stem(path) + ".objcopy.bin"],
        "floor": [floor, path, stem(path) + ".floor.bin"],
    }


def window_commands(romcast, floor, path, before=None):
    """The programs timed on the Cortex-M input; romcast (and before, if given), objcopy
    and srec_cat write the image to the files window_outputs names."""
    outputs = window_outputs(path)
    options = ["--offset", "0x%08X" % WINDOW_BASE, "--size", "%dM" % (WINDOW_SIZE >> 20), "-o", outputs["romcast"]]
    earlier = {"before": [before] + options + [path]} if before else {}
    return {
        "romcast": [romcast] + options + [path],
        **earlier,
        "objcopy": ["objcopy", "-I", "ihex", "-O", "binary", "--gap-fill", "0xff", path, outputs["objcopy"]],
        "srec_cat": ["srec_cat", path, "-intel", "-offset", "-0x%08X" % WINDOW_BASE,
                     "-fill", "0xFF", "0", "0x%X" % WINDOW_SIZE, "-o", outputs["srec_cat"], "-binary"],
        "floor": [floor, path, stem(path) + ".floor.bin", str(WINDOW_SIZE)],
    }


def filled_commands(romcast, floor, path):
    """The programs timed writing the Cortex-M input filled to 32 MiB. An earlier build
    may lack --fill: it is not timed here."""
    options = ["-q", "--offset", "0x%08X" % WINDOW_BASE, "--size", "%dM" % (FILLED_SIZE >> 20),
               "--fill=" + FILL_PATTERN, "-o", stem(path) + ".filled.bin"]
    return {
        "romcast": [romcast] + options + [path],
        "floor": [floor, path, stem(path) + ".floor.bin", str(FILLED_SIZE)],
    }


def window_outputs(path):
    return {"romcast": stem(path) + ".bin", "objcopy": stem(path) + ".objcopy.bin",
            "srec_cat": stem(path) + ".srec_cat.bin"}


def hex_commands(romcast, floor, path, hex_size):
    """The programs timed writing the Cortex-M input as Intel HEX; the outputs are named
    after the input with .romcast.hex, .objcopy.hex and .srec_cat.hex."""
    return {
        "romcast": [romcast, "-q", "-o", stem(path) + ".romcast.hex", path],
        "objcopy": ["objcopy", "-I", "ihex", "-O", "ihex", path, stem(path) + ".objcopy.hex"],
        "srec_cat": ["srec_cat", path, "-intel", "-o", stem(path) + ".srec_cat.hex", "-intel"],
        "floor": [floor, path, stem(path) + ".floor.hex", str(hex_size)],
    }


def binary_hex_commands(romcast, floor, path, hex_size):
    """The programs timed writing the 16 MiB binary at path as Intel HEX at 0x08000000."""
    return {
        "romcast": [romcast, "-q", "--binary=%s@0x%08X" % (path, WINDOW_BASE), "-o", stem(path) + ".romcast.hex"],
        "objcopy": ["objcopy", "-I", "binary", "-O", "ihex", "--change-addresses", "0x%08X" % WINDOW_BASE, path,
                    stem(path) + ".objcopy.hex"],
        "floor": [floor, path, stem(path) + ".floor.hex", str(hex_size)],
    }


def check_hex_output(programs, title, expected):
    """Runs each program once; romcast's HEX file, read back by objcopy from its lowest
    address, must be the expected image. Returns a list of faults."""
    faults = []
    for name, command in programs.items():
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if done.returncode != 0:
            faults.append("%s: %s exited %d: %s" % (title, name, done.returncode,
                                                     (done.stdout + done.stderr).decode(errors="replace")))
    ours = [word for word in programs["romcast"] if word.endswith(".romcast.hex")][0]
    back = ours + ".bin"
    subprocess.run(["objcopy", "-I", "ihex", "-O", "binary", ours, back], check=False)
    if read(back) != expected:
        faults.append("%s: romcast's HEX file does not hold the image" % title)
    print("%-40s HEX %s" % (title, "equal" if not faults else "DIFFERS"))
    return faults


def check_images(romcast, floor, inputs, expected):
    """Runs each program once; returns a list of faults."""
    faults = []
    for title, path in inputs:
        for name, command in commands(romcast, floor, path).items():
            done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            if done.returncode != 0:
                faults.append("%s: %s exited %d: %s" % (title, name, done.returncode,
                                                         (done.stdout + done.stderr).decode(errors="replace")))
        ours = read(stem(path) + ".bin")
        theirs = read(stem(path) + ".objcopy.bin")
        # objcopy's output starts at the lowest address, which is 0 in every input.
        if ours != expected:
            faults.append("%s: romcast's image differs from the generated one" % title)
        if theirs != ours:
            faults.append("%s: romcast's and objcopy's images differ (%s and %s bytes)"
                          % (title, len(ours or b""), len(theirs or b"")))
        print("%-40s images %s" % (title, "equal" if ours == theirs == expected else "DIFFER"))
    return faults


def check_window_image(romcast, floor, title, path, expected):
    """Runs each program once on the Cortex-M input; returns a list of faults."""
    faults = []
    for name, command in window_commands(romcast, floor, path).items():
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if done.returncode != 0:
            faults.append("%s: %s exited %d: %s" % (title, name, done.returncode,
                                                     (done.stdout + done.stderr).decode(errors="replace")))
    # objcopy's output starts at the lowest address, 0x08000000, and ends at the
    # highest: the whole window, since every byte of it is data.
    images = {name: read(output) for name, output in window_outputs(path).items()}
    ours = images.pop("romcast")
    if ours != expected:
        faults.append("%s: romcast's image differs from the generated one (%s bytes)" % (title, len(ours or b"")))
    for name, theirs in images.items():
        if theirs != ours:
            faults.append("%s: romcast's and %s's images differ (%s and %s bytes)"
                          % (title, name, len(ours or b""), len(theirs or b"")))
    equal = ours == expected and all(theirs == ours for theirs in images.values())
    print("%-40s images %s" % (title, "equal" if equal else "DIFFER"))
    return faults


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def time_programs(programs, path, scratch, runs=None):
    """Median seconds of each program over all its runs, its mean CPU seconds (user
    and system), which waiting for a busy CPU does not inflate, and its mean seconds.
    A run is at the mercy of other load on the machine, so the inputs are timed in
    rounds, each of which times all the programs: a change of load then weighs on them
    alike instead of on whichever program hyperfine happened to be running.
    runs, if given, replaces hyperfine's options for the number of runs, in one round."""
    large = os.path.getsize(path) > 10 * MB
    if large:
        rounds, default_runs = 4, ["--warmup", "1", "--runs", "4"]
    else:
        rounds, default_runs = 10, ["--warmup", "10", "--runs", "60"]
    if runs:
        rounds = 1  # the slow program, timed alone
    runs = runs or default_runs
    report = os.path.join(scratch, "hyperfine.json")
    command = ["hyperfine", "-N", "--style", "basic", "--export-json", report] + runs
    for name, argv in programs.items():
        command += ["-n", name, " ".join(argv)]
    times = {name: [] for name in programs}
    cpu = {name: [] for name in programs}
    if rounds > 1:
        print("(%d rounds of)" % rounds)
    for round in range(rounds):
        run(command, quiet=round > 0, stdout=subprocess.DEVNULL)
        with open(report) as f:
            for result in json.load(f)["results"]:
                times[result["command"]] += result["times"]
                cpu[result["command"]].append(result["user"] + result["system"])
    return ({name: statistics.median(values) for name, values in times.items()},
            {name: statistics.mean(values) for name, values in cpu.items()},
            {name: statistics.mean(values) for name, values in times.items()})


def peak_rss_kib(argv, repeats=3):
    peaks = []
    for _ in range(repeats):
        done = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, check=True)
        peaks.append(int(done.stderr.decode().strip().splitlines()[-1]))
    return max(peaks)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check-only", action="store_true", help="check the images; no timing")
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build"))
    parser.add_argument("--romcast", help="time this romcast binary instead of the one built")
    parser.add_argument("--before", help="also time this earlier romcast binary, in the same runs")
    args = parser.parse_args()
    build_dir = os.path.abspath(args.build_dir)

    romcast, floor = build(build_dir)
    if args.romcast:
        romcast = os.path.abspath(args.romcast)
    before = os.path.abspath(args.before) if args.before else None
    input_dir = os.path.join(build_dir, "bench-inputs")
    os.makedirs(input_dir, exist_ok=True)
    inputs, expected = generate(input_dir)
    faults = check_images(romcast, floor, inputs, expected)
    window_title, window_path, window_image = generate_window(input_dir)
    faults += check_window_image(romcast, floor, window_title, window_path, window_image)
    binary_path = os.path.join(input_dir, "cortexm16m.image.bin")
    with open(binary_path, "wb") as f:
        f.write(window_image)
    hex_runs = []
    for title, path, make in (("Cortex-M image, HEX to HEX", window_path, hex_commands),
                              ("Cortex-M image, binary to HEX", binary_path, binary_hex_commands)):
        # The floor writes as much as romcast does: its size comes from a first run.
        subprocess.run(make(romcast, floor, path, 0)["romcast"], check=False)
        hex_size = os.path.getsize(stem(path) + ".romcast.hex") if os.path.exists(stem(path) + ".romcast.hex") else 1
        programs = make(romcast, floor, path, hex_size)
        faults += check_hex_output(programs, title, window_image)
        hex_runs.append((title, path, programs))
    srec_path, elf_path = generate_toolchain_files(input_dir, window_image)
    toolchain_programs = toolchain_commands(romcast, floor, srec_path, elf_path)
    for path, programs in toolchain_programs.items():
        done = subprocess.run(programs["romcast"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        ok = done.returncode == 0 and read(programs["romcast"][-2]) == window_image
        if "objcopy" in programs:
            subprocess.run(programs["objcopy"], check=False)
            ok = ok and read(programs["objcopy"][-1]) == window_image
        print("%-40s image %s" % ("Cortex-M image from " + os.path.basename(path), "equal" if ok else "DIFFERS"))
        if not ok:
            faults.append("%s: romcast exited %d, or an image differs" % (os.path.basename(path), done.returncode))
    filled_programs = filled_commands(romcast, floor, window_path)
    done = subprocess.run(filled_programs["romcast"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    filled = read(stem(window_path) + ".filled.bin")
    expected_filled = window_image + FILL_BYTES * ((FILLED_SIZE - WINDOW_SIZE) // len(FILL_BYTES))
    print("%-40s image %s" % ("Cortex-M image filled to 32 MiB", "equal" if filled == expected_filled else "DIFFERS"))
    if done.returncode != 0 or filled != expected_filled:
        faults.append("the filled image: romcast exited %d, or its image is not the expected one" % done.returncode)
    if faults:
        print("\n".join(["FAILED:"] + faults))
        return 1
    if args.check_only:
        return 0

    results = []
    with tempfile.TemporaryDirectory() as scratch:
        for title, path in inputs:
            programs = commands(romcast, floor, path, before)
            medians, cpu, _ = time_programs(programs, path, scratch)
            peaks = {name: peak_rss_kib(argv) for name, argv in programs.items()}
            results.append((title, path, medians, cpu, peaks))
        # srec_cat takes about a second a run: timed apart, three runs.
        programs = window_commands(romcast, floor, window_path, before)
        slow = {"srec_cat": programs.pop("srec_cat")}
        medians, cpu, means = time_programs(programs, window_path, scratch)
        slow_medians, slow_cpu, _ = time_programs(slow, window_path, scratch,
                                                  runs=["--warmup", "1", "--runs", "3"])
        medians.update(slow_medians)
        cpu.update(slow_cpu)
        programs.update(slow)
        peaks = {name: peak_rss_kib(argv) for name, argv in programs.items()}
        window_result = (window_title, window_path, medians, cpu, means["romcast"], peaks)
        hex_results = []
        for title, path, programs in hex_runs:
            slow = {name: programs.pop(name) for name in ("srec_cat",) if name in programs}
            medians, cpu, _ = time_programs(programs, path, scratch)
            if slow:
                slow_medians, slow_cpu, _ = time_programs(slow, path, scratch, runs=["--warmup", "1", "--runs", "3"])
                medians.update(slow_medians)
                cpu.update(slow_cpu)
                programs.update(slow)
            peaks = {name: peak_rss_kib(argv) for name, argv in programs.items()}
            hex_results.append((title, path, medians, cpu, peaks))
        medians, cpu, _ = time_programs(filled_programs, window_path, scratch)
        filled_result = (medians, cpu, {name: peak_rss_kib(argv) for name, argv in filled_programs.items()})
        toolchain_results = []
        for path, programs in toolchain_programs.items():
            medians, cpu, _ = time_programs(programs, path, scratch)
            toolchain_results.append((path, medians, cpu, {name: peak_rss_kib(argv) for name, argv in programs.items()}))

    print_machine(build_dir)
    misses = report(results) + window_report(window_result)
    for result, minimum in zip(hex_results, (MIN_HEX_OBJCOPY_RATIO, MIN_BINARY_HEX_OBJCOPY_RATIO)):
        misses += hex_report(result, minimum)
    misses += filled_report(filled_result)
    misses += toolchain_report(toolchain_results)
    print("\n".join(["", "TARGETS MISSED:"] + misses) if misses else "\nAll targets met.")
    return 2 if misses else 0


def first_line(command):
    try:
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        return done.stdout.decode(errors="replace").splitlines()[0]
    except (OSError, IndexError):
        return "unknown"


def print_machine(build_dir):
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    compiler = "unknown"
    with open(os.path.join(build_dir, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith("CMAKE_CXX_COMPILER:"):
                compiler = first_line([line.split("=", 1)[1].strip(), "--version"])
    print("\nmachine:  %s, %d CPUs, %s %s" % (model, os.cpu_count(), platform.system(), platform.release()))
    print("compiler: %s" % compiler)
    print("tools:    %s; %s; %s" % (first_line(["hyperfine", "--version"]), first_line(["objcopy", "--version"]),
                                    first_line(["srec_cat", "-version"])))
    with open("/proc/loadavg") as f:
        print("load:     %s (1, 5, 15 minutes)" % " ".join(f.read().split()[:3]))


def print_programs(medians, cpu, peaks, size, rate="MB/s"):
    """The table of one input: each program's median, its rate over size bytes, its CPU
    time and its peak RSS, in the order romcast, before, objcopy, srec_cat, floor."""
    print("  %-8s %10s %10s %10s %14s" % ("program", "median ms", rate, "CPU ms", "peak RSS KiB"))
    for name in [name for name in ("romcast", "before", "objcopy", "srec_cat", "floor") if name in medians]:
        print("  %-8s %10.3f %10.1f %10.3f %14d" % (name, medians[name] * 1000, size / medians[name] / MB,
                                                 cpu[name] * 1000, peaks[name]))


def report(results):
    print()
    misses = []
    for title, path, medians, cpu, peaks in results:
        size = os.path.getsize(path)
        print("%s: %s, %s bytes" % (title, os.path.basename(path), format(size, ",")))
        print_programs(medians, cpu, peaks, size)
        floor_ratio = medians["romcast"] / medians["floor"]
        objcopy_ratio = medians["objcopy"] / medians["romcast"]
        print("  romcast/floor %.2f (CPU %.2f)   objcopy/romcast %.1f"
              % (floor_ratio, cpu["romcast"] / cpu["floor"], objcopy_ratio))
        print_before(medians, cpu)
        print()
        if size > 10 * MB:
            most = MAX_LONG_FLOOR_RATIO
        else:
            most = MAX_CRLF_FLOOR_RATIO if "CR LF" in title else MAX_FLOOR_RATIO
        if floor_ratio > most:
            misses.append("%s: romcast/floor %.2f, above %.2f" % (title, floor_ratio, most))
    small = results[0][4]["romcast"]
    long = results[-1][4]["romcast"]
    print("romcast peak RSS: %d KiB on %s, %d KiB on %s (growth %+d KiB, at most %d allowed)"
          % (small, os.path.basename(results[0][1]), long, os.path.basename(results[-1][1]), long - small,
             MAX_RSS_GROWTH_KIB))
    if long > small + MAX_RSS_GROWTH_KIB:
        misses.append("peak RSS grows by %d KiB on the long input" % (long - small))
    return misses


def print_before(medians, cpu):
    if "before" in medians:
        print("  before/floor  %.2f (CPU %.2f)   objcopy/before  %.1f"
              % (medians["before"] / medians["floor"], cpu["before"] / cpu["floor"],
                 medians["objcopy"] / medians["before"]))


def window_report(result):
    title, path, medians, cpu, mean, peaks = result
    size = os.path.getsize(path)
    print("\n%s: %s, %s bytes" % (title, os.path.basename(path), format(size, ",")))
    print_programs(medians, cpu, peaks, size)
    objcopy_ratio = medians["objcopy"] / medians["romcast"]
    floor_ratio = medians["romcast"] / medians["floor"]
    wait = mean / cpu["romcast"] - 1
    print("  romcast/floor %.2f (CPU %.2f)   objcopy/romcast %.1f   srec_cat/romcast %.1f"
          % (floor_ratio, cpu["romcast"] / cpu["floor"], objcopy_ratio,
             medians["srec_cat"] / medians["romcast"]))
    print_before(medians, cpu)
    print("  romcast's mean wall time %.3f ms, %+.0f %% over its CPU time" % (mean * 1000, wait * 100))
    print("romcast peak RSS: %d KiB on %s (at most %d allowed: the %d KiB image, its bitmaps and %d KiB)"
          % (peaks["romcast"], os.path.basename(path), MAX_WINDOW_RSS_KIB, WINDOW_SIZE // 1024,
             WINDOW_RSS_MARGIN_KIB))
    misses = []
    if objcopy_ratio < MIN_WINDOW_OBJCOPY_RATIO:
        misses.append("%s: objcopy/romcast %.1f, below %.1f" % (title, objcopy_ratio, MIN_WINDOW_OBJCOPY_RATIO))
    if floor_ratio > MAX_WINDOW_FLOOR_RATIO:
        misses.append("%s: romcast/floor %.2f, above %.2f" % (title, floor_ratio, MAX_WINDOW_FLOOR_RATIO))
    if wait > MAX_WINDOW_WAIT:
        misses.append("%s: romcast's wall time %.0f %% over its CPU time, above %.0f %%"
                      % (title, wait * 100, MAX_WINDOW_WAIT * 100))
    if peaks["romcast"] > MAX_WINDOW_RSS_KIB:
        misses.append("%s: romcast's peak RSS %d KiB, above %d KiB" % (title, peaks["romcast"], MAX_WINDOW_RSS_KIB))
    return misses


def hex_report(result, min_objcopy_ratio):
    title, path, medians, cpu, peaks = result
    size = os.path.getsize(path)
    hex_size = os.path.getsize(stem(path) + ".romcast.hex")
    print("\n%s: %s, %s bytes in, %s bytes of HEX out" % (title, os.path.basename(path), format(size, ","),
                                                         format(hex_size, ",")))
    print_programs(medians, cpu, peaks, hex_size, rate="MB/s out")
    floor_ratio = medians["romcast"] / medians["floor"]
    objcopy_ratio = medians["objcopy"] / medians["romcast"]
    print("  romcast/floor %.2f (CPU %.2f)   objcopy/romcast %.1f" % (floor_ratio, cpu["romcast"] / cpu["floor"],
                                                                  objcopy_ratio))
    misses = []
    if objcopy_ratio < min_objcopy_ratio:
        misses.append("%s: objcopy/romcast %.1f, below %.1f" % (title, objcopy_ratio, min_objcopy_ratio))
    if floor_ratio > MAX_HEX_FLOOR_RATIO:
        misses.append("%s: romcast/floor %.2f, above %.2f" % (title, floor_ratio, MAX_HEX_FLOOR_RATIO))
    return misses


def filled_report(result):
    medians, cpu, peaks = result
    print("\nCortex-M image filled to 32 MiB with %s: %s bytes out" % (FILL_PATTERN, format(FILLED_SIZE, ",")))
    print_programs(medians, cpu, peaks, FILLED_SIZE, rate="MB/s out")
    floor_ratio = medians["romcast"] / medians["floor"]
    print("  romcast/floor %.2f (CPU %.2f)" % (floor_ratio, cpu["romcast"] / cpu["floor"]))
    if floor_ratio > MAX_FILLED_FLOOR_RATIO:
        return ["filled image: romcast/floor %.2f, above %.2f" % (floor_ratio, MAX_FILLED_FLOOR_RATIO)]
    return []


def toolchain_report(results):
    misses = []
    for path, medians, cpu, peaks in results:
        size = os.path.getsize(path)
        print("\nCortex-M image from %s, %s bytes" % (os.path.basename(path), format(size, ",")))
        print_programs(medians, cpu, peaks, size)
        if "objcopy" in medians:
            ratio = medians["objcopy"] / medians["romcast"]
            print("  objcopy/romcast %.1f" % ratio)
            if ratio < MIN_SRECORD_OBJCOPY_RATIO:
                misses.append("S-record input: objcopy/romcast %.1f, below %.1f" % (ratio, MIN_SRECORD_OBJCOPY_RATIO))
        else:
            ratio = medians["romcast"] / medians["floor"]
            print("  romcast/floor %.2f (CPU %.2f)" % (ratio, cpu["romcast"] / cpu["floor"]))
            if ratio > MAX_ELF_FLOOR_RATIO:
                misses.append("ELF input: romcast/floor %.2f, above %.2f" % (ratio, MAX_ELF_FLOOR_RATIO))
    return misses


if __name__ == "__main__":
    sys.exit(main())
