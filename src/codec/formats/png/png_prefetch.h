// Reading a large PNG file ahead of its decoder: a helper thread reads the file in order, in
// large blocks, into a queue bounded in bytes, and checks the CRC of every critical chunk on the
// way, so that the decoding thread neither waits for the file nor computes those checksums.
// The bytes are handed over in order; a read that reaches the CRC of a critical chunk that does
// not match fails, at the same point where a decoder checking that CRC itself would stop.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "codec/io/input_file.h"

class PngPrefetch {
 public:
  enum class Result : uint8_t {
    kOk,      // the bytes were copied
    kEnd,     // the file ends before the last of them
    kError,   // the file could not be read that far
    kBadCrc,  // they include the CRC of a critical chunk that does not match its chunk
  };

  // Returns a reader already reading file (which must outlive it) from its first byte; nullptr
  // when no thread could be started.
  static std::unique_ptr<PngPrefetch> Start(const InputFile& file);
  // Stops and joins the helper.
  ~PngPrefetch();
  PngPrefetch(const PngPrefetch&) = delete;
  PngPrefetch& operator=(const PngPrefetch&) = delete;

  // Copies the next length bytes of the file to dst and returns kOk; else returns why not and
  // stays where it was. Never throws.
  Result Read(uint8_t* dst, size_t length) noexcept;
  // Returns true once a Read has returned kBadCrc.
  bool crcFailed() const { return crcFailed_; }

 private:
  struct Block {
    uint64_t start = 0;
    std::vector<uint8_t> bytes;
  };

  // Follows the chunk framing over the bytes as they are read, one piece at a time, and
  // notes where the CRC of each critical chunk that does not match is stored.
  class CrcWalker {
   public:
    // Walks the next size bytes of the file; past IEND, or a chunk length no decoder accepts,
    // it looks no further.
    void Walk(const uint8_t* data, size_t size);
    // Returns the offset below which every stored CRC has been checked.
    uint64_t checkedThrough() const;
    // Returns the offsets of the damaged critical chunks' CRCs found since the last call.
    std::vector<uint64_t> TakeBadCrcs();

   private:
    enum class Stage : uint8_t { kSignature, kHeader, kData, kCrc, kDone };
    void EndPiece();

    Stage stage_ = Stage::kSignature;
    uint64_t offset_ = 0;  // of the next byte to walk
    uint64_t left_ = 8;    // bytes left in the current piece
    uint8_t field_[8] = {};
    size_t have_ = 0;  // bytes of the current header or CRC in field_
    bool critical_ = false;
    bool last_ = false;  // the current chunk is IEND
    unsigned long crc_ = 0;
    uint64_t crcAt_ = 0;  // where the current chunk's CRC is stored
    std::vector<uint64_t> bad_;
  };

  explicit PngPrefetch(const InputFile& file);
  // The helper's body: ReadAhead, then word that it reads no more.
  void Run();
  // Reads the file into the queue until its end, a failed read, or stop_.
  void ReadAhead();

  const InputFile& file_;
  const uint64_t size_;
  uint64_t position_ = 0;  // of the next byte handed over; the caller's thread only
  size_t nextBad_ = 0;     // the first entry of badCrcs_ not behind position_
  bool crcFailed_ = false;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Block> ready_;
  std::vector<Block> spare_;
  uint64_t wanted_ = 0;            // the end of the bytes the caller waits for
  uint64_t readEnd_ = 0;           // every byte below was read
  uint64_t checkedThrough_ = 0;    // every CRC stored below was checked
  std::vector<uint64_t> badCrcs_;  // offsets of the CRCs of critical chunks that do not match
  bool finished_ = false;          // the helper reads no more
  bool stop_ = false;
  std::thread helper_;
};
