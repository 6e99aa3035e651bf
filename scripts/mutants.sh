#!/usr/bin/env bash
# Mutation check for the unit tests: applies small, deliberate faults to src/ one at a
# time, rebuilds, and runs the unit tests (ctest -L unit). A fault the tests notice is
# "caught"; one they let pass is "survived" and points at a gap in the tests.
#
#   scripts/mutants.sh                 every mutant
#   scripts/mutants.sh 3 7 12-15       only those mutants
#   scripts/mutants.sh --list          the mutants and the file each one hits, no build
#   scripts/mutants.sh --build-dir DIR build tree to use (default: build-mutants)
#
# Cost, on 2 cores: a first build of the unit tests (about 4 minutes) and a run of them
# on the unmodified code, then per mutant an incremental rebuild and a unit-test run,
# about half a minute each; all of them take about half an hour. Per-mutant build and
# test output is kept in BUILD_DIR/mutants-logs/.
#
# Each mutant is an exact piece of code and its replacement. It applies only where that
# piece occurs exactly once in all of src/, so mutants keep working when code moves
# between files; one that matches nowhere (or twice) is reported "not applicable". The
# changed file is always put back, on errors and interrupts too, and src/ is compared
# with a copy taken at the start before the script ends.
set -euo pipefail
cd "$(dirname "$0")/.."

descriptions=()
snippets=()
replacements=()

mutant() {
    descriptions+=("$1")
    snippets+=("$2")
    replacements+=("$3")
}

# --- Collector supervision: back-off, pause and restart --------------------------------
mutant "launch back-off is 9 s instead of 10 s" \
    'launchBackOffSeconds = 10.0' 'launchBackOffSeconds = 9.0'
mutant "restart back-off is 7 s instead of 6 s" \
    'restartBackOffSeconds = 6.0' 'restartBackOffSeconds = 7.0'
mutant "the back-off still holds at exactly its end" \
    'if (now < nextStart ||' 'if (now <= nextStart ||'
mutant "a launch attempt sets no back-off" \
    'nextStart = now + launchBackOffSeconds;' 'nextStart = now;'
mutant "start launches while paused" \
    'if (paused || ' 'if ('
mutant "start launches a second collector beside a running one" \
    ' || isRunning())' ')'
mutant "restart does not stop the running collector" \
    $'stop();\n    paused = false;' 'paused = false;'
mutant "resume waits for the pending back-off" \
    'nextStart = distantPast;' ''

# --- Status line ------------------------------------------------------------------------
mutant "a status exactly 25 s old still counts as fresh" \
    'ageMs < statusFreshnessLimitMs' 'ageMs <= statusFreshnessLimitMs'
mutant "the status age compares seconds with milliseconds" \
    'now * 1000 - at.toDouble()' 'now - at.toDouble()'
mutant "a status without \"connected\" shows as connected" \
    '== QJsonValue(true)' '!= QJsonValue(false)'

# --- Log files --------------------------------------------------------------------------
mutant "a log of exactly 1 MiB is rotated" \
    '*size > logRotationThreshold' '*size >= logRotationThreshold'
mutant "rotation leaves an older .1 generation in the way" \
    'platform::files::removeItem(previousGeneration);' ''
mutant "a new log is created 0644 instead of 0600" \
    'createFile(path, 0600)' 'createFile(path, 0644)'
mutant "the log is overwritten from its start instead of appended to" \
    'O_WRONLY | O_APPEND | O_NOFOLLOW' 'O_WRONLY | O_NOFOLLOW'
mutant "a log is rotated only when the collector is launched" \
    ' || needsRotation(file->size())' ''
mutant "a collector left by an earlier agent runs on beside the new one" \
    'if (now < nextStart || leftoverStillRuns(now))' 'if (now < nextStart)'
mutant "a left collector that ignores the request is never ended" \
    'now - *leftoverAskedAt >= launchBackOffSeconds' 'false'

# --- Collector launch -------------------------------------------------------------------
mutant "inherited variables that merely begin with a set name are dropped" \
    " && (entry.size() == name.size() || entry.at(name.size()) == '=')" ''
mutant "ORLINDE_BACKGROUND is \"true\" instead of \"1\"" \
    'QByteArrayLiteral("ORLINDE_BACKGROUND"), QByteArrayLiteral("1")' \
    'QByteArrayLiteral("ORLINDE_BACKGROUND"), QByteArrayLiteral("true")'
mutant "inherited values of the set variables are passed on as well" \
    'environment.removeIf([&name](const QByteArray &entry) { return isEntryOf(entry, name); });' ''

# --- Dashboard address ------------------------------------------------------------------
mutant "a product installation appends the key" \
    'if (product || !key || key->isEmpty())' 'if (!key || key->isEmpty())'
mutant "an empty key still appends \"#\"" \
    'if (product || !key || key->isEmpty())' 'if (product || !key)'
mutant "an address without a scheme is handed over" \
    ' || base.isRelative()' ''
mutant "the UTF-8 byte 0x80 in a key is handed over unencoded" \
    'if (unit < 0x80) {' 'if (unit <= 0x80) {'
mutant "a second \"#\" in the key is handed over" \
    'static constexpr std::string_view forbidden = "\"<>\\^`{|}#";' \
    'static constexpr std::string_view forbidden = "\"<>\\^`{|}";'
mutant "lower-case percent-encoding in the key is handed over" \
    'return -1; // lower case too: a browser would upper-case it' \
    "return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;"
mutant "a percent-encoded unreserved character in the key is handed over" \
    ' || isUnreserved(static_cast<char>(high * 16 + low))' ''

mutant "another user's connection is handed the address" \
    'fields[1] == local && fields[2] == remote' 'fields[1] == remote && fields[2] == local'

# --- Settings ---------------------------------------------------------------------------
mutant "a null optional member is refused instead of meaning absent" \
    'value.isUndefined() || value.isNull()' 'value.isUndefined()'
mutant "product of any type is accepted" \
    'if (!value.isBool())' 'if (false)'
mutant "hub is no longer required" \
    '{ "hub", &Settings::hub },' ''

# --- Dashboard key store ----------------------------------------------------------------
mutant "saving a key that is not stored yet does not add it" \
    'status != Status::itemNotFound' 'status != Status::failure'
mutant "a key that is not UTF-8 is read as it is" \
    ' || !bytes.view().isValidUtf8()' ''
mutant "the key's memory may be written to a core dump" \
    '::madvise(bytes, mapped, MADV_DONTDUMP);' ''

# --- Files ------------------------------------------------------------------------------
mutant "any existing item counts as a directory" \
    ' && S_ISDIR(status.st_mode)' ''
mutant "atomically written files get 0600 instead of the usual mode" \
    '0666 & ~mask' '0600'
mutant "a moved file handle leaves its descriptor with the source too" \
    'descriptor(std::exchange(other.descriptor, -1))' 'descriptor(other.descriptor)'

# --- Child processes --------------------------------------------------------------------
mutant "descriptors beyond standard error leak into the collector" \
    '::posix_spawn_file_actions_addclosefrom_np(actions, STDERR_FILENO + 1) == 0' 'true'
mutant "signals ignored here stay ignored in the collector" \
    'POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK' 'POSIX_SPAWN_SETSIGMASK'
mutant "the error log becomes the collector's standard output" \
    'error->fd(), STDERR_FILENO' 'error->fd(), STDOUT_FILENO'
mutant "stopping kills the collector instead of asking it to terminate" \
    '::kill(pid, SIGTERM)' '::kill(pid, SIGKILL)'
mutant "a relative executable is looked up in the collector's directory" \
    'QDir::current().absoluteFilePath(executable)' 'executable'

# --- Property lists ---------------------------------------------------------------------
mutant "carriage returns are refused in text" \
    'c == 0x9 || c == 0xA || c == 0xD ||' 'c == 0x9 || c == 0xA ||'
mutant "carriage returns are written raw" \
    $'data.replace(\'\\r\', "&#13;");' ''
mutant "zero is refused as an integer" \
    'value.toLongLong() >= 0' 'value.toLongLong() > 0'
mutant "booleans are read back inverted" \
    'return flag != 0;' 'return flag == 0;'
mutant "a leading byte order mark is accepted in text" \
    'if (text.startsWith(QChar(0xFEFF)))' 'if (false)'

# --- Bundle, signals, command line ------------------------------------------------------
mutant "resources are looked for in Contents/resources" \
    'QStringLiteral("Resources")' 'QStringLiteral("resources")'
mutant "SIGHUP no longer ends the agent cleanly" \
    '{ SIGTERM, SIGINT, SIGHUP }' '{ SIGTERM, SIGINT }'
mutant "command-line switches match in any letter case" \
    'arguments.contains(QStringLiteral("--quit-existing"))' \
    'arguments.contains(QStringLiteral("--quit-existing"), Qt::CaseInsensitive)'
mutant "the quit notification ends in .Quit" \
    'QStringLiteral(".quit")' 'QStringLiteral(".Quit")'

# --- Start at login: the agent property list and its companion -------------------------
mutant "the agent is kept alive after a successful exit too" \
    '{ QStringLiteral("SuccessfulExit"), false }' '{ QStringLiteral("SuccessfulExit"), true }'
mutant "a leading dot of a label is kept in the unit name" \
    'else if (keptAsIs(c, i == 0))' 'else if (keptAsIs(c, false))'
mutant "a unit name of exactly 255 characters is refused" \
    'name.size() > maximumUnitNameLength' 'name.size() >= maximumUnitNameLength'
mutant "\"\$\" is doubled in the program path too" \
    "(c == QLatin1Char('\$') && !executable)" "c == QLatin1Char('\$')"
mutant "\"%\" in the property list path is not escaped in the condition" \
    'withSpecifiersEscaped(propertyListPath)' 'propertyListPath'
mutant "empty ProgramArguments are accepted" \
    ' || arguments.toList().isEmpty()' ''
mutant "a log path that is not text is accepted" \
    'if (!isText(dictionary[key])) {' 'if (false) {'
mutant "the companion truncates its logs instead of appending" \
    'O_WRONLY | O_APPEND | O_CREAT' 'O_WRONLY | O_CREAT'
mutant "a missing property list fails the start instead of meaning \"off\"" \
    'if (isAbsent(propertyListPath))' 'if (false)'
mutant "standard error goes to the output log" \
    'openLog(agent->standardErrorPath)' 'openLog(agent->standardOutPath)'

count=${#descriptions[@]}

usage() {
    sed -n '2,/^set -euo/{/^#/s/^# \{0,1\}//p}' "$0"
    exit "${1:-0}"
}

build_dir=build-mutants
list_only=false
selected=()
while (($#)); do
    case $1 in
    --list) list_only=true ;;
    --build-dir)
        [[ $# -ge 2 ]] || usage 2
        build_dir=$2
        shift
        ;;
    --build-dir=*) build_dir=${1#*=} ;;
    -h | --help) usage ;;
    *)
        if [[ $1 =~ ^([0-9]+)(-([0-9]+))?$ ]]; then
            first=${BASH_REMATCH[1]}
            last=${BASH_REMATCH[3]:-$first}
            for ((n = 10#$first; n <= 10#$last; n++)); do
                if ((n < 1 || n > count)); then
                    echo "mutants.sh: there is no mutant $n (1-$count)" >&2
                    exit 2
                fi
                selected+=("$n")
            done
        else
            echo "mutants.sh: unknown argument: $1" >&2
            usage 2
        fi
        ;;
    esac
    shift
done
if ((${#selected[@]} == 0)); then
    for ((n = 1; n <= count; n++)); do selected+=("$n"); done
fi

# Prints the one file under src/ holding SNIPPET exactly once, or "not applicable: ...".
# With APPLY set, replaces it there. Byte-exact: no patterns, no encoding guesses.
locate() {
    SNIPPET=$1 REPLACEMENT=$2 APPLY=${3:-} python3 - <<'EOF'
import os, sys
snippet = os.environb[b"SNIPPET"]
replacement = os.environb[b"REPLACEMENT"]
hits = []
for directory, subdirectories, files in os.walk("src"):
    subdirectories.sort()
    for name in sorted(files):
        path = os.path.join(directory, name)
        if not os.path.isfile(path) or os.path.islink(path):
            continue
        with open(path, "rb") as f:
            found = f.read().count(snippet)
        if found:
            hits.append((path, found))
total = sum(found for _, found in hits)
if total != 1:
    where = ", ".join(path for path, _ in hits)
    print(f"not applicable: found {total} times" + (f" ({where})" if where else ""))
    sys.exit(0)
path = hits[0][0]
if os.environ.get("APPLY"):
    with open(path, "rb") as f:
        text = f.read()
    # Rewritten in place: same inode and mode, and a new modification time for the build.
    with open(path, "r+b") as f:
        f.write(text.replace(snippet, replacement, 1))
        f.truncate()
print(path)
EOF
}

if $list_only; then
    for n in "${selected[@]}"; do
        i=$((n - 1))
        printf '%2d  %-66s %s\n' "$n" "${descriptions[i]}" "$(locate "${snippets[i]}" "${replacements[i]}")"
    done
    exit 0
fi

# A copy of src/ to put files back from and to compare with at the end.
backup=$(mktemp -d "${TMPDIR:-/tmp}/orlinde-mutants.XXXXXX")
cp -a src "$backup/src"
mutated=""

# Puts back the file as it was just before the mutant, so that edits others make to
# src/ meanwhile survive; copied without its old time stamp, so the next build
# recompiles it.
restore() {
    if [[ -n $mutated ]]; then
        cp -- "$backup/unmutated" "$mutated"
        mutated=""
    fi
}

finish() {
    local status=$?
    restore
    if diff -r -q "$backup/src" src >/dev/null; then
        rm -rf "$backup"
    else
        echo "mutants.sh: src/ differs from its state at the start; the original is in $backup/src" >&2
        diff -r -q "$backup/src" src >&2 || true
        status=1
    fi
    exit "$status"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

logs=$build_dir/mutants-logs
targets=()
# Only what the unit tests run is rebuilt: relinking the desktop tests as well would
# double the time per mutant.
build() {
    cmake --build "$build_dir" -j2 ${targets[@]+--target "${targets[@]}"} >"$1" 2>&1
}
unit_tests() {
    ctest --test-dir "$build_dir" -L unit --stop-on-failure --timeout 120 --no-tests=error \
        --output-on-failure >"$1" 2>&1
}

echo "Configuring and building $build_dir ..."
cmake --preset default -B "$build_dir" >/dev/null
mkdir -p "$logs"
# The unit tests' programs are the targets of the same name in the build tree.
mapfile -t targets < <(ctest --test-dir "$build_dir" -L unit --show-only=json-v1 | python3 -c '
import json, os, sys
tree = os.path.realpath(sys.argv[1]) + os.sep
for test in json.load(sys.stdin)["tests"]:
    program = os.path.realpath(test.get("command", [""])[0])
    if program.startswith(tree):
        print(os.path.basename(program))
' "$build_dir")
if ! build "$logs/unmodified-build.log"; then
    echo "mutants.sh: the unmodified tree does not build; see $logs/unmodified-build.log" >&2
    exit 1
fi
# Caught means something only if the tests pass without any mutant.
if ! unit_tests "$logs/unmodified-test.log"; then
    echo "mutants.sh: the unit tests fail without any mutant; see $logs/unmodified-test.log" >&2
    exit 1
fi

caught=0 survived=0 inapplicable=0 uncompiled=0
started=$SECONDS
for n in "${selected[@]}"; do
    i=$((n - 1))
    since=$SECONDS
    file=$(locate "${snippets[i]}" "${replacements[i]}")
    if [[ $file == "not applicable"* ]]; then
        outcome=$file
        inapplicable=$((inapplicable + 1))
        file=""
    else
        cp -- "$file" "$backup/unmutated"
        mutated=$file
        locate "${snippets[i]}" "${replacements[i]}" apply >/dev/null
        if ! build "$logs/$n-build.log"; then
            outcome="did not compile"
            uncompiled=$((uncompiled + 1))
        elif unit_tests "$logs/$n-test.log"; then
            outcome="survived"
            survived=$((survived + 1))
        else
            outcome="caught"
            caught=$((caught + 1))
        fi
        restore
    fi
    printf '%2d  %-15s  %-66s  %s  (%d s)\n' "$n" "$outcome" "${descriptions[i]}" "$file" $((SECONDS - since))
done

echo "mutants: $caught caught, $survived survived, $inapplicable not applicable," \
    "$uncompiled did not compile (of ${#selected[@]})"
echo "took $(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s; logs in $logs"
