// Mapping the pages of libjpeg's whole-image coefficient arrays on a helper thread. A file of
// several scans (progressive, or sequential with a scan per component) is entropy-decoded
// whole inside jpeg_start_decompress into arrays of 128 bytes per 8x8 block and component,
// 600 MB for 100 megapixels at 4:4:4. The kernel maps and clears each of their pages at its
// first touch, a sixth of the decoding thread's time on such a file; while a core of the run
// is idle, the helper maps them ahead of the decoder, in the order the decoder fills them.
#pragma once

#include <cstdio>
// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

#include "codec/core_budget.h"

class JpegPrefault {
 public:
  // Hooks the memory manager of cinfo (created, and outliving this object's use), whose
  // client_data is client, and sets client->prefault; nothing is prefaulted until Arm.
  JpegPrefault(jpeg_decompress_struct* cinfo, struct JpegClient* client);
  // Finishes a helper still running.
  ~JpegPrefault();
  JpegPrefault(const JpegPrefault&) = delete;
  JpegPrefault& operator=(const JpegPrefault&) = delete;

  // Lets the next decompression start prefault its whole-image arrays on a core borrowed
  // from cores when they realize, null: never.
  void Arm(CoreBudget* cores);

  // To be called from the decompression's progress monitor: starts the helper when it still
  // waits for a core and one is idle now.
  static void OnProgress(j_common_ptr cinfo);

  // Stops and waits for the helper, gives its core back and disarms. To be called before
  // the arrays may be freed: once jpeg_start_decompress has returned or failed.
  void Finish();

  // Gives the system back the pages of the arrays' rows that the output pass is done with,
  // when they were prefaulted: freeing 600 MB at once at the end of a 100-megapixel
  // progressive file costs the decoding thread 50 ms while the writer waits for the last
  // rows; during the output pass the decoding thread is ahead of the writer. To be called
  // between reads of rows, never after the last (which frees the arrays).
  void ReleaseDone();

 private:
  // A whole-image array as requested, of rows of blocksPerRow blocks.
  struct Requested {
    jvirt_barray_ptr handle;
    JDIMENSION blocksPerRow;
    JDIMENSION rows;
  };
  // Consecutive bytes of one array.
  struct Range {
    char* start;
    size_t length;
  };
  // One array's memory, as ranges in row order.
  struct ArrayMemory {
    std::vector<Range> ranges;
    size_t bytes = 0;
    size_t rowBytes = 0;
    size_t releasedRows = 0;
  };

  static jvirt_barray_ptr RequestHook(j_common_ptr cinfo, int poolId, boolean preZero,
                                      JDIMENSION blocksPerRow, JDIMENSION rows,
                                      JDIMENSION maxAccess);
  static void RealizeHook(j_common_ptr cinfo);
  // Lists the memory of the arrays whose row pointers are given, in requested_'s order, and
  // starts the helper on it when the arrays are large enough; otherwise leaves them to the
  // decoder.
  void Prepare(const JBLOCKARRAY* rowPointers);
  // Starts the helper on a core borrowed from cores_; when none is idle it waits for one.
  void StartHelper();
  // The helper: maps every array top down until done, stopped or refused.
  void Help();
  // Returns true when act(start, length) returned true for every part of bytes [from, to) of
  // array, one part per range; false at the first that returned false.
  // Returns true when bytes [from, to) of array were mapped; false when the system refused.
  bool PopulateSlice(const ArrayMemory& array, size_t from, size_t to);
  template <typename Act>
  static bool ForSlice(const ArrayMemory& array, size_t from, size_t to, Act act);

  jpeg_decompress_struct* cinfo_;
  decltype(jpeg_memory_mgr::request_virt_barray) request_ = nullptr;
  decltype(jpeg_memory_mgr::realize_virt_arrays) realize_ = nullptr;
  CoreBudget* cores_ = nullptr;  // non-null while armed
  Requested requested_[MAX_COMPONENTS] = {};
  int requestedCount_ = 0;
  // Read by the helper while it runs; kept for ReleaseDone until the next Arm.
  std::vector<ArrayMemory> arrays_;
  bool releasable_ = false;  // arrays_ lists one array per component, prefaulted
  std::thread helper_;
  bool borrowed_ = false;
  bool waiting_ = false;  // arrays_ is ready and no core was idle
  std::atomic<bool> stop_{false};
};
