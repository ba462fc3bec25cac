#!/usr/bin/env node
// Runs the orvel binary that the package manager installed for this machine, as if it had been
// called directly: same arguments, the same standard input, output and error (so the report sees
// the same terminal width), and the same exit status.
'use strict';

const { spawn } = require('child_process');
const { constants } = require('os');

// One optional dependency per binary; npm installs only the one whose os and cpu match.
const packages = {
  'linux x64': '@orvel/linux-x64',
  'linux arm64': '@orvel/linux-arm64',
};
const homepage = 'https://github.com/orvel-json/orvel#install';

function fail(lines) {
  process.stderr.write(lines.map((line) => `orvel: ${line}\n`).join(''));
  process.exit(1);
}

const platform = `${process.platform} ${process.arch}`;
const name = packages[platform];
if (name === undefined) {
  fail([
    `there is no orvel binary for ${platform} in the npm package.`,
    `Binaries exist for: ${Object.keys(packages).join(', ')} (static, for any C library).`,
    `Elsewhere build it from source (a C++20 compiler and CMake): ${homepage}`,
  ]);
}

let binary;
try {
  binary = require.resolve(`${name}/bin/orvel`);
} catch {
  fail([
    `${name}, which holds the binary for ${platform}, is not installed.`,
    'It is an optional dependency of orvel: install orvel again without --omit=optional,',
    '--no-optional or an --os/--cpu for another machine.',
    `Other ways to install (pip, .deb, archive): ${homepage}`,
  ]);
}

const child = spawn(binary, process.argv.slice(2), { stdio: 'inherit' });

// A signal sent to this process alone (kill PID, a CI runner's timeout) must reach orvel too, or
// it would run on unseen; orvel finishes the file it is writing and then ends by that signal.
for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP', 'SIGQUIT']) {
  process.on(signal, () => child.kill(signal));
}

child.on('error', (error) => fail([`cannot run ${binary}: ${error.message}`]));

// The shell's convention for a child killed by a signal: 128 plus the signal's number.
child.on('exit', (code, signal) => {
  process.exit(signal === null ? code : 128 + constants.signals[signal]);
});
