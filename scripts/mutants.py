#!/usr/bin/python3
"""Mutation check for the unit tests: applies small, deliberate faults to src/ one at a
time, rebuilds the unit tests and runs them (ctest -L unit). A fault they notice is
"caught"; one they let pass "survived", and points at a gap in the tests.

  scripts/mutants.py [N | N-M ...] [--list] [--build-dir DIR (default build-mutants)]

About half a minute a mutant on 2 cores, after a first build of about 4 minutes; logs
stay in BUILD_DIR/mutants-logs/. A mutant is an exact piece of code and its
replacement, applied only where the piece occurs exactly once in src/ (else "not
applicable"); the changed file is always put back, on errors and interrupts too.
"""

import argparse
import json
import os
import pathlib
import subprocess
import sys
import time

MUTANTS = [
    # Collector supervision: back-off, pause and restart
    ('launch back-off is 9 s instead of 10 s', 'launchBackOffSeconds = 10.0', 'launchBackOffSeconds = 9.0'),
    ('restart back-off is 7 s instead of 6 s', 'restartBackOffSeconds = 6.0', 'restartBackOffSeconds = 7.0'),
    ('the back-off still holds at exactly its end', 'if (now < nextStart ||', 'if (now <= nextStart ||'),
    ('a launch attempt sets no back-off', 'nextStart = now + launchBackOffSeconds;', 'nextStart = now;'),
    ('start launches while paused', 'if (paused || ', 'if ('),
    ('start launches a second collector beside a running one', ' || isRunning())', ')'),
    ('restart does not stop the running collector', 'stop();\n    paused = false;', 'paused = false;'),
    ('resume waits for the pending back-off', 'nextStart = distantPast;', ''),
    # Status line
    ('a status exactly 25 s old still counts as fresh',
     'ageMs < statusFreshnessLimitMs', 'ageMs <= statusFreshnessLimitMs'),
    ('the status age compares seconds with milliseconds',
     'now * 1000 - at.toDouble()', 'now - at.toDouble()'),
    ('a status without "connected" shows as connected', '== QJsonValue(true)', '!= QJsonValue(false)'),
    # Log files
    ('a log of exactly 1 MiB is rotated', '*size > logRotationThreshold', '*size >= logRotationThreshold'),
    ('rotation leaves an older .1 generation in the way',
     'platform::files::removeItem(previousGeneration);', ''),
    ('a new log is created 0644 instead of 0600', 'createFile(path, 0600)', 'createFile(path, 0644)'),
    ('the log is overwritten from its start instead of appended to',
     'O_WRONLY | O_APPEND | O_NOFOLLOW', 'O_WRONLY | O_NOFOLLOW'),
    ('a log is rotated only when the collector is launched', ' || needsRotation(file->size())', ''),
    ('a collector left by an earlier agent runs on beside the new one',
     'if (now < nextStart || leftoverStillRuns(now))', 'if (now < nextStart)'),
    ('a left collector that ignores the request is never ended',
     'now - *leftoverAskedAt >= launchBackOffSeconds', 'false'),
    # Collector launch
    ('inherited variables that merely begin with a set name are dropped',
     " && (entry.size() == name.size() || entry.at(name.size()) == '=')", ''),
    ('ORLINDE_BACKGROUND is "true" instead of "1"',
     'QByteArrayLiteral("ORLINDE_BACKGROUND"), QByteArrayLiteral("1")',
     'QByteArrayLiteral("ORLINDE_BACKGROUND"), QByteArrayLiteral("true")'),
    ('inherited values of the set variables are passed on as well',
     'environment.removeIf([&name](const QByteArray &entry) { return isEntryOf(entry, name); });', ''),
    # Dashboard address
    ('a product installation appends the key',
     'if (product || !key || key->isEmpty())', 'if (!key || key->isEmpty())'),
    ('an empty key still appends "#"', 'if (product || !key || key->isEmpty())', 'if (product || !key)'),
    ('an address without a scheme is handed over', ' || base.isRelative()', ''),
    ('the UTF-8 byte 0x80 in a key is handed over unencoded', 'if (unit < 0x80) {', 'if (unit <= 0x80) {'),
    ('a second "#" in the key is handed over',
     'static constexpr std::string_view forbidden = "\\"<>\\\\^`{|}#";',
     'static constexpr std::string_view forbidden = "\\"<>\\\\^`{|}";'),
    ('lower-case percent-encoding in the key is handed over',
     'return -1; // lower case too: a browser would upper-case it',
     "return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;"),
    ('a percent-encoded unreserved character in the key is handed over',
     ' || isUnreserved(static_cast<char>(high * 16 + low))', ''),
    ("another user's connection is handed the address",
     'fields[1] == local && fields[2] == remote', 'fields[1] == remote && fields[2] == local'),
    # Settings
    ('a null optional member is refused instead of meaning absent',
     'value.isUndefined() || value.isNull()', 'value.isUndefined()'),
    ('product of any type is accepted', 'if (!value.isBool())', 'if (false)'),
    ('hub is no longer required', '{ "hub", &Settings::hub },', ''),
    # Dashboard key store
    ('saving a key that is not stored yet does not add it',
     'status != Status::itemNotFound', 'status != Status::failure'),
    ('a key that is not UTF-8 is read as it is', ' || !bytes.view().isValidUtf8()', ''),
    ("the key's memory may be written to a core dump", '::madvise(bytes, mapped, MADV_DONTDUMP);', ''),
    # Files
    ('any existing item counts as a directory', ' && S_ISDIR(status.st_mode)', ''),
    ('atomically written files get 0600 instead of the usual mode', '0666 & ~mask', '0600'),
    ('a moved file handle leaves its descriptor with the source too',
     'descriptor(std::exchange(other.descriptor, -1))', 'descriptor(other.descriptor)'),
    # Child processes
    ('descriptors beyond standard error leak into the collector',
     '::posix_spawn_file_actions_addclosefrom_np(actions, STDERR_FILENO + 1) == 0', 'true'),
    ('signals ignored here stay ignored in the collector',
     'POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK', 'POSIX_SPAWN_SETSIGMASK'),
    ("the error log becomes the collector's standard output",
     'error->fd(), STDERR_FILENO', 'error->fd(), STDOUT_FILENO'),
    ('stopping kills the collector instead of asking it to terminate',
     '::kill(pid, SIGTERM)', '::kill(pid, SIGKILL)'),
    ("a relative executable is looked up in the collector's directory",
     'QDir::current().absoluteFilePath(executable)', 'executable'),
    # Property lists
    ('carriage returns are refused in text',
     'c == 0x9 || c == 0xA || c == 0xD ||', 'c == 0x9 || c == 0xA ||'),
    ('carriage returns are written raw', 'data.replace(\'\\r\', "&#13;");', ''),
    ('zero is refused as an integer', 'value.toLongLong() >= 0', 'value.toLongLong() > 0'),
    ('booleans are read back inverted', 'return flag != 0;', 'return flag == 0;'),
    ('a leading byte order mark is accepted in text', 'if (text.startsWith(QChar(0xFEFF)))', 'if (false)'),
    # Bundle, signals, command line
    ('resources are looked for in Contents/resources',
     'QStringLiteral("Resources")', 'QStringLiteral("resources")'),
    ('SIGHUP no longer ends the agent cleanly', '{ SIGTERM, SIGINT, SIGHUP }', '{ SIGTERM, SIGINT }'),
    ('command-line switches match in any letter case',
     'arguments.contains(QStringLiteral("--quit-existing"))',
     'arguments.contains(QStringLiteral("--quit-existing"), Qt::CaseInsensitive)'),
    ('the quit notification ends in .Quit', 'QStringLiteral(".quit")', 'QStringLiteral(".Quit")'),
    # Start at login: the agent property list and its companion
    ('the agent is kept alive after a successful exit too',
     '{ QStringLiteral("SuccessfulExit"), false }', '{ QStringLiteral("SuccessfulExit"), true }'),
    ('a leading dot of a label is kept in the unit name',
     'else if (keptAsIs(c, i == 0))', 'else if (keptAsIs(c, false))'),
    ('a unit name of exactly 255 characters is refused',
     'name.size() > maximumUnitNameLength', 'name.size() >= maximumUnitNameLength'),
    ('"$" is doubled in the program path too',
     "(c == QLatin1Char('$') && !executable)", "c == QLatin1Char('$')"),
    ('"%" in the property list path is not escaped in the condition',
     'withSpecifiersEscaped(propertyListPath)', 'propertyListPath'),
    ('empty ProgramArguments are accepted', ' || arguments.toList().isEmpty()', ''),
    ('a log path that is not text is accepted', 'if (!isText(dictionary[key])) {', 'if (false) {'),
    ('the companion truncates its logs instead of appending',
     'O_WRONLY | O_APPEND | O_CREAT', 'O_WRONLY | O_CREAT'),
    ('a missing property list fails the start instead of meaning "off"',
     'if (isAbsent(propertyListPath))', 'if (false)'),
    ('standard error goes to the output log',
     'openLog(agent->standardErrorPath)', 'openLog(agent->standardOutPath)'),
]


def locate(snippet):
    """The one file under src/ holding `snippet` exactly once, or why there is none."""
    counted = {str(path): path.read_bytes().count(snippet.encode())
               for path in sorted(pathlib.Path("src").rglob("*")) if path.is_file()}
    hits = {path: found for path, found in counted.items() if found}
    if sum(hits.values()) != 1:
        return None, f"not applicable: found {sum(hits.values())} times {', '.join(hits)}".rstrip()
    return next(iter(hits)), None


def run(command, log):
    with open(log, "wb") as out:
        return subprocess.run(command, stdout=out, stderr=subprocess.STDOUT).returncode == 0


def main():
    parser = argparse.ArgumentParser(usage=__doc__)
    parser.add_argument("selection", nargs="*")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--build-dir", default="build-mutants")
    arguments = parser.parse_args()
    os.chdir(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    selected = []
    for item in arguments.selection or [f"1-{len(MUTANTS)}"]:
        first, _, last = item.partition("-")
        selected += range(int(first), int(last or first) + 1)
    if not all(1 <= n <= len(MUTANTS) for n in selected):
        sys.exit(f"mutants.py: there are mutants 1-{len(MUTANTS)}")
    if arguments.list:
        for n in selected:
            description, snippet, _ = MUTANTS[n - 1]
            path, why = locate(snippet)
            print(f"{n:2}  {description:66} {path or why}")
        return

    build, logs = arguments.build_dir, os.path.join(arguments.build_dir, "mutants-logs")
    print(f"Configuring and building {build} ...", flush=True)
    subprocess.run(["cmake", "--preset", "default", "-B", build], stdout=subprocess.DEVNULL, check=True)
    os.makedirs(logs, exist_ok=True)
    # Only the unit tests' programs are rebuilt: each is a target named as its test. A
    # test runs a program of the tree, or one not built yet, which ctest cannot name.
    listed = json.loads(subprocess.run(["ctest", "--test-dir", build, "-L", "unit", "--show-only=json-v1"],
                                       capture_output=True, check=True).stdout)
    tree = os.path.realpath(build) + os.sep
    targets = sorted(test["name"] for test in listed["tests"]
                     if not test.get("command") or os.path.realpath(test["command"][0]).startswith(tree))
    build_command = ["cmake", "--build", build, "-j2", "--target", *targets]
    test_command = ["ctest", "--test-dir", build, "-L", "unit", "--stop-on-failure", "--timeout", "120",
                    "--no-tests=error", "--output-on-failure"]
    # Caught means something only if the unmodified tree builds and passes.
    for step, command in (("build", build_command), ("test", test_command)):
        if not run(command, f"{logs}/unmodified-{step}.log"):
            sys.exit(f"mutants.py: the unmodified tree fails to {step}; see {logs}/unmodified-{step}.log")

    counts = {"caught": 0, "survived": 0, "not applicable": 0, "did not compile": 0}
    started = time.monotonic()
    for n in selected:
        description, snippet, replacement = MUTANTS[n - 1]
        since = time.monotonic()
        path, outcome = locate(snippet)
        if path:
            with open(path, "rb") as source:
                original = source.read()
            try:
                # Rewritten in place: the same file and mode, a new time stamp for the build.
                with open(path, "r+b") as source:
                    source.write(original.replace(snippet.encode(), replacement.encode(), 1))
                    source.truncate()
                if not run(build_command, f"{logs}/{n}-build.log"):
                    outcome = "did not compile"
                else:
                    outcome = "survived" if run(test_command, f"{logs}/{n}-test.log") else "caught"
            finally:
                with open(path, "wb") as source:
                    source.write(original)
        counts[outcome.split(":")[0]] += 1
        took = time.monotonic() - since
        print(f"{n:2}  {outcome:15}  {description:66}  {path or ''}  ({took:.0f} s)", flush=True)
    summary = ", ".join(f"{count} {name}" for name, count in counts.items())
    print(f"mutants: {summary} (of {len(selected)})")
    print(f"took {(time.monotonic() - started) / 60:.0f} min; logs in {logs}")


if __name__ == "__main__":
    main()
