#!/usr/bin/env python3
"""End-to-end runner: runs the built romcast on each case of the case files given and
checks its exit status, both streams byte for byte, the files it leaves and their bytes.
The case format is described in cases/README.md.

usage: run_cases.py [--host posix|windows] [--launcher PROGRAM] [--work-root DIR] ROMCAST CASEFILE...

--host windows runs the cases meant for a Windows build and reads its streams as the
text streams they are there, each line feed written as CR LF. --launcher runs ROMCAST
through another program (wine). --work-root is where the cases' work directories go:
under wine, a directory of drive C:, so that "C:prog.hex" finds the case's directory as
the current directory of drive C:."""
import argparse
import atexit
import codecs
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile

SKIPPED = 77  # the exit status when every case was for another host
UMASK = os.umask(0o22)
os.umask(UMASK)
NEW_FILE_MODE = 0o666 & ~UMASK
BANNER = (b"\n**********************************\n"
          b"* Intel8-HEX to Binary Converter *\n"
          b"*         Windows Version        *\n"
          b"*                                *\n"
          b"*  romcast: HEX to flat binary   *\n"
          b"* Last change: 13.03.2004        *\n"
          b"**********************************\n\n")


def utf8_escapes(match):
    """A \\uXXXX escape as the \\x escapes of its UTF-8 bytes; an escaped backslash as is."""
    if match.group(1) is None:
        return match.group(0)
    return "".join(f"\\x{byte:02x}" for byte in chr(int(match.group(1), 16)).encode("utf-8"))


def decode(text):
    text = re.sub(r"\{\{(.*?)\*(\d+)\}\}", lambda m: m.group(1) * int(m.group(2)), text)
    text = re.sub(r"\\(?:\\|u([0-9a-fA-F]{4}))", utf8_escapes, text)
    return codecs.decode(text, "unicode_escape").encode("latin-1")


def as_name(text):
    """A file name or argument: the bytes given, whatever the encoding."""
    return os.fsdecode(decode(text))


def parse(path):
    cases, case, section = [], None, None
    for line in open(path, encoding="ascii").read().split("\n"):
        if not line.startswith("@@"):
            if section is not None:
                section.append(line)
            continue
        words = line[2:].split()
        section = None
        if not words or words[0].startswith("#"):
            continue
        kind, args = words[0], words[1:]
        if kind == "case":
            case = {"name": " ".join(args), "run": [], "files": {}, "raw": set(), "dirs": [], "links": {},
                    "images": {}, "stdout": [], "stderr": [], "status": 0, "fsize": None,
                    "modes": {}, "unprivileged": False, "host": None, "env": {}}
            cases.append(case)
        elif kind == "run":
            case["run"] = [as_name(a) for a in args]
        elif kind in ("file", "image"):
            path = as_name(args[0])
            section = case[kind + "s"].setdefault(path, [])
            if args[1:] == ["raw"]:
                case["raw"].add(path)
        elif kind == "dir":
            case["dirs"].append(as_name(args[0]))
        elif kind == "link":
            case["links"][as_name(args[0])] = as_name(args[1])
        elif kind == "mode":
            case["modes"][as_name(args[0])] = int(args[1], 8)
        elif kind == "unprivileged":
            case["unprivileged"] = True
        elif kind == "limit":
            case["fsize"] = int(args[1])
        elif kind == "env":
            name, _, value = args[0].partition("=")
            case["env"][name] = value
        elif kind == "host":
            case["host"] = args[0]
        elif kind == "status":
            case["status"] = int(args[0])
        elif kind in ("stdout", "stderr"):
            section = case[kind]
    return cases


def text(lines, raw=False):
    # A file ends with a line feed, so the last line of a section is the empty one.
    lines = lines[:-1] if lines and lines[-1] == "" else lines
    return b"".join(decode(l) + (b"" if raw else b"\n") for l in lines)


def image(lines):
    out = bytearray()
    for token in " ".join(lines).split():
        byte, _, count = token.partition("*")
        out += bytes([int(byte, 16)]) * int(count or 1)
    return bytes(out)


def unprivileged_command(program, cache={}):
    """The command line prefix that runs the program without privileges, or None.

    As root, permissions do not hold, so the program is run as user nobody from a copy
    that nobody may execute; any other user already runs without privileges."""
    if os.geteuid() != 0:
        return [program]
    if "command" not in cache:
        cache["command"] = None
        if shutil.which("setpriv"):
            home = tempfile.mkdtemp(prefix="romcast-unprivileged-")
            os.chmod(home, 0o755)
            copy = shutil.copy(program, home)
            atexit.register(shutil.rmtree, home)
            cache["command"] = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--", copy]
    return cache["command"]


def run_case(options, case):
    command = options.launcher + [options.romcast]
    if case["unprivileged"]:
        command = unprivileged_command(options.romcast)
        if command is None:
            return None
    with tempfile.TemporaryDirectory(dir=options.work_root) as work:
        for name in case["dirs"]:
            os.mkdir(os.path.join(work, name))
        for name, lines in case["files"].items():
            with open(os.path.join(work, name), "wb") as f:
                f.write(text(lines, name in case["raw"]))
        for name, target in case["links"].items():
            os.symlink(target, os.path.join(work, name))
        if case["unprivileged"]:
            os.chmod(work, 0o777)
        for name, mode in case["modes"].items():
            os.chmod(os.path.join(work, name), mode)
        limit = case["fsize"]
        pre = (lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))) if limit else None
        done = subprocess.run(command + case["run"], cwd=work, capture_output=True,
                              env=dict(os.environ, **case["env"]),
                              preexec_fn=pre, timeout=60)
        os.chmod(work, 0o700)  # so that the directory can be removed whatever the case did to it
        if options.host == "windows":
            done.stdout = done.stdout.replace(b"\r\n", b"\n")
            done.stderr = done.stderr.replace(b"\r\n", b"\n")
        faults = []
        if done.returncode != case["status"]:
            faults.append(f"status {done.returncode}, expected {case['status']}")
        for stream, got, want in (("stdout", done.stdout, BANNER + text(case["stdout"])),
                                  ("stderr", done.stderr, text(case["stderr"]))):
            if got != want:
                faults.append(f"{stream}:\n  got      {got!r}\n  expected {want!r}")
        for name, lines in case["images"].items():
            path = os.path.join(work, name)
            got = open(path, "rb").read() if os.path.isfile(path) else None
            if got != image(lines):
                faults.append(f"image {name}: got {got[:64] if got else got!r}...")
            elif not os.path.islink(path) and os.stat(path).st_mode & 0o777 != case["modes"].get(name, NEW_FILE_MODE):
                faults.append(f"image {name}: mode {os.stat(path).st_mode & 0o777:o}")
        for name in case["links"]:
            if not os.path.islink(os.path.join(work, name)):
                faults.append(f"{name} is no longer a symbolic link")
        left = {os.path.relpath(os.path.join(top, n), work)
                for top, dirs, files in os.walk(work) for n in dirs + files}
        expected = set(case["files"]) | set(case["dirs"]) | set(case["images"]) | set(case["links"])
        if left != expected:
            faults.append(f"files left {sorted(left)}, expected {sorted(expected)}")
        return faults


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", choices=("posix", "windows"), default="posix")
    parser.add_argument("--launcher", action="append", default=[])
    parser.add_argument("--work-root")
    parser.add_argument("romcast")
    parser.add_argument("case_files", nargs="+")
    options = parser.parse_args()
    options.romcast = os.path.abspath(options.romcast)
    if options.work_root:
        os.makedirs(options.work_root, exist_ok=True)
    passed, failed, skipped = 0, 0, 0
    for path in options.case_files:
        for case in parse(path):
            if case["host"] not in (None, options.host):
                skipped += 1
                continue
            faults = run_case(options, case)
            if faults is None:
                skipped += 1
                print(f"SKIP {os.path.basename(path)}: {case['name']}: running as root, and setpriv "
                      "is missing to run it as an unprivileged user")
            elif faults:
                failed += 1
                print(f"FAIL {os.path.basename(path)}: {case['name']}\n  " + "\n  ".join(faults))
            else:
                passed += 1
    print(f"{passed} passed, {failed} failed, {skipped} for another host")
    if failed or not (passed or skipped):
        return 1
    return 0 if passed else SKIPPED


if __name__ == "__main__":
    sys.exit(main())
