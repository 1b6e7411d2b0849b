#pragma once
// Runs a program of the build as a child process with its standard output
// and error captured together, under an address-space limit and a time
// limit (the child is killed when it runs over).
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace TavoAlgorithm::test {

// Sanitizer runtimes reserve terabytes of address space up front, so the
// limit only applies to plain builds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kMemoryLimited = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kMemoryLimited = false;
#else
inline constexpr bool kMemoryLimited = true;
#endif
#else
inline constexpr bool kMemoryLimited = true;
#endif

struct ProgramRun {
  int exitCode = -1;      // -1 when killed by a signal
  int signal = 0;
  bool timedOut = false;
  double seconds = 0;
  std::string output;     // stdout and stderr, interleaved as written
};

inline ProgramRun run_program(const std::vector<std::string>& args, const std::string& outputFile,
                              double timeoutSeconds, std::size_t memoryLimitBytes) {
  ProgramRun run;
  // Everything the child needs is made before the fork: it only calls
  // async-signal-safe functions until exec.
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const rlimit limit{memoryLimitBytes, memoryLimitBytes};
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int fd = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) ::_exit(127);
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
    if (kMemoryLimited) ::setrlimit(RLIMIT_AS, &limit);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (done == pid) break;
    if (run.seconds > timeoutSeconds) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      run.timedOut = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
  std::ifstream in(outputFile, std::ios::binary);
  run.output.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return run;
}

}  // namespace TavoAlgorithm::test
