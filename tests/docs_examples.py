#!/usr/bin/env python3
"""Builds and runs the examples of README.md and docs/*.md, so that none of them can rot.

A fenced block is run when the word after its language is `example`:

    ```cpp example            a C++17 program, compiled, linked to libsealcore and run
    ```c example              a C99 program, the same
    ```python example         run by the interpreter, with the package sealcore importable
    ```sh example             run by bash -e -o pipefail

A block of ```text output``` right after a run block (blank lines between them allowed) is
the output it must print, standard output and standard error together; `...` in it stands for
any text within a line. Further words of a run block are settings: `link=FILE` links FILE (made
by an earlier block) into a C or C++ program.

The blocks of one page run in order in one scratch directory, so a block finds the files the
blocks before it wrote. That directory holds `model.bin` (a copy of the sample model) and,
linked, `build` (the build tree), `examples`, `sealcore` and `textveil` (the sources), so that
commands read as they would in a checkout; the build's `bin` comes first on PATH.

Run on every page, it also checks that each relative link leads to a file that exists and that
README.md links to every page of docs/.

    docs_examples.py --source-dir DIR --build-dir DIR --cc CC --cxx CXX [--list] [PAGE...]
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

RUN_LANGUAGES = ("c", "cpp", "python", "sh")
SETTINGS = ("link",)
FENCE = re.compile(r"^(`{3,})(.*)$")
TIMEOUT = 300


class Block:
    def __init__(self, page, line, words, text):
        self.page = page
        self.line = line
        self.language = words[0] if words else ""
        self.runnable = len(words) > 1 and words[1] == "example"
        self.is_output = words[:2] == ["text", "output"]
        self.settings = dict(w.partition("=")[::2] for w in words[2:])
        self.text = text
        self.expected = None
        self.attached = False

    def where(self):
        return "%s:%d (%s)" % (self.page, self.line, self.language)


def read_blocks(path, name):
    """The run blocks of a page, each with the output that the block after it expects."""
    blocks = []
    lines = open(path, encoding="utf-8").read().split("\n")
    i = 0
    previous_end = -1
    while i < len(lines):
        match = FENCE.match(lines[i])
        if not match:
            i += 1
            continue
        fence, info = match.group(1), match.group(2).split()
        start = i
        i += 1
        body = []
        while i < len(lines) and lines[i].strip() != fence:
            body.append(lines[i])
            i += 1
        block = Block(name, start + 1, info, "\n".join(body) + "\n")
        between = lines[previous_end + 1:start]
        follows_run = blocks and blocks[-1].runnable and all(not l.strip() for l in between)
        if block.is_output and follows_run and blocks[-1].expected is None:
            blocks[-1].expected = block.text
            block.attached = True
        blocks.append(block)
        previous_end = i
        i += 1
    for block in blocks:
        if block.runnable and block.language not in RUN_LANGUAGES:
            raise SystemExit("%s: cannot run a block of %r" % (block.where(), block.language))
        unknown = [word for word in block.settings if word not in SETTINGS]
        if block.runnable and unknown:
            raise SystemExit("%s: unknown settings %s" % (block.where(), " ".join(unknown)))
        if block.is_output and not block.attached:
            raise SystemExit("%s: an output block that follows no run block" % block.where())
    return [b for b in blocks if b.runnable]


def output_matches(expected, got):
    want = expected.rstrip("\n").split("\n")
    have = got.rstrip("\n").split("\n")
    if len(want) != len(have):
        return False
    for pattern, line in zip(want, have):
        regex = ".*".join(re.escape(part) for part in pattern.rstrip().split("..."))
        if not re.fullmatch(regex, line.rstrip()):
            return False
    return True


class Runner:
    def __init__(self, args):
        self.args = args
        self.env = dict(os.environ)
        self.env["PATH"] = os.path.join(args.build_dir, "bin") + os.pathsep + self.env["PATH"]
        python_dir = os.path.join(args.build_dir, "python")
        self.env["PYTHONPATH"] = python_dir + os.pathsep + self.env.get("PYTHONPATH", "")
        self.env["PYTHONDONTWRITEBYTECODE"] = "1"

    def scratch(self, root):
        shutil.copyfile(os.path.join(self.args.source_dir, "examples", "data", "sample_model.txt"),
                        os.path.join(root, "model.bin"))
        os.symlink(self.args.build_dir, os.path.join(root, "build"))
        for tree in ("examples", "sealcore", "textveil"):
            os.symlink(os.path.join(self.args.source_dir, tree), os.path.join(root, tree))

    def compile(self, block, root, number):
        lib_dir = os.path.join(self.args.build_dir, "lib")
        if block.language == "cpp":
            source, compiler, standard = "example%d.cpp" % number, self.args.cxx, "-std=c++17"
        else:
            source, compiler, standard = "example%d.c" % number, self.args.cc, "-std=c99"
        with open(os.path.join(root, source), "w", encoding="utf-8") as f:
            f.write(block.text)
        program = "example%d" % number
        command = [compiler, standard, "-Wall", "-Wextra", "-Werror", "-I", self.args.source_dir,
                   source, "-o", program, os.path.join(lib_dir, "libsealcore.so"),
                   os.path.join(lib_dir, "veilcodec.o"), "-Wl,-rpath," + lib_dir, "-pthread"]
        if "link" in block.settings:
            command.insert(command.index("-o"), block.settings["link"])
        done = subprocess.run(command, cwd=root, env=self.env, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, universal_newlines=True)
        if done.returncode != 0:
            return None, "does not compile:\n$ %s\n%s" % (" ".join(command), done.stdout)
        return ["./" + program], None

    def run(self, block, root, number):
        if block.language in ("c", "cpp"):
            command, problem = self.compile(block, root, number)
            if problem:
                return problem
        elif block.language == "python":
            command = [self.args.python, "-c", block.text]
        else:
            command = ["bash", "-e", "-o", "pipefail", "-c", block.text]
        try:
            done = subprocess.run(command, cwd=root, env=self.env, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, universal_newlines=True,
                                  timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            return "did not finish in %d s" % TIMEOUT
        if done.returncode != 0:
            return "exit status %d:\n%s" % (done.returncode, done.stdout)
        if block.expected is not None and not output_matches(block.expected, done.stdout):
            return "printed:\n%s\nexpected:\n%s" % (done.stdout, block.expected)
        return None


def check_links(source_dir, names):
    """Problems with the pages' links: a relative link to a file that does not exist, and a page
    of docs/ that README.md does not link to."""
    problems = []
    linked = set()
    for name in names:
        text = open(os.path.join(source_dir, name), encoding="utf-8").read()
        text = re.sub(r"^(`{3,}).*?^\1\s*$", "", text, flags=re.S | re.M)
        for target in re.findall(r"\]\(([^)#\s]+)[^)]*\)", text):
            if re.match(r"[a-z]+:", target):
                continue
            path = os.path.normpath(os.path.join(os.path.dirname(name), target))
            if not os.path.exists(os.path.join(source_dir, path)):
                problems.append("%s: a link to %s, which does not exist" % (name, target))
            if name == "README.md":
                linked.add(path)
    for name in names:
        if name.startswith("docs" + os.sep) and name not in linked:
            problems.append("README.md: no link to %s" % name)
    return problems


def pages(source_dir, chosen):
    if chosen:
        return chosen
    docs = sorted(os.path.join("docs", p) for p in os.listdir(os.path.join(source_dir, "docs"))
                  if p.endswith(".md"))
    return ["README.md"] + docs


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--cc", default="cc")
    parser.add_argument("--cxx", default="c++")
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--list", action="store_true", help="list the run blocks, run none")
    parser.add_argument("page", nargs="*", help="pages relative to the source dir (default all)")
    args = parser.parse_args()
    args.source_dir = os.path.abspath(args.source_dir)
    args.build_dir = os.path.abspath(args.build_dir)

    runner = Runner(args)
    failures = 0
    total = 0
    link_problems = [] if args.page else check_links(args.source_dir, pages(args.source_dir, []))
    for problem in link_problems:
        print("FAIL " + problem)
    for page in pages(args.source_dir, args.page):
        blocks = read_blocks(os.path.join(args.source_dir, page), page)
        if args.list:
            for block in blocks:
                print(block.where())
            continue
        if not blocks:
            continue
        with tempfile.TemporaryDirectory(prefix="docs_examples.") as root:
            runner.scratch(root)
            for number, block in enumerate(blocks):
                total += 1
                problem = runner.run(block, root, number)
                print("%s %s" % ("FAIL" if problem else "ok  ", block.where()), flush=True)
                if problem:
                    failures += 1
                    print("    " + problem.replace("\n", "\n    "), flush=True)
    if not args.list:
        print("%d of %d examples passed" % (total - failures, total))
    return 1 if failures or link_problems else 0


if __name__ == "__main__":
    sys.exit(main())
