// The picture of Image1 is a whole baseline JPEG of 75 by 75 pixels with
// three colour components.
#include <cstdint>
#include <span>

#include <gtest/gtest.h>

#include "automation/tarvo_control.h"

namespace tarvo::automation {
namespace {

struct FrameHeader {
  int marker = 0;
  int height = 0;
  int width = 0;
  int components = 0;
};

// Walks the marker segments up to the first start-of-frame.
FrameHeader FirstFrame(std::span<const std::uint8_t> jpeg) {
  std::size_t at = 2;
  while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF) {
    const int marker = jpeg[at + 1];
    const std::size_t length = (jpeg[at + 2] << 8) | jpeg[at + 3];
    if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
      if (at + 10 > jpeg.size()) break;
      return {marker, (jpeg[at + 5] << 8) | jpeg[at + 6], (jpeg[at + 7] << 8) | jpeg[at + 8],
              jpeg[at + 9]};
    }
    at += 2 + length;
  }
  return {};
}

TEST(ControlImageTest, Image1IsABaselineJpegOf75By75WithThreeComponents) {
  const auto jpeg = Image1Jpeg();
  ASSERT_GT(jpeg.size(), 4u);
  EXPECT_EQ(jpeg[0], 0xFF);
  EXPECT_EQ(jpeg[1], 0xD8);  // start of image
  EXPECT_EQ(jpeg[jpeg.size() - 2], 0xFF);
  EXPECT_EQ(jpeg[jpeg.size() - 1], 0xD9);  // end of image
  const FrameHeader frame = FirstFrame(jpeg);
  EXPECT_EQ(frame.marker, 0xC0) << "baseline";
  EXPECT_EQ(frame.width, kImage1Width);
  EXPECT_EQ(frame.height, kImage1Height);
  EXPECT_EQ(frame.components, 3);
}

}  // namespace
}  // namespace tarvo::automation
