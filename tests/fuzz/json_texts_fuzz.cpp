// The JSON derivations of a request document: the module config and data texts (strict and
// lenient), compact writing (of a parsed document and in one pass over a module result), and the
// lenient reader and writer. The first input byte picks the path. Properties: every text handed
// to a module parses again; the one-pass compact form means what the text means to the strict reader; the lenient
// writer's text reads back to what it was written from.
#include "FuzzInput.h"

#include "bridge/CompactJson.h"
#include "bridge/LenientJson.h"
#include "bridge/ModuleTexts.h"

using namespace kx;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 4) {
    case 0: {
        const DerivedText config = buildModuleConfig(text, "/opt/kestrix");
        if (config.outcome == DerivedText::Outcome::Text)
            KX_FUZZ_CHECK(parseStrictJson(config.text).has_value());
        const DerivedText moduleData = extractModuleData(text);
        if (moduleData.outcome == DerivedText::Outcome::Text)
            KX_FUZZ_CHECK(parseStrictJson(moduleData.text).has_value());
        break;
    }
    case 1:
        (void)extractModuleDataLenient(text);
        break;
    case 2: {
        std::string out = "prefix";
        if (appendCompactObject(out, text)) {
            // Numbers are kept as written, so one beyond the range of a double (1e550) passes here
            // while the strict reader refuses it; then it refuses the compact form too.
            const auto original = parseStrictJson(text);
            const auto compact = parseStrictJson(out.substr(6));
            KX_FUZZ_CHECK(original.has_value() == compact.has_value());
            if (original) {
                KX_FUZZ_CHECK(*original == *compact);
                KX_FUZZ_CHECK(compactJson(*original) == compactJson(*compact));
            }
        } else {
            KX_FUZZ_CHECK(out == "prefix");
        }
        break;
    }
    case 3: {
        const auto value = parseLenientJson(text);
        if (value) {
            const std::string written = writeLenientJson(*value);
            const auto again = parseLenientJson(written);
            KX_FUZZ_CHECK(again.has_value());
            KX_FUZZ_CHECK(writeLenientJson(*again) == written);
        }
        break;
    }
    }
    return 0;
}
