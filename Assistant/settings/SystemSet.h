#pragma once
// TfrmSysSet: shows the service address and port, edits the update interval and the
// start-with-system flag.
#include "settings/RegisteredWindow.h"

#include <QDialog>

#include <memory>
#include <string>

class QCheckBox;
class QGroupBox;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QPushButton;

class TfrmSysSet : public QDialog {
    Q_OBJECT
public:
    explicit TfrmSysSet(QWidget* parent = nullptr);
    ~TfrmSysSet() override;

    void setAppFileDir(const std::string& folder);

    std::string appFileDir;

    QWidget* pnlMain = nullptr;
    QGroupBox* grpSet = nullptr;
    QLabel* lblServerIP = nullptr;
    QLabel* lblIp = nullptr;
    QLabel* lblServerPort = nullptr;
    QLabel* lblPort = nullptr;
    QCheckBox* chkAutoRun = nullptr;
    QLabel* lblInterval = nullptr;
    QLineEdit* edtInterval = nullptr;
    QLabel* lblMinute = nullptr;
    QLabel* lblHint = nullptr;
    QPushButton* btnOk = nullptr;
    QPushButton* btnClose = nullptr;

public slots:
    void btnOkClick();
    void btnCloseClick();

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FormShow();
    // The interval box's character filter; true when the key is swallowed.
    bool edtIntervalKeyPress(QKeyEvent* event);
    // False when sys.ini could not be written (the error has been shown).
    bool save();
    void resetInterval();

    std::unique_ptr<RegisteredWindow> registration_;
};
