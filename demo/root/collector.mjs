// Demo collector for Orlinde: serves a small dashboard page on a loopback port and
// reports whether that page answers. The status file is what the tray agent reads:
// <root>/.data/desktop-status.json with "at" (milliseconds) and "connected".
//
// The page has a button that takes it offline for a while, so the tray's status line
// can be seen flipping from "Connected to dashboard" to "Reconnecting…" and back.
// Settings come from <root>/demo.json: { "port": <loopback port> }.
import { mkdirSync, readFileSync, renameSync, writeFileSync } from 'node:fs';
import http from 'node:http';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

const root = dirname(fileURLToPath(import.meta.url));
const dataDir = join(root, '.data');
const statusFile = join(dataDir, 'desktop-status.json');
const probeEveryMs = 2000;
const probeTimeoutMs = 1500;
const offlineForMs = 20000;
const listenRetryMs = 3000;

function readPort() {
    try {
        const port = JSON.parse(readFileSync(join(root, 'demo.json'), 'utf8')).port;
        if (Number.isInteger(port) && port > 0 && port < 65536) return port;
    } catch {}
    return 47800;
}

const port = readPort();
const hub = `http://127.0.0.1:${port}`;
let connected = false;
let offlineUntil = 0;
let server = null;
let stopping = false;

function log(message) {
    console.log(`${new Date().toISOString()} ${message}`);
}

// Written beside the target and renamed over it, so a reader never sees half a file.
function writeStatus() {
    const temporary = `${statusFile}.${process.pid}.tmp`;
    try {
        mkdirSync(dataDir, { recursive: true });
        writeFileSync(temporary, JSON.stringify({ at: Date.now(), connected, hub }) + '\n');
        renameSync(temporary, statusFile);
    } catch (error) {
        console.error(`${new Date().toISOString()} cannot write the status file: ${error.message}`);
    }
}

function page() {
    const offline = Math.round(offlineForMs / 1000);
    return `<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>Orlinde demo dashboard</title>
<style>
body { font: 16px/1.5 sans-serif; max-width: 40em; margin: 3em auto; padding: 0 1em; color: #222; }
button { font: inherit; padding: .4em 1em; }
</style></head>
<body>
<h1>Orlinde demo dashboard</h1>
<p>The demo collector (process ${process.pid}) serves this page and checks every
${probeEveryMs / 1000} seconds that it answers; the tray menu shows the result.</p>
<p>Dashboard key: <strong id="key">none</strong></p>
<form method="post" action="/offline">
<button>Go offline for ${offline} seconds</button>
</form>
<p>While the page is offline the tray reads &ldquo;Reconnecting&hellip;&rdquo;; afterwards
&ldquo;Connected to dashboard&rdquo; again.</p>
<script>
if (location.hash.length > 1) document.getElementById('key').textContent = 'received';
</script>
</body></html>
`;
}

function handle(request, response) {
    if (request.method === 'GET' && request.url === '/health') {
        response.writeHead(200, { 'content-type': 'text/plain' });
        response.end('ok\n');
    } else if (request.method === 'POST' && request.url === '/offline') {
        response.writeHead(200, { 'content-type': 'text/html; charset=utf-8' });
        response.end(`<!doctype html><meta charset="utf-8"><p>Offline for ${offlineForMs / 1000} seconds.</p>\n`);
        goOffline();
    } else if (request.method === 'GET' && (request.url === '/' || request.url.startsWith('/?'))) {
        response.writeHead(200, { 'content-type': 'text/html; charset=utf-8' });
        response.end(page());
    } else {
        response.writeHead(404, { 'content-type': 'text/plain' });
        response.end('not found\n');
    }
}

function listen() {
    if (stopping || server || Date.now() < offlineUntil) return;
    const candidate = http.createServer(handle);
    candidate.on('error', (error) => {
        log(`dashboard cannot listen on ${hub}: ${error.code ?? error.message}; trying again`);
        candidate.close();
        if (server === candidate) server = null;
    });
    candidate.listen(port, '127.0.0.1', () => log(`dashboard up at ${hub}/`));
    server = candidate;
}

function goOffline() {
    offlineUntil = Date.now() + offlineForMs;
    log(`dashboard going offline for ${offlineForMs / 1000} seconds`);
    const closing = server;
    server = null;
    // Let the reply to the button reach the browser before the socket goes.
    setTimeout(() => {
        closing?.close();
        closing?.closeAllConnections?.();
    }, 200);
}

function probe() {
    return new Promise((resolve) => {
        const request = http.get(`${hub}/health`, { timeout: probeTimeoutMs }, (response) => {
            response.resume();
            resolve(response.statusCode === 200);
        });
        request.on('timeout', () => request.destroy());
        request.on('error', () => resolve(false));
    });
}

async function tick() {
    listen();
    const now = await probe();
    if (now !== connected) log(now ? 'connected to the dashboard' : 'dashboard unreachable');
    connected = now;
    writeStatus();
}

// The agent only asks with SIGTERM and never waits; if it dies without asking, the
// collector must not outlive it.
function parentGone() {
    const parent = Number(process.env.ORLINDE_PARENT_PID);
    if (!Number.isInteger(parent) || parent <= 1) return false;
    try {
        process.kill(parent, 0);
        return false;
    } catch (error) {
        return error.code === 'ESRCH';
    }
}

function stop(reason) {
    if (stopping) return;
    stopping = true;
    log(`stopping (${reason})`);
    server?.close();
    server?.closeAllConnections?.();
    process.exit(0);
}

process.on('SIGTERM', () => stop('SIGTERM'));
process.on('SIGINT', () => stop('SIGINT'));
process.on('SIGHUP', () => stop('SIGHUP'));

log(`demo collector started in ${root}`);
setInterval(() => {
    if (parentGone()) stop('the agent is gone');
    else tick();
}, probeEveryMs);
setInterval(listen, listenRetryMs);
tick();
