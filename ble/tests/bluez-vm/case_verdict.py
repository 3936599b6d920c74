#!/usr/bin/python3
"""One case's verdict for ctest, from what the VM run left in its results
folder: exit 0 on pass, 1 on fail (printing the case's log and the tail of
bluetoothd's), 77 when the whole run was skipped on this host.

With --expect-fail the ctest test has WILL_FAIL set, which inverts the exit
status: a case that did not run at all (the VM died) then exits 0, so that it
is reported as a failure rather than as the expected failure."""

import argparse
import os
import sys

SKIP = 77


def show(path, last=None):
    try:
        with open(path, errors="replace") as f:
            lines = f.readlines()
    except OSError:
        return
    if last is not None and len(lines) > last:
        print(f"--- {path} (last {last} of {len(lines)} lines)")
        lines = lines[-last:]
    else:
        print(f"--- {path}")
    print("".join(lines), end="" if not lines or lines[-1].endswith("\n") else "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("results")
    parser.add_argument("case")
    parser.add_argument("--expect-fail", metavar="REASON")
    args = parser.parse_args()

    skipped = os.path.join(args.results, "skipped")
    if os.path.exists(skipped):
        with open(skipped) as f:
            print(f"skipped: {f.read().strip()}")
        return SKIP
    folder = os.path.join(args.results, args.case)
    try:
        with open(os.path.join(folder, "result"), errors="replace") as f:
            verdict, _, reason = f.read().partition(" ")
    except OSError:
        print(f"{args.case}: no result in {folder}: did the VM run (bluez_vm_boot)?")
        return 1
    verdict = verdict.strip()
    print(f"{args.case}: {verdict} {reason.strip()}")
    if args.expect_fail:
        print(f"expected to fail: {args.expect_fail}")
    if verdict == "pass":
        return 0
    show(os.path.join(folder, "log"))
    show(os.path.join(folder, "bluetoothd.log"), last=80)
    if verdict == "notrun":
        return 0 if args.expect_fail else 1
    return 1


if __name__ == "__main__":
    sys.exit(main())
