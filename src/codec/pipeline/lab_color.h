// CIE L*a*b* to sRGB. Lab is relative to a white (D50 unless a file says D65) and sRGB to
// D65, so the conversion needs a chromatic adaptation: lcms2 does it, and L* 100 with a*, b* 0
// comes out white.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

class LabToSrgb {
 public:
  // Returns a converter from Lab relative to D50 (or to D65 when d65), or nullptr when lcms2
  // cannot build the transform.
  static std::unique_ptr<LabToSrgb> Create(bool d65 = false);
  ~LabToSrgb();
  LabToSrgb(const LabToSrgb&) = delete;
  LabToSrgb& operator=(const LabToSrgb&) = delete;

  // Converts pixels Lab triplets in lcms2's 16-bit encoding (L* 0..100 as 0..65535; a* and
  // b* -128..127 as 0..65535, 0 being 0x8080) to 8-bit RGB triplets. Returns nothing.
  void Convert(const uint16_t* lab, uint8_t* rgb, size_t pixels) const;

 private:
  explicit LabToSrgb(void* transform) : transform_(transform) {}
  void* transform_;
};
