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
import select
import shutil
import stat
import subprocess
import sys
import tempfile
import threading
import time

SKIPPED = 77  # the exit status when every case was for another host
HELD_BOUND = 10  # seconds a run may take while its input is held open after the end record
FIFO_WAIT = 30  # seconds a FIFO output may take to be written and closed
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
                    "images": {}, "texts": set(), "stdout": [], "stderr": [], "status": 0, "fsize": None,
                    "modes": {}, "unprivileged": False, "host": None, "env": {},
                    "stdin": None, "held": False, "feeds": {}, "bare": False, "owners": {}, "fifos": [],
                    "stdout_to": None}
            cases.append(case)
        elif kind == "run":
            case["run"] = [as_name(a) for a in args]
        elif kind in ("file", "image", "text"):
            path = as_name(args[0])
            section = case["files" if kind == "file" else "images"].setdefault(path, [])
            if args[1:] == ["raw"]:
                case["raw"].add(path)
            if kind == "text":
                case["texts"].add(path)
        elif kind == "stdin":
            section = case["stdin"] = []
            case["held"] = args == ["open"]
        elif kind == "stdout-to":
            case["stdout_to"] = as_name(args[0])
        elif kind == "bare":
            case["bare"] = True
        elif kind == "feed":
            section = case["feeds"].setdefault(as_name(args[0]), [])
        elif kind == "dir":
            case["dirs"].append(as_name(args[0]))
        elif kind == "link":
            case["links"][as_name(args[0])] = as_name(args[1])
        elif kind == "owner":
            case["owners"][as_name(args[0])] = tuple(int(n) for n in args[1].split(":"))
        elif kind == "fifo":
            case["fifos"].append(as_name(args[0]))
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


def feed(stream, data, done):
    """Writes data into the stream (a FIFO's path, or a pipe) and holds it open until
    done is set, as a producer that keeps its end open after the last record."""
    try:
        with open(stream, "wb") as target:  # a FIFO's open waits for the program to open it
            target.write(data)
            target.flush()
            done.wait()
    except BrokenPipeError:
        pass  # the program stopped reading; its status tells why


def execute(command, case, work, pre):
    """Runs the program, feeding its standard input and FIFOs from the case; returns
    (status, stdout, stderr), with status None when it did not end within the bound."""
    done = threading.Event()
    feeds = [(os.path.join(work, name), text(lines), done) for name, lines in case["feeds"].items()]
    target = case["stdout_to"]
    if target is None:
        stdout = subprocess.PIPE
    elif target == "closed":
        reader, stdout = os.pipe()
        os.close(reader)  # a reader that went away before the first byte, as "| head -c 0" does
    else:
        stdout = os.open(os.path.join(work, target), os.O_WRONLY | os.O_APPEND)
    process = subprocess.Popen(command + case["run"], cwd=work, stdout=stdout, stderr=subprocess.PIPE,
                               stdin=subprocess.PIPE if case["stdin"] is not None else subprocess.DEVNULL,
                               env=dict(os.environ, **case["env"]), preexec_fn=pre)
    if case["stdin"] is not None:
        closed = threading.Event()
        closed.set()
        feeds.append((os.dup(process.stdin.fileno()), text(case["stdin"]), done if case["held"] else closed))
        process.stdin.close()
        process.stdin = None  # the writer owns the pipe through its own descriptor
    writers = [threading.Thread(target=feed, args=f, daemon=True) for f in feeds]
    for writer in writers:
        writer.start()
    held = case["held"] or case["feeds"]
    try:
        if target is not None:
            os.close(stdout)  # the program holds its own copy
        stdout, stderr = process.communicate(timeout=HELD_BOUND if held else 60)
        status = process.returncode
    except subprocess.TimeoutExpired:
        process.kill()
        stdout, stderr = process.communicate()
        status = None
    stdout = stdout or b""
    done.set()
    # A writer still waiting for a reader, or yet to open its FIFO, gets one that stays
    # open until the writer is done: opened and closed at once, it could come too early.
    spares = [os.open(os.path.join(work, name), os.O_RDONLY | os.O_NONBLOCK) for name in case["feeds"]]
    for writer in writers:
        writer.join()
    for spare in spares:
        os.close(spare)
    return status, stdout, stderr


def start_fifo_reader(path):
    """Opens the FIFO at path for reading and collects in a thread what is written to it.

    Opened here, before any writer, without blocking, so that the program's open does
    not wait for a reader and poll() tells the end of its writing (a hang-up) apart
    from a writer yet to come. Returns the thread and the list it appends the bytes to
    when the writer has closed the FIFO within FIFO_WAIT seconds."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    got = []

    def read():
        data, poller = b"", select.poll()
        poller.register(fd, select.POLLIN)
        deadline = time.monotonic() + FIFO_WAIT
        try:
            while time.monotonic() < deadline:
                if poller.poll(100):
                    chunk = os.read(fd, 65536)
                    if not chunk:  # readable with nothing to read: the writer has closed it
                        got.append(data)
                        return
                    data += chunk
        finally:
            os.close(fd)

    thread = threading.Thread(target=read, daemon=True)
    thread.start()
    return thread, got


def run_case(options, case):
    """Runs one case: returns its faults, none when it passed, or why it was skipped."""
    command = options.launcher + [options.romcast]
    if case["unprivileged"]:
        command = unprivileged_command(options.romcast)
        if command is None:
            return "running as root, and setpriv is missing to run it as an unprivileged user"
    if case["owners"] and os.geteuid() != 0:
        return "not running as root, which alone may give a file to another user"
    with tempfile.TemporaryDirectory(dir=options.work_root) as work:
        for name in case["dirs"]:
            os.mkdir(os.path.join(work, name))
        for name, lines in case["files"].items():
            with open(os.path.join(work, name), "wb") as f:
                f.write(text(lines, name in case["raw"]))
        for name, target in case["links"].items():
            os.symlink(target, os.path.join(work, name))
        for name in case["feeds"]:
            os.mkfifo(os.path.join(work, name))
        if case["unprivileged"]:
            os.chmod(work, 0o777)
        for name, (uid, gid) in case["owners"].items():
            os.chown(os.path.join(work, name), uid, gid)  # before the mode: it clears set-ID bits
        for name in case["fifos"]:
            os.mkfifo(os.path.join(work, name))
        for name, mode in case["modes"].items():
            os.chmod(os.path.join(work, name), mode)
        readers = {name: start_fifo_reader(os.path.join(work, name)) for name in case["fifos"]}
        limit = case["fsize"]
        pre = (lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))) if limit else None
        status, stdout, stderr = execute(command, case, work, pre)
        os.chmod(work, 0o700)  # so that the directory can be removed whatever the case did to it
        if options.host == "windows":
            stdout = stdout.replace(b"\r\n", b"\n")
            stderr = stderr.replace(b"\r\n", b"\n")
        faults = []
        fifo_bytes = {}
        for name, (thread, got) in readers.items():
            thread.join()
            if not got:
                faults.append(f"fifo {name}: not written and closed within {FIFO_WAIT} s")
            fifo_bytes[name] = got[0] if got else None
            path = os.path.join(work, name)
            if not (os.path.lexists(path) and stat.S_ISFIFO(os.lstat(path).st_mode)):
                faults.append(f"{name} is no longer a FIFO")
        if status is None:
            faults.append(f"still running after {HELD_BOUND} s with its input held open")
        elif status != case["status"]:
            faults.append(f"status {status}, expected {case['status']}")
        banner = b"" if case["bare"] else BANNER
        for stream, got, want in (("stdout", stdout, banner + text(case["stdout"])),
                                  ("stderr", stderr, text(case["stderr"]))):
            if got != want:
                faults.append(f"{stream}:\n  got      {got!r}\n  expected {want!r}")
        for name, lines in case["images"].items():
            path = os.path.join(work, name)
            got = open(path, "rb").read() if os.path.isfile(path) else fifo_bytes.get(name)
            want = text(lines) if name in case["texts"] else image(lines)
            if got != want:
                faults.append(f"image {name}: got {got[:64] if got else got!r}...")
            elif os.path.isfile(path) and not os.path.islink(path) and os.stat(path).st_mode & 0o7777 != case["modes"].get(name, NEW_FILE_MODE):
                faults.append(f"image {name}: mode {os.stat(path).st_mode & 0o7777:o}")
        for name, owner in case["owners"].items():
            info = os.stat(os.path.join(work, name))
            if (info.st_uid, info.st_gid) != owner:
                faults.append(f"{name}: owner {info.st_uid}:{info.st_gid}, expected {owner[0]}:{owner[1]}")
        for name in case["links"]:
            if not os.path.islink(os.path.join(work, name)):
                faults.append(f"{name} is no longer a symbolic link")
        left = {os.path.relpath(os.path.join(top, n), work)
                for top, dirs, files in os.walk(work) for n in dirs + files}
        expected = (set(case["files"]) | set(case["dirs"]) | set(case["images"]) | set(case["links"])
                    | set(case["feeds"]) | set(case["fifos"]))
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
            if isinstance(faults, str):
                skipped += 1
                print(f"SKIP {os.path.basename(path)}: {case['name']}: {faults}")
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
