// Stands in for the collector: notes each launch in ./launches and runs until asked
// to stop, or until the agent that started it is gone.
import { appendFileSync } from 'node:fs';

appendFileSync('launches', `${process.pid}\n`);
process.on('SIGTERM', () => process.exit(0));
const parent = Number(process.env.ORLINDE_PARENT_PID);
setInterval(() => {
    if (!Number.isInteger(parent)) return;
    try {
        process.kill(parent, 0);
    } catch {
        process.exit(0);
    }
}, 500);
