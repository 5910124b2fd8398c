// Shared by the fuzz targets: the input as bytes, a scratch directory made
// once per run, and the refusals a parser may answer with.
#pragma once

#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "lantrel/errors.hpp"
#include "lantrel/orca_navigation.hpp"

namespace lantrel::fuzz {

inline std::string_view bytes(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// A directory of this run's own, made on first use and removed with
// everything in it when the run ends (libFuzzer ends a run with exit()).
inline const std::filesystem::path& scratchDirectory() {
  static const struct Scratch {
    std::filesystem::path path;
    Scratch() {
      std::string pattern =
          (std::filesystem::temp_directory_path() / "lantrel-fuzz-XXXXXX").string();
      if (!::mkdtemp(pattern.data())) std::abort();
      path = pattern;
    }
    ~Scratch() {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }
  } scratch;
  return scratch.path;
}

// Writes the input to one file of the scratch directory, the same path for
// every input of the run.
inline std::filesystem::path scratchFile(std::string_view input, const char* name) {
  std::filesystem::path path = scratchDirectory() / name;
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(input.data(), static_cast<std::streamsize>(input.size()));
  return path;
}

// Runs `parse`; the documented refusals are answers, anything else that
// escapes (another exception type, a crash) is a finding.
template <typename Parse>
void refusalsAllowed(Parse parse) {
  try {
    parse();
  } catch (const StatusError&) {
  } catch (const DecodingError&) {
  } catch (const OrcaNavigationError&) {
  } catch (const std::filesystem::filesystem_error&) {
  }
}

}  // namespace lantrel::fuzz
