#include "codec/formats/jpeg/jpeg_prefault.h"

#include <algorithm>

#include "codec/formats/jpeg/jpeg_client.h"
#include "platform/memory.h"

namespace {

// Arrays smaller than this together are left to fault in on the decoding thread: their pages
// take about as long as starting a thread.
constexpr size_t kMinPrefaultBytes = 4u << 20;
// The helper maps about this many bytes of all the arrays together between two looks at
// whether it should stop, spread over the arrays in proportion to their sizes: the decoder
// fills every component's array from the top at the same pace.
constexpr size_t kStepBytes = 4u << 20;

JpegPrefault* Owner(j_common_ptr cinfo) {
  auto* client = static_cast<JpegClient*>(cinfo->client_data);
  return client != nullptr ? client->prefault : nullptr;
}

}  // namespace

JpegPrefault::JpegPrefault(jpeg_decompress_struct* cinfo, JpegClient* client) : cinfo_(cinfo) {
  client->prefault = this;
  request_ = cinfo_->mem->request_virt_barray;
  realize_ = cinfo_->mem->realize_virt_arrays;
  cinfo_->mem->request_virt_barray = &JpegPrefault::RequestHook;
  cinfo_->mem->realize_virt_arrays = &JpegPrefault::RealizeHook;
}

JpegPrefault::~JpegPrefault() { Finish(); }

void JpegPrefault::Arm(CoreBudget* cores) {
  Finish();
  arrays_.clear();
  releasable_ = false;
  requestedCount_ = 0;
  cores_ = cores;
}

void JpegPrefault::Finish() {
  stop_.store(true, std::memory_order_relaxed);
  if (helper_.joinable()) helper_.join();
  if (borrowed_) cores_->Release();
  borrowed_ = false;
  waiting_ = false;
  cores_ = nullptr;
}

jvirt_barray_ptr JpegPrefault::RequestHook(j_common_ptr cinfo, int poolId, boolean preZero,
                                           JDIMENSION blocksPerRow, JDIMENSION rows,
                                           JDIMENSION maxAccess) {
  JpegPrefault* self = Owner(cinfo);
  jvirt_barray_ptr handle = self->request_(cinfo, poolId, preZero, blocksPerRow, rows, maxAccess);
  // Only a pre-zeroed array may be looked at before it is written (the coefficient arrays
  // all are); reading rows of any other that nobody wrote yet is an error.
  if (self->cores_ != nullptr && preZero && self->requestedCount_ < MAX_COMPONENTS) {
    self->requested_[self->requestedCount_++] = {handle, blocksPerRow, rows};
  }
  return handle;
}

void JpegPrefault::RealizeHook(j_common_ptr cinfo) {
  JpegPrefault* self = Owner(cinfo);
  self->realize_(cinfo);
  if (self->cores_ == nullptr || self->requestedCount_ == 0 || self->helper_.joinable()) return;
  // libjpeg-turbo keeps no backing store: a realized array is whole in memory (or realizing
  // failed), and a look at its first row, before anything was written, gives the pointers of
  // all its rows (zeroing that row, as the decoder's first write does again).
  JBLOCKARRAY rowPointers[MAX_COMPONENTS];
  for (int i = 0; i < self->requestedCount_; ++i) {
    rowPointers[i] = cinfo->mem->access_virt_barray(cinfo, self->requested_[i].handle, 0, 1, FALSE);
  }
  self->Prepare(rowPointers);
}

void JpegPrefault::OnProgress(j_common_ptr cinfo) {
  auto* self = Owner(cinfo);
  if (self == nullptr || !self->waiting_) return;
  // A run's other workers lend their cores only once they wait for work, which on a loaded
  // machine can be some time after the first file started. Pages the decoder has mapped
  // meanwhile cost the helper little more than a look.
  if (self->cores_->AnyIdle()) self->StartHelper();
}

void JpegPrefault::Prepare(const JBLOCKARRAY* rowPointers) {
  size_t total = 0;
  for (int i = 0; i < requestedCount_; ++i) {
    total += size_t{requested_[i].rows} * requested_[i].blocksPerRow * sizeof(JBLOCK);
  }
  if (total < kMinPrefaultBytes) return;
  // Runs inside libjpeg's frames: nothing may be thrown out of here.
  try {
    arrays_.clear();
    for (int i = 0; i < requestedCount_; ++i) {
      const size_t rowBytes = size_t{requested_[i].blocksPerRow} * sizeof(JBLOCK);
      ArrayMemory memory;
      memory.rowBytes = rowBytes;
      // The rows come in chunks of consecutive rows, most often a single one.
      for (JDIMENSION y = 0; y < requested_[i].rows; ++y) {
        char* row = reinterpret_cast<char*>(rowPointers[i][y]);
        if (!memory.ranges.empty() &&
            memory.ranges.back().start + memory.ranges.back().length == row) {
          memory.ranges.back().length += rowBytes;
        } else {
          memory.ranges.push_back({row, rowBytes});
        }
        memory.bytes += rowBytes;
      }
      arrays_.push_back(std::move(memory));
    }
  } catch (...) {
    arrays_.clear();
    return;  // no memory for the list: the decoder maps the pages itself
  }
  // The coefficient arrays are requested one per component, in component order.
  releasable_ = requestedCount_ == cinfo_->num_components;
  StartHelper();
}

void JpegPrefault::StartHelper() {
  waiting_ = !cores_->TryBorrow();
  if (waiting_) return;
  borrowed_ = true;
  stop_.store(false, std::memory_order_relaxed);
  // Runs inside libjpeg's frames: nothing may be thrown out of here.
  try {
    helper_ = std::thread([this] { Help(); });
  } catch (...) {
    cores_->Release();  // no thread: the decoder maps the pages itself
    borrowed_ = false;
  }
}

void JpegPrefault::Help() {
  size_t total = 0;
  for (const ArrayMemory& array : arrays_) total += array.bytes;
  const size_t steps = std::max<size_t>(1, total / kStepBytes);
  for (size_t step = 0; step < steps; ++step) {
    // A worker that took up a task wants its core back: the decoder maps the rest.
    if (stop_.load(std::memory_order_relaxed) || cores_->Overcommitted()) return;
    for (const ArrayMemory& array : arrays_) {
      if (!PopulateSlice(array, array.bytes * step / steps, array.bytes * (step + 1) / steps)) {
        return;  // the system maps no pages ahead
      }
    }
  }
}

template <typename Act>
bool JpegPrefault::ForSlice(const ArrayMemory& array, size_t from, size_t to, Act act) {
  size_t offset = 0;
  for (const Range& range : array.ranges) {
    size_t begin = std::max(from, offset), end = std::min(to, offset + range.length);
    if (begin < end && !act(range.start + (begin - offset), end - begin)) return false;
    offset += range.length;
    if (offset >= to) break;
  }
  return true;
}

bool JpegPrefault::PopulateSlice(const ArrayMemory& array, size_t from, size_t to) {
  return ForSlice(array, from, to,
                  [](char* start, size_t length) { return PrefaultForWriting(start, length); });
}

void JpegPrefault::ReleaseDone() {
  if (!releasable_) return;
  for (size_t i = 0; i < arrays_.size(); ++i) {
    ArrayMemory& array = arrays_[i];
    const size_t rows = RowsToRelease(*cinfo_, static_cast<int>(i),
                                      array.bytes / std::max<size_t>(1, array.rowBytes),
                                      array.rowBytes, array.releasedRows);
    if (rows == array.releasedRows) continue;
    // Only whole pages inside each range go: the allocator's and libjpeg's headers of a
    // block lie just before its first row.
    ForSlice(array, array.releasedRows * array.rowBytes, rows * array.rowBytes,
             [](char* start, size_t length) {
               ReleaseWholePages(start, length);
               return true;
             });
    array.releasedRows = rows;
  }
}
