#pragma once

#include <string_view>

namespace lantrel {

// The 36-character 8-4-4-4-12 hexadecimal form, either letter case.
bool isUUID(std::string_view text);

}  // namespace lantrel
