#pragma once
// TfrmAbout: the installed application version and one line per installed module library.
#include "settings/RegisteredWindow.h"

#include <QDialog>

#include <memory>
#include <string>

class QLabel;
class QListWidget;
class QPushButton;

class TfrmAbout : public QDialog {
    Q_OBJECT
public:
    explicit TfrmAbout(QWidget* parent = nullptr);
    ~TfrmAbout() override;

    void setAppFileDir(const std::string& folder);

    std::string appFileDir;

    QWidget* pnl1 = nullptr;
    QLabel* imgIcon = nullptr;
    QLabel* lblVer = nullptr;
    QLabel* lblDll = nullptr;
    QListWidget* lstDllVer = nullptr;
    QLabel* lblCompany = nullptr;
    QLabel* lblCopyright = nullptr;
    QPushButton* btn1 = nullptr;

public slots:
    void btn1Click();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void FormShow();

    std::unique_ptr<RegisteredWindow> registration_;
};
