#include "codec/formats/jpeg/jpeg_scan_split.h"

#include <jerror.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "codec/io/input_file.h"
#include "platform/memory.h"

namespace {

// Coefficient arrays smaller than this together decode in less time than starting a thread
// and reading the file's markers take to pay back.
constexpr size_t kMinSplitBytes = 4u << 20;
// Files of more scans are dealt by trying each move of one scan, not every way of dealing.
constexpr size_t kMaxScansDealtExactly = 14;
// Files of more scans are left to one decompression: real encoders write a few dozen at most.
constexpr size_t kMaxScansDealt = 64;
// A split is only worth its thread when it promises at most this share of one decompression's
// time.
constexpr double kWorthwhileShare = 0.8;
// Per block a scan touches, its decoding costs about as much as this many bytes of its data.
constexpr double kBlockCost = 0.5;
// A scan that trails another row by row ends this share of its own cost after that other.
constexpr double kTrailingShare = 1.0 / 32;
// libjpeg smooths a block from its first coefficients (in zigzag order) when a scan left any
// of them short of full precision.
constexpr int kSmoothedCoefficients = 10;
constexpr int kMarkerSos = 0xDA, kMarkerEoi = 0xD9, kMarkerSof2 = 0xC2;
constexpr uint32_t kScanDone = UINT32_MAX;

// Reads a file through a window of 1 MB.
class Window {
 public:
  explicit Window(const InputFile& file) : file_(file), buffer_(1u << 20) {}

  // Returns the byte at pos; -1 past the end of the file or when it cannot be read.
  int At(uint64_t pos) {
    if ((pos < start_ || pos >= start_ + length_) && !Load(pos)) return -1;
    return buffer_[pos - start_];
  }

  // Returns the offset of the first 0xFF byte at or after pos; the file's size when none.
  uint64_t NextFF(uint64_t pos) {
    while (pos < file_.size()) {
      if ((pos < start_ || pos >= start_ + length_) && !Load(pos)) break;
      const uint8_t* from = buffer_.data() + (pos - start_);
      const void* hit = std::memchr(from, 0xFF, length_ - (pos - start_));
      if (hit != nullptr) return start_ + (static_cast<const uint8_t*>(hit) - buffer_.data());
      pos = start_ + length_;
    }
    return file_.size();
  }

 private:
  bool Load(uint64_t pos) {
    start_ = pos;
    length_ = pos < file_.size() ? file_.ReadUpTo(pos, buffer_.data(), buffer_.size()) : 0;
    return length_ > 0;
  }

  const InputFile& file_;
  std::vector<uint8_t> buffer_;
  uint64_t start_ = 0;
  size_t length_ = 0;
};

// Returns the offset just past the entropy-coded data that starts at pos: the 0xFF of the
// first marker that is neither a stuffed byte nor a restart marker; 0 when the file ends
// first.
uint64_t EndOfScanData(Window* window, uint64_t pos, uint64_t size) {
  for (;;) {
    pos = window->NextFF(pos);
    if (pos + 1 >= size) return 0;
    int next = window->At(pos + 1);
    if (next < 0) return 0;
    if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) {
      pos += 2;
    } else if (next == 0xFF) {
      pos += 1;  // a fill byte: the marker comes after it
    } else {
      return pos;
    }
  }
}

bool Depends(const JpegScanSplit::Scan& later, const JpegScanSplit::Scan& earlier) {
  return (later.components & earlier.components) != 0 && later.ss <= earlier.se &&
         earlier.ss <= later.se;
}

std::vector<std::vector<size_t>> Dependencies(const std::vector<JpegScanSplit::Scan>& scans) {
  std::vector<std::vector<size_t>> dependsOn(scans.size());
  for (size_t s = 0; s < scans.size(); ++s) {
    for (size_t d = 0; d < s; ++d) {
      if (Depends(scans[s], scans[d])) dependsOn[s].push_back(d);
    }
  }
  return dependsOn;
}

// Returns the estimated time of the scans as dealt: each part runs its scans in order, and a
// scan starts no earlier than, and ends just after, each scan of the other part it depends on.
double Estimate(const std::vector<JpegScanSplit::Scan>& scans,
                const std::vector<std::vector<size_t>>& dependsOn, std::vector<double>* starts,
                std::vector<double>* ends) {
  double busyUntil[2] = {0, 0};
  for (size_t s = 0; s < scans.size(); ++s) {
    const int part = scans[s].part;
    double start = busyUntil[part], end = 0;
    for (size_t d : dependsOn[s]) {
      if (scans[d].part == part) continue;
      start = std::max(start, (*starts)[d]);
      end = std::max(end, (*ends)[d] + scans[s].cost * kTrailingShare);
    }
    end = std::max(end, start + scans[s].cost);
    (*starts)[s] = start;
    (*ends)[s] = end;
    busyUntil[part] = end;
  }
  return std::max(busyUntil[0], busyUntil[1]);
}

}  // namespace

bool JpegScanSplit::MapFile(const InputFile& file, const jpeg_decompress_struct& main,
                            Layout* layout) {
  Window window(file);
  const uint64_t size = file.size();
  if (window.At(0) != 0xFF || window.At(1) != 0xD8) return false;
  // Of each component and coefficient, the precision the scans so far left it at, as libjpeg
  // tracks it: -1 before any scan sent it.
  int bits[MAX_COMPONENTS][DCTSIZE2];
  std::fill(&bits[0][0], &bits[0][0] + MAX_COMPONENTS * DCTSIZE2, -1);
  bool sawFrame = false;
  uint64_t pos = 2;
  for (;;) {
    if (window.At(pos) != 0xFF) return false;  // bytes between markers: libjpeg warns
    while (window.At(pos + 1) == 0xFF) ++pos;
    const int marker = window.At(pos + 1);
    const uint64_t begin = pos;
    if (marker < 0) return false;  // no end-of-image marker
    if (marker == kMarkerEoi) {
      layout->others.emplace_back(begin, begin + 2);
      break;
    }
    // Stray markers without a length, and arithmetic-coding conditions or a line count that
    // only one reader of the whole stream would apply.
    if (marker == 0x00 || marker == 0x01 || marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7) ||
        marker == 0xCC || marker == 0xDC) {
      return false;
    }
    const int high = window.At(pos + 2), low = window.At(pos + 3);
    if (high < 0 || low < 0) return false;
    const uint64_t end = pos + 2 + (static_cast<uint64_t>(high) << 8 | static_cast<uint64_t>(low));
    if (end > size || end < pos + 4) return false;
    if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8) {
      // The one frame, progressive and Huffman-coded, as the caller's header says.
      if (marker != kMarkerSof2 || sawFrame || window.At(pos + 9) != main.num_components ||
          end != pos + 10 + 3 * static_cast<uint64_t>(main.num_components)) {
        return false;
      }
      for (int c = 0; c < main.num_components; ++c) {
        if (window.At(pos + 10 + 3 * c) != main.comp_info[c].component_id) return false;
      }
      sawFrame = true;
      pos = end;
      continue;
    }
    if (marker != kMarkerSos) {
      if (!layout->scans.empty()) layout->others.emplace_back(begin, end);
      pos = end;
      continue;
    }
    if (!sawFrame || layout->scans.size() >= kMaxScansDealt) return false;
    Scan scan;
    const int count = window.At(pos + 4);
    if (count < 1 || count > main.num_components ||
        end != pos + 8 + 2 * static_cast<uint64_t>(count)) {
      return false;
    }
    double blocks = 0;
    for (int i = 0; i < count; ++i) {
      const int id = window.At(pos + 5 + 2 * i);
      int index = 0;
      while (index < main.num_components && main.comp_info[index].component_id != id) ++index;
      if (index == main.num_components || (scan.components & (1u << index)) != 0) return false;
      scan.components |= 1u << index;
      blocks += static_cast<double>(main.comp_info[index].width_in_blocks) *
                main.comp_info[index].height_in_blocks;
    }
    scan.ss = window.At(end - 3);
    scan.se = window.At(end - 2);
    const int approximation = window.At(end - 1);
    if (scan.ss < 0 || scan.se < 0 || approximation < 0) return false;
    const int ah = approximation >> 4, al = approximation & 15;
    // What libjpeg refuses, and what it only warns about: a scan out of progression order.
    if (scan.ss == 0 ? scan.se != 0 : (scan.se < scan.ss || scan.se >= DCTSIZE2 || count != 1)) {
      return false;
    }
    if ((ah != 0 && al != ah - 1) || al > 13) return false;
    for (int c = 0; c < main.num_components; ++c) {
      if ((scan.components & (1u << c)) == 0) continue;
      if (scan.ss != 0 && bits[c][0] < 0) return false;
      for (int k = scan.ss; k <= scan.se; ++k) {
        if (ah != std::max(bits[c][k], 0)) return false;
        bits[c][k] = al;
      }
    }
    scan.begin = begin;
    scan.dataEnd = EndOfScanData(&window, end, size);
    if (scan.dataEnd == 0) return false;
    scan.cost = static_cast<double>(scan.dataEnd - begin) + kBlockCost * blocks;
    if (layout->scans.empty()) layout->firstData = end;
    layout->scans.push_back(scan);
    pos = scan.dataEnd;
  }
  if (layout->scans.size() < 2) return false;
  for (int c = 0; c < main.num_components; ++c) {
    for (int k = 0; k < kSmoothedCoefficients; ++k) {
      if (bits[c][k] != 0) return false;
    }
  }
  return true;
}

bool JpegScanSplit::Deal(Layout* layout) {
  std::vector<Scan>& scans = layout->scans;
  const size_t count = scans.size();
  if (count < 2 || count > kMaxScansDealt) return false;
  const std::vector<std::vector<size_t>> dependsOn = Dependencies(scans);
  std::vector<double> starts(count), ends(count);
  double alone = 0;
  for (const Scan& scan : scans) alone += scan.cost;
  // The caller's decompression reads the first scan (it has read its header already) and
  // every component's first scan: libjpeg takes a component's quantization table as it
  // stands at that scan, and makes no pixels of a component it saw in no scan.
  uint64_t pinned = 0;
  uint32_t seen = scans[0].components;
  for (size_t s = 1; s < count; ++s) {
    if ((scans[s].components & ~seen) != 0) pinned |= uint64_t{1} << (s - 1);
    seen |= scans[s].components;
  }
  auto apply = [&](uint64_t mask) {
    for (size_t s = 1; s < count; ++s) scans[s].part = static_cast<int>((mask >> (s - 1)) & 1);
  };
  scans[0].part = 0;
  uint64_t best = 0;
  double bestTime = alone;
  if (count <= kMaxScansDealtExactly) {
    for (uint64_t mask = 1; mask < (uint64_t{1} << (count - 1)); ++mask) {
      if ((mask & pinned) != 0) continue;
      apply(mask);
      double time = Estimate(scans, dependsOn, &starts, &ends);
      if (time < bestTime) bestTime = time, best = mask;
    }
  } else {
    // From every scan that may go on the helper's side there, move one at a time while that
    // helps.
    best = ((uint64_t{1} << (count - 1)) - 1) & ~pinned;
    apply(best);
    bestTime = Estimate(scans, dependsOn, &starts, &ends);
    for (bool moved = true; moved;) {
      moved = false;
      for (size_t s = 1; s < count; ++s) {
        if ((pinned >> (s - 1)) & 1) continue;
        uint64_t mask = best ^ (uint64_t{1} << (s - 1));
        apply(mask);
        double time = Estimate(scans, dependsOn, &starts, &ends);
        if (time < bestTime) bestTime = time, best = mask, moved = true;
      }
    }
  }
  apply(best);
  return bestTime <= kWorthwhileShare * alone;
}

std::unique_ptr<JpegScanSplit> JpegScanSplit::Begin(const InputFile& file, uint64_t mainOffset,
                                                    jpeg_decompress_struct* main,
                                                    JpegClient* mainClient, CoreBudget* cores) {
  if (cores == nullptr || !main->progressive_mode || main->arith_code) return nullptr;
  size_t bytes = 0;
  for (int c = 0; c < main->num_components; ++c) {
    const jpeg_component_info& comp = main->comp_info[c];
    bytes += size_t{comp.width_in_blocks + comp.h_samp_factor} *
             (comp.height_in_blocks + comp.v_samp_factor) * sizeof(JBLOCK);
  }
  if (bytes < kMinSplitBytes || bytes > static_cast<size_t>(main->mem->max_memory_to_use)) {
    return nullptr;
  }
  if (!cores->TryBorrow()) return nullptr;
  std::unique_ptr<JpegScanSplit> split;
  try {
    Layout layout;
    if (MapFile(file, *main, &layout) && layout.firstData == mainOffset && Deal(&layout)) {
      split.reset(new JpegScanSplit(file, main, mainClient, cores, std::move(layout)));
    }
  } catch (...) {
    split.reset();  // no memory for the layout or no thread: one decompression it is
  }
  if (!split) cores->Release();
  return split;
}

JpegScanSplit::JpegScanSplit(const InputFile& file, jpeg_decompress_struct* main,
                             JpegClient* mainClient, CoreBudget* cores, Layout layout)
    : file_(file), main_(main), mainClient_(mainClient), cores_(cores), layout_(std::move(layout)) {
  const size_t count = layout_.scans.size();
  progress_.reset(new std::atomic<uint32_t>[count]);
  for (size_t s = 0; s < count; ++s) {
    progress_[s].store(0, std::memory_order_relaxed);
    parts_[layout_.scans[s].part].scans.push_back(s);
  }
  dependsOn_ = Dependencies(layout_.scans);
  for (int c = 0; c < main_->num_components; ++c) vSamp_[c] = main_->comp_info[c].v_samp_factor;

  // Each stream is the file with the other part's scans left out; the helper's starts at the
  // file's start, the caller's where its decompression stands, after the first scan's header.
  std::vector<std::pair<uint64_t, uint64_t>> ranges[2];
  ranges[0].emplace_back(layout_.firstData, layout_.scans[0].dataEnd);
  ranges[1].emplace_back(0, layout_.scans[0].begin);
  auto add = [](std::vector<std::pair<uint64_t, uint64_t>>* to, uint64_t begin, uint64_t end) {
    if (!to->empty() && to->back().second == begin) {
      to->back().second = end;
    } else {
      to->emplace_back(begin, end);
    }
  };
  size_t other = 0;
  for (size_t s = 1; s <= count; ++s) {
    const uint64_t until = s < count ? layout_.scans[s].begin : UINT64_MAX;
    for (; other < layout_.others.size() && layout_.others[other].first < until; ++other) {
      for (auto& to : ranges) add(&to, layout_.others[other].first, layout_.others[other].second);
    }
    if (s < count) {
      add(&ranges[layout_.scans[s].part], layout_.scans[s].begin, layout_.scans[s].dataEnd);
    }
  }
  mainSource_ = std::make_unique<RangeSource>();
  helperSource_ = std::make_unique<RangeSource>();
  InitRanges(mainSource_.get(), std::move(ranges[0]));
  InitRanges(helperSource_.get(), std::move(ranges[1]));
  mainSource_->file = helperSource_->file = &file_;
  helperClient_.split = this;
  helperClient_.part = 1;

  helper_ = std::thread([this] { Help(); });  // throws before anything of main is touched
  mainRequest_ = main_->mem->request_virt_barray;
  mainRealize_ = main_->mem->realize_virt_arrays;
  mainAccess_ = main_->mem->access_virt_barray;
  main_->mem->request_virt_barray = &JpegScanSplit::RequestHook;
  main_->mem->realize_virt_arrays = &JpegScanSplit::RealizeHook;
  main_->mem->access_virt_barray = &JpegScanSplit::AccessHook;
  mainClient_->split = this;
  mainClient_->part = 0;
  main_->src = &mainSource_->pub;
  // The caller's decompression sees only its own scans' precision, so it would smooth blocks
  // of a complete file; the file was taken only because one decompression would not.
  main_->do_block_smoothing = FALSE;
}

JpegScanSplit::~JpegScanSplit() {
  if (!finished_) Finish(false);
  main_->mem->request_virt_barray = mainRequest_;
  main_->mem->realize_virt_arrays = mainRealize_;
  main_->mem->access_virt_barray = mainAccess_;
  mainClient_->split = nullptr;
  for (int i = 0; i < arrayCount_; ++i) std::free(arrays_[i].blocks);
}

bool JpegScanSplit::Finish(bool mainStarted) {
  if (finished_) return false;
  finished_ = true;
  if (mainStarted) {
    CompletePart(0);
  } else {
    Abandon();
  }
  if (helper_.joinable()) helper_.join();
  cores_->Release();
  return mainStarted && helperClean_ && !abandoned_.load();
}

void JpegScanSplit::ReleaseDone() {
  for (int i = 0; i < arrayCount_; ++i) {
    SharedArray& array = arrays_[i];
    const size_t rowBytes = size_t{array.blocksPerRow} * sizeof(JBLOCK);
    const size_t rows =
        RowsToRelease(*main_, i, array.rowPointers.size(), rowBytes, array.releasedRows);
    if (rows == array.releasedRows) continue;
    ReleaseWholePages(reinterpret_cast<char*>(array.blocks) + array.releasedRows * rowBytes,
                      (rows - array.releasedRows) * rowBytes);
    array.releasedRows = rows;
  }
}

void JpegScanSplit::InitRanges(RangeSource* source,
                               std::vector<std::pair<uint64_t, uint64_t>> ranges) {
  source->pub = {};
  source->pub.init_source = &JpegScanSplit::InitSource;
  source->pub.fill_input_buffer = &JpegScanSplit::FillInputBuffer;
  source->pub.skip_input_data = &SkipThroughSource;
  source->pub.resync_to_restart = &jpeg_resync_to_restart;
  source->pub.term_source = &JpegScanSplit::TermSource;
  source->ranges = std::move(ranges);
  source->next = 0;
  source->offset = source->ranges.empty() ? 0 : source->ranges[0].first;
}

void JpegScanSplit::InitSource(j_decompress_ptr /*cinfo*/) {}

boolean JpegScanSplit::FillInputBuffer(j_decompress_ptr cinfo) {
  auto* source = reinterpret_cast<RangeSource*>(cinfo->src);
  size_t got = 0;
  while (got == 0 && source->next < source->ranges.size()) {
    const auto& range = source->ranges[source->next];
    const size_t want =
        static_cast<size_t>(std::min<uint64_t>(range.second - source->offset, RangeSource::kRead));
    got = want > 0 ? source->file->ReadUpTo(source->offset, source->buffer, want) : 0;
    if (want > 0 && got == 0) break;  // the file shrank since it was mapped
    source->offset += got;
    if (source->offset >= range.second && ++source->next < source->ranges.size()) {
      source->offset = source->ranges[source->next].first;
    }
  }
  if (got == 0) got = EndOfData(cinfo, source->buffer);  // ends either decompression
  source->pub.next_input_byte = source->buffer;
  source->pub.bytes_in_buffer = got;
  return TRUE;
}

void JpegScanSplit::TermSource(j_decompress_ptr /*cinfo*/) {}

jvirt_barray_ptr JpegScanSplit::RequestHook(j_common_ptr cinfo, int /*poolId*/, boolean /*preZero*/,
                                            JDIMENSION blocksPerRow, JDIMENSION rows,
                                            JDIMENSION /*maxAccess*/) {
  auto* client = static_cast<JpegClient*>(cinfo->client_data);
  SharedArray* array = client->split->Request(client->part, blocksPerRow, rows);
  if (array == nullptr) ERREXIT(cinfo, JERR_OUT_OF_MEMORY);
  return reinterpret_cast<jvirt_barray_ptr>(array);
}

void JpegScanSplit::RealizeHook(j_common_ptr cinfo) {
  // The shared arrays exist from their request on; libjpeg's own realize the rest.
  auto* client = static_cast<JpegClient*>(cinfo->client_data);
  JpegScanSplit* split = client->split;
  (client->part == 0 ? split->mainRealize_ : split->helperRealize_)(cinfo);
}

JBLOCKARRAY JpegScanSplit::AccessHook(j_common_ptr cinfo, jvirt_barray_ptr handle,
                                      JDIMENSION startRow, JDIMENSION rowCount, boolean writable) {
  auto* array = reinterpret_cast<SharedArray*>(handle);
  auto* client = static_cast<JpegClient*>(cinfo->client_data);
  const size_t rows = array->rowPointers.size();
  if (startRow > rows || rowCount > rows - startRow) {
    ERREXIT(cinfo, JERR_BAD_VIRTUAL_ACCESS);
  }
  // Rows are written only while scans are read; the caller's output pass reads them once
  // both decompressions are done.
  if (writable && !array->owner->BeforeRows(
                      client->part, reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number,
                      array->component, startRow, rowCount)) {
    ERREXIT(cinfo, JERR_BAD_VIRTUAL_ACCESS);
  }
  return array->rowPointers.data() + startRow;
}

JpegScanSplit::SharedArray* JpegScanSplit::Request(int part, JDIMENSION blocksPerRow,
                                                   JDIMENSION rows) {
  std::lock_guard<std::mutex> lock(mutex_);  // both decompressions may ask at once
  const int index = parts_[part].requests++;
  if (index >= main_->num_components) return nullptr;
  // The coefficient arrays are asked for one per component, in component order, rounded up
  // to whole iMCU rows and columns.
  const jpeg_component_info& comp = main_->comp_info[index];
  auto roundUp = [](JDIMENSION length, int multiple) {
    return (length + multiple - 1) / multiple * multiple;
  };
  const JDIMENSION expectedWidth = roundUp(comp.width_in_blocks, comp.h_samp_factor);
  const JDIMENSION expectedRows = roundUp(comp.height_in_blocks, comp.v_samp_factor);
  if (blocksPerRow != expectedWidth || rows != expectedRows) return nullptr;
  SharedArray& array = arrays_[index];
  if (index < arrayCount_) return &array;
  try {
    array.rowPointers.resize(rows);
  } catch (...) {
    return nullptr;
  }
  const size_t rowBlocks = blocksPerRow;
  // calloc'ed memory of this size comes fresh from the system, zero without a pass over it.
  array.blocks = static_cast<JBLOCK*>(std::calloc(rowBlocks * rows, sizeof(JBLOCK)));
  if (array.blocks == nullptr) return nullptr;
  for (JDIMENSION y = 0; y < rows; ++y) array.rowPointers[y] = array.blocks + rowBlocks * y;
  array.owner = this;
  array.component = index;
  array.blocksPerRow = blocksPerRow;
  arrayCount_ = index + 1;
  return &array;
}

bool JpegScanSplit::BeforeRows(int part, int scanNumber, int component, JDIMENSION startRow,
                               JDIMENSION rowCount) {
  Part& own = parts_[part];
  if (scanNumber < 1 || static_cast<size_t>(scanNumber) > own.scans.size()) {
    Abandon();
    return false;
  }
  const size_t index = static_cast<size_t>(scanNumber) - 1;
  bool changed = false;
  // A decompression reads its scans in order: those before this one are done.
  for (; own.completed < index; ++own.completed) {
    progress_[own.scans[own.completed]].store(kScanDone, std::memory_order_release);
    changed = true;
  }
  const size_t scan = own.scans[index];
  const uint32_t samples = static_cast<uint32_t>(vSamp_[component]);
  const uint32_t firstRow = startRow / samples;
  const uint32_t endRow = (startRow + rowCount + samples - 1) / samples;
  // Rows are decoded in order: every iMCU row before this one is done.
  if (progress_[scan].load(std::memory_order_relaxed) < firstRow) {
    progress_[scan].store(firstRow, std::memory_order_release);
    changed = true;
  }
  if (changed) {
    { std::lock_guard<std::mutex> lock(mutex_); }
    changed_.notify_all();
  }
  for (size_t earlier : dependsOn_[scan]) {
    if (layout_.scans[earlier].part == part) continue;
    auto ready = [&] {
      return progress_[earlier].load(std::memory_order_acquire) >= endRow ||
             abandoned_.load(std::memory_order_acquire);
    };
    if (ready()) continue;
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, ready);
  }
  return !abandoned_.load(std::memory_order_acquire);
}

void JpegScanSplit::CompletePart(int part) {
  for (size_t scan : parts_[part].scans)
    progress_[scan].store(kScanDone, std::memory_order_release);
  parts_[part].completed = parts_[part].scans.size();
  { std::lock_guard<std::mutex> lock(mutex_); }
  changed_.notify_all();
}

void JpegScanSplit::Abandon() {
  abandoned_.store(true, std::memory_order_release);
  { std::lock_guard<std::mutex> lock(mutex_); }
  changed_.notify_all();
}

namespace {

// Holds the setjmp for the helper's decompression and no object with a destructor.
bool ReadHelperScans(jpeg_decompress_struct* cinfo, std::jmp_buf* jump, bool* created,
                     void (*hook)(jpeg_decompress_struct*, void*), void* context) {
  if (setjmp(*jump) != 0) return false;
  jpeg_create_decompress(cinfo);
  *created = true;
  hook(cinfo, context);
  if (jpeg_read_header(cinfo, TRUE) != JPEG_HEADER_OK) return false;
  return jpeg_read_coefficients(cinfo) != nullptr;
}

}  // namespace

void JpegScanSplit::Help() {
  jpeg_decompress_struct cinfo;
  HelperError err;
  std::memset(&cinfo, 0, sizeof cinfo);
  std::memset(&err, 0, sizeof err);
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = &JpegScanSplit::HelperErrorExit;
  err.pub.emit_message = &JpegScanSplit::HelperEmitMessage;
  err.pub.output_message = &JpegScanSplit::HelperOutputMessage;
  bool created = false;
  auto hook = [](jpeg_decompress_struct* decompress, void* context) {
    auto* self = static_cast<JpegScanSplit*>(context);
    decompress->client_data = &self->helperClient_;
    self->helperRealize_ = decompress->mem->realize_virt_arrays;
    decompress->mem->request_virt_barray = &JpegScanSplit::RequestHook;
    decompress->mem->realize_virt_arrays = &JpegScanSplit::RealizeHook;
    decompress->mem->access_virt_barray = &JpegScanSplit::AccessHook;
    decompress->src = &self->helperSource_->pub;
  };
  const bool clean = ReadHelperScans(&cinfo, &err.jump, &created, hook, this);
  if (created) jpeg_destroy_decompress(&cinfo);
  helperClean_ = clean;
  if (clean) {
    CompletePart(1);
  } else {
    Abandon();  // the caller's decompression stops at its next rows
  }
}

void JpegScanSplit::HelperErrorExit(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<HelperError*>(cinfo->err)->jump, 1);
}

void JpegScanSplit::HelperEmitMessage(j_common_ptr cinfo, int level) {
  if (level >= 0) return;
  // Refinements of scans that the other part decodes look out of order from here, and are
  // not: the file's order was checked whole. Any other warning is one a single decompression
  // would have met, and that one is to meet it.
  if (cinfo->err->msg_code == JWRN_BOGUS_PROGRESSION) return;
  cinfo->err->error_exit(cinfo);
}

void JpegScanSplit::HelperOutputMessage(j_common_ptr /*cinfo*/) {}
