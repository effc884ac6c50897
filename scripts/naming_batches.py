#!/usr/bin/env python3
"""Runs clang-tidy over source files in batches that share one compile command.

Parsing the standard library and the test framework is most of what clang-tidy costs a file, so
files compiled with the same flags are checked eight at a time through a file that includes them
all. A batch clang cannot compile (two files defining one internal name, or a construct only GCC
knows) is checked again file by file, so every file is still seen. Prints clang-tidy's output;
judging it is the caller's business.

usage: naming_batches.py <build dir> <jobs> <clang-tidy> <header filter> <file>...
"""

import concurrent.futures
import json
import os
import shlex
import subprocess
import sys

BATCH_SIZE = 8


def compile_key(entry):
    """The entry's compiler arguments without its own source file and object file."""
    args = entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])
    source = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
    key = []
    skip = False
    for arg in args:
        if skip:
            skip = False
            continue
        if arg == "-o":
            skip = True
            continue
        if arg.startswith("-o") and len(arg) > 2:
            continue
        if arg == "-c":
            continue
        if os.path.normpath(os.path.join(entry["directory"], arg)) == source:
            continue
        key.append(arg)
    return entry["directory"], tuple(key)


def run_tidy(tidy, database_dir, header_filter, file):
    result = subprocess.run(
        [tidy, "-p", database_dir, "--quiet", "--extra-arg=-w",
         "--header-filter=" + header_filter, file],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, check=False)
    return result.stdout


def main():
    if len(sys.argv) < 5:
        print(__doc__, file=sys.stderr)
        return 2
    build, jobs, tidy, header_filter = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    files = [os.path.abspath(f) for f in sys.argv[5:]]
    with open(os.path.join(build, "compile_commands.json"), encoding="utf-8") as stream:
        database = json.load(stream)
    by_file = {}
    for entry in database:
        by_file[os.path.normpath(os.path.join(entry["directory"], entry["file"]))] = entry

    groups = {}
    for file in files:
        if file not in by_file:
            print("naming: not in the compile database: " + file, file=sys.stderr)
            return 2
        groups.setdefault(compile_key(by_file[file]), []).append(file)

    batch_dir = os.path.join(os.path.abspath(build), "naming-batches")
    os.makedirs(batch_dir, exist_ok=True)
    batches = []
    batch_database = []
    for (directory, key), members in groups.items():
        for start in range(0, len(members), BATCH_SIZE):
            chunk = members[start:start + BATCH_SIZE]
            path = os.path.join(batch_dir, "batch_%03d.cpp" % len(batches))
            text = "".join('#include "%s"\n' % member for member in chunk)
            # Left alone when unchanged, so clang-tidy's own caches and timestamps stay valid.
            if not os.path.exists(path) or open(path, encoding="utf-8").read() != text:
                with open(path, "w", encoding="utf-8") as stream:
                    stream.write(text)
            batches.append((path, chunk))
            batch_database.append({"directory": directory,
                                   "arguments": list(key) + ["-c", path], "file": path})
    with open(os.path.join(batch_dir, "compile_commands.json"), "w", encoding="utf-8") as stream:
        json.dump(batch_database, stream, indent=1)

    def check_batch(batch):
        path, chunk = batch
        output = run_tidy(tidy, batch_dir, header_filter, path)
        if ": error:" not in output:
            return output, 0
        return "".join(run_tidy(tidy, build, header_filter, member) for member in chunk), 1

    rechecked = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, jobs)) as pool:
        # Largest batches first, so the last ones to finish are short.
        for output, again in pool.map(check_batch, sorted(batches, key=lambda b: -len(b[1]))):
            sys.stdout.write(output)
            rechecked += again
    print("naming: %d files in %d batches, %d checked again file by file"
          % (len(files), len(batches), rechecked), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
