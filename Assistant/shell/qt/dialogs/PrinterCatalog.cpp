#include "shell/qt/dialogs/PrinterCatalog.h"

#include "base/ProcessWide.h"

#include <QPageSize>
#include <QPrinterInfo>

void PrinterCatalog::load()
{
    if (loaded_)
        return;
    loaded_ = true;
    names_ = QPrinterInfo::availablePrinterNames();
    const QString systemDefault = QPrinterInfo::defaultPrinterName();
    current_ = !systemDefault.isEmpty() && names_.contains(systemDefault) ? systemDefault
               : names_.isEmpty()                            ? QString()
                                                             : names_.front();
}

bool PrinterCatalog::hasPrinters()
{
    load();
    return !names_.isEmpty();
}

QStringList PrinterCatalog::printerNames()
{
    load();
    return names_;
}

QString PrinterCatalog::systemDefaultPrinter()
{
    load();
    if (names_.isEmpty())
        return {};
    // Asked afresh each time, unlike the list and the current printer.
    const QString now = QPrinterInfo::defaultPrinterName();
    return now.isEmpty() ? current_ : now;
}

QString PrinterCatalog::currentPrinter()
{
    load();
    return current_;
}

TPaperInfos PrinterCatalog::papers()
{
    TPaperInfos out;
    const QString name = currentPrinter();
    if (name.isEmpty())
        return out;
    const QPrinterInfo info = QPrinterInfo::printerInfo(name);
    for (const QPageSize& size : info.supportedPageSizes())
        out.push_back({size.name(), static_cast<std::uint16_t>(size.windowsId())});
    return out;
}

std::uint16_t PrinterCatalog::currentPaperId()
{
    const QString name = currentPrinter();
    if (name.isEmpty())
        return 0;
    return static_cast<std::uint16_t>(QPrinterInfo::printerInfo(name).defaultPageSize().windowsId());
}

PrinterCatalog& printerCatalog()
{
    return kx::processWide<PrinterCatalog>();
}

void resetPrinterCatalog()
{
    kx::resetProcessWide<PrinterCatalog>();
}
