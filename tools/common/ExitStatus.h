#pragma once
// The exit statuses every qb32 command-line tool answers, and their
// one-line descriptions for --help and the README.
//
//   0  done
//   1  qb32-render --check-order: the channels do not match the array's layout
//   2  usage: the command line is wrong (unknown option, bad value, output = input)
//   3  input: an input is missing, unreadable or unsuitable
//   4  output: an output cannot be written (unwritable, disk full, a pipe)
//   5  module: the plug-in module cannot be loaded
//   70 internal failure (out of memory, a fault in the tool)

namespace qb32::tools {

enum ExitStatus {
    exitOk = 0,
    exitMismatch = 1,
    exitUsage = 2,
    exitInput = 3,
    exitOutput = 4,
    exitModule = 5,
    exitInternal = 70,
};

// "usage: the command line is wrong ..." for a status; empty for unknown ones.
const char* exitStatusMeaning(int status);

}  // namespace qb32::tools
