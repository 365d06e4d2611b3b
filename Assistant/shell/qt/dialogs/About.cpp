#include "shell/qt/dialogs/About.h"

#include "shell/qt/Resources.h"
#include "common/AboutInfo.h"
#include "common/Prompter.h"
#include "common/WindowMessages.h"
#include "shell/qt/dialogs/DialogLook.h"
#include "ui_About.h"

#include <QLabel>
#include <QListWidget>
#include <QPixmap>
#include <QPushButton>
#include <QShowEvent>

TfrmAbout::TfrmAbout(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::TfrmAbout>())
{
    applyDialogLook(this, 458, 256);
    ui->setupUi(this);
    applyAutoSize(this);
    kxEnsureResources();
    setWindowIcon(QIcon(QStringLiteral(":/icons/kestrix.png")));
    ui->imgIcon->setPixmap(QPixmap(QStringLiteral(":/icons/kestrix-large.png"))
                               .scaled(73, 73, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    QFont verFont = font();
    verFont.setPixelSize(13);
    ui->lblVer->setFont(verFont);

    connect(ui->btn1, &QPushButton::clicked, this, &TfrmAbout::btn1Click);

    registration_ = std::make_unique<RegisteredWindow>(this, "TfrmAbout", "关于");
}

TfrmAbout::~TfrmAbout() = default;

void TfrmAbout::setAppFileDir(const std::string& folder)
{
    appFileDir = folder;
}

void TfrmAbout::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TfrmAbout::FormShow()
{
    bringToFront(this);
    try {
        ui->lblVer->setText(QString::fromStdString(kx::aboutVersionCaption(appFileDir)));
        ui->lstDllVer->clear();
        for (const std::string& line : kx::aboutModuleLines(appFileDir))
            ui->lstDllVer->addItem(QString::fromStdString(line));
    } catch (const std::exception& e) {
        kx::showMessage(e.what(), kx::BoxIcon::Error);
    }
}

void TfrmAbout::btn1Click()
{
    accept();
}
