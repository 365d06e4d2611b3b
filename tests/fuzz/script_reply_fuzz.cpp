// The script reply around a module result: id, prefix and result come from the input. Properties:
// a result that is refused raises KxError and nothing else; an accepted one gives the frame with
// a data object that parses, whose "id" is the id.
#include "FuzzInput.h"

#include "bridge/CompactJson.h"
#include "bridge/ScriptReply.h"
#include "common/Errors.h"
#include "common/TextCodec.h"

using namespace kx;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto parts = fuzz::splitInput(data, size, 3);
    const std::string id = utf16ToUtf8(utf8ToUtf16(parts[0]));
    const std::string& prefix = parts[1];
    const std::string& result = parts[2];
    std::string reply;
    try {
        reply = buildScriptReply(id, prefix, result);
    } catch (const KxError&) {
        return 0;
    }
    const std::string head = "<script>" + prefix + "var data=";
    const std::string tail = ";window.parent.postMessage(JSON.stringify(data), \"*\")</script>";
    KX_FUZZ_CHECK(reply.size() >= head.size() + tail.size());
    KX_FUZZ_CHECK(reply.compare(0, head.size(), head) == 0);
    KX_FUZZ_CHECK(reply.compare(reply.size() - tail.size(), tail.size(), tail) == 0);
    const auto object = parseStrictJson(reply.substr(head.size(), reply.size() - head.size() - tail.size()));
    KX_FUZZ_CHECK(object.has_value() && object->is_object());
    KX_FUZZ_CHECK(object->contains("id") && (*object)["id"] == id);
    return 0;
}
