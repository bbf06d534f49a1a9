#include "codec/image_interface.h"

#include <condition_variable>
#include <mutex>
#include <new>
#include <vector>

#include "codec/formats/registry.h"
#include "codec/save_page.h"

namespace {

// Returns the decoder's own reason, or fallback when it gave none (still with the row where
// reading stopped, when that is known).
Failure ReasonOf(const Decoder& decoder, FailureKind fallback) {
  Failure why = decoder.LastFailure();
  if (why.kind == FailureKind::kNone) why.kind = fallback;
  return why;
}

}  // namespace

// Turns are numbered 0, 1, 2 ... in the order the objects were made; a turn may end before its
// predecessors' (an object that never loads), and the next one to wait comes after every
// finished one.
class CImageInterface::Relay {
 public:
  // Returns a new turn's number.
  int Issue() {
    std::lock_guard<std::mutex> lock(mutex_);
    done_.push_back(false);
    return static_cast<int>(done_.size()) - 1;
  }

  // Returns what the turns before ticket left, once they have all ended.
  Source Take(int ticket) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return current_ == ticket; });
    return std::move(parked_);
  }

  void HandOn(int ticket, Source source) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (source.decoder) parked_ = std::move(source);
      done_[static_cast<size_t>(ticket)] = true;
      while (static_cast<size_t>(current_) < done_.size() && done_[static_cast<size_t>(current_)]) {
        ++current_;
      }
    }
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<bool> done_{false};  // turn 0 is the object that made the relay
  int current_ = 0;
  Source parked_;
};

CImageInterface::CImageInterface() = default;

CImageInterface::~CImageInterface() { CloseHandle(); }

void CImageInterface::ShareCores(std::shared_ptr<CoreBudget> cores) { cores_ = std::move(cores); }

std::unique_ptr<CImageInterface> CImageInterface::NextPage() {
  if (!relay_) {
    relay_ = std::make_shared<Relay>();
    ticket_ = 0;
    turn_ = Turn::kHolding;
  }
  auto next = std::make_unique<CImageInterface>();
  next->cores_ = cores_;
  next->relay_ = relay_;
  next->ticket_ = relay_->Issue();
  next->turn_ = Turn::kWaiting;
  return next;
}

void CImageInterface::HandOn(Source source) {
  relay_->HandOn(ticket_, std::move(source));
  turn_ = Turn::kDone;
}

int CImageInterface::Load(const char* path) {
  Release();
  if (path == nullptr) return Failed(FailureKind::kMisuse, "no path");
  if (turn_ == Turn::kWaiting) {
    parked_ = relay_->Take(ticket_);
    turn_ = Turn::kHolding;
  }
  int loaded = LoadOwn(path);
  if (loaded == 0 && turn_ == Turn::kHolding) HandOn({});
  return loaded;
}

int CImageInterface::LoadOwn(const char* path) {
  try {
    if (Resume(path)) return 1;
    Source source;
    source.decoder = OpenDecoder(path, &lastFailure_, &source.identity);
    if (!source.decoder) return 0;
    source.pageCount = source.decoder->PageCount();
    PageGeometry geometry;
    if (source.pageCount < 1 || !source.decoder->Probe(0, &geometry)) {
      lastFailure_ = ReasonOf(*source.decoder, FailureKind::kCorrupt);
      return 0;
    }
    source.path = path;
    loaded_ = std::move(source);
    reusable_ = true;
    return 1;
  } catch (const std::bad_alloc&) {
    Release();
    return Failed(FailureKind::kTooLarge, "out of memory");
  } catch (...) {
    Release();
    return Failed(FailureKind::kCorrupt);
  }
}

bool CImageInterface::Resume(const char* path) {
  Source parked = std::move(parked_);
  parked_ = {};
  if (!parked.decoder || parked.path != path) return false;
  // Read through a handle of its own, so that a file replaced since (renamed over, rewritten,
  // cut short) is told apart by what it is now, not by what the parked handle still reads.
  std::unique_ptr<InputFile> now = InputFile::Open(path);
  if (!now || !now->identity().SameAs(parked.identity)) return false;
  parked.decoder->ClearFailure();
  loaded_ = std::move(parked);
  reusable_ = true;
  return true;
}

int CImageInterface::GetPageCount() { return loaded_.decoder ? loaded_.pageCount : 0; }

uint64_t CImageInterface::PagePixels(int page) {
  PageGeometry geometry;
  if (!loaded_.decoder || page < 0 || page >= loaded_.pageCount ||
      !loaded_.decoder->Probe(page, &geometry) || geometry.width < 1 || geometry.height < 1) {
    return 0;
  }
  return static_cast<uint64_t>(geometry.width) * static_cast<uint64_t>(geometry.height);
}

template <typename Info>
int CImageInterface::SaveAny(const char* path, Info* info) {
  Decoder* decoder = loaded_.decoder.get();
  if (decoder == nullptr || info == nullptr || path == nullptr) {
    return Failed(FailureKind::kMisuse,
                  decoder != nullptr ? "no path or record" : "nothing loaded");
  }
  lastFailure_ = {};
  // A decoder that failed (or ran out of memory) part-way may hold a half-drawn page: it is
  // not kept for another Load.
  reusable_ = false;
  SaveHelpers helpers;
  helpers.cores = cores_.get();
  if (turn_ == Turn::kHolding) {
    // The next page's Load may go on with the decoder while this page is still encoded.
    helpers.decoded = [this] {
      Source source;
      if (loaded_.pageCount > 1) {
        source = std::move(loaded_);
        loaded_ = {};
      }
      HandOn(std::move(source));
    };
  }
  try {
    if (SavePage(*decoder, path, *info, &lastFailure_, helpers)) {
      reusable_ = true;
      return 1;
    }
    // The save has put the decoder's reason, if it gave one, in lastFailure_ (it may no
    // longer be this object's decoder to ask).
    if (lastFailure_.kind == FailureKind::kNone) lastFailure_ = {FailureKind::kCorrupt, {}};
    return 0;
  } catch (const std::bad_alloc&) {
    return Failed(FailureKind::kTooLarge, "out of memory");
  } catch (...) {
    return Failed(FailureKind::kCorrupt);  // the writers' guards have removed any partial output
  }
}

int CImageInterface::Save(const char* path, _SAVEIMAGEINFO::_BMP* info) {
  return SaveAny(path, info);
}
int CImageInterface::Save(const char* path, _SAVEIMAGEINFO::_TIF* info) {
  return SaveAny(path, info);
}
int CImageInterface::Save(const char* path, _SAVEIMAGEINFO::_GIF* info) {
  return SaveAny(path, info);
}
int CImageInterface::Save(const char* path, _SAVEIMAGEINFO::_JPG* info) {
  return SaveAny(path, info);
}

void CImageInterface::Release() {
  // Only a file of several pages is loaded again; any other decoder would just hold memory
  // and a descriptor until the next Load.
  if (loaded_.decoder && loaded_.pageCount > 1 && reusable_) parked_ = std::move(loaded_);
  loaded_ = {};
  reusable_ = false;
  lastFailure_ = {};
}

void CImageInterface::CloseHandle() {
  Release();
  if (turn_ == Turn::kHolding || turn_ == Turn::kWaiting) {
    Source parked = std::move(parked_);
    parked_ = {};
    HandOn(std::move(parked));
  }
}

int CImageInterface::Failed(FailureKind kind, const char* text) {
  lastFailure_ = {kind, text};
  return 0;
}
