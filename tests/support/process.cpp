#include "support/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/deep_paths.h"

extern char** environ;

namespace {

// Follows a child that asked to be traced until it is gone, stopping it at each write to
// standard output to look whether watched exists. Returns the child's wait status; adds to
// *bytesBefore the length of every such write that began while watched did not exist.
int TraceOutputWrites(pid_t pid, const std::string& watched, size_t* bytesBefore) {
  int status = 0;
  bool inSyscall = false;
  bool started = false;
  while (waitpid(pid, &status, 0) == pid && WIFSTOPPED(status)) {
    int signal = 0;
    if (!started) {
      // The stop at the exec: from here on, system call stops are told apart from signals.
      started = true;
      ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
    } else if (WSTOPSIG(status) == (SIGTRAP | 0x80)) {
      inSyscall = !inSyscall;
#if defined(__x86_64__)
      struct user_regs_struct regs {};
      if (inSyscall && ptrace(PTRACE_GETREGS, pid, nullptr, &regs) == 0 &&
          regs.orig_rax == SYS_write && regs.rdi == STDOUT_FILENO &&
          !std::filesystem::exists(watched)) {
        *bytesBefore += regs.rdx;
      }
#else
      (void)watched;
      (void)bytesBefore;
#endif
    } else {
      signal = WSTOPSIG(status);  // delivered as if no one watched
    }
    ptrace(PTRACE_SYSCALL, pid, nullptr, signal);
  }
  return status;
}

}  // namespace

ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::string& cwd, const std::vector<std::string>& extraEnv,
                         const ProcessLimits& limits) {
  ProcessResult result;
  int pipeFds[2];
  if (limits.terminal) {
    struct termios raw {};
    cfmakeraw(&raw);
    if (openpty(&pipeFds[0], &pipeFds[1], nullptr, &raw, nullptr) != 0) {
      ADD_FAILURE() << "openpty failed";
      return result;
    }
  } else if (pipe(pipeFds) != 0) {
    ADD_FAILURE() << "pipe failed";
    return result;
  }
  // Standard error off a terminal goes to a file, read once the child is gone: no pipe to
  // keep drained beside standard output's.
  char errPath[] = "/tmp/xevra-stderr-XXXXXX";
  int errFd = limits.terminal ? -1 : mkstemp(errPath);
  std::vector<std::string> argStore{program};
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<char*> argvv;
  for (std::string& a : argStore) argvv.push_back(a.data());
  argvv.push_back(nullptr);

  std::vector<std::string> envStore(extraEnv);
  if (!limits.watchedFile.empty()) {
    // A traced process cannot run the leak check, which traces its own threads.
    const char* asan = getenv("ASAN_OPTIONS");
    envStore.insert(envStore.begin(), std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") +
                                          ":detect_leaks=0");
  }
  for (char** e = environ; *e != nullptr; ++e) envStore.emplace_back(*e);
  std::vector<char*> envv;
  for (std::string& e : envStore) envv.push_back(e.data());
  envv.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) {
    close(pipeFds[0]);
    close(pipeFds[1]);
    if (errFd >= 0) {
      close(errFd);
      unlink(errPath);
    }
    ADD_FAILURE() << "cannot start " << program;
    return result;
  }
  if (pid == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    dup2(limits.terminal ? pipeFds[1] : errFd, STDERR_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    signal(SIGPIPE, SIG_DFL);
    signal(SIGXFSZ, SIG_DFL);
    if (limits.maxFileBytes > 0) {
      struct rlimit limit {
        static_cast<rlim_t>(limits.maxFileBytes), static_cast<rlim_t>(limits.maxFileBytes)
      };
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (limits.timeoutSeconds > 0) alarm(limits.timeoutSeconds);  // survives the exec
    // A machine that forbids tracing (a container's seccomp, yama) says so by this status.
    if (!limits.watchedFile.empty() && ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
      _exit(kTracingRefused);
    }
    execve(program.c_str(), argvv.data(), envv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  int tracedStatus = 0;
  size_t bytesBefore = 0;
  if (!limits.watchedFile.empty()) {
    tracedStatus = TraceOutputWrites(pid, limits.watchedFile, &bytesBefore);
  }
  char buffer[4096];
  ssize_t n;
  int lines = 0;
  while ((limits.outputLines < 0 || lines < limits.outputLines) &&
         (n = read(pipeFds[0], buffer, sizeof buffer)) > 0) {
    // Like head -n, whatever arrived beyond the last line wanted is dropped.
    for (ssize_t i = 0; i < n; ++i) {
      result.out += buffer[i];
      if (buffer[i] == '\n' && ++lines == limits.outputLines) break;
    }
  }
  close(pipeFds[0]);
  int status = 0;
  struct rusage usage {};
  if (limits.watchedFile.empty()) {
    wait4(pid, &status, 0, &usage);
  } else {
    status = tracedStatus;
    result.outBeforeWatched = result.out.substr(0, bytesBefore);
  }
  if (errFd >= 0) {
    result.err = ReadFile(errPath);
    close(errFd);
    unlink(errPath);
  }
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  result.maxRssKb = usage.ru_maxrss;
  return result;
}

ProcessResult RunXevraBinary(const std::vector<std::string>& args, const std::string& cwd,
                             const std::vector<std::string>& extraEnv,
                             const ProcessLimits& limits) {
  return RunProgram(XEVRA_BINARY, args, cwd, extraEnv, limits);
}

TempDir::TempDir() {
  // No dash in the name: arguments are read by the keys found anywhere in them, and a test
  // that passes a folder without "s=" must not find "-j" or "-u" in a random suffix.
  std::string pattern = (std::filesystem::temp_directory_path() / "xevra_test_XXXXXX").string();
  char* made = mkdtemp(pattern.data());
  if (made == nullptr) {
    ADD_FAILURE() << "mkdtemp failed";
    return;
  }
  path_ = made;
}

TempDir::~TempDir() {
  // Read-only leftovers and trees deeper than one call's path limit must not block the
  // removal.
  if (!path_.empty()) RemoveTree(path_);
}

std::vector<std::string> ListTree(const std::string& root) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
    std::string rel = e.path().lexically_relative(root).string();
    names.push_back(e.is_directory() ? rel + "/" : rel);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << contents;
  EXPECT_TRUE(file.good()) << "cannot write " << path;
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

std::map<std::string, std::string> TreeContents(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
    std::string rel = std::filesystem::relative(e.path(), root).string();
    files[e.is_directory() ? rel + "/" : rel] = e.is_directory() ? "" : ReadFile(e.path());
  }
  return files;
}

long ReadSyscallCount() {
  std::ifstream io("/proc/self/io");
  std::string key;
  long value = 0;
  while (io >> key >> value) {
    if (key == "syscr:") return value;
  }
  return -1;
}
