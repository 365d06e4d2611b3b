#pragma once
// The installed printers as the print settings dialog sees them on Windows. The list and the
// program's current printer are determined the first time they are needed and kept for the life
// of the process (a printer installed later is offered after a restart).
#include <windows.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kx::win {

// A paper name as the driver reports it: 64 wide characters, zero-padded (DC_PAPERNAMES).
using TPaperName = std::array<wchar_t, 64>;

struct TPaperInfo {
    TPaperName papername{};
    std::uint16_t paperID = 0; // the DEVMODE paper size code (DC_PAPERS)

    // The name up to its first zero character (all 64 when it has none).
    std::wstring name() const;
};
using TPaperInfos = std::vector<TPaperInfo>;

// Pairs the driver's paper names (64 characters each) with its paper numbers by position. Raises
// KxError "DeviceCapabilities reports different number of papers and  paper names!" when the
// counts differ.
TPaperInfos pairPapers(const std::vector<TPaperName>& names, const std::vector<WORD>& ids);

class PrinterCatalog {
public:
    bool hasPrinters();
    // Local printers and printer connections in the order the system lists them.
    std::vector<std::wstring> printerNames();
    // The system's default printer now (GetDefaultPrinterW); the current printer when the system
    // names none; empty when no printer is installed.
    std::wstring systemDefaultPrinter();
    // The printer that was the system's default when first needed (the first listed when the
    // default is not among the installed printers).
    std::wstring currentPrinter();
    // The current printer's papers in driver order. Raises KxError when the driver's counts of
    // names and numbers differ.
    TPaperInfos papers();
    // The paper size code of the current printer's device settings (0 when unknown).
    std::uint16_t currentPaperId();

private:
    void load();

    bool loaded_ = false;
    std::vector<std::wstring> names_;
    std::wstring current_;
};

// The process-wide catalogue. resetPrinterCatalog makes the next use look again (tests).
PrinterCatalog& printerCatalog();
void resetPrinterCatalog();

} // namespace kx::win
