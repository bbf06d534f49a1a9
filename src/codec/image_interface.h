// The codec's face to the program's driver: load one image by content, tell its pages, and
// save a page as JPEG, BMP, TIFF or GIF resized, turned and colour-normalised as the save
// record asks. No exception leaves the class.
//
// Running out of memory, inside the codec: an allocation that fails throws std::bad_alloc,
// and nothing below this class catches it. It unwinds through C++ frames only, since no C
// library calls back into code that allocates and the writers pull rows between library calls,
// never inside a setjmp frame; every library handle and output file has an owner that frees
// it on the way, and the save's guard removes the partial file. Load and Save here turn it
// into a failure like any other.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "codec/core_budget.h"
#include "codec/decoder.h"
#include "settings/save_info.h"

class CImageInterface {
 public:
  CImageInterface();
  virtual ~CImageInterface();
  CImageInterface(const CImageInterface&) = delete;
  CImageInterface& operator=(const CImageInterface&) = delete;

  // Returns non-zero when path is an image we can convert, now loaded (headers read); 0 with
  // nothing loaded otherwise. Releases any image loaded before. Loading again the file of
  // several pages that was just closed, unchanged (same path, and the same device, inode,
  // size and modification time), takes up its decoder where the last page left it.
  int Load(const char* path);
  // Returns the loaded image's page count, 0 when none is loaded.
  int GetPageCount();
  // Returns the stored width times height of page of the loaded image; 0 when none is loaded
  // or the page cannot be read.
  uint64_t PagePixels(int page);
  // Each returns non-zero when page info->nPage was written to path; 0, leaving no file at
  // path, when nothing is loaded, the record is unusable or decoding or writing fails.
  int Save(const char* path, _SAVEIMAGEINFO::_BMP* info);
  int Save(const char* path, _SAVEIMAGEINFO::_TIF* info);
  int Save(const char* path, _SAVEIMAGEINFO::_GIF* info);
  int Save(const char* path, _SAVEIMAGEINFO::_JPG* info);
  // Releases the loaded image, if any; the decoder of one with several pages is kept for a
  // Load of the same file, until a Load of any other or the end of this object. An object made
  // by NextPage ends its turn here (or earlier, see NextPage) whether or not it loaded.
  void CloseHandle();
  // Lets the saves of this object, and of the objects NextPage makes from it after, borrow
  // idle cores of cores for helper threads; without, every save runs on its caller's thread.
  void ShareCores(std::shared_ptr<CoreBudget> cores);
  // Returns an object for a later page of the file loaded here, to be used on another thread.
  // The objects made this way take turns with this one in the order they were made: a Load
  // waits for its turn, and continues with the decoder that the turns before left where
  // they left it. A turn ends as soon as a save has read every row of its page from the
  // decoder (before the page is encoded), or at CloseHandle, a failed Load or the object's end.
  // Once its turn is over an object loads on its own, and GetPageCount says 0 until it does.
  std::unique_ptr<CImageInterface> NextPage();
  // Returns why the last Load or Save failed; kind kNone after one that succeeded, except a
  // Save that wrote a stand-in (a raw file's embedded preview when its sensor data could not
  // be decoded): then the reason the original was not read, which says what stood in.
  const Failure& LastFailure() const { return lastFailure_; }

 private:
  template <typename Info>
  int SaveAny(const char* path, Info* info);
  // Load once this object's turn, if any, has come.
  int LoadOwn(const char* path);
  // Returns 0 after keeping kind and text as the last failure.
  int Failed(FailureKind kind, const char* text = "");
  // Returns true with the parked decoder loaded again when it reads path as it is now; false,
  // the parked decoder dropped, otherwise.
  bool Resume(const char* path);

  // A loaded image's decoder and the file it reads.
  struct Source {
    std::unique_ptr<Decoder> decoder;
    std::string path;
    FileIdentity identity;
    int pageCount = 0;
  };
  // The decoder that the objects of one file's pages pass on, and whose turn it is.
  class Relay;
  enum class Turn : uint8_t { kNone, kWaiting, kHolding, kDone };

  // Releases the loaded image, keeping its decoder in parked_ when it may be loaded again.
  void Release();
  // Ends this object's turn, passing on source (may be empty).
  void HandOn(Source source);

  Source loaded_;
  // Splitting a file loads it once for every page: the decoder of the last one closed waits
  // here, so that page p + 1 continues from page p instead of decoding the file from its start.
  Source parked_;
  bool reusable_ = false;  // no save of the loaded image failed
  Failure lastFailure_;
  std::shared_ptr<CoreBudget> cores_;
  std::shared_ptr<Relay> relay_;  // shared with the objects of the same file's other pages
  int ticket_ = 0;                // this object's place among them
  Turn turn_ = Turn::kNone;
};
