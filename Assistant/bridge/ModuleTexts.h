#pragma once
// The two texts a module receives, derived from the request document: the module config text
// {"appId","appFileDir"} and the module data text (the first element of "data").
#include <string>

namespace kx {

struct DerivedText {
    enum class Outcome { Malformed, Absent, Text };
    Outcome outcome = Outcome::Absent;
    std::string text; // set for Outcome::Text

    bool malformed() const { return outcome == Outcome::Malformed; }
    bool absent() const { return outcome == Outcome::Absent; }
    // The text, or "{}" when absent.
    std::string textOrEmptyObject() const { return outcome == Outcome::Text ? text : "{}"; }
};

DerivedText buildModuleConfig(const std::string& request, const std::string& programFolder);
DerivedText extractModuleData(const std::string& request);
// The camera and smart-card form: lenient reader, a string element handed on bare.
DerivedText extractModuleDataLenient(const std::string& request);

} // namespace kx
