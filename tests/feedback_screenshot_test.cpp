#include <gtest/gtest.h>
#include <vips/vips.h>

#include "lantrel/feedback_screenshot_validator.hpp"
#include "test_support.hpp"

namespace lantrel {
namespace {

namespace fs = std::filesystem;
using Validator = FeedbackScreenshotValidator;

// Images saved as `name`, in the format of `suffix`: noise or black.
fs::path save(const fs::path& dir, int width, int height, std::string name, std::string suffix,
              bool noise = false) {
  static bool ready = vips_init("lantrel-tests") == 0;
  VipsImage* image = nullptr;
  noise ? vips_gaussnoise(&image, width, height, "sigma", 60.0, nullptr)
        : vips_black(&image, width, height, "bands", 3, nullptr);
  fs::path temp = dir / ("temp" + suffix);
  EXPECT_TRUE(ready && vips_image_write_to_file(image, temp.c_str(), nullptr) == 0);
  g_object_unref(image);
  fs::rename(temp, dir / name);
  return dir / name;
}

TEST(ScreenshotTest, SmallOnesAreSentAsTheyAreLargeOnesAsJPEGAndLimitsHold) {
  testing::TempDir temp;
  fs::path dir = temp.path();
  auto same = Validator::prepareForUpload(save(dir, 64, 48, "shot.png", ".png"));
  EXPECT_EQ(same, (PreparedFeedbackScreenshot{testing::readFile(dir / "shot.png"), "shot.png",
                                              "image/png"}));
  auto big = Validator::prepareForUpload(save(dir, 2400, 1600, "big shot.PNG", ".png", true));
  EXPECT_EQ(big.fileName + " " + big.contentType, "big shot.jpg image/jpeg");
  EXPECT_LE(big.data.size(), Validator::maximumUploadBytes);

  testing::writeFile(dir / "notes.png", "not an image at all");
  fs::create_symlink(save(dir, 12'000, 2, "widest.png", ".png"), dir / "link.png");
  const std::pair<fs::path, bool> cases[] = {  // the file, and whether it passes
      {dir / "widest.png", true}, {save(dir, 12'001, 2, "wide.png", ".png"), false},
      {save(dir, 2, 12'001, "tall.png", ".png"), false},
      {save(dir, 8, 8, "anim.png", ".gif"), false},
      {dir / "notes.png", false}, {dir / "link.png", false}, {dir / "missing.png", false}};
  for (const auto& [path, passes] : cases)
    EXPECT_EQ(testing::errorOf([&path = path] { Validator::validate(path); }),
              passes ? "no error" : "invalidRecord") << path;
}

}  // namespace
}  // namespace lantrel
