#include <gtest/gtest.h>
#include <vips/vips.h>

#include "lantrel/feedback_screenshot_validator.hpp"
#include "test_support.hpp"

// The HEVC encoder that writes the test's HEIC files keeps one block for
// good; the leak checker of sanitizer builds is told to look past it.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }

namespace lantrel {
namespace {

namespace fs = std::filesystem;
using Validator = FeedbackScreenshotValidator;
using Image = std::unique_ptr<VipsImage, decltype(&g_object_unref)>;

Image black(int width, int height) {
  VipsImage* raw = nullptr;
  vips_black(&raw, width, height, "bands", 3, nullptr);
  return Image(raw, g_object_unref);
}

class ScreenshotTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(vips_init("lantrel-tests"), 0); }
  testing::TempDir dir;

  // Writes `image` in the format of `suffix` (with options in brackets) as
  // `name`; empty when this libvips cannot.
  fs::path save(const Image& image, const std::string& name, const std::string& suffix) {
    if (vips_image_write_to_file(image.get(), (dir / ("temp" + suffix)).c_str(), nullptr))
      return vips_error_clear(), fs::path();
    fs::rename(dir / ("temp" + suffix.substr(0, suffix.find('['))), dir / name);
    return dir / name;
  }
  // A PNG grown to exactly `size` bytes by a private chunk before IEND,
  // which decoders skip.
  fs::path png(const std::string& name, int width, int height, std::size_t size = 0) {
    fs::path path = save(black(width, height), name, ".png");
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

Image load(const std::string& data) {
  return Image(vips_image_new_from_buffer(data.data(), data.size(), "", nullptr), g_object_unref);
}

TEST_F(ScreenshotTest, FitsAreSentAsTheyAreAndLargerOnesAsUprightJPEG) {
  auto same = Validator::prepareForUpload(png("shot.png", 64, 48, 2'500'000));
  EXPECT_EQ(same, (PreparedFeedbackScreenshot{testing::readFile(dir / "shot.png"), "shot.png",
                                              "image/png"}));
  auto smaller = Validator::prepareForUpload(png("big shot.PNG", 64, 48, 2'500'001));
  EXPECT_EQ(smaller.fileName + " " + smaller.contentType, "big shot.jpg image/jpeg");
  EXPECT_EQ(smaller.data.substr(0, 3), "\xFF\xD8\xFF");
  EXPECT_EQ(vips_image_get_width(load(smaller.data).get()), 64);  // never enlarged

  // Stored 4,000 x 1,600, to be shown turned a quarter (orientation 6).
  VipsImage* raw = nullptr;
  vips_gaussnoise(&raw, 4000, 1600, "sigma", 60.0, "mean", 128.0, nullptr);
  Image noise(raw, g_object_unref);
  vips_image_set_int(noise.get(), "orientation", 6);
  auto turned = Validator::prepareForUpload(save(noise, "turned.jpeg", ".jpg[Q=97]"));
  EXPECT_GT(fs::file_size(dir / "turned.jpeg"), Validator::maximumUploadBytes);
  EXPECT_EQ(turned.fileName + " " + turned.contentType, "turned.jpg image/jpeg");
  EXPECT_LE(turned.data.size(), Validator::maximumUploadBytes);
  Image result = load(turned.data);
  EXPECT_EQ(vips_image_get_width(result.get()), 960);
  EXPECT_EQ(vips_image_get_height(result.get()), 2400);
  // Upright, and no orientation left for a viewer to apply twice.
  EXPECT_FALSE(vips_image_get_typeof(result.get(), "orientation") &&
               vips_image_get_orientation(result.get()) != 1);
}

TEST_F(ScreenshotTest, TypeComesFromTheContentAndLimitsHoldOnBothSides) {
  // The bytes are JPEG whatever the name says.
  fs::path jpeg = save(black(64, 48), "capture.png", ".jpg");
  EXPECT_EQ(Validator::prepareForUpload(jpeg),
            (PreparedFeedbackScreenshot{testing::readFile(jpeg), "capture.jpg", "image/jpeg"}));
  EXPECT_EQ(Validator::prepareForUpload(png(std::string(100, 'a') + ".png", 8, 8)).fileName,
            std::string(80, 'a') + ".png");
  if (fs::path heic = save(black(64, 48), "phone.HEIC", ".heic[compression=hevc]"); !heic.empty()) {
    EXPECT_EQ(Validator::prepareForUpload(heic),
              (PreparedFeedbackScreenshot{testing::readFile(heic), "phone.heic", "image/heic"}));
  }

  testing::writeFile(dir / "notes.png", "not an image at all");
  testing::writeFile(dir / "cut.png", testing::readFile(png("whole.png", 8, 8)).substr(0, 20));
  testing::writeFile(dir / "empty.png", "");
  fs::create_directory(dir / "folder.png");
  fs::create_symlink(png("widest.png", 12'000, 2), dir / "link.png");
  const std::pair<fs::path, bool> cases[] = {  // the file, and whether it passes
      {dir / "widest.png", true}, {png("fits.png", 8, 8, 10'000'000), true},
      {png("wide.png", 12'001, 2), false}, {png("tall.png", 2, 12'001), false},
      {png("huge.png", 8, 8, 10'000'001), false}, {save(black(8, 8), "anim.png", ".gif"), false},
      {save(black(64, 48), "phone.avif", ".avif"), false}, {dir / "notes.png", false},
      {dir / "cut.png", false}, {dir / "empty.png", false}, {dir / "folder.png", false},
      {dir / "link.png", false}, {dir / "missing.png", false}};
  for (const auto& [path, passes] : cases) {
    if (path.empty()) continue;  // a format this libvips cannot write
    EXPECT_EQ(testing::errorOf([&] { Validator::validate(path); }),
              passes ? "no error" : "invalidRecord") << path;
  }
}

}  // namespace
}  // namespace lantrel
