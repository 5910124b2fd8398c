#pragma once

#include <string>
#include <string_view>

namespace lantrel {

// The 36-character 8-4-4-4-12 hexadecimal form, either letter case.
bool isUUID(std::string_view text);

// A fresh random (version 4) UUID in upper-case text form.
std::string randomUUID();

}  // namespace lantrel
