// A temporary output file is named
//
//     .xevra-HOST-PID-XXXXXX.tmp
//
// HOST is the name of the machine that made it (at most 64 characters; any but a letter, a
// digit, "." or "-" written as "_"), PID the process id of the run that made it, in decimal,
// and XXXXXX six random letters and digits. Earlier versions wrote ".xevra-XXXXXX.tmp", which
// names no owner. Both forms are hidden and end in ".tmp", so no mask for image files takes
// them for sources.
//
// A kill -9, a power loss or a cluster node that dies leaves such files behind, some of them
// complete outputs that never got their names. The first time a run writes into a folder it
// removes those that no running xevra owns:
//   - a file of this host whose process is gone. A file that carries this very process's id
//     but is not one of its files was left by an earlier process of the same id;
//   - a file of either form, from any host, last written more than a day ago.
// Any other file of another host is kept: the hosts of a cluster may write parts of one batch
// into one shared folder at the same time, and their processes cannot be seen from here.
#include "platform/temp_names.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <memory>
#include <string_view>

#include "platform/temp_registry.h"

namespace {

constexpr std::string_view kPrefix = ".xevra-";
constexpr std::string_view kSuffix = ".tmp";
constexpr size_t kRandomLength = 6;
constexpr size_t kMaxHostLength = 64;
constexpr size_t kMaxPidDigits = 9;
constexpr time_t kStaleSeconds = 24 * 60 * 60;

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

bool IsAsciiAlnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

std::string ReadHostName() {
  char buffer[256] = {};
  if (gethostname(buffer, sizeof buffer - 1) != 0 || buffer[0] == '\0') return "localhost";
  std::string host;
  for (const char* c = buffer; *c != '\0' && host.size() < kMaxHostLength; ++c) {
    host += IsAsciiAlnum(*c) || *c == '.' || *c == '-' ? *c : '_';
  }
  return host;
}

const std::string& ThisHost() {
  static const std::string host = ReadHostName();
  return host;
}

// Who a temporary file name says made the file.
struct TempOwner {
  bool ours = false;   // the name is one of this program's temporary file names
  bool known = false;  // and names its host and process (not the old form)
  std::string_view host;
  pid_t pid = 0;
};

bool IsRandomPart(std::string_view text) {
  if (text.size() != kRandomLength) return false;
  for (char c : text) {
    if (!IsAsciiAlnum(c)) return false;
  }
  return true;
}

TempOwner ParseTempName(std::string_view name) {
  TempOwner owner;
  if (name.size() <= kPrefix.size() + kSuffix.size() || !name.starts_with(kPrefix) ||
      !name.ends_with(kSuffix)) {
    return owner;
  }
  std::string_view body =
      name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
  if (body.size() == kRandomLength) {
    owner.ours = IsRandomPart(body);  // the old form
    return owner;
  }
  if (body.size() <= kRandomLength || body[body.size() - kRandomLength - 1] != '-' ||
      !IsRandomPart(body.substr(body.size() - kRandomLength))) {
    return owner;
  }
  body.remove_suffix(kRandomLength + 1);
  size_t dash = body.rfind('-');
  if (dash == std::string_view::npos || dash == 0) return owner;
  std::string_view digits = body.substr(dash + 1);
  if (digits.empty() || digits.size() > kMaxPidDigits) return owner;
  pid_t pid = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return owner;
    pid = pid * 10 + (c - '0');
  }
  if (pid <= 0) return owner;
  owner.ours = owner.known = true;
  owner.host = body.substr(0, dash);
  owner.pid = pid;
  return owner;
}

// A process that cannot be signalled for want of permission still runs.
bool ProcessIsGone(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

bool IsLeftover(const char* name, const struct stat& st, time_t now) {
  TempOwner owner = ParseTempName(name);
  if (!owner.ours || !S_ISREG(st.st_mode)) return false;
  if (now - st.st_mtime > kStaleSeconds) return true;
  if (!owner.known || owner.host != ThisHost()) return false;
  if (owner.pid == getpid()) return !IsRegisteredTempName(name);
  return ProcessIsGone(owner.pid);
}

}  // namespace

std::string TempFileTemplate(const std::string& folder) {
  std::string path = folder.empty() || folder.back() != '/' ? folder + "/" : folder;
  path += kPrefix;
  path += ThisHost() + "-" + std::to_string(getpid()) + "-" + std::string(kRandomLength, 'X');
  path += kSuffix;
  return path;
}

void SweepTempLeftovers(int folder) {
  int listing = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing < 0) return;
  DirHandle dir(fdopendir(listing));
  if (!dir) {
    close(listing);
    return;
  }
  int dirFd = dirfd(dir.get());
  time_t now = std::time(nullptr);
  while (dirent* d = readdir(dir.get())) {
    if (!std::string_view(d->d_name).starts_with(kPrefix)) continue;
    struct stat st;
    if (fstatat(dirFd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (IsLeftover(d->d_name, st, now)) unlinkat(dirFd, d->d_name, 0);
  }
}
