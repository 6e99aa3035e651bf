// A collector as the agent sees one: it keeps the status file fresh and connected once
// the test lets it (a file "connect" in the root), and notes every termination request
// before it leaves.
import { appendFileSync, existsSync, renameSync, writeFileSync } from 'node:fs';

process.on('SIGTERM', () => {
    appendFileSync('signals', `${process.pid}\n`);
    process.exit(0);
});
// Noted once it listens, so that a termination request never comes first.
appendFileSync('launches', `${process.pid}\n`);

function report() {
    if (!existsSync('connect'))
        return;
    writeFileSync('.data/desktop-status.json.new', JSON.stringify({ at: Date.now(), connected: true }));
    renameSync('.data/desktop-status.json.new', '.data/desktop-status.json');
}
setInterval(report, 250);
