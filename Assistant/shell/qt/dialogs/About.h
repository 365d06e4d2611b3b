#pragma once
// TfrmAbout: the installed application version and one line per installed module library.
#include "shell/qt/dialogs/RegisteredWindow.h"

#include <QDialog>

#include <memory>
#include <string>

namespace Ui {
class TfrmAbout;
}

class TfrmAbout : public QDialog {
    Q_OBJECT
public:
    explicit TfrmAbout(QWidget* parent = nullptr);
    ~TfrmAbout() override;

    void setAppFileDir(const std::string& folder);

    std::string appFileDir;

public slots:
    void btn1Click();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void FormShow();

    const std::unique_ptr<Ui::TfrmAbout> ui; // the controls, from About.ui
    std::unique_ptr<RegisteredWindow> registration_;
};
