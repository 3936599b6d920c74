#!/usr/bin/python3
"""Writes a main.conf for bluetoothd: the baseline file (or, with --stock,
nothing: bluetoothd's built-in defaults) with Section.Key=Value settings laid
over it; Section.Key= with no value removes the key."""

import argparse
import configparser
import sys


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--stock", action="store_true")
    parser.add_argument("baseline")
    parser.add_argument("output")
    parser.add_argument("settings", nargs="*", metavar="Section.Key=Value")
    args = parser.parse_args()
    conf = configparser.ConfigParser(interpolation=None)
    conf.optionxform = str  # bluetoothd's keys are case-sensitive
    if not args.stock:
        conf.read(args.baseline)
    for setting in args.settings:
        name, sep, value = setting.partition("=")
        section, dot, key = name.partition(".")
        if not sep or not dot or not section or not key:
            sys.exit(f"main_conf: {setting!r} is not Section.Key=Value")
        if value == "":
            if conf.has_section(section):
                conf.remove_option(section, key)
            continue
        if not conf.has_section(section):
            conf.add_section(section)
        conf.set(section, key, value)
    with open(args.output, "w") as f:
        conf.write(f)


if __name__ == "__main__":
    main()
