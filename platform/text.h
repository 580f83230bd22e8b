// Letter-case helpers for 8-bit texts: only A-Z and a-z change, whatever the locale.
#pragma once

#include <string>
#include <string_view>

std::string UpperCase(std::string text);
std::string LowerCase(std::string text);
// Equal without regard to the case of A-Z.
bool SameText(std::string_view a, std::string_view b);
