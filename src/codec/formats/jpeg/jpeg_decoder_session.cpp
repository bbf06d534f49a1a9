#include "codec/formats/jpeg/jpeg_decoder_session.h"

#include <jerror.h>

#include <algorithm>
#include <cstring>

namespace {

// A progressive file with more scans than this is hostile (each scan rereads the whole
// coefficient buffer); real encoders write at most a few dozen.
constexpr int kMaxScans = 1000;
// Memory libjpeg may take for whole-image buffers (progressive coefficients).
constexpr long kMaxJpegMemory = 6l << 30;

// Every libjpeg call that may raise an error goes through one of these: each holds its own
// setjmp and no object with a destructor.
bool CallCreate(jpeg_decompress_struct* cinfo, std::jmp_buf* jump) {
  if (setjmp(*jump) != 0) return false;
  jpeg_create_decompress(cinfo);
  return true;
}

bool CallReadHeader(jpeg_decompress_struct* cinfo, std::jmp_buf* jump, jpeg_source_mgr* source) {
  if (setjmp(*jump) != 0) return false;
  jpeg_abort_decompress(cinfo);
  cinfo->src = source;
  jpeg_save_markers(cinfo, JPEG_APP0 + 1, 0xFFFF);
  jpeg_save_markers(cinfo, JPEG_APP0 + 2, 0xFFFF);
  return jpeg_read_header(cinfo, TRUE) == JPEG_HEADER_OK;
}

bool CallStart(jpeg_decompress_struct* cinfo, std::jmp_buf* jump) {
  if (setjmp(*jump) != 0) return false;
  return jpeg_start_decompress(cinfo) == TRUE;
}

bool CallReadScanlines(jpeg_decompress_struct* cinfo, std::jmp_buf* jump, JSAMPROW* rows,
                       int count) {
  if (setjmp(*jump) != 0) return false;
  int done = 0;
  while (done < count) {
    JDIMENSION got = jpeg_read_scanlines(cinfo, rows + done, static_cast<JDIMENSION>(count - done));
    if (got == 0) return false;
    done += static_cast<int>(got);
  }
  // After the last row the rest of the stream is read up to its end-of-image marker: a scan
  // whose data stops short fails here even when libjpeg had not read that far ahead yet.
  if (cinfo->output_scanline < cinfo->output_height) return true;
  return jpeg_finish_decompress(cinfo) == TRUE;
}

bool CallReadIcc(jpeg_decompress_struct* cinfo, std::jmp_buf* jump, JOCTET** icc,
                 unsigned int* length) {
  if (setjmp(*jump) != 0) return false;
  return jpeg_read_icc_profile(cinfo, icc, length) == TRUE;
}

}  // namespace

JpegSession::JpegSession() {
  std::memset(&cinfo_, 0, sizeof cinfo_);
  std::memset(&err_, 0, sizeof err_);
  std::memset(&progress_, 0, sizeof progress_);
  source_.pub = {};
  source_.pub.init_source = &JpegSession::InitSource;
  source_.pub.fill_input_buffer = &JpegSession::FillInputBuffer;
  source_.pub.skip_input_data = &SkipThroughSource;
  source_.pub.resync_to_restart = &jpeg_resync_to_restart;
  source_.pub.term_source = &JpegSession::TermSource;
  source_.file = nullptr;
  source_.startOfFile = true;
  source_.nextRead = FileSource::kFirstRead;
  cinfo_.err = jpeg_std_error(&err_.pub);
  err_.pub.error_exit = &JpegSession::ErrorExit;
  err_.pub.emit_message = &JpegSession::EmitMessage;
  err_.pub.output_message = &JpegSession::OutputMessage;
  created_ = CallCreate(&cinfo_, &err_.jump);
  if (!created_) return;
  progress_.progress_monitor = &JpegSession::Progress;
  cinfo_.progress = &progress_;
  cinfo_.mem->max_memory_to_use = kMaxJpegMemory;
  cinfo_.client_data = &client_;
  prefault_.emplace(&cinfo_, &client_);
}

JpegSession::~JpegSession() {
  split_.reset();     // its helper decodes into arrays it frees
  prefault_.reset();  // its helper maps memory that destroying frees
  if (created_) jpeg_destroy_decompress(&cinfo_);
}

bool JpegSession::ReadHeader(FILE* in) {
  if (!created_ || in == nullptr) return false;
  split_.reset();
  err_.warnings = 0;
  source_.file = in;
  source_.pub.next_input_byte = nullptr;
  source_.pub.bytes_in_buffer = 0;
  return CallReadHeader(&cinfo_, &err_.jump, &source_.pub);
}

void JpegSession::InitSource(j_decompress_ptr cinfo) {
  auto* source = reinterpret_cast<FileSource*>(cinfo->src);
  source->startOfFile = true;
  source->nextRead = FileSource::kFirstRead;
}

boolean JpegSession::FillInputBuffer(j_decompress_ptr cinfo) {
  auto* source = reinterpret_cast<FileSource*>(cinfo->src);
  size_t got = std::fread(source->buffer, 1, source->nextRead, source->file);
  if (got == 0) {
    if (source->startOfFile) ERREXIT(cinfo, JERR_INPUT_EMPTY);
    got = EndOfData(cinfo, source->buffer);
  }
  source->pub.next_input_byte = source->buffer;
  source->pub.bytes_in_buffer = got;
  source->startOfFile = false;
  source->nextRead = std::min(source->nextRead * 2, FileSource::kLargestRead);
  return TRUE;
}

void JpegSession::TermSource(j_decompress_ptr /*cinfo*/) {}

bool JpegSession::Start(CoreBudget* cores, const InputFile* file) {
  if (!created_) return false;
  // Only progressive files are split: the others skip ftell's system call.
  uint64_t offset = 0;
  if (file != nullptr && cores != nullptr && cinfo_.progressive_mode && !split_ &&
      SourceOffset(&offset)) {
    split_ = JpegScanSplit::Begin(*file, offset, &cinfo_, &client_, cores);
  }
  if (split_) {
    prefault_->Arm(nullptr);  // forgets the arrays of an earlier decode
    bool started = CallStart(&cinfo_, &err_.jump);
    if (split_->Finish(started)) return true;
    // Whatever went wrong, one decompression reads the file again and meets it (or not) as
    // it would have without the split.
    split_.reset();
    if (!ReadHeaderAgain()) return false;
  }
  // jpeg_start_decompress reads every scan of a multi-scan file before it returns, so the
  // helper's work is over (or pointless) then, and the buffers stay until the next header.
  prefault_->Arm(cores);
  bool started = CallStart(&cinfo_, &err_.jump);
  prefault_->Finish();
  return started;
}

bool JpegSession::ReadScanlines(JSAMPROW* rows, int count) {
  if (!created_ || count < 0) return false;
  if (cinfo_.output_scanline + static_cast<JDIMENSION>(count) > cinfo_.output_height) {
    return false;
  }
  // Rows before these are written out: pages of the arrays behind them can go back.
  if (split_ && cinfo_.output_scanline > 0) {
    split_->ReleaseDone();
  } else if (prefault_ && cinfo_.output_scanline > 0) {
    prefault_->ReleaseDone();
  }
  return CallReadScanlines(&cinfo_, &err_.jump, rows, count);
}

bool JpegSession::SourceOffset(uint64_t* offset) const {
  long position = source_.file != nullptr ? std::ftell(source_.file) : -1;
  if (position < 0 || source_.pub.bytes_in_buffer > static_cast<size_t>(position)) return false;
  *offset = static_cast<uint64_t>(position) - source_.pub.bytes_in_buffer;
  return true;
}

bool JpegSession::ReadHeaderAgain() {
  const jpeg_decompress_struct kept = cinfo_;
  if (std::fseek(source_.file, 0, SEEK_SET) != 0 || !ReadHeader(source_.file)) return false;
  cinfo_.out_color_space = kept.out_color_space;
  cinfo_.scale_num = kept.scale_num;
  cinfo_.scale_denom = kept.scale_denom;
  cinfo_.dct_method = kept.dct_method;
  cinfo_.do_fancy_upsampling = kept.do_fancy_upsampling;
  cinfo_.quantize_colors = kept.quantize_colors;
  cinfo_.raw_data_out = kept.raw_data_out;
  return true;
}

JOCTET* JpegSession::ReadIccProfile(unsigned int* length) {
  JOCTET* icc = nullptr;
  *length = 0;
  if (!created_ || !CallReadIcc(&cinfo_, &err_.jump, &icc, length)) {
    *length = 0;
    return nullptr;  // jpeg_read_icc_profile frees its buffer on the paths that fail
  }
  return icc;
}

void JpegSession::ErrorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
  std::longjmp(err->jump, 1);
}

void JpegSession::EmitMessage(j_common_ptr cinfo, int level) {
  if (level >= 0) return;
  auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
  auto* decompress = reinterpret_cast<j_decompress_ptr>(cinfo);
  // At the end of the data (a file cut short, still being copied, or a read error) libjpeg's
  // source only warns and feeds the decoder a fake end-of-image marker, and a sequential scan
  // that stops at a marker too early gets its missing bits as zeros: the rows it then makes
  // up are flat grey, not the image, so both end the decode as an error. What stays a
  // warning: a sequential file that lacks only its end marker (every bit of its scan is
  // there); a scan cut short at a restart marker, from where libjpeg resynchronises over the
  // damage; and a progressive scan short of some refinement bits, which only blurs detail.
  // A file of several scans that ends early lacks whole scans, which nothing reports later,
  // so its end fails at once.
  bool sequential = cinfo->is_decompressor && !decompress->progressive_mode &&
                    decompress->comps_in_scan == decompress->num_components;
  if (err->pub.msg_code == JWRN_JPEG_EOF && !sequential) cinfo->err->error_exit(cinfo);
  if (err->pub.msg_code == JWRN_HIT_MARKER && sequential &&
      (decompress->unread_marker < JPEG_RST0 || decompress->unread_marker > JPEG_RST0 + 7)) {
    cinfo->err->error_exit(cinfo);
  }
  err->warnings++;
}

void JpegSession::OutputMessage(j_common_ptr /*cinfo*/) {}

void JpegSession::Progress(j_common_ptr cinfo) {
  if (!cinfo->is_decompressor) return;
  JpegPrefault::OnProgress(cinfo);
  auto* decompress = reinterpret_cast<j_decompress_ptr>(cinfo);
  if (decompress->input_scan_number > kMaxScans) {
    cinfo->err->msg_code = JERR_NOT_COMPILED;
    cinfo->err->error_exit(cinfo);
  }
}
