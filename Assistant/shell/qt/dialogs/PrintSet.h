#pragma once
// TfrmPrintSet: printer, paper, orientation, margins and offsets per bill code, stored in
// data/json/print.json.
#include "common/Config.h"
#include "shell/qt/dialogs/RegisteredWindow.h"

#include <QDialog>

#include <memory>
#include <string>

class QWidget;

namespace Ui {
class TfrmPrintSet;
}

class TfrmPrintSet : public QDialog {
    Q_OBJECT
public:
    explicit TfrmPrintSet(QWidget* parent = nullptr);
    ~TfrmPrintSet() override;

    void setAppFileDir(const std::string& folder);

    // The system's default printer; with no printer installed, says so in a box and gives "".
    QString defaultPrinterName();

    std::string appFileDir;
    std::string appId;
    kx::Json moduleObject; // bill code -> module name of the codes offered


public slots:
    void cbbBillCodeChange(const QString& code);
    void btnOkClick();
    void btnCloseClick();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void FormShow();
    // Fills printers, papers and the nine fields for a code; false when the dialog has to end.
    bool showCode(const QString& code);
    void fillPaperList();
    void endDialog();

    const std::unique_ptr<Ui::TfrmPrintSet> ui; // the controls, from PrintSet.ui
    std::unique_ptr<RegisteredWindow> registration_;
    bool ending_ = false;
};
