#!/usr/bin/python3
"""Boots one qemu virtual machine in which the real Linux Bluetooth stack and
the real bluetoothd run over emulated LE controllers (btvirt), runs a list of
cases there one after another, and leaves one result folder per case.

The guest runs the host's own programs: its root is the host's / shared
read-only over virtio-9p with a tmpfs on top, so nothing is installed anywhere.
Only the kernel is not the host's (the host may have no Bluetooth at all): a
Debian kernel package, fetched once and cached with the initramfs in the cache
folder that every build configuration shares.

Exit status: 0 when the VM ran (each case's verdict is in OUT/CASE/result),
77 with one line on stderr when this host cannot run the VM, 1 on a harness
fault (the VM would not boot, the whole run timed out).
"""

import argparse
import contextlib
import fcntl
import glob
import gzip
import hashlib
import lzma
import os
import shutil
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
GUEST_DIR = os.path.join(HERE, "guest")
CASES_DIR = os.path.join(HERE, "cases")
KERNEL_PIN = os.path.join(HERE, "guest-kernel.txt")
# The modules the initramfs needs to reach the host's root; modules.dep adds
# what they depend on.
INITRAMFS_MODULES = ["virtio_pci", "9pnet_virtio", "9p", "overlay"]
SKIP = 77


class CannotRun(Exception):
    """This host lacks something the VM needs; the run is skipped, not failed."""


def say(text):
    print(f"[bluez-vm] {text}", flush=True)


def require_host_programs():
    needed = {
        "qemu-system-x86_64": "package qemu-system-x86",
        "btvirt": "package bluez-test-tools",
        "btmgmt": "package bluez",
        "dbus-daemon": "package dbus-daemon",
        "apt-get": "apt",
        "dpkg-deb": "dpkg",
        "depmod": "package kmod",
        "modprobe": "package kmod",
        "timeout": "coreutils",
        "setsid": "util-linux",
    }
    for program, where in needed.items():
        if not shutil.which(program, path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin"):
            raise CannotRun(f"no {program} on this host ({where})")
    if not any(os.access(p, os.X_OK) for p in
               ("/usr/libexec/bluetooth/bluetoothd", "/usr/sbin/bluetoothd")):
        raise CannotRun("no bluetoothd on this host (package bluez)")
    busybox = "/bin/busybox"
    if not os.access(busybox, os.X_OK):
        raise CannotRun("no /bin/busybox on this host (package busybox-static)")
    # Without `file` we trust the package; a dynamic busybox fails loudly at boot.
    if shutil.which("file") and b"statically linked" not in subprocess.run(
            ["file", "-L", busybox], capture_output=True).stdout:
        raise CannotRun("/bin/busybox is not statically linked (install busybox-static)")
    if not os.path.exists("/usr/bin/python3"):
        raise CannotRun("no /usr/bin/python3")


def pinned_kernel_package():
    """(package, suite): the suite is None for the machine's own apt sources."""
    with open(KERNEL_PIN) as f:
        for line in f:
            words = line.split("#", 1)[0].split()
            if words:
                return words[0], (words[1] if len(words) > 1 else None)
    raise RuntimeError(f"{KERNEL_PIN} names no package")


def debian_mirror():
    """The Debian archive the machine's apt uses (its first main URI)."""
    for path in sorted(glob.glob("/etc/apt/sources.list.d/*.sources")) + ["/etc/apt/sources.list"]:
        try:
            text = open(path).read()
        except OSError:
            continue
        for line in text.splitlines():
            words = line.split()
            if words[:1] == ["URIs:"] and "security" not in words[1]:
                return words[1]
            if words[:1] == ["deb"] and "security" not in words[1]:
                return words[1]
    return "http://deb.debian.org/debian"


def apt_options(cache, suite):
    """apt options for `suite` (e.g. bookworm-backports) in a private state
    under the cache, so the machine's own apt configuration is not touched;
    none for the machine's own sources."""
    if not suite:
        return []
    root = os.path.join(cache, "apt-" + suite)
    options = ["-o", f"Dir::Etc::SourceList={root}/sources.list", "-o", "Dir::Etc::SourceParts=/dev/null",
               "-o", f"Dir::State::Lists={root}/lists", "-o", f"Dir::Cache={root}/cache"]
    if not os.path.exists(os.path.join(root, "updated")):
        os.makedirs(os.path.join(root, "lists", "partial"), exist_ok=True)
        os.makedirs(os.path.join(root, "cache", "archives", "partial"), exist_ok=True)
        with open(os.path.join(root, "sources.list"), "w") as f:
            f.write(f"deb {debian_mirror()} {suite} main\n")
        if subprocess.run(["apt-get", "-q", *options, "update"], capture_output=True).returncode == 0:
            open(os.path.join(root, "updated"), "w").close()
    return options


def current_kernel_package(cache, suite):
    out = subprocess.run(["apt-cache", *apt_options(cache, suite), "depends", "linux-image-amd64"],
                         capture_output=True, text=True).stdout
    for line in out.splitlines():
        line = line.strip()
        if line.startswith("Depends:") and "linux-image-" in line:
            return line.split(":", 1)[1].strip()
    return None


def unpacked_kernel(cache, package, suite):
    """The folder holding boot/vmlinuz-* and lib/modules/* of `package`,
    fetched and unpacked once; None when the archive does not have it."""
    version = package[len("linux-image-"):]
    tree = os.path.join(cache, "kernel", version)
    if os.path.exists(os.path.join(tree, "ready")):
        return tree
    debs = os.path.join(cache, "debs")
    os.makedirs(debs, exist_ok=True)
    deb = next((os.path.join(debs, f) for f in sorted(os.listdir(debs))
                if f.startswith(package + "_") and f.endswith(".deb")), None)
    if deb is None:
        say(f"fetching {package}")
        got = subprocess.run(["apt-get", "download", "-q", *apt_options(cache, suite), package], cwd=debs,
                             capture_output=True, text=True)
        deb = next((os.path.join(debs, f) for f in sorted(os.listdir(debs))
                    if f.startswith(package + "_") and f.endswith(".deb")), None)
        if got.returncode != 0 or deb is None:
            return None
    partial = tree + ".partial"
    shutil.rmtree(partial, ignore_errors=True)
    os.makedirs(partial)
    subprocess.run(["dpkg-deb", "-x", deb, partial], check=True)
    # The package ships no modules.dep: the guest's modprobe needs one.
    subprocess.run(["depmod", "-b", partial, version], check=True)
    open(os.path.join(partial, "ready"), "w").close()
    shutil.rmtree(tree, ignore_errors=True)
    os.rename(partial, tree)
    return tree


def prepare_kernel(cache):
    pinned, suite = pinned_kernel_package()
    tree = unpacked_kernel(cache, pinned, suite)
    if tree:
        return tree, pinned[len("linux-image-"):]
    current = current_kernel_package(cache, suite)
    if not current:
        raise CannotRun(f"cannot fetch {pinned} and apt knows no linux-image-amd64")
    say(f"{pinned} is no longer in the archive; using {current} "
        f"(what linux-image-amd64 depends on; update {os.path.basename(KERNEL_PIN)})")
    tree = unpacked_kernel(cache, current, suite)
    if not tree:
        raise CannotRun(f"cannot fetch {pinned} nor {current} (no network or apt lists?)")
    return tree, current[len("linux-image-"):]


def module_load_order(modules_dir, wanted):
    """Module files (relative to modules_dir) in an order insmod accepts."""
    deps = {}
    with open(os.path.join(modules_dir, "modules.dep")) as f:
        for line in f:
            target, _, rest = line.partition(":")
            deps[target] = rest.split()
    by_name = {os.path.basename(p).split(".ko")[0].replace("-", "_"): p for p in deps}
    order = []

    def add(path):
        if path in order:
            return
        for dep in deps[path]:
            add(dep)
        order.append(path)

    builtin = set()
    builtin_list = os.path.join(modules_dir, "modules.builtin")
    if os.path.exists(builtin_list):
        with open(builtin_list) as f:
            builtin = {os.path.basename(line.strip()).split(".ko")[0].replace("-", "_") for line in f}
    for name in wanted:
        if name in builtin:
            continue  # part of the kernel itself
        if name not in by_name:
            raise RuntimeError(f"module {name} not in modules.dep")
        add(by_name[name])
    return order


def cpio_newc(entries):
    """A newc cpio archive of (name, mode, data) entries; directories first."""
    out = bytearray()
    for ino, (name, mode, data) in enumerate(entries + [("TRAILER!!!", 0, b"")], start=1):
        encoded = name.encode() + b"\0"
        header = "070701" + "".join(f"{v:08X}" for v in (
            ino, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(encoded), 0))
        out += header.encode() + encoded
        out += b"\0" * (-len(out) % 4)
        out += data
        out += b"\0" * (-len(out) % 4)
    return bytes(out)


def prepare_initramfs(cache, tree, version):
    modules_dir = os.path.join(tree, "lib", "modules", version)
    order = module_load_order(modules_dir, INITRAMFS_MODULES)
    with open(os.path.join(GUEST_DIR, "initramfs-init.sh"), "rb") as f:
        init = f.read()
    with open("/bin/busybox", "rb") as f:
        busybox = f.read()
    key = hashlib.sha256(init + busybox + version.encode()).hexdigest()[:16]
    image = os.path.join(cache, f"initramfs-{version}-{key}.cpio.gz")
    if os.path.exists(image):
        return image
    directory, regular = 0o040755, 0o100755
    entries = [(d, directory, b"") for d in ("bin", "dev", "proc", "sys", "modules")]
    entries += [("bin/busybox", regular, busybox), ("init", regular, init)]
    names = []
    for rel in order:
        # busybox's insmod takes plain modules; newer Debian kernels ship them xz-compressed.
        with open(os.path.join(modules_dir, rel), "rb") as f:
            data = f.read()
        name = os.path.basename(rel)
        if name.endswith(".xz"):
            data, name = lzma.decompress(data), name[:-3]
        elif name.endswith(".zst"):
            raise RuntimeError(f"{rel}: zstd-compressed modules are not unpacked here")
        entries.append(("modules/" + name, 0o100644, data))
        names.append(name)
    entries.append(("modules.order", 0o100644, ("\n".join(names) + "\n").encode()))
    # Older ones of this kernel go; another kernel's may be in use by a run of another tree.
    for old in os.listdir(cache):
        if old.startswith(f"initramfs-{version}-") and old.endswith(".cpio.gz"):
            os.remove(os.path.join(cache, old))
    with gzip.open(image + ".partial", "wb", compresslevel=1) as f:
        f.write(cpio_newc(entries))
    os.rename(image + ".partial", image)
    return image


def list_cases(cases_dir, names):
    cases = []
    for name in names:
        path = os.path.join(cases_dir, name + ".sh")
        if not os.access(path, os.X_OK):
            raise RuntimeError(f"no executable case {path}")
        cases.append(name)
    return cases


def write_result(out, case, verdict, reason):
    folder = os.path.join(out, case)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "result"), "w") as f:
        f.write(f"{verdict} {reason}\n")


class Console:
    """Copies the guest's serial console to a log and stamps, with the host's
    clock, the marker lines the session script prints ("QVM-MARK name")."""

    def __init__(self, stream, log_path, started):
        self.marks = {}
        self.started = started
        self.lock = threading.Lock()
        self.log = open(log_path, "wb")
        self.thread = threading.Thread(target=self._copy, args=(stream,), daemon=True)
        self.thread.start()

    def _copy(self, stream):
        for raw in iter(stream.readline, b""):
            now = time.monotonic() - self.started
            self.log.write(raw)
            self.log.flush()
            line = raw.decode(errors="replace").strip()
            if line.startswith("QVM-MARK "):
                with self.lock:
                    self.marks.setdefault(line.split()[1], now)
                if os.environ.get("QUILLON_VM_VERBOSE"):
                    say(f"{now:7.1f}s {line[9:]}")

    def mark(self, name):
        with self.lock:
            return self.marks.get(name)


def tail(path, lines):
    try:
        with open(path, errors="replace") as f:
            return "".join(f.readlines()[-lines:])
    except OSError:
        return ""


def kvm_boots_guest(cache, kernel, initramfs):
    """Whether KVM runs this guest. /dev/kvm can be there and qemu accept it
    while the guest never gets past its first instructions (seen under nested
    virtualisation): so boot the guest once with KVM up to its /init, which
    answers at once and powers off. The answer is kept per host kernel, qemu
    and guest kernel. The limit only tells a hang from a boot: a working KVM
    answers in a second or two, and even TCG within seconds."""
    qemu_version = subprocess.run(["qemu-system-x86_64", "--version"], capture_output=True,
                                  text=True).stdout.split("\n")[0]
    key = hashlib.sha256(f"{os.uname().release}|{qemu_version}|{kernel}".encode()).hexdigest()[:16]
    verdict_file = os.path.join(cache, f"kvm-probe-{key}")
    if os.path.exists(verdict_file):
        with open(verdict_file) as f:
            return f.read().strip() == "works"
    command = ["qemu-system-x86_64", "-accel", "kvm", "-m", "256", "-nodefaults",
               "-no-user-config", "-display", "none", "-no-reboot", "-serial", "stdio",
               "-monitor", "none", "-kernel", kernel, "-initrd", initramfs,
               "-append", "console=ttyS0 panic=-1 quiet qvm.probe=1"]
    try:
        got = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, timeout=20)
        works = b"QVM-PROBE-OK" in got.stdout
    except subprocess.TimeoutExpired:
        works = False
    with open(verdict_file, "w") as f:
        f.write("works\n" if works else "hangs\n")
    return works


def accel_arguments(cache, kernel, initramfs):
    forced = os.environ.get("QUILLON_VM_ACCEL", "")
    if forced == "tcg":
        return ["-accel", "tcg"], "tcg (forced by QUILLON_VM_ACCEL)"
    if forced == "kvm":
        return ["-accel", "kvm"], "kvm (forced by QUILLON_VM_ACCEL)"
    if not os.access("/dev/kvm", os.R_OK | os.W_OK):
        return ["-accel", "tcg"], "tcg (no usable /dev/kvm)"
    if not kvm_boots_guest(cache, kernel, initramfs):
        return ["-accel", "tcg"], "tcg (KVM is there but does not boot the guest on this host)"
    # qemu takes the first accelerator that works.
    return ["-accel", "kvm", "-accel", "tcg"], "kvm"


@contextlib.contextmanager
def cache_locked(cache):
    """Build folders share the cache: one of them fills it at a time."""
    os.makedirs(cache, exist_ok=True)
    with open(os.path.join(cache, ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def run(args):
    require_host_programs()
    cache = os.path.abspath(args.cache)
    out = os.path.abspath(args.out)
    build = os.path.abspath(args.build)
    for path in (cache, out, build, HERE):
        if any(c.isspace() for c in path):
            raise CannotRun(f"the guest's kernel command line cannot carry a path with spaces: {path}")
    os.makedirs(cache, exist_ok=True)
    os.makedirs(os.path.dirname(out), exist_ok=True)
    # Two runs on one results folder (two ctest runs in one build folder)
    # would empty it under each other: the second waits for the first.
    lock = open(out + ".lock", "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        say(f"waiting for another run that uses {out}")
        fcntl.flock(lock, fcntl.LOCK_EX)
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    cases_dir = os.path.abspath(args.cases_dir)
    cases = list_cases(cases_dir, args.cases)

    t0 = time.monotonic()
    with cache_locked(cache):
        tree, version = prepare_kernel(cache)
        initramfs = prepare_initramfs(cache, tree, version)
        kernel = os.path.join(tree, "boot", f"vmlinuz-{version}")
        accel, accel_note = accel_arguments(cache, kernel, initramfs)

    # The session script reads its settings from here (shell assignments).
    settings = {
        "QVM_KERNEL_VERSION": version,
        "QVM_MODULES": os.path.join(tree, "lib", "modules", version),
        "QVM_CONTROLLERS": str(args.controllers),
        "QVM_CASES": " ".join(cases),
        "QVM_CASE_TIMEOUT": str(args.case_timeout),
        "QVM_CASES_DIR": cases_dir,
        "QVM_GUEST_DIR": GUEST_DIR,
        "QUILLON_BUILD": build,
        "QUILLON_SOURCE": os.path.abspath(os.path.join(HERE, "..", "..", "..")),
    }
    with open(os.path.join(out, "vm.env"), "w") as f:
        for key, value in settings.items():
            f.write(f"{key}='{value}'\n")

    prepared = time.monotonic() - t0
    console_log = os.path.join(out, "console.log")
    command = [
        "qemu-system-x86_64", *accel, "-m", str(args.memory), "-smp", "2",
        "-nodefaults", "-no-user-config", "-display", "none", "-no-reboot",
        "-serial", "stdio", "-monitor", "none",
        "-kernel", kernel,
        "-initrd", initramfs,
        # panic=-1 turns a dead guest into qemu's exit (with -no-reboot).
        "-append", f"console=ttyS0 panic=-1 loglevel=4 qvm.session={GUEST_DIR}/session.sh",
        "-virtfs", "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap",
        "-virtfs", f"local,path={out},mount_tag=results,security_model=none,multidevs=remap",
    ]
    say(f"kernel {version}, accelerator {accel_note}, {args.controllers} controllers, "
        f"cases: {' '.join(cases)}")
    with open(os.path.join(out, "qemu-command"), "w") as f:
        f.write(" ".join(command) + "\n")
    started = time.monotonic()
    qemu = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    console = Console(qemu.stdout, console_log, started)
    timed_out = False
    try:
        qemu.wait(timeout=args.timeout)
    except subprocess.TimeoutExpired:
        timed_out = True
        qemu.kill()
        qemu.wait()
    console.thread.join(timeout=10)
    wall = time.monotonic() - started

    # Cases the guest never finished: the VM died or the whole run ran out of time.
    why = f"the whole run timed out after {args.timeout} s" if timed_out else "the VM died"
    unfinished = [c for c in cases if not os.path.exists(os.path.join(out, c, "result"))]
    for case in unfinished:
        started_case = console.mark(f"case-start:{case}") is not None
        write_result(out, case, "notrun",
                     f"{'did not finish' if started_case else 'not run'} because {why}; "
                     f"the console log's tail:\n{tail(console_log, 40)}")

    # (label, value[, unit]); the cases' own figures carry their unit.
    timings = [("prepare kernel, initramfs, accel", prepared)]
    for label, mark in (("boot to guest script", "session-start"),
                        ("controllers ready", "controllers-ready"),
                        ("bluetoothd ready", "bluetoothd-ready")):
        if console.mark(mark) is not None:
            timings.append((label, console.mark(mark)))
    for case in cases:
        begin, end = console.mark(f"case-start:{case}"), console.mark(f"case-end:{case}")
        if begin is not None and end is not None:
            timings.append((f"case {case}", end - begin))
        case_timings = os.path.join(out, case, "timings")
        if os.path.exists(case_timings):
            with open(case_timings) as f:
                for line in f:
                    name, value, *unit = line.split()
                    timings.append((f"  {case}: {name}", float(value), unit[0] if unit else "s"))
    timings.append(("whole VM run", wall))
    with open(os.path.join(out, "timings.txt"), "w") as f:
        for label, value, *unit in timings:
            unit = unit[0] if unit else "s"
            if unit == "ratio":
                line = f"{label:<32} {value:7.3f}"
            else:
                line = f"{label:<32} {value:7.1f} {unit}"
            f.write(line + "\n")
            say(line)
    for case in cases:
        with open(os.path.join(out, case, "result")) as f:
            say(f"{case}: {f.readline().strip()}")

    if console.mark("session-start") is None:
        say(f"the guest never reached its session script; console: {console_log}")
        print(tail(console_log, 40), end="")
        return 1
    if timed_out:
        say(f"the whole run timed out after {args.timeout} s; console: {console_log}")
        return 1
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cache", default=os.environ.get("QUILLON_VM_CACHE"),
                        help="folder for the kernel and initramfs, shared by every build")
    parser.add_argument("--out", required=True, help="results folder (emptied first)")
    parser.add_argument("--build", required=True, help="the build folder with our programs")
    parser.add_argument("--controllers", type=int, default=4)
    parser.add_argument("--timeout", type=int, default=1200, help="seconds for the whole run")
    parser.add_argument("--case-timeout", type=int, default=300,
                        help="seconds per case unless the case says otherwise")
    parser.add_argument("--memory", type=int, default=1024, help="guest memory in MiB")
    parser.add_argument("--cases-dir", default=CASES_DIR,
                        help="where the cases are (default: cases/ beside this driver); the guest sees the "
                             "host's whole tree, so any folder works, e.g. one with a script of your own")
    parser.add_argument("cases", nargs="+", help="case names (CASES_DIR/NAME.sh)")
    args = parser.parse_args()
    if not args.cache:
        parser.error("--cache or QUILLON_VM_CACHE is needed")
    try:
        return run(args)
    except CannotRun as e:
        # No stale results from an earlier run may stand for this one.
        shutil.rmtree(args.out, ignore_errors=True)
        os.makedirs(args.out)
        with open(os.path.join(args.out, "skipped"), "w") as f:
            f.write(f"{e}\n")
        print(f"bluez-vm: skipped: {e}", file=sys.stderr)
        return SKIP


if __name__ == "__main__":
    sys.exit(main())
