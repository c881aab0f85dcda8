// Programs of ours started as child processes (the console, the C example, the benchmark's
// children). A cross build runs its programs under an emulator (CMAKE_CROSSCOMPILING_EMULATOR),
// which cannot start a foreign program by itself: its children go through it too.
#pragma once

#include <string>
#include <vector>

namespace ywstest {

// The command line that starts program args[0] with its arguments here: args itself, or the
// emulator's command line before it. Every element is an absolute path or an argument.
std::vector<std::string> child_command(const std::vector<std::string> &args);

// Whether this build runs under an emulator: its latencies are the emulator's, so a test's bound
// on one is widened there, never its count or order checks.
bool under_emulator();

}  // namespace ywstest
