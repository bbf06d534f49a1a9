// The real Platform, on POSIX.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "platform/platform.h"

namespace {

#ifdef __APPLE__
constexpr const char* kOpener = "open";
#else
constexpr const char* kOpener = "xdg-open";
#endif

class SystemPlatformImpl final : public Platform {
 public:
  bool CurrentDir(std::string* path) override {
    std::vector<char> buffer(4096);
    while (getcwd(buffer.data(), buffer.size()) == nullptr) {
      if (errno != ERANGE) return false;
      buffer.resize(buffer.size() * 2);
    }
    *path = buffer.data();
    return true;
  }

  void OpenDocument(const std::string& document) override {
    // The viewer must outlive us and must not become our zombie, so it is started by a
    // short-lived intermediate child that we reap at once.
    std::fflush(stdout);
    pid_t child = fork();
    if (child < 0) return;
    if (child == 0) {
      setsid();
      if (fork() == 0) {
        int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
          dup2(null, STDIN_FILENO);
          dup2(null, STDOUT_FILENO);
          dup2(null, STDERR_FILENO);
          if (null > STDERR_FILENO) close(null);
        }
        execlp(kOpener, kOpener, document.c_str(), static_cast<char*>(nullptr));
      }
      _exit(0);
    }
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
};

}  // namespace

Platform& SystemPlatform() {
  static SystemPlatformImpl platform;
  return platform;
}
