#pragma once
// TfrmPrintSet: printer, paper, orientation, margins and offsets per bill code, stored in
// data/json/print.json.
#include "common/Config.h"
#include "settings/RegisteredWindow.h"

#include <QDialog>

#include <memory>
#include <string>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

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

    QWidget* pnlMain = nullptr;
    QGroupBox* grpSet = nullptr;
    QLabel* lblBillCode = nullptr;
    QComboBox* cbbBillCode = nullptr;
    QLabel* lbl11 = nullptr;
    QLabel* lblModuleName = nullptr;
    QGroupBox* grpPrinter = nullptr;
    QLabel* lblPrinter = nullptr;
    QComboBox* cbbPrinter = nullptr;
    QLabel* lblPaper = nullptr;
    QComboBox* cbbPaper = nullptr;
    QLabel* lblDirection = nullptr;
    QComboBox* cbbDirection = nullptr;
    QGroupBox* grpMargin = nullptr;
    QLabel* lblUpMargin = nullptr;
    QLineEdit* edtUpMargin = nullptr;
    QLabel* lblDownMargin = nullptr;
    QLineEdit* edtDownMargin = nullptr;
    QLabel* lblLeftMargin = nullptr;
    QLineEdit* edtLeftMargin = nullptr;
    QLabel* lblRightMargin = nullptr;
    QLineEdit* edtRightMargin = nullptr;
    QGroupBox* grpOffset = nullptr;
    QLabel* lblOffsetX = nullptr;
    QLineEdit* edtOffsetX = nullptr;
    QLabel* lblOffsetY = nullptr;
    QLineEdit* edtOffsetY = nullptr;
    QPushButton* btnOk = nullptr;
    QPushButton* btnClose = nullptr;

    static constexpr const char* kCustomPaper = "(自定义纸张)";

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

    std::unique_ptr<RegisteredWindow> registration_;
    bool ending_ = false;
};
