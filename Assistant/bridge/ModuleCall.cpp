#include "bridge/ModuleCall.h"

#include "base/LibraryConventions.h"
#include "bridge/JsonScan.h"
#include "bridge/RuntimeForm.h"
#include "common/TextCodec.h"
#include "platform/FaultGuard.h"
#include "platform/ZeroedMemory.h"

#include <exception>
#include <memory>
#include <string_view>

namespace kx {

namespace {

// A zero-filled result buffer: a page the module never writes costs no memory.
class ResultBuffer {
public:
    explicit ResultBuffer(std::size_t units)
        : units_(units), data_(static_cast<char16_t*>(platform::acquireZeroed(units * sizeof(char16_t))))
    {
        if (!data_)
            throw std::bad_alloc();
    }
    ~ResultBuffer() { platform::releaseZeroed(data_, units_ * sizeof(char16_t)); }
    ResultBuffer(const ResultBuffer&) = delete;
    ResultBuffer& operator=(const ResultBuffer&) = delete;
    char16_t* get() const { return data_; }

private:
    std::size_t units_;
    char16_t* data_;
};

// The position of the first NUL unit, npos when there is none; a word at a time, as results run
// to tens of megabytes.
std::size_t findNul(std::u16string_view units)
{
    using W = jsonscan::Words<char16_t>;
    std::size_t pos = 0;
    while (pos + W::kUnits <= units.size() && !W::anyBelow(W::load(units.data() + pos), 1))
        pos += W::kUnits;
    return units.find(u'\0', pos);
}

// The buffer's text before the first NUL, left in the buffer; empty when there is no NUL.
ModuleResult textBeforeNul(std::shared_ptr<ResultBuffer> buffer, std::size_t units)
{
    const std::u16string_view all(buffer->get(), units);
    const auto nul = findNul(all);
    if (nul == 0 || nul == std::u16string_view::npos)
        return ModuleResult();
    return ModuleResult(std::move(buffer), all.substr(0, nul));
}

// The C form and the agency form as the platform's library calling convention sees them.
using CFormFunction = void(KX_LIBRARY_CALL*)(const char16_t* data, const char16_t* config, char16_t* result);
using AgencyFunction = void(KX_LIBRARY_CALL*)(const char16_t* params, char16_t* result);

// What a guarded call leaves behind. Filled by the trampolines, which keep no objects of their
// own across the module call (a fault abandons their frames).
struct Call {
    void* entry = nullptr;
    const char16_t* a = nullptr;
    const char16_t* b = nullptr;
    char16_t* buffer = nullptr;
    void* object = nullptr;
    CallOutcome::Kind failure = CallOutcome::Kind::Result;
    std::string message;
};

void cFormTrampoline(void* p)
{
    auto* call = static_cast<Call*>(p);
    try {
        reinterpret_cast<CFormFunction>(call->entry)(call->a, call->b, call->buffer);
    } catch (const std::exception& e) {
        call->failure = CallOutcome::Kind::Error;
        call->message = e.what();
    } catch (...) {
        call->failure = CallOutcome::Kind::Escaped;
    }
}

void agencyTrampoline(void* p)
{
    auto* call = static_cast<Call*>(p);
    try {
        reinterpret_cast<AgencyFunction>(call->entry)(call->a, call->buffer);
    } catch (const std::exception& e) {
        call->failure = CallOutcome::Kind::Error;
        call->message = e.what();
    } catch (...) {
        call->failure = CallOutcome::Kind::Escaped;
    }
}

void runtimeTrampoline(void* p)
{
    auto* call = static_cast<Call*>(p);
    call->object = reinterpret_cast<runtimeform::Function>(call->entry)(call->a, call->b);
}

struct StreamRead {
    const void* object = nullptr;
    runtimeform::StreamRead status = runtimeform::StreamRead::Unreadable;
    std::string text;
};

void streamTrampoline(void* p)
{
    auto* read = static_cast<StreamRead*>(p);
    read->status = runtimeform::readStringStream(read->object, read->text);
}

// Runs a trampoline under the fault guard and turns what happened into an outcome.
bool guarded(void (*trampoline)(void*), void* context, CallOutcome& failed)
{
    std::string fault;
    if (!platform::runFaultGuarded(trampoline, context, fault)) {
        // A processor fault becomes an error naming it; an exception of the library's runtime
        // whose message cannot be read is a failure that escaped (the library is freed).
        failed = fault.empty() ? CallOutcome{} : CallOutcome::error(fault);
        return false;
    }
    return true;
}

CallOutcome finishBufferCall(Call& call, std::shared_ptr<ResultBuffer> buffer, std::size_t units)
{
    if (call.failure == CallOutcome::Kind::Error)
        return CallOutcome::error(call.message);
    if (call.failure == CallOutcome::Kind::Escaped)
        return {};
    return CallOutcome::success(textBeforeNul(std::move(buffer), units));
}

} // namespace

CallOutcome callCForm(void* entry, const std::string& data, const std::string& config, std::size_t resultUnits)
{
    const std::u16string data16 = utf8ToUtf16(data);
    const std::u16string config16 = utf8ToUtf16(config);
    auto buffer = std::make_shared<ResultBuffer>(resultUnits);
    Call call;
    call.entry = entry;
    call.a = data16.c_str();
    call.b = config16.c_str();
    call.buffer = buffer->get();
    CallOutcome failed;
    if (!guarded(cFormTrampoline, &call, failed))
        return failed;
    return finishBufferCall(call, std::move(buffer), resultUnits);
}

CallOutcome callAgencyForm(void* entry, const std::string& params)
{
    const std::u16string params16 = utf8ToUtf16(params);
    auto buffer = std::make_shared<ResultBuffer>(kResultUnits);
    Call call;
    call.entry = entry;
    call.a = params16.c_str();
    call.buffer = buffer->get();
    CallOutcome failed;
    if (!guarded(agencyTrampoline, &call, failed))
        return failed;
    return finishBufferCall(call, std::move(buffer), kResultUnits);
}

CallOutcome callRuntimeForm(void* entry, const std::string& data, const std::string& config)
{
    const runtimeform::ConstString data16(utf8ToUtf16(data));
    const runtimeform::ConstString config16(utf8ToUtf16(config));
    Call call;
    call.entry = entry;
    call.a = data16.get();
    call.b = config16.get();
    CallOutcome failed;
    if (!guarded(runtimeTrampoline, &call, failed))
        return failed;
    StreamRead read;
    read.object = call.object;
    if (!guarded(streamTrampoline, &read, failed))
        return failed;
    switch (read.status) {
    case runtimeform::StreamRead::Ok:
        return CallOutcome::success(ModuleResult(std::move(read.text)));
    case runtimeform::StreamRead::NoObject:
        return CallOutcome::error("Access violation: the module function returned no object");
    case runtimeform::StreamRead::Unreadable:
        break;
    }
    return CallOutcome::error("Invalid stream object returned by the module function");
}

} // namespace kx
