#include "Knobs.h"

#include <charconv>
#include <stdexcept>

namespace gallery {

namespace {

long ParseCount(const std::string& name, const std::string& value, long minimum)
{
    long number = 0;
    const char* end = value.data() + value.size();
    auto [ptr, ec] = std::from_chars(value.data(), end, number);
    if (ec != std::errc() || ptr != end || value.empty() || number < minimum)
        throw std::invalid_argument("bad value for " + name + ": '" + value + "'");
    return number;
}

void ApplyField(Knob& knob, const std::string& field)
{
    const std::size_t eq = field.find('=');
    if (eq == std::string::npos) throw std::invalid_argument("expected name=value, got '" + field + "'");
    const std::string name = field.substr(0, eq);
    const std::string value = field.substr(eq + 1);
    if (name == "times") {
        knob.times = static_cast<int>(ParseCount(name, value, 1));
    } else if (name == "code" && knob.kind == KnobKind::Error) {
        knob.code = value == "client" ? 0 : static_cast<int>(ParseCount(name, value, 100));
        if (knob.code > 999) throw std::invalid_argument("bad value for code: '" + value + "'");
    } else if (name == "after" && knob.kind != KnobKind::Error) {
        knob.after = ParseCount(name, value, 0);
    } else {
        throw std::invalid_argument("unknown field '" + name + "'");
    }
}

}  // namespace

bool Knob::Matches(const std::string& requestTarget) const
{
    if (!target.empty() && target.back() == '*')
        return requestTarget.compare(0, target.size() - 1, target, 0, target.size() - 1) == 0;
    return requestTarget == target;
}

Knob ParseKnob(KnobKind kind, const std::string& text)
{
    Knob knob;
    knob.kind = kind;
    std::size_t comma = text.find(',');
    knob.target = text.substr(0, comma);
    if (knob.target.empty() || knob.target.front() != '/')
        throw std::invalid_argument("the target must be a path beginning with '/', got '" + knob.target + "'");
    while (comma != std::string::npos) {
        const std::size_t next = text.find(',', comma + 1);
        ApplyField(knob, text.substr(comma + 1, next == std::string::npos ? std::string::npos : next - comma - 1));
        comma = next;
    }
    return knob;
}

std::optional<Knob> KnobTable::Take(const std::string& target)
{
    std::lock_guard lock(mutex_);
    for (Knob& knob : knobs_) {
        if (knob.times == 0 || !knob.Matches(target)) continue;
        if (knob.times > 0) --knob.times;
        return knob;
    }
    return std::nullopt;
}

}  // namespace gallery
