// Reading a pipeline's rows ahead of the writer that stores them: while a core of the run is
// idle, a helper thread pulls the rows in bands into a queue bounded in bytes, so that decoding
// and the stages run beside the encoder; otherwise the writer's own thread pulls them.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "codec/core_budget.h"
#include "codec/pipeline/row_source.h"

// Rows waiting between the helper and the writer take at most this many bytes (one band more
// when a single band is larger).
constexpr size_t kReadAheadBytes = 4u << 20;

class ReadAheadSource : public RowSource {
 public:
  // Reads upstream's rows; cores (may be null: never a helper) lends the helper's core.
  // decoded (may be empty) is called once, on whichever thread read it, right after upstream's
  // last row was read; upstream is not used after that. With decoded set and every row fitting
  // in kReadAheadBytes, all rows are read before the first is delivered.
  ReadAheadSource(std::unique_ptr<RowSource> upstream, CoreBudget* cores,
                  std::function<void()> decoded);
  // Stops and joins the helper, if any.
  ~ReadAheadSource() override;

  const uint8_t* NextRow() override;

  // Stops and joins the helper; rethrows what the helper's reading threw (std::bad_alloc ...),
  // so that the save fails as if it had been thrown on this thread.
  void Join();

 private:
  struct Band {
    std::vector<uint8_t> rows;
    int count = 0;
  };

  // Each returns true when the next rows of upstream were read (into band); false on a
  // reading failure. Only the thread that owns upstream calls them.
  bool ReadBand(Band* band);
  const uint8_t* ReadOneRow();
  void AfterRead();
  void MarkFailed();
  void Help();
  bool StartHelper();

  std::unique_ptr<RowSource> upstream_;
  CoreBudget* cores_;
  std::function<void()> decoded_;
  int bandRows_ = 1;
  bool fillFirst_ = false;
  int read_ = 0;       // rows read from upstream, by whichever thread owns it
  int delivered_ = 0;  // rows handed to the caller
  Band current_;
  int inCurrent_ = 0;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Band> ready_;
  std::vector<Band> spare_;
  size_t queuedBytes_ = 0;
  bool helping_ = false;  // the helper owns upstream_
  bool stop_ = false;
  bool failed_ = false;
  std::exception_ptr error_;
  std::thread helper_;
};
