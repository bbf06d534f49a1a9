// The list of temporary files in flight has no fixed size: a -sep run on a file of a thousand
// pages holds a thousand of them at once, and every one must go when the run is interrupted.
//
// The handler may run at any moment on any thread, so it takes no lock, allocates nothing and
// touches no memory that can move or be freed. The list is a chain of nodes that only grows:
// a node is claimed for a new file, given back when the file is published or discarded, and
// reused later, but never freed, and the chain's links never change once a node is in it. A
// node's state says who may touch its path: its owner while it is taken, nobody while it is
// live (the handler reads it), the handler alone once it has claimed the node for removal.
//
// A file is made and registered in one step that the handler waits for: otherwise a handler
// on one thread could sweep the list while another thread has made a file and not yet listed
// it. The threads that change the list never run the handler meanwhile (they block the
// signals), so the wait cannot be for the handler's own thread; it is bounded all the same,
// for a maker held up by a lock that the interrupted thread holds (the allocator's).
#include "platform/temp_registry.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

namespace {

enum NodeState : int {
  kFree,      // on the chain, unused
  kTaken,     // its path is being written
  kLive,      // a temporary file that the handler must remove
  kRemoving,  // claimed by the handler
};

struct Node {
  std::atomic<int> state{kTaken};
  size_t capacity = 0;
  std::unique_ptr<char[]> path;  // capacity bytes
  // The file's folder, held open so that the handler removes it by its short name (at
  // nameAt in path) however long the folder's path is.
  int folder = -1;
  size_t nameAt = 0;
  Node* next = nullptr;  // fixed before the node joins the chain
};

static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<Node*>::is_always_lock_free);

// Room for a usual path, so that a node freed by one file can be reused by the next.
constexpr size_t kMinCapacity = 256;

// How long the handler waits for files being made, at most.
constexpr int kMaxWaitMilliseconds = 500;

std::atomic<Node*> gHead{nullptr};
// Orders the threads that claim, free or compare nodes. The handler never takes it.
std::mutex gMutex;
// Threads between making a file and registering it, and whether the handler has begun.
std::atomic<int> gCreating{0};
std::atomic<bool> gInterrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// Blocks the signals that run the handler on the calling thread and stores the mask before.
void BlockInterrupts(sigset_t* old) {
  sigset_t block;
  sigemptyset(&block);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&block, sig);
  pthread_sigmask(SIG_BLOCK, &block, old);
}

// Blocks the signals that run the handler on the calling thread, while alive.
class InterruptsBlocked {
 public:
  InterruptsBlocked() { BlockInterrupts(&old_); }
  ~InterruptsBlocked() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
  InterruptsBlocked(const InterruptsBlocked&) = delete;
  InterruptsBlocked& operator=(const InterruptsBlocked&) = delete;

 private:
  sigset_t old_;
};

void RemoveTempFilesAndDie(int sig) {
  gInterrupted.store(true);
  for (int waited = 0; gCreating.load() != 0 && waited < kMaxWaitMilliseconds; ++waited) {
    poll(nullptr, 0, 1);
  }
  for (Node* node = gHead.load(std::memory_order_acquire); node != nullptr; node = node->next) {
    int expected = kLive;
    if (node->state.compare_exchange_strong(expected, kRemoving, std::memory_order_acquire)) {
      unlinkat(node->folder, node->path.get() + node->nameAt, 0);
    }
  }
  signal(sig, SIG_DFL);
  raise(sig);
}

// Returns a free node with room for needed bytes, claimed for the caller; nullptr when there
// is none and no memory for a new one. The caller holds gMutex.
Node* ClaimNode(size_t needed) {
  for (Node* node = gHead.load(std::memory_order_relaxed); node != nullptr; node = node->next) {
    int expected = kFree;
    if (node->capacity >= needed &&
        node->state.compare_exchange_strong(expected, kTaken, std::memory_order_acquire)) {
      return node;
    }
  }
  // Never freed: the handler may be walking the chain whenever it likes.
  auto node = std::unique_ptr<Node>(new (std::nothrow) Node);
  if (node == nullptr) return nullptr;
  node->capacity = std::max(needed, kMinCapacity);
  node->path.reset(new (std::nothrow) char[node->capacity]);
  if (node->path == nullptr) return nullptr;
  node->next = gHead.load(std::memory_order_relaxed);
  Node* joined = node.release();
  gHead.store(joined, std::memory_order_release);
  return joined;
}

}  // namespace

void InstallTempFileCleanup() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_handler = RemoveTempFilesAndDie;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, sig);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
      struct sigaction old {};
      // A signal that the caller chose to ignore stays ignored.
      if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
      sigaction(sig, &action, nullptr);
    }
  });
}

TempFileCreation::TempFileCreation() {
  BlockInterrupts(&old_);
  // Announced before the handler's flag is read, as the handler sets its flag before it
  // reads the count: one of the two always sees the other.
  gCreating.fetch_add(1);
  allowed_ = !gInterrupted.load();
}

TempFileCreation::~TempFileCreation() {
  gCreating.fetch_sub(1);
  pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

bool RegisterTempFile(const std::string& path, int folder) {
  InterruptsBlocked blocked;
  std::lock_guard<std::mutex> lock(gMutex);
  Node* node = ClaimNode(path.size() + 1);
  if (node == nullptr) return false;
  std::memcpy(node->path.get(), path.c_str(), path.size() + 1);
  size_t slash = path.rfind('/');
  node->nameAt = slash == std::string::npos ? 0 : slash + 1;
  node->folder = folder;
  node->state.store(kLive, std::memory_order_release);
  return true;
}

void UnregisterTempFile(const std::string& path) {
  InterruptsBlocked blocked;
  std::lock_guard<std::mutex> lock(gMutex);
  for (Node* node = gHead.load(std::memory_order_relaxed); node != nullptr; node = node->next) {
    if (node->state.load(std::memory_order_acquire) == kLive && path == node->path.get()) {
      int expected = kLive;
      // Fails only when the handler has claimed the node; the process is ending then. The
      // handler never reads a free node, so its folder may be closed once it is free.
      if (node->state.compare_exchange_strong(expected, kFree, std::memory_order_acq_rel)) {
        close(node->folder);
        node->folder = -1;
      }
      return;
    }
  }
}

bool IsRegisteredTempName(const std::string& name) {
  InterruptsBlocked blocked;
  std::lock_guard<std::mutex> lock(gMutex);
  for (Node* node = gHead.load(std::memory_order_relaxed); node != nullptr; node = node->next) {
    if (node->state.load(std::memory_order_acquire) != kLive) continue;
    const char* path = node->path.get();
    const char* slash = std::strrchr(path, '/');
    if (name == (slash != nullptr ? slash + 1 : path)) return true;
  }
  return false;
}
