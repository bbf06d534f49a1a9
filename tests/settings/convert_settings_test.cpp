#include "settings/convert_settings.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

void ExpectDefaultHeader(const SaveHeader& h) {
  EXPECT_EQ(h.nWidth, -1);
  EXPECT_EQ(h.nHeight, -1);
  EXPECT_EQ(h.nPage, 0);
  EXPECT_EQ(h.bProportional, 0);
  EXPECT_EQ(h.nOption, 1);
  uint32_t bits;
  std::memcpy(&bits, &h.fRotation, sizeof bits);
  EXPECT_EQ(bits, 0u);  // all bits zero, not just a value that compares equal to 0
}

TEST(ConvertSettings, DefaultsOverwriteWhateverWasThere) {
  CConvertSettings s;
  std::memset(&s, 0x5a, sizeof s);
  InitConvertSettings(s);
  EXPECT_EQ(s.m_nFormat, 3);
  ExpectDefaultHeader(s.m_bmp);
  ExpectDefaultHeader(s.m_tif);
  ExpectDefaultHeader(s.m_gif);
  ExpectDefaultHeader(s.m_jpg);
  EXPECT_EQ(s.m_bmp.nCompression, 0);
  EXPECT_EQ(s.m_bmp.nColorDepth, 24);
  const int32_t tif[] = {s.m_tif.nColorDepth, s.m_tif.nCompression, s.m_tif.nPlanarConfig,
                         s.m_tif.nPredictor, s.m_tif.nReserved, s.m_tif.bSingleFile};
  const int32_t tifDefaults[] = {24, 1, 1, 0, 0, 0};
  EXPECT_TRUE(std::equal(std::begin(tif), std::end(tif), std::begin(tifDefaults)));
  for (char c : s.m_tif.szDescription) ASSERT_EQ(c, 0);
  for (char c : s.m_tif.szSoftware) ASSERT_EQ(c, 0);
  EXPECT_EQ(s.m_gif.bInterlaced, 0);
  EXPECT_EQ(s.m_gif.nColorBits, 8);
  EXPECT_EQ(s.m_gif.bTransparent, 0);
  EXPECT_EQ(s.m_gif.nTransparentIndex, 0);
  EXPECT_EQ(s.m_jpg.nColorDepth, 24);
  EXPECT_EQ(s.m_jpg.nQuality, 75);
  EXPECT_EQ(s.m_bOverwrite, 0);
  EXPECT_EQ(s.m_bSubfolders, 0);
  EXPECT_EQ(s.m_bSeparatePages, 0);
  EXPECT_EQ(s.m_bSingleFile, 0);
  for (char c : s.m_szSingleFile) ASSERT_EQ(c, 0);
}

}  // namespace
