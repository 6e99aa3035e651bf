#!/usr/bin/env bash
# Usage: demo/make-installation.sh BUNDLE ROOT
#
# Turns a built Orlinde.app into a demo installation: the demo collector under ROOT
# (with its .data directory) and BUNDLE/Contents/Resources/settings.json pointing at
# it, with the dashboard on a free loopback port. "Start at login" writes inside ROOT,
# so the demo never changes how the user's session starts. Logs in ROOT/.data are kept.
set -euo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 BUNDLE ROOT" >&2
    exit 2
fi
demo_dir=$(cd "$(dirname "$0")" && pwd)
bundle=$(cd "$1" && pwd)
mkdir -p "$2"
root=$(cd "$2" && pwd)
executable=$bundle/Contents/MacOS/Orlinde
node=$(command -v node || true)

if [ ! -x "$executable" ]; then
    echo "make-installation: no Orlinde executable in $bundle" >&2
    exit 1
fi
if [ -z "$node" ]; then
    echo "make-installation: Node.js (node) is not installed" >&2
    exit 1
fi
node=$(readlink -f "$node")

mkdir -p "$root/.data" "$root/autostart" "$bundle/Contents/Resources"
cp "$demo_dir/root/collector.mjs" "$root/collector.mjs"

# The usual port when it is free, so a bookmark keeps working; any free one otherwise.
port=$("$node" -e '
const net = require("node:net");
const tryPort = (port) => {
    const server = net.createServer();
    server.once("error", () => (port === 0 ? process.exit(1) : tryPort(0)));
    server.listen(port, "127.0.0.1", () => {
        console.log(server.address().port);
        server.close();
    });
};
tryPort(47800);
')
printf '{ "port": %s }\n' "$port" >"$root/demo.json"

# JSON-escaped substitution, so any path survives the template.
"$node" -e '
const fs = require("node:fs");
const [template, target, ...pairs] = process.argv.slice(1);
let text = fs.readFileSync(template, "utf8");
for (let i = 0; i < pairs.length; i += 2)
    text = text.split(pairs[i]).join(JSON.stringify(pairs[i + 1]).slice(1, -1));
JSON.parse(text);
fs.writeFileSync(target, text);
' "$demo_dir/settings.json.in" "$bundle/Contents/Resources/settings.json" \
    @NODE@ "$node" @ROOT@ "$root" @HUB@ "http://127.0.0.1:$port" @APP_EXECUTABLE@ "$executable"
