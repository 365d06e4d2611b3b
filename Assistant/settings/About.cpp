#include "settings/About.h"

#include "Resources.h"
#include "common/AboutInfo.h"
#include "common/Prompter.h"
#include "common/WindowMessages.h"
#include "settings/DialogLook.h"

#include <QLabel>
#include <QListWidget>
#include <QPixmap>
#include <QPushButton>
#include <QShowEvent>

namespace {

QLabel* label(QWidget* parent, const char* name, const QString& text, int x, int y)
{
    auto* l = new QLabel(text, parent);
    l->setObjectName(name);
    l->adjustSize();
    l->move(x, y);
    return l;
}

} // namespace

TfrmAbout::TfrmAbout(QWidget* parent) : QDialog(parent)
{
    setObjectName("frmAbout");
    setWindowTitle(QString::fromUtf8("关于"));
    applyDialogLook(this, 458, 256);
    kxEnsureResources();
    setWindowIcon(QIcon(QStringLiteral(":/icons/kestrix.png")));

    pnl1 = new QWidget(this);
    pnl1->setObjectName("pnl1");
    pnl1->setGeometry(0, 0, 457, 318);

    imgIcon = new QLabel(pnl1);
    imgIcon->setObjectName("imgIcon");
    imgIcon->setGeometry(32, 32, 73, 81);
    imgIcon->setAlignment(Qt::AlignCenter);
    imgIcon->setPixmap(QPixmap(QStringLiteral(":/icons/kestrix-large.png"))
                           .scaled(73, 73, Qt::KeepAspectRatio, Qt::SmoothTransformation));

    lblVer = label(pnl1, "lblVer", QString::fromUtf8(kx::kApplicationTitle), 135, 32);
    QFont verFont = font();
    verFont.setPixelSize(13);
    lblVer->setFont(verFont);
    lblVer->resize(300, 18);
    lblDll = label(pnl1, "lblDll", QString::fromUtf8("组件版本："), 135, 61);
    lstDllVer = new QListWidget(pnl1);
    lstDllVer->setObjectName("lstDllVer");
    lstDllVer->setGeometry(135, 80, 298, 73);
    lstDllVer->setStyleSheet(QStringLiteral("QListWidget::item { height: 13px; }"));
    // A list to read, not to pick from: no line is selected or marked as the current one.
    lstDllVer->setSelectionMode(QAbstractItemView::NoSelection);
    lstDllVer->setFocusPolicy(Qt::NoFocus);
    lblCompany = label(pnl1, "lblCompany", QString::fromUtf8("Kestrix 客户端助手：网页与本机组件之间的桥梁"), 119, 176);
    lblCopyright = label(pnl1, "lblCopyright", QString::fromUtf8("Copyright © Kestrix. All rights reserved."), 88, 195);

    btn1 = new QPushButton(QString::fromUtf8("确定"), pnl1);
    btn1->setObjectName("btn1");
    btn1->setGeometry(358, 214, 75, 25);
    connect(btn1, &QPushButton::clicked, this, &TfrmAbout::btn1Click);

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
        lblVer->setText(QString::fromStdString(kx::aboutVersionCaption(appFileDir)));
        lstDllVer->clear();
        for (const std::string& line : kx::aboutModuleLines(appFileDir))
            lstDllVer->addItem(QString::fromStdString(line));
    } catch (const std::exception& e) {
        kx::showMessage(e.what(), kx::BoxIcon::Error);
    }
}

void TfrmAbout::btn1Click()
{
    accept();
}
