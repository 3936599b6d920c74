#!/usr/bin/python3
"""The guest run from a checkout that lives where the guest mounts folders of
its own: a fresh clone under /tmp, with its build folder and guest cache
inside it, and a cases folder under /dev/shm. The guest mounts its own /tmp
and /dev over the host's; every path the run hands it must still be there.

One VM boot runs two cases from that cases folder: `smoke` (hci_vhci from the
cache's modules, the guest helpers from the clone, a real LE link) and
`reach`, which reads a file from the clone's build folder and checks that the
guest's /tmp is still its own (a file beside the clone stays out of sight).

Exit status: 0 when both pass, 77 when this host cannot run the guest, 1
otherwise. The results folder is copied to --keep for a look afterwards."""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import run_vm  # noqa: E402  (beside this script)

REACH_CASE = """#!/bin/bash
. "$QVM_CASE_LIB"
[ "$(cat "$QUILLON_BUILD/built-here")" = "{marker}" ] || fail "the build folder $QUILLON_BUILD is out of reach"
[ -f "$QUILLON_SOURCE/ble/tests/bluez-vm/run_vm.py" ] || fail "the checkout $QUILLON_SOURCE is out of reach"
[ -e "{beside}" ] && fail "{beside}, beside the clone on the host, is visible: /tmp is not the guest's own"
[ "$(findmnt -n -o FSTYPE /tmp)" = tmpfs ] || fail "the guest's /tmp is not a tmpfs"
echo scratch >/tmp/scratch || fail "the guest's /tmp is not writable"
record_result pass "build, checkout and cases reached under the guest's own /tmp and /dev/shm"
"""


def link_or_copy_tree(source, target):
    """The unpacked kernel, as hard links where /tmp is on the same file system
    (a real folder, without copying hundreds of megabytes), otherwise as a
    link to the folder, which the guest resolves past its own /tmp too."""
    try:
        shutil.copytree(source, target, symlinks=True, copy_function=os.link)
    except (OSError, shutil.Error):
        shutil.rmtree(target, ignore_errors=True)
        os.symlink(source, target)


def make_clone(top, cache):
    """A clone's worth of the tree under `top`: this driver with its guest
    scripts, an empty build folder with a marker, and a guest cache holding
    the kernel the real cache holds (fetched into it first if need be)."""
    clone = os.path.join(top, "clone")
    bluez_vm = os.path.join(clone, "ble", "tests", "bluez-vm")
    os.makedirs(bluez_vm)
    for name in ("run_vm.py", "guest-kernel.txt"):
        shutil.copy2(os.path.join(HERE, name), bluez_vm)
    shutil.copytree(os.path.join(HERE, "guest"), os.path.join(bluez_vm, "guest"))
    build = os.path.join(clone, "build", "native")
    os.makedirs(build)
    with open(os.path.join(build, "built-here"), "w") as f:
        f.write(top + "\n")

    with run_vm.cache_locked(cache):
        tree, version = run_vm.prepare_kernel(cache)
    clone_cache = os.path.join(clone, "build", "bluez-vm")
    os.makedirs(os.path.join(clone_cache, "kernel"))
    link_or_copy_tree(tree, os.path.join(clone_cache, "kernel", version))
    return clone, bluez_vm, build, clone_cache


def make_cases(top):
    """The cases folder: under /dev/shm where this host lets us write there
    (the guest mounts its own /dev and /dev/shm over it), else in `top`."""
    parent = "/dev/shm" if os.access("/dev/shm", os.W_OK) else top
    cases = tempfile.mkdtemp(prefix="quillon-cases-", dir=parent)
    shutil.copy2(os.path.join(HERE, "cases", "smoke.sh"), cases)
    beside = os.path.join(top, "beside-the-clone")
    open(beside, "w").close()
    reach = os.path.join(cases, "reach.sh")
    with open(reach, "w") as f:
        f.write(REACH_CASE.replace("{marker}", top).replace("{beside}", beside))
    os.chmod(reach, 0o755)
    return cases


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cache", required=True, help="the guest cache of the build running this test")
    parser.add_argument("--keep", required=True, help="where the run's results are copied")
    args = parser.parse_args()
    try:
        run_vm.require_host_programs()
    except run_vm.CannotRun as e:
        print(f"bluez-vm: skipped: {e}")
        return run_vm.SKIP

    top = tempfile.mkdtemp(prefix="quillon-clone-", dir="/tmp")
    cases = None
    try:
        try:
            clone, bluez_vm, build, clone_cache = make_clone(top, os.path.abspath(args.cache))
        except run_vm.CannotRun as e:
            print(f"bluez-vm: skipped: {e}")
            return run_vm.SKIP
        cases = make_cases(top)
        out = os.path.join(clone, "build", "results")
        print(f"clone at {clone}, cases at {cases}", flush=True)
        status = subprocess.run(
            ["/usr/bin/python3", os.path.join(bluez_vm, "run_vm.py"), "--cache", clone_cache,
             "--out", out, "--build", build, "--controllers", "2", "--cases-dir", cases,
             "smoke", "reach"]).returncode
        shutil.rmtree(args.keep, ignore_errors=True)
        shutil.copytree(out, args.keep, symlinks=True)
        if status == run_vm.SKIP:
            return run_vm.SKIP
        failed = 0
        for case in ("smoke", "reach"):
            with open(os.path.join(out, case, "result")) as f:
                result = f.readline().strip()
            print(f"{case}: {result}")
            if not result.startswith("pass"):
                failed += 1
                print(run_vm.tail(os.path.join(out, case, "log"), 20), end="")
        if failed:
            print(run_vm.tail(os.path.join(out, "console.log"), 30), end="")
        return 1 if failed or status != 0 else 0
    finally:
        shutil.rmtree(top, ignore_errors=True)
        if cases:
            shutil.rmtree(cases, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
