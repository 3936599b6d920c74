#!/usr/bin/env python3
"""Throwaway Wine prefixes for tests that run Spoolrig's Windows programs.

A test run makes one template prefix (no Mono or Gecko prompts) and
every case works in a cheap copy of it: the copy hard-links the template's
files and gives the case its own registry hives and spooler folder, the only
things the programs change in place. Nothing here touches ~/.wine.

    python3 wine_env.py make-template DIR     # once per test run

    with WinePrefix.copy_of(template, work_dir, "my_case") as wine:
        wine.set_windows_version("win98")
        wine.run([exe, "arg"], cwd=medium_dir)
        wine.registry().value(r"HKLM\\System\\...", "Port")

The prefix is 32-bit (WINEARCH=win32, the "wine" loader) for a 32-bit build
of the Windows programs and 64-bit (win64, the wine64 loader) for a 64-bit
one: SPOOLRIG_WINEARCH names it outright, otherwise the build folder in
SPOOLRIG_WIN32_BUILD_DIR decides. A host whose kernel cannot execute 32-bit
x86 programs can only run the 64-bit build:

    python3 wine_env.py host-runs-32bit    # exit 0 yes, 1 no (with a note)
    python3 wine_env.py arch BUILD_DIR     # prints win32 or win64

Only the Python 3 standard library is used.
"""

import errno
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

BASE_ENV = {
    "WINEDEBUG": "-all",
    # No prompts to install Mono or Gecko.
    "WINEDLLOVERRIDES": "mscoree,mshtml=",
}

# Files that Wine rewrites in place: a case gets its own copies of these
# instead of links to the template's.
PRIVATE_PATHS = ("system.reg", "user.reg", "userdef.reg",
                 os.path.join("drive_c", "windows", "system32", "spool"))


WINE32_LOADER = "/usr/lib/wine/wine"
WINE64_LOADER = "/usr/lib/wine/wine64"
HOST_32BIT_NOTE = ("kit: this machine cannot run 32-bit programs; the Wine suites run "
                   "Spoolrig's 64-bit build (same sources) under wine64")


def host_runs_32bit():
    """Whether this host's Wine can start a 32-bit program: the 32-bit loader
    is an i386 program, so a kernel without 32-bit support refuses it
    ("Exec format error", which a shell reports as exit status 126)."""
    if not os.path.exists(WINE32_LOADER):
        return not os.path.exists(WINE64_LOADER)
    try:
        result = subprocess.run([WINE32_LOADER, "--version"], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, timeout=60)
    except OSError as e:
        if e.errno == errno.ENOEXEC:
            return False
        raise
    return result.returncode != 126


def pe_machine(exe):
    """The machine field of a Windows program's PE header (0x14c for i386,
    0x8664 for x86-64), or None when `exe` is not one."""
    try:
        with open(exe, "rb") as f:
            head = f.read(4096)
    except OSError:
        return None
    if head[:2] != b"MZ" or len(head) < 0x40:
        return None
    offset = int.from_bytes(head[0x3c:0x40], "little")
    if head[offset:offset + 4] != b"PE\0\0":
        return None
    return int.from_bytes(head[offset + 4:offset + 6], "little")


def build_arch(build_dir):
    """"win64" when the Windows build in `build_dir` is 64-bit, else "win32":
    read from Spoolrig.exe, or before it is built from the build's compiler."""
    machine = pe_machine(os.path.join(build_dir, "installer", "win32", "Spoolrig.exe"))
    if machine is not None:
        return "win64" if machine == 0x8664 else "win32"
    try:
        with open(os.path.join(build_dir, "CMakeCache.txt"), encoding="utf-8") as f:
            compiler = re.search(r"^CMAKE_CXX_COMPILER:\w+=(.*)$", f.read(), re.M)
    except OSError:
        compiler = None
    return "win64" if compiler and "x86_64" in compiler.group(1) else "win32"


def wine_arch():
    """The WINEARCH of this run's prefixes: SPOOLRIG_WINEARCH when set, else
    that of the build in SPOOLRIG_WIN32_BUILD_DIR, else win32."""
    arch = os.environ.get("SPOOLRIG_WINEARCH")
    if arch:
        if arch not in ("win32", "win64"):
            raise ValueError("SPOOLRIG_WINEARCH must be win32 or win64, not " + arch)
        return arch
    build = os.environ.get("SPOOLRIG_WIN32_BUILD_DIR")
    return build_arch(build) if build else "win32"


def wine_loader(arch=None):
    """The command that starts a program in a prefix of `arch`. Debian's
    "wine" picks the 32-bit loader whenever it is installed, even where the
    kernel cannot execute it, so a 64-bit prefix names wine64 itself."""
    return WINE64_LOADER if (arch or wine_arch()) == "win64" else "wine"


def nt_driver_environment():
    """The spooler environment an NT-family installation registers its driver
    for, and that environment's folder under spool\\drivers: "Windows NT x86"
    for the 32-bit program, "Windows x64" for its 64-bit build (whatever
    the prefix)."""
    build = os.environ.get("SPOOLRIG_WIN32_BUILD_DIR")
    bits = build_arch(build) if build else wine_arch()
    return ("Windows x64", "x64") if bits == "win64" else ("Windows NT x86", "w32x86")


def prefix_arch(prefix):
    """The WINEARCH a prefix was made with, from its registry's header."""
    try:
        with open(os.path.join(prefix, "system.reg"), encoding="utf-8",
                  errors="replace") as f:
            head = f.read(512)
    except OSError:
        return None
    m = re.search(r"^#arch=(\w+)", head, re.M)
    return m.group(1) if m else None


def wine_environment(prefix, extra=None):
    env = dict(os.environ)
    env.update(BASE_ENV)
    arch = wine_arch()
    env["WINEARCH"] = arch
    if arch == "win64":
        env["WINELOADER"] = WINE64_LOADER
    env["WINEPREFIX"] = os.path.abspath(prefix)
    if extra:
        env.update(extra)
    return env


def make_template(path, timeout=300):
    """Creates a fresh template prefix at `path`, replacing an old one."""
    path = os.path.abspath(path)
    if os.path.exists(path):
        shutil.rmtree(path)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    env = wine_environment(path)
    subprocess.run([wine_loader(env["WINEARCH"]), "wineboot", "-i"], env=env, check=True,
                   timeout=timeout, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=env, check=True, timeout=timeout)
    if not os.path.exists(os.path.join(path, "system.reg")):
        raise RuntimeError("wineboot made no registry in " + path)


def windows_to_host(prefix, windows_path):
    """Maps "C:\\x\\y" to the host path inside the prefix."""
    drive, _, rest = windows_path.partition(":")
    base = os.path.join(prefix, "dosdevices", drive.lower() + ":")
    parts = [p for p in rest.replace("\\", "/").split("/") if p]
    return os.path.join(base, *parts)


class WinePrefix:
    """One case's prefix. Use as a context manager: leaving it stops the
    prefix's wineserver, and removes the copy when the case passed."""

    def __init__(self, path, extra_env=None):
        self.path = os.path.abspath(path)
        self.env = wine_environment(self.path, extra_env)
        self.loader = wine_loader(self.env["WINEARCH"])
        self.keep = False

    @classmethod
    def copy_of(cls, template, work_dir, name, extra_env=None):
        made_as = prefix_arch(template)
        if made_as and made_as != wine_arch():
            raise RuntimeError("template %s is a %s prefix, this run needs %s" %
                               (template, made_as, wine_arch()))
        path = os.path.join(os.path.abspath(work_dir), name, "prefix")
        if os.path.exists(path):
            kill_server(path)
            shutil.rmtree(path)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        subprocess.run(["cp", "-al", template, path], check=True)
        for rel in PRIVATE_PATHS:
            target = os.path.join(path, rel)
            source = os.path.join(template, rel)
            if os.path.isdir(source):
                shutil.rmtree(target)
                shutil.copytree(source, target, symlinks=True)
            elif os.path.exists(source):
                os.unlink(target)
                shutil.copy2(source, target)
        return cls(path, extra_env)

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self.stop_server()
        if exc_type is None and not self.keep:
            shutil.rmtree(os.path.dirname(self.path), ignore_errors=True)
        return False

    # --- running programs -------------------------------------------------

    def run(self, args, cwd=None, timeout=60, check=True):
        """Runs `wine args...` (wine64 in a 64-bit prefix) and returns the CompletedProcess (text)."""
        # Files, not pipes: the wineserver and Wine's services started by
        # this program inherit its output and would hold a pipe open until
        # they exit, seconds later.
        with tempfile.TemporaryFile() as out_file, tempfile.TemporaryFile() as err_file:
            result = subprocess.run([self.loader] + list(args), cwd=cwd, env=self.env,
                                    stdout=out_file, stderr=err_file, timeout=timeout)
            out_file.seek(0)
            err_file.seek(0)
            out = out_file.read().decode("latin-1").replace("\r\n", "\n")
            err = err_file.read().decode("latin-1").replace("\r\n", "\n")
        completed = subprocess.CompletedProcess(result.args, result.returncode, out, err)
        if check and result.returncode != 0:
            raise AssertionError("wine %s exited with %d\nstdout:\n%s\nstderr:\n%s" %
                                 (" ".join(args), result.returncode, out, err))
        return completed

    def stop_server(self):
        """Stops this prefix's wineserver and waits until it has written the
        registry back to its files."""
        kill_server(self.path)

    # --- registry ---------------------------------------------------------

    def import_registry(self, lines, restart=True, timeout=60):
        """Imports REGEDIT4 text (key lines and value lines, without the
        header) with regedit. With `restart`, stops the server afterwards so
        that settings read when it starts (HKLM\\Software\\Wine\\Ports) take
        effect with the next program."""
        text = "REGEDIT4\r\n\r\n" + "\r\n".join(lines) + "\r\n"
        fd, name = tempfile.mkstemp(suffix=".reg", dir=os.path.dirname(self.path))
        with os.fdopen(fd, "w", encoding="latin-1") as f:
            f.write(text)
        self.run(["regedit", "/S", name], timeout=timeout)
        os.unlink(name)
        if restart:
            self.stop_server()

    def set_windows_version(self, version):
        """Makes programs started from now on see `version` ("win98",
        "winxp", "win7", ...); each process reads it when it starts."""
        self.import_registry(['[HKEY_CURRENT_USER\\Software\\Wine]',
                              '"Version"="%s"' % version], restart=False)

    def registry(self):
        """A snapshot of HKLM and HKCU, after flushing the server."""
        self.stop_server()
        return Registry.load(self.path)

    # --- files ------------------------------------------------------------

    def host_path(self, windows_path):
        return windows_to_host(self.path, windows_path)

    def list_files(self, windows_path):
        """Names of the plain files in a Windows folder, sorted."""
        folder = self.host_path(windows_path)
        if not os.path.isdir(folder):
            return []
        return sorted(n for n in os.listdir(folder)
                      if os.path.isfile(os.path.join(folder, n)))


def kill_server(prefix):
    env = wine_environment(prefix)
    subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)
    subprocess.run(["wineserver", "-w"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)


class Registry:
    """Keys and values of Wine's system.reg (HKLM) and user.reg (HKCU).
    Key paths are compared without regard to case, as on Windows. Values are
    (type, data): REG_SZ and REG_EXPAND_SZ/REG_MULTI_SZ as str (NULs kept),
    REG_DWORD as int, everything else as bytes."""

    REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ = 1, 2, 3, 4, 7

    def __init__(self):
        self.keys = {}  # lower-case full path -> {value name: (type, data)}

    @classmethod
    def load(cls, prefix):
        reg = cls()
        reg._parse(os.path.join(prefix, "system.reg"), "HKLM")
        reg._parse(os.path.join(prefix, "user.reg"), "HKCU")
        return reg

    def has_key(self, path):
        return path.lower() in self.keys

    def values(self, path):
        return self.keys.get(path.lower(), {})

    def value(self, path, name, default=None):
        """The data of one value, or `default` when key or value is absent."""
        entry = self.values(path).get(name)
        return default if entry is None else entry[1]

    def subkeys(self, path):
        prefix = path.lower() + "\\"
        return sorted({k[len(prefix):].split("\\")[0] for k in self.keys
                       if k.startswith(prefix)})

    def _parse(self, file_name, root):
        with open(file_name, encoding="utf-8", errors="surrogateescape") as f:
            text = f.read()
        # Values continue over lines that end in a backslash.
        text = re.sub(r"\\\n\s*", "", text)
        current = None
        for line in text.split("\n"):
            if line.startswith("["):
                end = _closing_bracket(line)
                name = _unescape(line[1:end])
                current = self.keys.setdefault((root + "\\" + name).lower(), {})
            elif current is not None and (line.startswith('"') or line.startswith("@")):
                name, rest = _split_value(line)
                current[name] = _parse_data(rest)


def _closing_bracket(line):
    i = 1
    while i < len(line):
        if line[i] == "\\":
            i += 2
            continue
        if line[i] == "]":
            return i
        i += 1
    return len(line)


def _split_value(line):
    if line.startswith("@="):
        return "", line[2:]
    i = 1
    while line[i] != '"':
        i += 2 if line[i] == "\\" else 1
    return _unescape(line[1:i]), line[i + 2:]


_SIMPLE_ESCAPES = {"\\": "\\", '"': '"', "n": "\n", "r": "\r", "t": "\t", "a": "\a",
                   "b": "\b", "e": "\x1b", "f": "\f", "v": "\v"}


def _unescape(s):
    out = []
    i = 0
    while i < len(s):
        c = s[i]
        if c != "\\" or i + 1 == len(s):
            out.append(c)
            i += 1
            continue
        n = s[i + 1]
        if n in _SIMPLE_ESCAPES:
            out.append(_SIMPLE_ESCAPES[n])
            i += 2
        elif n == "x":
            m = re.match(r"[0-9a-fA-F]{1,4}", s[i + 2:])
            out.append(chr(int(m.group(0), 16)))
            i += 2 + len(m.group(0))
        elif n in "01234567":
            m = re.match(r"[0-7]{1,3}", s[i + 1:])
            out.append(chr(int(m.group(0), 8)))
            i += 1 + len(m.group(0))
        else:
            out.append(n)
            i += 2
    return "".join(out)


def _hex_bytes(s):
    s = s.strip()
    return bytes(int(b, 16) for b in s.split(",") if b.strip()) if s else b""


def _parse_data(rest):
    if rest.startswith('"'):
        return Registry.REG_SZ, _unescape(rest[1:rest.rstrip().rfind('"')])
    m = re.match(r'str\((\d+)\):"(.*)"\s*$', rest)
    if m:
        return int(m.group(1)), _unescape(m.group(2))
    if rest.startswith("dword:"):
        return Registry.REG_DWORD, int(rest[6:].strip(), 16)
    if rest.startswith("hex:"):
        return Registry.REG_BINARY, _hex_bytes(rest[4:])
    m = re.match(r"hex\(([0-9a-fA-F]+)\):(.*)$", rest)
    if m:
        return int(m.group(1), 16), _hex_bytes(m.group(2))
    return None, rest


class SerialLine:
    """A pseudo-terminal pair made by socat; `device` behaves as a serial
    line whose settings GetCommState can read. Point COM1 at it with
    HKLM\\Software\\Wine\\Ports before the wineserver starts."""

    def __init__(self, folder):
        self.device = os.path.join(os.path.abspath(folder), "com1")
        self.peer = os.path.join(os.path.abspath(folder), "com1-peer")
        self.process = None

    def __enter__(self):
        os.makedirs(os.path.dirname(self.device), exist_ok=True)
        self.process = subprocess.Popen(
            ["socat", "pty,raw,echo=0,link=" + self.device,
             "pty,raw,echo=0,link=" + self.peer],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not (os.path.exists(self.device) and os.path.exists(self.peer)):
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("socat made no pseudo-terminal")
            time.sleep(0.05)
        return self

    def __exit__(self, *exc):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(timeout=10)
        return False


def main(argv):
    if len(argv) == 3 and argv[1] == "make-template":
        make_template(argv[2])
        return 0
    if len(argv) == 2 and argv[1] == "host-runs-32bit":
        if host_runs_32bit():
            return 0
        print(HOST_32BIT_NOTE)
        return 1
    if len(argv) == 3 and argv[1] == "arch":
        print(build_arch(argv[2]))
        return 0
    print("usage: wine_env.py make-template DIR | host-runs-32bit | arch BUILD_DIR",
          file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
