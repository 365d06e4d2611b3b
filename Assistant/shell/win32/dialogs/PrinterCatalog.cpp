#include "shell/win32/dialogs/PrinterCatalog.h"

#include "base/ProcessWide.h"
#include "common/Errors.h"

#include <winspool.h>

#include <algorithm>
#include <memory>

namespace kx::win {

namespace {

std::vector<std::wstring> enumeratePrinters()
{
    constexpr DWORD flags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
    std::vector<std::wstring> out;
    DWORD needed = 0;
    DWORD count = 0;
    EnumPrintersW(flags, nullptr, 4, nullptr, 0, &needed, &count);
    if (needed == 0)
        return out;
    std::vector<BYTE> buffer(needed);
    if (!EnumPrintersW(flags, nullptr, 4, buffer.data(), needed, &needed, &count))
        return out;
    const auto* info = reinterpret_cast<const PRINTER_INFO_4W*>(buffer.data());
    for (DWORD i = 0; i < count; ++i)
        if (info[i].pPrinterName)
            out.emplace_back(info[i].pPrinterName);
    return out;
}

std::wstring defaultPrinter()
{
    wchar_t name[1024];
    DWORD size = 1024;
    if (!GetDefaultPrinterW(name, &size))
        return {};
    return name;
}

// An open printer, closed when it goes.
struct PrinterHandle {
    explicit PrinterHandle(const std::wstring& name)
    {
        if (!OpenPrinterW(const_cast<wchar_t*>(name.c_str()), &handle, nullptr))
            handle = nullptr;
    }
    ~PrinterHandle()
    {
        if (handle)
            ClosePrinter(handle);
    }
    PrinterHandle(const PrinterHandle&) = delete;
    PrinterHandle& operator=(const PrinterHandle&) = delete;
    HANDLE handle = nullptr;
};

std::wstring portOf(const std::wstring& printer)
{
    PrinterHandle p(printer);
    if (!p.handle)
        return {};
    DWORD needed = 0;
    GetPrinterW(p.handle, 2, nullptr, 0, &needed);
    if (needed == 0)
        return {};
    std::vector<BYTE> buffer(needed);
    if (!GetPrinterW(p.handle, 2, buffer.data(), needed, &needed))
        return {};
    const auto* info = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data());
    return info->pPortName ? info->pPortName : L"";
}

void checkPaperCounts(long long names, long long ids)
{
    if (names != ids)
        throw KxError("Exception", "DeviceCapabilities reports different number of papers and  paper names!");
}

} // namespace

std::wstring TPaperInfo::name() const
{
    const auto end = std::find(papername.begin(), papername.end(), L'\0');
    return std::wstring(papername.begin(), end);
}

TPaperInfos pairPapers(const std::vector<TPaperName>& names, const std::vector<WORD>& ids)
{
    checkPaperCounts(static_cast<long long>(names.size()), static_cast<long long>(ids.size()));
    TPaperInfos out(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        out[i].papername = names[i];
        out[i].paperID = ids[i];
    }
    return out;
}

void PrinterCatalog::load()
{
    if (loaded_)
        return;
    loaded_ = true;
    names_ = enumeratePrinters();
    const std::wstring systemDefault = defaultPrinter();
    if (!systemDefault.empty() && std::find(names_.begin(), names_.end(), systemDefault) != names_.end())
        current_ = systemDefault;
    else if (!names_.empty())
        current_ = names_.front();
}

bool PrinterCatalog::hasPrinters()
{
    load();
    return !names_.empty();
}

std::vector<std::wstring> PrinterCatalog::printerNames()
{
    load();
    return names_;
}

std::wstring PrinterCatalog::systemDefaultPrinter()
{
    load();
    if (names_.empty())
        return {};
    // Asked afresh each time, unlike the list and the current printer.
    const std::wstring now = defaultPrinter();
    return now.empty() ? current_ : now;
}

std::wstring PrinterCatalog::currentPrinter()
{
    load();
    return current_;
}

TPaperInfos PrinterCatalog::papers()
{
    const std::wstring device = currentPrinter();
    if (device.empty())
        return {};
    const std::wstring port = portOf(device);
    const int nameCount = DeviceCapabilitiesW(device.c_str(), port.c_str(), DC_PAPERNAMES, nullptr, nullptr);
    const int idCount = DeviceCapabilitiesW(device.c_str(), port.c_str(), DC_PAPERS, nullptr, nullptr);
    checkPaperCounts(nameCount, idCount);
    if (nameCount <= 0)
        return {};
    std::vector<TPaperName> names(static_cast<std::size_t>(nameCount));
    std::vector<WORD> ids(static_cast<std::size_t>(idCount));
    const int gotNames =
        DeviceCapabilitiesW(device.c_str(), port.c_str(), DC_PAPERNAMES, names.front().data(), nullptr);
    const int gotIds =
        DeviceCapabilitiesW(device.c_str(), port.c_str(), DC_PAPERS, reinterpret_cast<wchar_t*>(ids.data()), nullptr);
    names.resize(static_cast<std::size_t>(std::clamp(gotNames, 0, nameCount)));
    ids.resize(static_cast<std::size_t>(std::clamp(gotIds, 0, idCount)));
    return pairPapers(names, ids);
}

std::uint16_t PrinterCatalog::currentPaperId()
{
    const std::wstring device = currentPrinter();
    if (device.empty())
        return 0;
    PrinterHandle p(device);
    if (!p.handle)
        return 0;
    wchar_t* name = const_cast<wchar_t*>(device.c_str());
    const LONG size = DocumentPropertiesW(nullptr, p.handle, name, nullptr, nullptr, 0);
    if (size < static_cast<LONG>(sizeof(DEVMODEW)))
        return 0;
    std::vector<BYTE> buffer(static_cast<std::size_t>(size));
    auto* mode = reinterpret_cast<DEVMODEW*>(buffer.data());
    if (DocumentPropertiesW(nullptr, p.handle, name, mode, nullptr, DM_OUT_BUFFER) != IDOK)
        return 0;
    return (mode->dmFields & DM_PAPERSIZE) ? static_cast<std::uint16_t>(mode->dmPaperSize) : 0;
}

PrinterCatalog& printerCatalog()
{
    return kx::processWide<PrinterCatalog>();
}

void resetPrinterCatalog()
{
    kx::resetProcessWide<PrinterCatalog>();
}

} // namespace kx::win
