// Checks the screenshot that the user attaches to a problem report and
// prepares it for upload, re-encoding it when it is too large. Part of the
// LantrelFeedback library.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace lantrel {

// The bytes that go into the report, with their name and type.
struct PreparedFeedbackScreenshot {
  std::string data;
  std::string fileName;
  std::string contentType;  // "image/png", "image/jpeg" or "image/heic"
  bool operator==(const PreparedFeedbackScreenshot&) const = default;
};

struct FeedbackScreenshotValidator {
  // The largest screenshot the support service takes.
  static constexpr std::uint64_t maximumUploadBytes = 2'500'000;
  // The largest file looked at, and the largest width or height in pixels.
  static constexpr std::uint64_t maximumFileBytes = 10'000'000;
  static constexpr int maximumPixelSize = 12'000;
  // The longer side of a re-encoded screenshot.
  static constexpr int thumbnailMaximumPixelSize = 2'400;

  // Throws StatusError::invalidRecord unless `path` is a regular file (not a
  // symbolic link) of 1 to 10,000,000 bytes whose content is a PNG, JPEG or
  // HEIC image of 1 to 12,000 pixels in each direction. The file name's
  // extension plays no part.
  static void validate(const std::filesystem::path& path);

  // Validates, then returns the file's own bytes when they fit the upload
  // limit, else a JPEG of at most 2,400 pixels a side with the image's
  // orientation applied, at the best quality that fits. Throws
  // StatusError::invalidRecord.
  static PreparedFeedbackScreenshot prepareForUpload(const std::filesystem::path& path);
};

}  // namespace lantrel
