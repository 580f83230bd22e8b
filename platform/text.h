// Helpers for 8-bit texts: letter case changes only A-Z and a-z, whatever the locale.
#pragma once

#include <string>
#include <string_view>

std::string UpperCase(std::string text);
std::string LowerCase(std::string text);
// Equal without regard to the case of A-Z.
bool SameText(std::string_view a, std::string_view b);
// Without the blanks and control characters at both ends, as the run-time library's Trim.
std::string Trim(const std::string& text);
