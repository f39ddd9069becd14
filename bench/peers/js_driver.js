// The JavaScript LRC parsers in the peer comparison, under node: the same
// time-boxed loop and one-line report as the C drivers (driver.h).
//
// usage: node js_driver.js PEERS_DIR clrc|lrc-kit|paroles FILE [BUDGET_SECONDS]
// PEERS_DIR holds the node_modules that bench/peers/package.json installs.
'use strict';

const fs = require('fs');
const path = require('path');
const { createRequire } = require('module');

const WARMUP_LIMIT = 16 << 20; // as in driver.h

// Each returns the number of timed lines it found, the way its documentation
// reads them out.
const PEERS = {
  clrc: (req) => {
    const { parse, LineType } = req('clrc');
    return (text) => parse(text).filter((l) => l.type === LineType.LYRIC).length;
  },
  'lrc-kit': (req) => {
    const { Lrc } = req('lrc-kit');
    return (text) => Lrc.parse(text).lyrics.length;
  },
  paroles: (req) => {
    const { Lyrics } = req('paroles');
    return (text) => new Lyrics(text).lines.length;
  },
};

function main(argv) {
  const [dir, name, file, budgetArg] = argv;
  if (!dir || !PEERS[name] || !file) {
    process.stderr.write('usage: node js_driver.js PEERS_DIR clrc|lrc-kit|paroles FILE [BUDGET_SECONDS]\n');
    return 2;
  }
  const parse = PEERS[name](createRequire(path.join(path.resolve(dir), 'package.json')));
  const budget = Number(budgetArg) > 0 ? Number(budgetArg) : 1.0;
  const bytes = fs.readFileSync(file);
  // Decoding to a JavaScript string is left out of the time: these parsers
  // take a string, lyrx takes the bytes.
  let text = bytes.toString('utf8');
  const baseKb = process.resourceUsage().maxRSS;
  const now = () => Number(process.hrtime.bigint()) / 1e9;
  let lines = 0;
  if (bytes.length < WARMUP_LIMIT) {
    const end = now() + budget / 4;
    do lines = parse(text); while (now() < end);
  }
  let iterations = 0;
  let elapsed = 0;
  const start = now();
  while (iterations === 0 || elapsed < budget) {
    lines = parse(text);
    iterations++;
    elapsed = now() - start;
  }
  text = null;
  process.stdout.write(JSON.stringify({
    iterations, seconds: elapsed, bytes: bytes.length, lines,
    base_rss_kb: baseKb, maxrss_kb: process.resourceUsage().maxRSS,
  }) + '\n');
  return 0;
}

process.exitCode = main(process.argv.slice(2));
