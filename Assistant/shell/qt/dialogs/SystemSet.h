#pragma once
// TfrmSysSet: shows the service address and port, edits the update interval and the
// start-with-system flag.
#include "shell/qt/dialogs/RegisteredWindow.h"

#include <QDialog>

#include <memory>
#include <string>

class QKeyEvent;

namespace Ui {
class TfrmSysSet;
}

class TfrmSysSet : public QDialog {
    Q_OBJECT
public:
    explicit TfrmSysSet(QWidget* parent = nullptr);
    ~TfrmSysSet() override;

    void setAppFileDir(const std::string& folder);

    std::string appFileDir;

    // The text in the interval box (read by the main window after the dialog closed).
    QString intervalText() const;

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

    const std::unique_ptr<Ui::TfrmSysSet> ui; // the controls, from SystemSet.ui
    std::unique_ptr<RegisteredWindow> registration_;
};
