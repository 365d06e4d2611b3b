#pragma once
// The installed printers as the print settings dialog sees them. The list and the program's
// current printer are determined the first time they are needed and kept for the life of the
// process (a printer installed later is offered after a restart).
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>

struct TPaperInfo {
    QString papername;      // as the printer reports it
    std::uint16_t paperID;  // the Windows paper number (DMPAPER_*), 0 when it has none
};
using TPaperInfos = QList<TPaperInfo>;

class PrinterCatalog {
public:
    bool hasPrinters();
    QStringList printerNames();
    // The system's default printer now; the current printer's name when no default is set;
    // empty when no printer is installed.
    QString systemDefaultPrinter();
    // The printer that was the system default when first needed (the first listed without one).
    QString currentPrinter();
    // The current printer's papers in the order the printer lists them.
    TPaperInfos papers();
    // The paper number of the current printer's own default page size (0 when unknown).
    std::uint16_t currentPaperId();

private:
    void load();

    bool loaded_ = false;
    QStringList names_;
    QString current_;
};

// The process-wide catalogue. Tests may install a fresh one to look again.
PrinterCatalog& printerCatalog();
void resetPrinterCatalog();
