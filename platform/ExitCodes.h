// What the tools' exit statuses mean, the same for every tool (each man page
// says which of them its tool uses).
#pragma once

const int kExitRefused = 1;       // drvcfg: a change the checks refuse; nothing written
const int kExitFailed = 2;        // a file, a port, the driver or a start that cannot be had
const int kExitUsage = 64;        // a command line that makes no sense (sysexits' EX_USAGE)
const int kExitInterrupted = 130;  // Ctrl-C: what was found so far is reported
