#include "tests/run_command.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace nlayer::testing {

namespace {

constexpr unsigned kSecondsBeforeAHangIsAssumed = 300;

// A fresh file for a captured stream; its descriptor, or -1. Closed on exec, so that the
// program sees no descriptor but its standard streams on it.
int CaptureFile(std::string& path) {
  path = (std::filesystem::temp_directory_path() / "nlayer-capture-XXXXXX").string();
  return mkostemp(path.data(), O_CLOEXEC);
}

std::string ReadAndRemove(const std::string& path) {
  std::string text;
  if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
    for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
    std::fclose(file);
  }
  std::remove(path.c_str());
  return text;
}

}  // namespace

CommandOutcome RunCommand(const std::filesystem::path& program, const std::vector<std::string>& args,
                          const std::filesystem::path& workdir) {
  CommandOutcome outcome;
  std::string out_path, err_path;
  const int out = CaptureFile(out_path);
  const int err = CaptureFile(err_path);
  if (out < 0 || err < 0) {
    ADD_FAILURE() << "cannot make capture files: " << std::strerror(errno);
    for (const auto& [fd, path] : {std::pair{out, out_path}, std::pair{err, err_path}}) {
      if (fd >= 0) {
        close(fd);
        std::remove(path.c_str());
      }
    }
    return outcome;
  }
  std::string program_text = program.string();
  std::vector<std::string> arg_copies = args;
  std::vector<char*> argv = {program_text.data()};
  for (auto& arg : arg_copies) argv.push_back(arg.data());
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid == 0) {
    if ((!workdir.empty() && chdir(workdir.c_str()) != 0) || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
    alarm(kSecondsBeforeAHangIsAssumed);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out);
  close(err);
  int raw = 0;
  if (pid < 0 || waitpid(pid, &raw, 0) != pid) {
    ADD_FAILURE() << "could not run " << program << ": " << std::strerror(errno);
  } else {
    if (WIFEXITED(raw)) outcome.status = WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) outcome.signal = WTERMSIG(raw);
  }
  outcome.out = ReadAndRemove(out_path);
  outcome.err = ReadAndRemove(err_path);
  return outcome;
}

}  // namespace nlayer::testing
