#include <gtest/gtest.h>
#include <vips/vips.h>

#include <array>
#include <memory>

#include "lantrel/errors.hpp"
#include "lantrel/feedback_screenshot_validator.hpp"
#include "test_support.hpp"

// The HEVC encoder that writes the test's HEIC files keeps one block for
// good; the leak checker of sanitizer builds is told to look past it.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }

namespace lantrel {
namespace {

using testing::TempDir;
namespace fs = std::filesystem;

struct Unref {
  void operator()(void* object) const { g_object_unref(object); }
};
using Image = std::unique_ptr<VipsImage, Unref>;

// `image` is read only after the call that fills it has run.
Image check(int failed, VipsImage** image) {
  if (failed || !*image) throw std::runtime_error(std::string("vips: ") + vips_error_buffer());
  return Image(*image);
}

// A three-band 8-bit image of grey noise around mid-grey: it compresses
// badly, so small pictures make large files.
Image noise(int width, int height) {
  std::array<Image, 3> bands;
  for (auto& band : bands) {
    VipsImage* raw = nullptr;
    band = check(vips_gaussnoise(&raw, width, height, "sigma", 60.0, "mean", 128.0, nullptr), &raw);
  }
  VipsImage* joined = nullptr;
  VipsImage* in[] = {bands[0].get(), bands[1].get(), bands[2].get()};
  Image rgb = check(vips_bandjoin(in, &joined, 3, nullptr), &joined);
  VipsImage* cast = nullptr;
  return check(vips_cast_uchar(rgb.get(), &cast, nullptr), &cast);
}

// A solid image of one grey level.
Image flat(int width, int height, double level, int bands = 3) {
  VipsImage* black = nullptr;
  Image image = check(vips_black(&black, width, height, "bands", bands, nullptr), &black);
  VipsImage* lifted = nullptr;
  Image sum = check(vips_linear1(image.get(), &lifted, 1.0, level, nullptr), &lifted);
  VipsImage* cast = nullptr;
  return check(vips_cast_uchar(sum.get(), &cast, nullptr), &cast);
}

void savePNG(const Image& image, const fs::path& path) {
  if (vips_pngsave(image.get(), path.c_str(), "compression", 1, nullptr))
    throw std::runtime_error(vips_error_buffer());
}

// Grows a PNG file to exactly `size` bytes with a private ancillary chunk
// before IEND, which decoders skip.
void padPNG(const fs::path& path, std::size_t size) {
  std::string data = testing::readFile(path);
  const std::size_t iend = data.size() - 12, overhead = 12;
  ASSERT_LE(data.size() + overhead, size);
  std::string payload(size - data.size() - overhead, 'p');
  std::string typeAndData = "ltPd" + payload;
  std::string chunk;
  for (int shift : {24, 16, 8, 0}) chunk += static_cast<char>((payload.size() >> shift) & 0xFF);
  chunk += typeAndData;
  std::uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char b : typeAndData)
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - ((crc ^ (b >> k)) & 1u)));
  crc = ~crc;
  for (int shift : {24, 16, 8, 0}) chunk += static_cast<char>((crc >> shift) & 0xFF);
  data.insert(iend, chunk);
  fs::remove(path);
  testing::writeFile(path, data);
  ASSERT_EQ(fs::file_size(path), size);
}

Image load(const std::string& data) {
  VipsImage* raw = vips_image_new_from_buffer(data.data(), data.size(), "", nullptr);
  return check(0, &raw);
}

bool isRefused(const fs::path& path) {
  try {
    FeedbackScreenshotValidator::validate(path);
  } catch (const StatusError& error) {
    EXPECT_EQ(error.code(), StatusError::invalidRecord);
    EXPECT_THROW(FeedbackScreenshotValidator::prepareForUpload(path), StatusError);
    return true;
  }
  return false;
}

class ScreenshotTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(vips_init("lantrel-tests"), 0); }
  TempDir dir;
};

TEST_F(ScreenshotTest, PNGAtTheUploadLimitGoesUnchangedAndOneByteMoreBecomesJPEG) {
  // About 2.4 MB of pixels, padded to the exact sizes.
  Image picture = noise(960, 820);
  fs::path atLimit = dir / "shot.png", overLimit = dir / "big shot.PNG";
  savePNG(picture, atLimit);
  savePNG(picture, overLimit);
  padPNG(atLimit, 2'500'000);
  padPNG(overLimit, 2'500'001);

  PreparedFeedbackScreenshot same = FeedbackScreenshotValidator::prepareForUpload(atLimit);
  EXPECT_EQ(same.fileName, "shot.png");
  EXPECT_EQ(same.contentType, "image/png");
  EXPECT_EQ(same.data, testing::readFile(atLimit));

  PreparedFeedbackScreenshot smaller = FeedbackScreenshotValidator::prepareForUpload(overLimit);
  EXPECT_EQ(smaller.fileName, "big shot.jpg");
  EXPECT_EQ(smaller.contentType, "image/jpeg");
  EXPECT_LE(smaller.data.size(), FeedbackScreenshotValidator::maximumUploadBytes);
  ASSERT_GE(smaller.data.size(), 3u);
  EXPECT_EQ(smaller.data.substr(0, 3), "\xFF\xD8\xFF");
  Image reencoded = load(smaller.data);
  EXPECT_EQ(vips_image_get_width(reencoded.get()), 960);  // never enlarged or cut
  EXPECT_EQ(vips_image_get_height(reencoded.get()), 820);
}

TEST_F(ScreenshotTest, LargeJPEGIsShrunkUprightWithinTheBound) {
  // Stored 3,000 x 1,200 with a white band along its top edge; orientation
  // 6 says "turn a quarter clockwise to show", which puts the band on the
  // right.
  Image picture = noise(3000, 1200);
  Image band = flat(3000, 100, 255);
  VipsImage* raw = nullptr;
  Image marked = check(vips_insert(picture.get(), band.get(), &raw, 0, 0, nullptr), &raw);
  vips_image_set_int(marked.get(), "orientation", 6);
  fs::path path = dir / "turned.jpeg";
  ASSERT_EQ(vips_jpegsave(marked.get(), path.c_str(), "Q", 97, nullptr), 0);
  ASSERT_GT(fs::file_size(path), FeedbackScreenshotValidator::maximumUploadBytes);

  PreparedFeedbackScreenshot prepared = FeedbackScreenshotValidator::prepareForUpload(path);
  EXPECT_EQ(prepared.fileName, "turned.jpg");
  EXPECT_EQ(prepared.contentType, "image/jpeg");
  EXPECT_LE(prepared.data.size(), FeedbackScreenshotValidator::maximumUploadBytes);
  Image result = load(prepared.data);
  EXPECT_EQ(vips_image_get_width(result.get()), 960);
  EXPECT_EQ(vips_image_get_height(result.get()), 2400);
  // Upright, and no orientation left for a viewer to apply twice.
  EXPECT_FALSE(vips_image_get_typeof(result.get(), "orientation") &&
               vips_image_get_orientation(result.get()) != 1);
  double right = 0, left = 0;
  VipsImage* strip = nullptr;
  Image rightStrip = check(vips_crop(result.get(), &strip, 940, 0, 20, 2400, nullptr), &strip);
  ASSERT_EQ(vips_avg(rightStrip.get(), &right, nullptr), 0);
  Image leftStrip = check(vips_crop(result.get(), &strip, 0, 0, 20, 2400, nullptr), &strip);
  ASSERT_EQ(vips_avg(leftStrip.get(), &left, nullptr), 0);
  EXPECT_GT(right, 240);
  EXPECT_LT(left, 160);
}

TEST_F(ScreenshotTest, TypeComesFromTheContentNotTheName) {
  Image small = flat(64, 48, 90);
  fs::path jpegNamedPNG = dir / "capture.png";
  ASSERT_EQ(vips_jpegsave(small.get(), jpegNamedPNG.c_str(), nullptr), 0);
  // jpegsave picks no format from the name, so the bytes are JPEG.
  PreparedFeedbackScreenshot prepared = FeedbackScreenshotValidator::prepareForUpload(jpegNamedPNG);
  EXPECT_EQ(prepared.fileName, "capture.jpg");
  EXPECT_EQ(prepared.contentType, "image/jpeg");
  EXPECT_EQ(prepared.data, testing::readFile(jpegNamedPNG));

  fs::path longName = dir / (std::string(100, 'a') + ".png");
  savePNG(small, longName);
  EXPECT_EQ(FeedbackScreenshotValidator::prepareForUpload(longName).fileName,
            std::string(80, 'a') + ".png");

  fs::path gif = dir / "anim.png";
  ASSERT_EQ(vips_gifsave(small.get(), gif.c_str(), nullptr), 0);
  EXPECT_TRUE(isRefused(gif));
  fs::path textFile = dir / "notes.png";
  testing::writeFile(textFile, "not an image at all");
  EXPECT_TRUE(isRefused(textFile));
  // A PNG signature with nothing valid after it.
  fs::path truncated = dir / "cut.png";
  std::string png = testing::readFile(longName);
  testing::writeFile(truncated, png.substr(0, 20));
  EXPECT_TRUE(isRefused(truncated));
}

TEST_F(ScreenshotTest, HEICIsAcceptedAndAVIFIsNot) {
  Image small = flat(64, 48, 200);
  fs::path heic = dir / "phone.HEIC", avif = dir / "phone.avif";
  if (vips_heifsave(small.get(), heic.c_str(), "compression", VIPS_FOREIGN_HEIF_COMPRESSION_HEVC,
                    nullptr) != 0) {
    vips_error_clear();
    GTEST_SKIP() << "this libheif cannot encode HEIC (no HEVC encoder)";
  }
  PreparedFeedbackScreenshot prepared = FeedbackScreenshotValidator::prepareForUpload(heic);
  EXPECT_EQ(prepared.fileName, "phone.heic");
  EXPECT_EQ(prepared.contentType, "image/heic");
  EXPECT_EQ(prepared.data, testing::readFile(heic));

  if (vips_heifsave(small.get(), avif.c_str(), "compression", VIPS_FOREIGN_HEIF_COMPRESSION_AV1,
                    nullptr) != 0) {
    vips_error_clear();
    GTEST_SKIP() << "this libheif cannot encode AVIF (no AV1 encoder)";
  }
  EXPECT_TRUE(isRefused(avif));
}

TEST_F(ScreenshotTest, PixelAndByteLimitsAndFileKinds) {
  // At most 12,000 pixels a side; size is judged before content, so a file
  // past 10,000,000 bytes is refused even when it is a good PNG.
  auto png = [&](const char* name, int width, int height, std::size_t padTo = 0) {
    fs::path path = dir / name;
    savePNG(flat(width, height, 10, 1), path);
    if (padTo) padPNG(path, padTo);
    return path;
  };
  EXPECT_NO_THROW(FeedbackScreenshotValidator::validate(png("widest.png", 12'000, 2)));
  EXPECT_NO_THROW(FeedbackScreenshotValidator::validate(png("fits.png", 8, 8, 10'000'000)));
  fs::create_symlink(dir / "widest.png", dir / "link.png");
  testing::writeFile(dir / "empty.png", "");
  fs::create_directory(dir / "folder.png");
  for (const fs::path& path : {png("wide.png", 12'001, 2), png("tall.png", 2, 12'001),
                               png("huge.png", 8, 8, 10'000'001), dir / "link.png",
                               dir / "empty.png", dir / "missing.png", dir / "folder.png"})
    EXPECT_TRUE(isRefused(path)) << path;
}

}  // namespace
}  // namespace lantrel
