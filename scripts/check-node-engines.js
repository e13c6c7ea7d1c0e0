// Checks the running Node against the "engines.node" range of webapp/package.json and of
// every package in webapp/package-lock.json, before npm installs anything. Prints what
// does not fit and exits 1. Ranges: comparators (>=18, <21, 18.2.x, ^18.17, ~20.1)
// joined by spaces (all must hold) and "||" (any alternative).
'use strict';
const fs = require('fs');
const path = require('path');

function parseVersion(text) {
  const parts = String(text).trim().replace(/^v/, '').split(/[.+-]/);
  return [0, 1, 2].map((i) => {
    const part = parts[i];
    return part === undefined || part === '' || /^[x*]$/i.test(part) ? null : Number(part);
  });
}

function compare(a, b) {
  for (let i = 0; i < 3; i++) {
    if ((a[i] || 0) !== (b[i] || 0)) return (a[i] || 0) < (b[i] || 0) ? -1 : 1;
  }
  return 0;
}

// The lowest version a partial version stands for and the first one past it.
function span(v, level) {
  const low = v.map((n) => n || 0);
  const high = low.slice();
  if (level === 0) { high[0]++; high[1] = 0; high[2] = 0; } else if (level === 1) { high[1]++; high[2] = 0; } else high[2]++;
  return [low, high];
}

function satisfiesComparator(version, comparator) {
  if (comparator === '' || comparator === '*' || /^x$/i.test(comparator)) return true;
  const match = /^(>=|<=|>|<|=|\^|~)?\s*v?([0-9xX*][0-9A-Za-z.*+-]*)$/.exec(comparator);
  if (!match) throw new Error(`unsupported range "${comparator}"`);
  const op = match[1] || '=';
  const v = parseVersion(match[2]);
  const given = v.findIndex((n) => n === null);
  const level = given === -1 ? 2 : given - 1;  // the last number written
  if (level < 0) return true;
  const [low, high] = span(v, level);
  switch (op) {
    case '>=': return compare(version, low) >= 0;
    case '>': return compare(version, high) >= 0;
    case '<': return compare(version, low) < 0;
    case '<=': return compare(version, high) < 0;
    case '=': return compare(version, low) >= 0 && compare(version, high) < 0;
    case '~': return compare(version, low) >= 0 && compare(version, span(v, Math.min(level, 1))[1]) < 0;
    case '^': {
      const keep = low[0] !== 0 ? 0 : low[1] !== 0 || level < 2 ? Math.min(level, 1) : 2;
      return compare(version, low) >= 0 && compare(version, span(v, keep)[1]) < 0;
    }
  }
  return false;
}

function satisfies(version, range) {
  return range.split('||').some((alternative) => {
    const comparators = alternative.trim().replace(/(>=|<=|>|<|=|\^|~)\s+/g, '$1').split(/\s+/);
    return comparators.every((c) => satisfiesComparator(version, c));
  });
}

function main() {
  const webapp = process.argv[2] || path.join(__dirname, '..', 'webapp');
  const node = process.versions.node;
  const version = parseVersion(node);
  const wanted = [];
  const manifest = JSON.parse(fs.readFileSync(path.join(webapp, 'package.json'), 'utf8'));
  if (manifest.engines && manifest.engines.node) wanted.push(['webapp/package.json', manifest.engines.node]);
  const lockPath = path.join(webapp, 'package-lock.json');
  if (fs.existsSync(lockPath)) {
    const lock = JSON.parse(fs.readFileSync(lockPath, 'utf8'));
    for (const [where, entry] of Object.entries(lock.packages || {})) {
      if (where === '' || !entry.engines || !entry.engines.node) continue;
      wanted.push([`${where.replace(/^.*node_modules\//, '')}@${entry.version}`, entry.engines.node]);
    }
  }
  const unmet = wanted.filter(([, range]) => !satisfies(version, range));
  if (unmet.length === 0) return 0;
  console.error(`install-web-deps: Node ${node} (${process.execPath}) is too old for the page's packages:`);
  for (const [what, range] of unmet) console.error(`  ${what} needs node ${range}`);
  console.error('Install a Node that fits (Debian 12: apt-get install nodejs npm) or remove the older one.');
  return 1;
}

if (require.main === module) {
  try {
    process.exitCode = main();
  } catch (error) {
    console.error(`install-web-deps: cannot check the Node version: ${error.message}`);
    process.exitCode = 1;
  }
}
module.exports = { satisfies, parseVersion };
