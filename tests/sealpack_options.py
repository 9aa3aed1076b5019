#!/usr/bin/env python3
"""Checks that sealpack's manual page, its --help text and docs/sealing.md name the same options.

    sealpack_options.py --source-dir DIR --sealpack PATH

The manual page's options are the tags of the OPTIONS section (`.BI \\-k " key"`), the help
text's those of its lines that begin with a tab and a dash, and the page's those in the first
column of its table whose first heading is "Option".
"""

import argparse
import os
import re
import subprocess
import sys

OPTION = re.compile(r"^--?[A-Za-z][A-Za-z-]*$")


def manual_options(path):
    options = set()
    in_section = False
    tag_next = False
    for line in open(path, encoding="utf-8"):
        line = line.rstrip("\n")
        if line.startswith(".SH"):
            in_section = line.split(None, 1)[1:] == ["OPTIONS"]
            continue
        if not in_section:
            continue
        if line.startswith(".TP"):
            tag_next = True
            continue
        if tag_next:
            tag_next = False
            words = line.split()
            if len(words) > 1 and words[0] in (".B", ".BI", ".BR"):
                options.add(words[1].replace("\\-", "-"))
    return options


def help_options(sealpack):
    text = subprocess.run([sealpack, "--help"], stdout=subprocess.PIPE, check=True,
                          universal_newlines=True).stdout
    return {line.split()[0] for line in text.split("\n") if line.startswith("\t-")}


def page_options(path):
    options = set()
    in_table = False
    for line in open(path, encoding="utf-8"):
        cells = [c.strip() for c in line.strip().strip("|").split("|")] if line.startswith("|") else []
        if not cells:
            in_table = False
            continue
        if not in_table:
            in_table = cells[0] == "Option"
            continue
        first = re.match(r"`([^`]*)`", cells[0])
        if first and OPTION.match(first.group(1).split()[0]):
            options.add(first.group(1).split()[0])
    return options


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--sealpack", required=True)
    args = parser.parse_args()

    lists = {
        "man/sealpack.1": manual_options(os.path.join(args.source_dir, "man", "sealpack.1")),
        "sealpack --help": help_options(args.sealpack),
        "docs/sealing.md": page_options(os.path.join(args.source_dir, "docs", "sealing.md")),
    }
    every = set().union(*lists.values())
    status = 0
    for name, options in lists.items():
        print("%-16s %s" % (name + ":", " ".join(sorted(options))))
        if not options:
            print("    names no option")
            status = 1
        elif options != every:
            print("    lacks %s" % " ".join(sorted(every - options)))
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
