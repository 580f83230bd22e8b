// Misbehaviour on request: error pages, stalls and cut bodies for chosen request targets.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace gallery {

enum class KnobKind { Error, Stall, Truncate };

struct Knob {
    KnobKind kind = KnobKind::Error;
    std::string target;  // path and query; a trailing "*" matches every target with that prefix
    int code = 500;      // Error: the reply code; 0 = the gallery's "Client Error" page
    long after = -1;     // Stall, Truncate: body bytes sent first (-1: Stall sends nothing, Truncate half)
    int times = -1;      // how many matching requests it spoils; -1 = all of them

    bool Matches(const std::string& requestTarget) const;
};

// "TARGET[,code=C|client][,after=N][,times=N]"; throws std::invalid_argument with a usage text.
Knob ParseKnob(KnobKind kind, const std::string& text);

// The knobs of one server run, shared by its connection threads.
class KnobTable {
public:
    explicit KnobTable(std::vector<Knob> knobs) : knobs_(std::move(knobs)) {}

    // The first knob that matches and has uses left; using it counts against its times.
    std::optional<Knob> Take(const std::string& target);

private:
    std::mutex mutex_;
    std::vector<Knob> knobs_;
};

}  // namespace gallery
