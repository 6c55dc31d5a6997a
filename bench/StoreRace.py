#!/usr/bin/env python3
"""Hand edits racing rewrites: how many lines appended by hand to a running
daemon's configuration, while consoles add, delete and re-read, are missing
from the file at the end. Measures, asserts nothing.

Usage: StoreRace.py MUROX LIBRARY [ROUNDS] [APPENDERS] [PAUSE_MS] [WRITES] [CONSOLES]
  MUROX     the murox program (build/native/host/program/murox)
  LIBRARY   an extension library to add and delete (libmurox_ext_idle.so)
  PAUSE_MS  each appender waits 0 to twice this between sections (default
            30): short pauses leave few rewrites a chance to succeed
  WRITES    how an appender writes a section of two lines:
              whole       one write(2) of both (the default)
              buffered    a text file opened for appending, written line by
                          line and closed: what a script's print does
              unbuffered  a file opened unbuffered: one write(2) a line, the
                          file open in between
  CONSOLES  each: a console a line (the default); one: one console runs
            every line, piped, so that a rewrite follows its re-read at once
"""
import os
import random
import subprocess
import sys
import tempfile
import threading
import time


def section(index, number):
    """The two lines of an appender's section."""
    return [f"[hand {index} {number}]\n", f"k{index}_{number} = v\n"]


def main():
    murox, library = sys.argv[1], sys.argv[2]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 300
    appenders = int(sys.argv[4]) if len(sys.argv) > 4 else 2
    pause = (int(sys.argv[5]) if len(sys.argv) > 5 else 30) / 1000
    writes = sys.argv[6] if len(sys.argv) > 6 else "whole"
    one_console = len(sys.argv) > 7 and sys.argv[7] == "one"
    work = tempfile.mkdtemp(prefix="murox-race-")
    conf, sock = os.path.join(work, "murox.conf"), os.path.join(work, "run", "murox.ctl")
    with open(conf, "w") as f:
        f.write("# sections appended by hand below\n")
    daemon = subprocess.Popen([murox, "--daemon", "--config", conf, "--socket", sock],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 30
    while not os.path.exists(sock) and time.monotonic() < deadline:
        time.sleep(0.01)

    def console(line):
        return subprocess.run([murox, "--remote", "--socket", sock, "-e", line],
                              capture_output=True).returncode

    done = threading.Event()
    written = [0] * appenders

    def append(index):
        while not done.is_set():
            # A section of its own: a comment appended below the section
            # that "xdll -a" adds would belong to it, and go with "xdll -d".
            # Its key is its own too: a key line whose header was lost must
            # not repeat a key of the section it then lands in.
            lines = section(index, written[index])
            if writes == "whole":
                fd = os.open(conf, os.O_WRONLY | os.O_APPEND)
                os.write(fd, "".join(lines).encode())
                os.close(fd)
            else:
                with open(conf, "a" if writes == "buffered" else "ab",
                          **({} if writes == "buffered" else {"buffering": 0})) as f:
                    for line in lines:
                        f.write(line if writes == "buffered" else line.encode())
            written[index] += 1
            time.sleep(random.uniform(0, 2 * pause))

    threads = [threading.Thread(target=append, args=(i,)) for i in range(appenders)]
    for t in threads:
        t.start()
    counts = {"done": 0, "refused": 0}
    if one_console:
        lines = f"xdll -r\nxdll -a race {library}\nxdll -d race\n" * rounds
        reasons = subprocess.run([murox, "--remote", "--socket", sock], input=lines.encode(),
                                 capture_output=True).stderr
        counts["refused"] = reasons.count(b"' not added: ") + reasons.count(b"' not deleted: ")
        counts["done"] = 2 * rounds - counts["refused"]
    for i in range(0 if one_console else rounds):
        console("xdll -r")
        for line in (f"xdll -a race {library}", "xdll -d race"):
            counts["done" if console(line) == 0 else "refused"] += 1
    done.set()
    for t in threads:
        t.join()
    daemon.terminate()
    daemon.wait()
    with open(conf) as f:
        kept = set(f)
    total = 2 * sum(written)
    lost = sum(1 for i in range(appenders) for n in range(written[i])
               for line in section(i, n) if line not in kept)
    print(f"rewrites (-a, -d): {counts['done']} done, {counts['refused']} refused; "
          f"lines appended: {total}, lost: {lost} ({1000 * lost / max(total, 1):.1f} per thousand)")
    subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    main()
