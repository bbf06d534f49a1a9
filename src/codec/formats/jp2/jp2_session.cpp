#include "codec/formats/jp2/jp2_session.h"

#include <algorithm>
#include <climits>
#include <cstdint>

namespace {

// The stream asks for this much at a time.
constexpr OPJ_SIZE_T kStreamChunk = 64 * 1024;

}  // namespace

std::unique_ptr<Jp2Session> Jp2Session::Open(const InputFile& file, bool jp2, int reduce,
                                             std::string* error) {
  std::unique_ptr<Jp2Session> session(new Jp2Session(file));
  session->codec_.reset(opj_create_decompress(jp2 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K));
  session->stream_.reset(opj_stream_create(kStreamChunk, OPJ_TRUE));
  if (!session->codec_ || !session->stream_) {
    *error = "out of memory";
    return nullptr;
  }
  opj_codec_t* codec = session->codec_.get();
  opj_set_error_handler(codec, OnError, session.get());
  opj_set_warning_handler(codec, OnOther, session.get());
  opj_set_info_handler(codec, OnOther, session.get());
  opj_stream_t* stream = session->stream_.get();
  opj_stream_set_user_data(stream, session.get(), nullptr);
  opj_stream_set_user_data_length(stream, file.size());
  opj_stream_set_read_function(stream, Read);
  opj_stream_set_skip_function(stream, Skip);
  opj_stream_set_seek_function(stream, Seek);
  // The palette, component mapping and channel definitions are applied by the decoder itself,
  // tile by tile.
  opj_dparameters_t parameters;
  opj_set_default_decoder_parameters(&parameters);
  parameters.flags |= OPJ_DPARAMETERS_IGNORE_PCLR_CMAP_CDEF_FLAG;
  opj_image_t* image = nullptr;
  const bool ok = opj_setup_decoder(codec, &parameters) && opj_codec_set_threads(codec, 1) &&
                  opj_read_header(stream, codec, &image);
  session->image_.reset(image);
  if (!ok || image == nullptr ||
      (reduce > 0 && !opj_set_decoded_resolution_factor(codec, static_cast<OPJ_UINT32>(reduce)))) {
    *error = session->Error();
    return nullptr;
  }
  return session;
}

int Jp2Session::MinResolutions() {
  opj_codestream_info_v2_t* info = opj_get_cstr_info(codec_.get());
  if (info == nullptr) return 1;
  int least = 33;
  const opj_tile_info_v2_t& tile = info->m_default_tile_info;
  for (OPJ_UINT32 c = 0; c < info->nbcomps && tile.tccp_info != nullptr; ++c) {
    least = std::min(least, static_cast<int>(tile.tccp_info[c].numresolutions));
  }
  opj_destroy_cstr_info(&info);
  return least < 1 || least > 32 ? 1 : least;
}

bool Jp2Session::NextTile(uint32_t* index, int32_t area[4], uint32_t* bytes, bool* more) {
  OPJ_UINT32 components = 0;
  OPJ_BOOL goOn = OPJ_FALSE;
  if (!opj_read_tile_header(codec_.get(), stream_.get(), index, bytes, &area[0], &area[1], &area[2],
                            &area[3], &components, &goOn)) {
    return false;
  }
  *more = goOn != OPJ_FALSE;
  return true;
}

bool Jp2Session::DecodeTile(uint32_t index, uint8_t* data, uint32_t bytes) {
  return opj_decode_tile_data(codec_.get(), index, data, bytes, stream_.get()) != OPJ_FALSE;
}

bool Jp2Session::DecodeArea(uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1) {
  constexpr uint32_t kMax = INT32_MAX;  // OpenJPEG takes the corners as signed numbers
  if (x1 > kMax || y1 > kMax) {
    if (error_.empty()) error_ = "image area beyond the reference grid OpenJPEG handles";
    return false;
  }
  return opj_set_decode_area(codec_.get(), image_.get(), static_cast<OPJ_INT32>(x0),
                             static_cast<OPJ_INT32>(y0), static_cast<OPJ_INT32>(x1),
                             static_cast<OPJ_INT32>(y1)) &&
         opj_decode(codec_.get(), stream_.get(), image_.get());
}

OPJ_SIZE_T Jp2Session::Read(void* buffer, OPJ_SIZE_T bytes, void* user) {
  auto* self = static_cast<Jp2Session*>(user);
  if (self->position_ >= self->file_.size()) return static_cast<OPJ_SIZE_T>(-1);
  const size_t got = self->file_.ReadUpTo(self->position_, buffer, bytes);
  if (got == 0) return static_cast<OPJ_SIZE_T>(-1);
  self->position_ += got;
  return got;
}

OPJ_OFF_T Jp2Session::Skip(OPJ_OFF_T bytes, void* user) {
  auto* self = static_cast<Jp2Session*>(user);
  if (bytes < 0) {
    if (static_cast<uint64_t>(-bytes) > self->position_) return -1;
    self->position_ -= static_cast<uint64_t>(-bytes);
    return bytes;
  }
  // Skipping past the end is allowed, as with a file; the next read then finds nothing.
  self->position_ =
      std::min<uint64_t>(self->position_ + static_cast<uint64_t>(bytes), self->file_.size() + 1);
  return bytes;
}

OPJ_BOOL Jp2Session::Seek(OPJ_OFF_T offset, void* user) {
  auto* self = static_cast<Jp2Session*>(user);
  if (offset < 0 || static_cast<uint64_t>(offset) > self->file_.size()) return OPJ_FALSE;
  self->position_ = static_cast<uint64_t>(offset);
  return OPJ_TRUE;
}

void Jp2Session::OnError(const char* message, void* user) {
  auto* self = static_cast<Jp2Session*>(user);
  if (!self->error_.empty() || message == nullptr) return;
  try {  // called from OpenJPEG's C frames: nothing may escape
    self->error_ = message;
  } catch (...) {
    return;
  }
  while (!self->error_.empty() && self->error_.back() == '\n') self->error_.pop_back();
}

void Jp2Session::OnOther(const char* /*message*/, void* /*user*/) {}
