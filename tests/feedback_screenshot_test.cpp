#include <gtest/gtest.h>
#include <vips/vips.h>

#include "lantrel/feedback_screenshot_validator.hpp"
#include "test_support.hpp"

namespace lantrel {
namespace {

namespace fs = std::filesystem;
using Validator = FeedbackScreenshotValidator;

class ScreenshotTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(vips_init("lantrel-tests"), 0); }
  testing::TempDir dir;

  // A black image saved as `name` in the format of `suffix`.
  fs::path save(int width, int height, const std::string& name, const std::string& suffix) {
    VipsImage* image = nullptr;
    vips_black(&image, width, height, "bands", 3, nullptr);
    EXPECT_EQ(vips_image_write_to_file(image, (dir / ("temp" + suffix)).c_str(), nullptr), 0);
    g_object_unref(image);
    fs::rename(dir / ("temp" + suffix), dir / name);
    return dir / name;
  }
  // A PNG grown to exactly `size` bytes by a private chunk before IEND,
  // which decoders skip.
  fs::path png(const std::string& name, int width, int height, std::size_t size = 0) {
    fs::path path = save(width, height, name, ".png");
    std::string data = testing::readFile(path), chunk;
    if (size == 0) return path;
    std::string typeAndData = "ltPd" + std::string(size - data.size() - 12, 'p');
    std::uint32_t length = static_cast<std::uint32_t>(typeAndData.size() - 4), crc = ~0u;
    for (unsigned char b : typeAndData)
      for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - ((crc ^ (b >> k)) & 1u)));
    for (int shift : {24, 16, 8, 0}) chunk += static_cast<char>(length >> shift & 0xFF);
    chunk += typeAndData;
    for (int shift : {24, 16, 8, 0}) chunk += static_cast<char>(~crc >> shift & 0xFF);
    testing::writeFile(path, data.insert(data.size() - 12, chunk));
    return path;
  }
};

TEST_F(ScreenshotTest, FitsAreSentAsTheyAreAndLargerOnesAsJPEG) {
  auto same = Validator::prepareForUpload(png("shot.png", 64, 48, 2'500'000));
  EXPECT_EQ(same, (PreparedFeedbackScreenshot{testing::readFile(dir / "shot.png"), "shot.png",
                                              "image/png"}));
  auto smaller = Validator::prepareForUpload(png("big shot.PNG", 64, 48, 2'500'001));
  EXPECT_EQ(smaller.fileName + " " + smaller.contentType, "big shot.jpg image/jpeg");
  VipsImage* image = vips_image_new_from_buffer(smaller.data.data(), smaller.data.size(), "", nullptr);
  EXPECT_EQ(vips_image_get_width(image), 64);  // never enlarged
  g_object_unref(image);
  // The type comes from the bytes, whatever the name says.
  fs::path jpeg = save(64, 48, "capture.png", ".jpg");
  EXPECT_EQ(Validator::prepareForUpload(jpeg),
            (PreparedFeedbackScreenshot{testing::readFile(jpeg), "capture.jpg", "image/jpeg"}));
}

TEST_F(ScreenshotTest, LimitsHoldOnBothSides) {
  testing::writeFile(dir / "notes.png", "not an image at all");
  fs::create_symlink(png("widest.png", 12'000, 2), dir / "link.png");
  const std::pair<fs::path, bool> cases[] = {  // the file, and whether it passes
      {dir / "widest.png", true}, {png("fits.png", 8, 8, 10'000'000), true},
      {png("wide.png", 12'001, 2), false}, {png("tall.png", 2, 12'001), false},
      {png("huge.png", 8, 8, 10'000'001), false}, {save(8, 8, "anim.png", ".gif"), false},
      {dir / "notes.png", false}, {dir / "link.png", false}, {dir / "missing.png", false}};
  for (const auto& [path, passes] : cases)
    EXPECT_EQ(testing::errorOf([&] { Validator::validate(path); }),
              passes ? "no error" : "invalidRecord") << path;
}

}  // namespace
}  // namespace lantrel
