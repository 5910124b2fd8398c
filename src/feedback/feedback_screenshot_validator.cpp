#include "lantrel/feedback_screenshot_validator.hpp"

#include <vips/vips.h>

#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "lantrel/errors.hpp"
#include "support/files.hpp"
#include "support/text.hpp"

namespace lantrel {

namespace {

namespace fs = std::filesystem;

[[noreturn]] void refuse() { throw StatusError(StatusError::invalidRecord); }

enum class ImageType { png, jpeg, heic };

struct ImageFormat {
  const char* extension;
  const char* contentType;
};

// In the order of ImageType.
constexpr ImageFormat formats[] = {
    {"png", "image/png"}, {"jpg", "image/jpeg"}, {"heic", "image/heic"}};

ImageFormat formatOf(ImageType type) { return formats[static_cast<int>(type)]; }

// libvips starts once per process; later calls return at once.
void startVips() {
  static const bool started = vips_init("lantrel") == 0;
  if (!started) refuse();
}

struct Unref {
  void operator()(void* object) const { g_object_unref(object); }
};
using Image = std::unique_ptr<VipsImage, Unref>;

// Failures inside libvips leave a message in its shared error buffer; the
// caller only learns that the screenshot was refused.
[[noreturn]] void refuseAfterVipsError() {
  vips_error_clear();
  refuse();
}

// The image type judged from the bytes alone. libvips names the loader
// whose signature the content matches; only the three accepted loaders ever
// parse the file. A HEIF container counts as HEIC only when its image is
// HEVC-coded (AVIF shares the container). Returns the header as well.
std::pair<ImageType, Image> sniff(const std::string& data) {
  const char* loader = vips_foreign_find_load_buffer(data.data(), data.size());
  if (!loader) refuseAfterVipsError();
  const char* nickname = vips_nickname_find(g_type_from_name(loader));
  std::string_view name = nickname ? nickname : "";
  // Pixels are decoded only when asked for; here just the header.
  void* bytes = const_cast<char*>(data.data());
  VipsImage* raw = nullptr;
  ImageType type;
  int failed;
  if (name.starts_with("pngload")) {
    type = ImageType::png;
    failed =
        vips_pngload_buffer(bytes, data.size(), &raw, "access", VIPS_ACCESS_SEQUENTIAL, nullptr);
  } else if (name.starts_with("jpegload")) {
    type = ImageType::jpeg;
    failed =
        vips_jpegload_buffer(bytes, data.size(), &raw, "access", VIPS_ACCESS_SEQUENTIAL, nullptr);
  } else if (name.starts_with("heifload")) {
    type = ImageType::heic;
    failed =
        vips_heifload_buffer(bytes, data.size(), &raw, "access", VIPS_ACCESS_SEQUENTIAL, nullptr);
  } else {
    refuse();
  }
  if (failed) refuseAfterVipsError();
  Image header(raw);
  if (type == ImageType::heic) {
    const char* compression = nullptr;
    if (!vips_image_get_typeof(header.get(), "heif-compression") ||
        vips_image_get_string(header.get(), "heif-compression", &compression) != 0 ||
        !compression || std::strcmp(compression, "hevc") != 0)
      refuse();
  }
  return {type, std::move(header)};
}

struct Screenshot {
  std::string data;
  ImageType type;
};

// Reads the file once, strictly (no links, regular files of a bounded size),
// and checks its content. Preparing uses these very bytes, so a file swapped
// after the checks cannot slip through.
Screenshot inspect(const fs::path& path) {
  std::string data;
  try {
    files::ReadBuffer buffer;
    data = files::readOwnFile(path, FeedbackScreenshotValidator::maximumFileBytes, buffer);
  } catch (const fs::filesystem_error&) {
    refuse();
  }
  if (data.empty()) refuse();
  startVips();
  auto [type, header] = sniff(data);
  int width = vips_image_get_width(header.get());
  int height = vips_image_get_height(header.get());
  const int limit = FeedbackScreenshotValidator::maximumPixelSize;
  if (width < 1 || width > limit || height < 1 || height > limit) refuse();
  return {std::move(data), type};
}

// A JPEG of the image at most `thumbnailMaximumPixelSize` a side, upright,
// without metadata, at the first quality whose encoding fits the upload
// limit.
std::string reencode(const std::string& data) {
  const int side = FeedbackScreenshotValidator::thumbnailMaximumPixelSize;
  VipsImage* raw = nullptr;
  // The thumbnail rotates the image as its orientation tag says and never
  // enlarges a smaller one.
  if (vips_thumbnail_buffer(const_cast<char*>(data.data()), data.size(), &raw, side, "height", side,
                            "size", VIPS_SIZE_DOWN, nullptr) != 0)
    refuseAfterVipsError();
  Image image(raw);
  if (vips_image_hasalpha(image.get())) {
    // JPEG has no transparency: screenshots read best on white.
    std::unique_ptr<VipsArrayDouble, void (*)(VipsArrayDouble*)> white(
        vips_array_double_newv(1, 255.0),
        [](VipsArrayDouble* a) { vips_area_unref(VIPS_AREA(a)); });
    if (vips_flatten(image.get(), &raw, "background", white.get(), nullptr) != 0)
      refuseAfterVipsError();
    image.reset(raw);
  }
  // Decode once; each quality below only encodes.
  raw = vips_image_copy_memory(image.get());
  if (!raw) refuseAfterVipsError();
  image.reset(raw);

  for (int quality : {82, 68, 54, 40}) {
    void* buffer = nullptr;
    std::size_t length = 0;
    if (vips_jpegsave_buffer(image.get(), &buffer, &length, "Q", quality, "strip", TRUE, nullptr) !=
        0)
      refuseAfterVipsError();
    std::unique_ptr<void, void (*)(void*)> owned(buffer, g_free);
    if (length <= FeedbackScreenshotValidator::maximumUploadBytes)
      return std::string(static_cast<const char*>(buffer), length);
  }
  refuse();
}

}  // namespace

void FeedbackScreenshotValidator::validate(const fs::path& path) { inspect(path); }

PreparedFeedbackScreenshot FeedbackScreenshotValidator::prepareForUpload(const fs::path& path) {
  Screenshot screenshot = inspect(path);
  ImageFormat format = formatOf(screenshot.type);
  std::string baseName = text::characterPrefix(text::repairUTF8(path.stem().string()), 80);
  if (screenshot.data.size() <= maximumUploadBytes)
    return {std::move(screenshot.data), baseName + "." + format.extension, format.contentType};
  return {reencode(screenshot.data), baseName + ".jpg", "image/jpeg"};
}

}  // namespace lantrel
