#!/usr/bin/python3
"""A fleet run of 64 simulated modules, 64 at once, on a pseudo-terminal of a
given size, read as a terminal emulator (pyte) renders it.

Usage: fleet_board_terminal_test.py QUILLON_OTA COLUMNS ROWS

Checks, at every complete redraw of the board and at the end:
- every bar row ends with its ETA, and the rows of one redraw line up;
- with more modules in flight than the screen has rows, the block is the
  rows that fit and one "N more in flight" line just above the cursor;
- nothing wrapped or was cut: the whole output renders the same on this
  terminal as on one wide enough never to wrap (scrollback included);
- the scrollback holds no stale copy of the board: each module's finished
  bar once, and no bar short of 100% or "more in flight" line;
- the summary table's headers start where their columns do.
Nothing here depends on how fast the machine is: a module answers each
packet after --latency, so transfers overlap however slowly the run goes.
"""
import fcntl
import os
import pty
import re
import select
import struct
import sys
import tempfile
import termios

import pyte

MODULES = 64
# A bar row: "<key>  <name>  [####....] 40%  ...  ETA 0:03".
BAR = re.compile(r"\[[#.]+\] +(\d{1,3})%")
ETA_AT_END = re.compile(r"  ETA (--:--|\d+(:\d\d)+)$")
MORE = re.compile(r"^(\d+) more in flight$")
# Far wider than any line the tool prints: nothing wraps there.
WIDE = 300


def run_on_pty(argv, env, columns, rows):
    """Runs argv on a new pseudo-terminal of columns x rows; returns the exit
    status and the output as a list of reads."""
    pid, master = pty.fork()
    if pid == 0:
        fcntl.ioctl(1, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
        os.execve(argv[0], argv, env)
    reads = []
    while True:
        # Only so that a hung run fails rather than hangs the suite.
        ready, _, _ = select.select([master], [], [], 600)
        if not ready:
            os.kill(pid, 9)
            raise AssertionError("quillon-ota wrote nothing for 600 s")
        try:
            chunk = os.read(master, 65536)
        except OSError:  # EIO: the tool has closed the terminal
            break
        if not chunk:
            break
        reads.append(chunk)
    _, status = os.waitpid(pid, 0)
    os.close(master)
    return os.waitstatus_to_exitcode(status), reads


def transcript(screen, columns):
    """Scrollback, then the screen, without trailing blanks or empty lines."""
    lines = ["".join(line[x].data for x in range(columns)).rstrip() for line in screen.history.top]
    lines += [line.rstrip() for line in screen.display]
    while lines and not lines[-1]:
        lines.pop()
    return lines


def check_redraw(screen, columns, rows, failures, seen_more):
    """The screen just after a redraw of the block, with the cursor below it."""
    display = [line.rstrip() for line in screen.display]
    block = []
    for line in reversed(display[: screen.cursor.y]):
        if not (BAR.search(line) or MORE.match(line)):
            break
        block.insert(0, line)
    bars = [line for line in block if BAR.search(line)]
    for line in bars:
        if not ETA_AT_END.search(line):
            failures.append(f"bar row cut before its ETA: {line!r}")
    if len({line.index("[") for line in bars}) > 1 or len({BAR.search(line).end() for line in bars}) > 1:
        failures.append("bar rows of one redraw do not line up:\n" + "\n".join(bars))
    more = [line for line in block if MORE.match(line)]
    if more:
        seen_more.append(more[0])
        if block[-1] != more[0] or len(more) > 1:
            failures.append(f"'more in flight' is not the block's last line: {block}")
        if len(bars) != rows - 2:
            failures.append(f"{len(bars)} bar rows above {more[0]!r} on a {rows}-row screen")
    if len(block) > rows - 1:
        failures.append(f"a block of {len(block)} lines on a {rows}-row screen")


def check_summary(lines, failures):
    header_at = next((i for i, line in enumerate(lines) if line.startswith("module ")), None)
    if header_at is None:
        failures.append("no summary table")
        return
    header = lines[header_at]
    rows = lines[header_at + 1 : header_at + 1 + MODULES]
    if len(rows) != MODULES or not all(" success " in row for row in rows):
        failures.append("the summary table does not list every module's success:\n" + "\n".join(rows))
        return
    # Each column's left edge: where its widest cell starts. Cells are
    # separated by two spaces or more.
    cells = [[m.start() for m in re.finditer(r"(?:(?<=^)|(?<=  ))\S", row)] for row in rows]
    titles = [m.start() for m in re.finditer(r"\S+", header)]
    if any(len(c) != len(titles) for c in cells):
        failures.append("summary rows and header have different columns:\n" + "\n".join([header] + rows[:3]))
        return
    edges = [min(c[i] for c in cells) for i in range(len(titles))]
    if titles != edges:
        failures.append(f"summary header at columns {titles}, its columns at {edges}:\n{header}\n{rows[0]}")
    for row in rows:
        if not re.match(r"^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}  ", row):
            failures.append(f"summary row without its module's full identifier: {row!r}")


def main():
    tool, columns, rows = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    with tempfile.TemporaryDirectory() as work:
        image = os.path.join(work, "image.bin")
        with open(image, "wb") as f:
            f.write(os.urandom(16 * 1024))
        env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(work, "config"),
                   XDG_CACHE_HOME=os.path.join(work, "cache"), TERM="xterm")
        # 100 ms per answer: each transfer takes some seconds whatever the
        # machine's speed, while connecting takes no simulated time, so
        # every module is in flight at once.
        status, reads = run_on_pty([tool, image, "--all", "--modules", str(MODULES), "--parallel", str(MODULES),
                                    "--scan-timeout", "1", "--latency", "100"], env, columns, rows)

    failures = []
    if status != 0:
        failures.append(f"exit status {status}")
    screen = pyte.HistoryScreen(columns, rows, history=100000)
    stream = pyte.ByteStream(screen)
    seen_more = []
    tail = b""
    for chunk in reads:
        stream.feed(chunk)
        tail = (tail + chunk)[-5:]
        # A redraw of the block ends by turning auto-wrap back on.
        if tail == b"\x1b[?7h":
            check_redraw(screen, columns, rows, failures, seen_more)
    received = b"".join(reads)
    if not seen_more:
        failures.append(f"{MODULES} modules in flight on {rows} rows, but never a 'more in flight' line")

    lines = transcript(screen, columns)
    wide = pyte.HistoryScreen(WIDE, rows, history=100000)
    pyte.ByteStream(wide).feed(received)
    wide_lines = transcript(wide, WIDE)
    if lines != wide_lines:
        diff = next(i for i, (a, b) in enumerate(zip(lines + [""], wide_lines + [""])) if a != b)
        failures.append(f"line {diff} was wrapped or cut at {columns} columns:\n"
                        f"  here: {lines[diff:diff + 2]}\n  wide: {wide_lines[diff:diff + 1]}")

    finished = {}
    for line in lines:
        if MORE.match(line):
            failures.append(f"stale block line in the scrollback: {line!r}")
        bar = BAR.search(line)
        if not bar:
            continue
        if bar.group(1) != "100":
            failures.append(f"stale bar in the scrollback: {line!r}")
        key = line.split()[0]
        finished[key] = finished.get(key, 0) + 1
    if len(finished) != MODULES or any(n != 1 for n in finished.values()):
        failures.append(f"finished bars: {finished}")
    check_summary(lines, failures)
    if not lines or lines[-1] != f"quillon-ota: success: all {MODULES} modules updated":
        failures.append(f"last line: {lines[-1:]!r}")

    if failures:
        print(f"at {columns}x{rows}:", file=sys.stderr)
        for failure in failures[:20]:
            print("FAIL:", failure, file=sys.stderr)
        print("---- as rendered:", *lines, sep="\n", file=sys.stderr)
        return 1
    print(f"at {columns}x{rows}: {len(lines)} lines, {len(seen_more)} redraws with {seen_more[0]!r} or like it")
    return 0


if __name__ == "__main__":
    sys.exit(main())
