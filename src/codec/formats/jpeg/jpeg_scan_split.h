// Decoding the scans of a progressive JPEG on two threads. libjpeg reads such a file whole into
// coefficient arrays, one scan after another on one thread, before the first row comes out:
// 1.4 s of the 1.7 s a 100-megapixel file takes. But a scan touches only some components and,
// of each block, only a band of coefficients; it depends on an earlier scan only where both
// share a component and their bands overlap, and then row by row. So the scans are dealt to
// two decompressions, each reading the file with the other's scans left out and writing into
// one set of coefficient arrays held here; before it decodes rows of a scan, a decompression
// waits until the other has decoded those rows of each earlier scan its own depends on. The
// caller's decompression then makes the rows from the arrays as usual.
//
// Only files where this gives exactly the pixels of one decompression are split: progressive
// Huffman-coded files whose markers are in order, that end with an end-of-image marker, and
// whose scans leave the coefficients libjpeg smooths complete (a file that stops short of that
// has its blocks smoothed from what the scans left, which the caller's decompression alone
// would not know). Should the other decompression meet anything that one decompression would
// have reported, or either fail, the caller decodes the file again on its own.
#pragma once

#include <cstdio>
// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#include <atomic>
#include <condition_variable>
#include <csetjmp>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "codec/core_budget.h"
#include "codec/formats/jpeg/jpeg_client.h"

class InputFile;

class JpegScanSplit {
 public:
  // One scan of the file and what decoding it takes.
  struct Scan {
    uint64_t begin = 0;       // offset of its SOS marker
    uint64_t dataEnd = 0;     // offset just past its entropy-coded data
    uint32_t components = 0;  // bit i: the scan codes component i
    int ss = 0, se = 0;       // the band of coefficients, in zigzag order
    double cost = 0;          // estimated decoding time, in bytes of data
    int part = 0;             // which decompression decodes it: 0 the caller's, 1 the helper's
  };
  // The file's layout as a split needs it.
  struct Layout {
    std::vector<Scan> scans;
    // Offsets of the marker segments after the first scan that are not scans (tables, restart
    // intervals, comments) and of the end-of-image marker, as [begin, end) pairs.
    std::vector<std::pair<uint64_t, uint64_t>> others;
    uint64_t firstData = 0;  // where the first scan's entropy-coded data starts
  };

  // Returns true with layout filled from file when it is a file a split decodes as one
  // decompression would (see above), for a decompression whose header main holds; false
  // otherwise. The scans' parts are not dealt yet.
  static bool MapFile(const InputFile& file, const jpeg_decompress_struct& main, Layout* layout);

  // Deals layout's scans to the two parts so that the estimated time is least, the file's
  // first scan and each component's first scan to the caller's: each decompression runs its
  // scans in order, and a scan starts no earlier than, and ends just after, each scan of the
  // other part it depends on. Returns true when that is well below one decompression's time;
  // false when a split is not worth a thread.
  static bool Deal(Layout* layout);

  // Returns a split with the helper's decompression started on a core borrowed from cores,
  // the memory manager of main hooked (main's client_data is mainClient, and its source stands
  // at mainOffset, which must be the first scan's data) and main's source replaced by the file
  // without the helper's scans; nullptr when the file is small, not one a split decodes as
  // one decompression would, not worth splitting, or no core is idle (main is untouched).
  static std::unique_ptr<JpegScanSplit> Begin(const InputFile& file, uint64_t mainOffset,
                                              jpeg_decompress_struct* main, JpegClient* mainClient,
                                              CoreBudget* cores);
  // Stops and waits for the helper, gives main's memory manager back its own methods and
  // frees the arrays: main must not read rows any more.
  ~JpegScanSplit();
  JpegScanSplit(const JpegScanSplit&) = delete;
  JpegScanSplit& operator=(const JpegScanSplit&) = delete;

  // To be called once jpeg_start_decompress on main returned (mainStarted) or failed. Waits
  // for the helper and gives its core back. Returns true when both decompressions decoded
  // all their scans without a word one decompression would have said; false otherwise, and
  // then main's decode is to be abandoned and the file decoded again without a split.
  bool Finish(bool mainStarted);

  // Gives the system back the pages of the arrays' rows that main's output pass is done with.
  // To be called between reads of rows.
  void ReleaseDone();

 private:
  // A coefficient array shared by both decompressions; its address is libjpeg's handle.
  struct SharedArray {
    JpegScanSplit* owner = nullptr;
    int component = 0;
    JDIMENSION blocksPerRow = 0;
    JBLOCK* blocks = nullptr;            // calloc'ed: zero as libjpeg's pre-zeroed arrays start
    std::vector<JBLOCKROW> rowPointers;  // one per block row
    size_t releasedRows = 0;
  };
  // Reads a list of byte ranges of the file as one stream.
  struct RangeSource {
    static constexpr size_t kRead = 256u << 10;
    jpeg_source_mgr pub;
    const InputFile* file = nullptr;
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    size_t next = 0;      // the range read from next
    uint64_t offset = 0;  // where in it
    JOCTET buffer[kRead];
  };
  struct HelperError {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
  };
  // A decompression's scans, in file order, as indexes into layout_.scans.
  struct Part {
    std::vector<size_t> scans;
    size_t completed = 0;  // scans[0..completed) are marked done
    int requests = 0;      // arrays the decompression asked for so far
  };

  JpegScanSplit(const InputFile& file, jpeg_decompress_struct* main, JpegClient* mainClient,
                CoreBudget* cores, Layout layout);
  static void InitRanges(RangeSource* source, std::vector<std::pair<uint64_t, uint64_t>> ranges);
  static void InitSource(j_decompress_ptr cinfo);
  static boolean FillInputBuffer(j_decompress_ptr cinfo);
  static void TermSource(j_decompress_ptr cinfo);
  static jvirt_barray_ptr RequestHook(j_common_ptr cinfo, int poolId, boolean preZero,
                                      JDIMENSION blocksPerRow, JDIMENSION rows,
                                      JDIMENSION maxAccess);
  static void RealizeHook(j_common_ptr cinfo);
  static JBLOCKARRAY AccessHook(j_common_ptr cinfo, jvirt_barray_ptr handle, JDIMENSION startRow,
                                JDIMENSION rowCount, boolean writable);
  static void HelperErrorExit(j_common_ptr cinfo);
  static void HelperEmitMessage(j_common_ptr cinfo, int level);
  static void HelperOutputMessage(j_common_ptr cinfo);

  // Returns the array for part's next request, allocated by whichever part asks first;
  // nullptr when the request does not match the file or memory ran out.
  SharedArray* Request(int part, JDIMENSION blocksPerRow, JDIMENSION rows);
  // Called before part decodes rows [startRow, startRow + rowCount) of component in the
  // scanNumber'th scan of its stream: records its progress and waits for the rows this scan
  // depends on. Returns true when they are done; false when the split was abandoned.
  bool BeforeRows(int part, int scanNumber, int component, JDIMENSION startRow,
                  JDIMENSION rowCount);
  // Marks every scan of part done, and wakes the other part's waits.
  void CompletePart(int part);
  // Marks the split abandoned, and wakes every wait.
  void Abandon();
  // The helper thread: decodes the helper's scans into the arrays.
  void Help();

  const InputFile& file_;
  jpeg_decompress_struct* main_;
  JpegClient* mainClient_;
  CoreBudget* cores_;
  Layout layout_;
  Part parts_[2];
  // Of each scan, how many of its iMCU rows are decoded (all of them once it is done).
  std::unique_ptr<std::atomic<uint32_t>[]> progress_;
  std::vector<std::vector<size_t>> dependsOn_;  // earlier scans each scan depends on
  int vSamp_[MAX_COMPONENTS] = {};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::atomic<bool> abandoned_{false};
  bool helperClean_ = false;  // written by the helper, read after joining it
  SharedArray arrays_[MAX_COMPONENTS];
  int arrayCount_ = 0;
  decltype(jpeg_memory_mgr::request_virt_barray) mainRequest_ = nullptr;
  decltype(jpeg_memory_mgr::realize_virt_arrays) mainRealize_ = nullptr;
  decltype(jpeg_memory_mgr::access_virt_barray) mainAccess_ = nullptr;
  decltype(jpeg_memory_mgr::realize_virt_arrays) helperRealize_ = nullptr;
  std::unique_ptr<RangeSource> mainSource_, helperSource_;
  JpegClient helperClient_;
  std::thread helper_;
  bool finished_ = false;
};
