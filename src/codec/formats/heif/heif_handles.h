// Owners of libheif's handles, for the HEIF decoder and for code that writes HEIF samples.
#pragma once

#include <libheif/heif.h>

#include <memory>

struct HeifContextFree {
  void operator()(heif_context* context) const { heif_context_free(context); }
};
struct HeifHandleRelease {
  void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};
struct HeifImageRelease {
  void operator()(heif_image* image) const { heif_image_release(image); }
};
using HeifContextPtr = std::unique_ptr<heif_context, HeifContextFree>;
using HeifHandlePtr = std::unique_ptr<heif_image_handle, HeifHandleRelease>;
using HeifImagePtr = std::unique_ptr<heif_image, HeifImageRelease>;
