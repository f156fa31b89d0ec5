#!/usr/bin/env node
// Compound-file peer for the interoperability tests, over the npm package cfb.
//   cfb_peer.js MODULEDIR list FILE    storages ("S\tpath") and streams ("F\tpath\tsize\tsha256"), sorted
//   cfb_peer.js MODULEDIR write FILE   nested storages and streams of 0 to 5,000 bytes
//   cfb_peer.js MODULEDIR big FILE     a file past 7 MB, so it needs DIFAT sectors
'use strict';
const path = require('path');
const crypto = require('crypto');
const CFB = require(path.join(process.argv[2], 'node_modules', 'cfb'));
const [cmd, file] = process.argv.slice(3);

function pattern(seed, size) {
    const b = Buffer.alloc(size);
    for (let i = 0; i < size; ++i) b[i] = (i * 31 + seed * 7 + (i >> 8)) & 0xff;
    return b;
}

if (cmd === 'list') {
    const cfb = CFB.read(file, {type: 'file'});
    const rows = [];
    const root = cfb.FullPaths[0];
    cfb.FullPaths.forEach((p, i) => {
        if (i === 0) return;
        const e = cfb.FileIndex[i];
        let rel = p.slice(root.length);
        if (e.type === 1) {
            rows.push('S\t' + rel.replace(/\/$/, ''));
        } else if (e.type === 2) {
            const data = Buffer.from(e.content || []);
            rows.push('F\t' + rel + '\t' + data.length + '\t' + crypto.createHash('sha256').update(data).digest('hex'));
        }
    });
    rows.sort((a, b) => (a < b ? -1 : a > b ? 1 : 0));
    process.stdout.write(rows.map((r) => r + '\n').join(''));
} else if (cmd === 'write') {
    const cfb = CFB.utils.cfb_new();
    const sizes = [0, 1, 63, 64, 511, 512, 4095, 4096, 4097, 5000];
    sizes.forEach((n, k) => CFB.utils.cfb_add(cfb, '/top' + n, pattern(k, n)));
    sizes.forEach((n, k) => CFB.utils.cfb_add(cfb, '/a/b/s' + n, pattern(k + 20, n)));
    CFB.utils.cfb_add(cfb, '/a/x', pattern(99, 300));
    CFB.writeFile(cfb, file);
} else if (cmd === 'big') {
    const cfb = CFB.utils.cfb_new();
    for (let k = 0; k < 8; ++k) CFB.utils.cfb_add(cfb, '/chunk' + k, pattern(k, 1024 * 1024 + k));
    CFB.writeFile(cfb, file);
} else {
    process.exit(2);
}
