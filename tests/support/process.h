// Runs the built xevra binary as a user would, for the end-to-end tests.
#pragma once

#include <map>
#include <string>
#include <vector>

struct ProcessResult {
  std::string out;    // everything written to standard output (and standard error on a terminal)
  std::string err;    // everything written to standard error, when it is not on a terminal
  int exitCode = -1;  // the exit status, or -1 when the process did not exit normally
  int signal = 0;     // the signal that ended it, 0 when it exited
  long maxRssKb = 0;  // its peak resident memory
  // With ProcessLimits::watchedFile: the part of out whose writes began while that file did
  // not exist.
  std::string outBeforeWatched;
};

// Limits put on a child process.
// The exit status of a child that was to be traced (ProcessLimits::watchedFile) where this
// machine does not allow tracing.
constexpr int kTracingRefused = 125;

struct ProcessLimits {
  unsigned timeoutSeconds = 0;  // the child is killed (SIGALRM) after this long; 0: never
  long maxFileBytes = 0;        // RLIMIT_FSIZE; 0: none
  int outputLines = -1;  // standard output is closed after this many lines are read; -1: never
  // Standard output and standard error share one pseudo-terminal (raw: bytes pass unchanged),
  // whose whole text lands in out, in the order written.
  bool terminal = false;
  // When set, the child is stopped at each write to standard output while the test looks
  // whether this file exists (the child is traced, so its leak check is off; its standard
  // output must fit the pipe, as a short console text does).
  std::string watchedFile = {};
};

// Runs program with args in folder cwd; extraEnv entries ("NAME=value") are added to the
// environment. The child starts with the signal dispositions a shell gives a command (SIGPIPE
// and SIGXFSZ at their defaults, whatever the test runner does with them). Fails the calling
// test when the process cannot be started.
ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::string& cwd, const std::vector<std::string>& extraEnv = {},
                         const ProcessLimits& limits = {});

// Runs the xevra binary of this build.
ProcessResult RunXevraBinary(const std::vector<std::string>& args, const std::string& cwd,
                             const std::vector<std::string>& extraEnv = {},
                             const ProcessLimits& limits = {});

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // Returns path() joined with relative.
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// Returns every name below root, relative to it, sorted; folders end in "/".
std::vector<std::string> ListTree(const std::string& root);

// Writes contents to path, creating or replacing the file.
void WriteFile(const std::string& path, const std::string& contents);
// Returns the contents of path, or an empty string when it cannot be read.
std::string ReadFile(const std::string& path);
// Returns the names (relative to root, "/" after folders) and contents of every file and
// folder below root, hidden ones included: two trees are equal when these are.
std::map<std::string, std::string> TreeContents(const std::string& root);

// Returns how many read system calls this process has made so far, or -1 when the kernel does
// not tell (no /proc/self/io).
long ReadSyscallCount();
