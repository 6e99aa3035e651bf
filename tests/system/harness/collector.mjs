// The collector as the agent sees one. It notes each launch (its pid in "launches", once
// it listens for SIGTERM) and each termination request ("signals"), and follows the
// words of the file "mode" in its root, read again every 250 ms:
//   connected | disconnected   keeps the status file fresh with that connection state
//   orphan                      runs on when the agent that started it is gone
//   output N                    writes N bytes a second to standard output, in lines
import { appendFileSync, readFileSync, renameSync, writeFileSync, writeSync } from 'node:fs';

const mode = () => {
    try { return readFileSync('mode', 'utf8').split(/\s+/); } catch { return []; }
};
process.on('SIGTERM', () => {
    appendFileSync('signals', `${process.pid}\n`);
    process.exit(0);
});
appendFileSync('launches', `${process.pid}\n`);

const parent = Number(process.env.ORLINDE_PARENT_PID);
let written = 0;
const started = Date.now();
setInterval(() => {
    const words = mode();
    if (!words.includes('orphan')) {
        try { process.kill(parent, 0); } catch { process.exit(0); }
    }
    for (const state of ['connected', 'disconnected']) {
        if (!words.includes(state)) continue;
        writeFileSync('.data/desktop-status.json.new', JSON.stringify({ at: Date.now(), connected: state === 'connected' }));
        renameSync('.data/desktop-status.json.new', '.data/desktop-status.json');
    }
    const rate = Number(words[words.indexOf('output') + 1]);
    if (words.includes('output') && rate > 0) {
        const due = Math.floor(((Date.now() - started) / 1000) * rate) - written;
        const line = `${process.pid} ${'x'.repeat(58)}\n`;
        let chunk = '';
        while (chunk.length + line.length <= due) chunk += line;
        if (chunk) written += writeSync(1, chunk);
    }
}, 250);
