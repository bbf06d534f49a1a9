// Saving one page of a decoder: builds the pipeline the record's header asks for and runs
// the record's writer; a failed save leaves no file at the path.
#pragma once

#include "codec/decoder.h"
#include "settings/save_info.h"

// Each returns true when page info.nPage of decoder was written to path as the record asks;
// false, with nothing left at path and the reason in *failure (when failure is not null and
// the reason is known), otherwise. After a success *failure holds what the decoder said while
// reading (kind kNone, or why a stand-in such as a raw file's preview was read).
bool SavePage(Decoder& decoder, const char* path, const _SAVEIMAGEINFO::_JPG& info,
              Failure* failure = nullptr);
bool SavePage(Decoder& decoder, const char* path, const _SAVEIMAGEINFO::_BMP& info,
              Failure* failure = nullptr);
bool SavePage(Decoder& decoder, const char* path, const _SAVEIMAGEINFO::_TIF& info,
              Failure* failure = nullptr);
bool SavePage(Decoder& decoder, const char* path, const _SAVEIMAGEINFO::_GIF& info,
              Failure* failure = nullptr);
