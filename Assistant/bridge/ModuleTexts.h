#pragma once
// The two texts a module receives, derived from the request document: the module config text
// {"appId","appFileDir"} and the module data text (the first element of "data"); and the
// document's agency flag. RequestDocument reads a document once for all three.
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

// How the data text is taken: Strict (the JSON reader) or Lenient (the camera and smart-card
// form: lenient reader, a string element handed on bare).
enum class DataForm { Strict, Lenient };

// A business request's document read once: the config text, the data text in the given form, and
// the agency flag, handed down from the endpoint to the module call.
class RequestDocument {
public:
    RequestDocument(const std::string& document, const std::string& programFolder, DataForm form);

    const DerivedText& config() const { return config_; }
    const DerivedText& data() const { return data_; }
    // The config member "agency3intfc" as a flag: JSON true, a non-zero number or exactly "true".
    // Raises KxError when the document is neither blank nor a JSON object, when its "config" is
    // present and neither an object nor null, or when the flag is null, an array or an object.
    bool agencyFlag() const;

private:
    DerivedText config_;
    DerivedText data_;
    bool agency_ = false;
    std::string agencyErrorClass_; // set when reading the flag raises
    std::string agencyError_;
};

// Each text alone (the same rules as RequestDocument).
DerivedText buildModuleConfig(const std::string& request, const std::string& programFolder);
DerivedText extractModuleData(const std::string& request);
DerivedText extractModuleDataLenient(const std::string& request);
bool readAgencyFlag(const std::string& requestDocument);

} // namespace kx
