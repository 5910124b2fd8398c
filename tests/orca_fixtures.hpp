// Names shared by the Orca tests.
#pragma once

#include <filesystem>

#include <nlohmann/json.hpp>

#include "test_support.hpp"

namespace lantrel {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::TempDir;
using testing::writeFile;

// The Orca tab that the test panes live in.
inline constexpr const char* orcaTab = "A1B2C3D4-0000-4000-8000-00000000000A";

}  // namespace lantrel
