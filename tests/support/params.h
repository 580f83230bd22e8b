// Value-parameterised tests whose cases carry a `name`: failures print the case by its name,
// and the generated test names are those names.
#pragma once

#include <ostream>
#include <string>

namespace support {

template <typename Case>
concept NamedCase = requires(const Case& c) { std::string(c.name); };

// GoogleTest finds it once `using support::PrintTo;` stands in the case type's namespace.
template <NamedCase Case>
void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.name;
}

// The name generator of INSTANTIATE_TEST_SUITE_P.
inline constexpr auto CaseName = [](const auto& info) { return std::string(info.param.name); };

}  // namespace support
