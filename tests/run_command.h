// The one way the tests start a program of the project (nlayer-run) and see what it did.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace nlayer::testing {

struct CommandOutcome {
  int status = -1;  // the exit status, or -1 when the process did not exit normally
  int signal = 0;   // the signal that ended it otherwise
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs `program` with `args` (no shell) in `workdir`, or in the current directory when it is
// empty, and waits for it. Standard output and error are captured in files outside the working
// directory, so that it holds only what the program made. A program still running after five
// minutes is ended by SIGALRM: a guard against a hang, not a speed check.
CommandOutcome RunCommand(const std::filesystem::path& program, const std::vector<std::string>& args,
                          const std::filesystem::path& workdir = {});

}  // namespace nlayer::testing
