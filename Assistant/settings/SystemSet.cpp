#include "settings/SystemSet.h"

#include "common/AutoRun.h"
#include "common/Config.h"
#include "common/IntervalFilter.h"
#include "common/Prompter.h"
#include "common/SystemSettings.h"
#include "settings/DialogLook.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>

using namespace kx;

namespace {

bool isClipboardOrEditShortcut(const QKeyEvent* e)
{
    for (auto k : {QKeySequence::Paste, QKeySequence::Copy, QKeySequence::Cut, QKeySequence::SelectAll,
                   QKeySequence::Undo, QKeySequence::Redo})
        if (e->matches(k))
            return true;
    return false;
}

// The character a key press types, 0 when it types none (navigation, Delete, modifiers).
char32_t typedCharacter(const QKeyEvent* e)
{
    const int key = e->key();
    if (key == Qt::Key_Backspace)
        return kBackspace;
    if (key == Qt::Key_Delete || key == Qt::Key_Tab || key == Qt::Key_Backtab)
        return 0; // Tab and Shift+Tab move the focus; they type nothing
    if (key == Qt::Key_Return || key == Qt::Key_Enter)
        return U'\r';
    if (key == Qt::Key_Escape)
        return 0x1b;
    if ((e->modifiers() & Qt::ControlModifier) && key >= Qt::Key_A && key <= Qt::Key_Z)
        return static_cast<char32_t>(key - Qt::Key_A + 1); // Ctrl+V is character 22, and so on
    if (isClipboardOrEditShortcut(e))
        return 0x16;
    const QString text = e->text();
    if (text.isEmpty() || text == QStringLiteral("\x7f"))
        return 0;
    return text.toUcs4().value(0);
}

} // namespace

TfrmSysSet::TfrmSysSet(QWidget* parent) : QDialog(parent)
{
    setObjectName("frmSysSet");
    setWindowTitle(QString::fromUtf8("系统设置"));
    applyDialogLook(this, 445, 224);

    pnlMain = new QWidget(this);
    pnlMain->setObjectName("pnlMain");
    pnlMain->setGeometry(0, 0, 445, 224);

    grpSet = new QGroupBox(pnlMain);
    grpSet->setObjectName("grpSet");
    grpSet->setGeometry(10, 11, 311, 198);
    lblServerIP = label(grpSet, "lblServerIP", "服务地址", 36, 27);
    lblIp = label(grpSet, "lblIp", "127.0.0.1", 105, 27);
    lblServerPort = label(grpSet, "lblServerPort", "服务端口", 36, 62);
    lblPort = label(grpSet, "lblPort", "13526", 105, 62);
    for (QLabel* l : {lblIp, lblPort})
        l->resize(200, l->height());
    chkAutoRun = new QCheckBox(QString::fromUtf8("开机时自动启动客户端"), grpSet);
    chkAutoRun->setObjectName("chkAutoRun");
    chkAutoRun->setGeometry(105, 115, 152, 17);
    lblInterval = label(grpSet, "lblInterval", "自动更新时间间隔", 36, 169);
    edtInterval = new QLineEdit(grpSet);
    edtInterval->setObjectName("edtInterval");
    edtInterval->setGeometry(138, 161, 39, 21);
    edtInterval->installEventFilter(this);
    lblMinute = label(grpSet, "lblMinute", "时", 183, 169);
    lblHint = label(grpSet, "lblHint", "", 201, 164);
    lblHint->resize(105, 21);
    lblHint->setStyleSheet(QStringLiteral("color: red;"));

    btnOk = new QPushButton(QString::fromUtf8("确定"), pnlMain);
    btnOk->setObjectName("btnOk");
    btnOk->setGeometry(340, 35, 83, 25);
    btnOk->setAutoDefault(false);
    btnClose = new QPushButton(QString::fromUtf8("取消"), pnlMain);
    btnClose->setObjectName("btnClose");
    btnClose->setGeometry(340, 86, 83, 24);
    btnClose->setAutoDefault(false);

    setTabOrder(chkAutoRun, edtInterval);
    setTabOrder(edtInterval, btnOk);
    setTabOrder(btnOk, btnClose);

    connect(btnOk, &QPushButton::clicked, this, &TfrmSysSet::btnOkClick);
    connect(btnClose, &QPushButton::clicked, this, &TfrmSysSet::btnCloseClick);

    registration_ = std::make_unique<RegisteredWindow>(this, "TfrmSysSet", "系统设置");
}

TfrmSysSet::~TfrmSysSet() = default;

void TfrmSysSet::setAppFileDir(const std::string& folder)
{
    appFileDir = folder;
}

void TfrmSysSet::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TfrmSysSet::FormShow()
{
    bringToFront(this);
    lblIp->setText(QString::fromStdString(readSysIni("HTTP", "server.ip", "127.0.0.1", appFileDir)));
    lblPort->setText(QString::fromStdString(readSysIni("HTTP", "server.port", "13526", appFileDir)));
    // Shown as read: an empty value stays empty here.
    edtInterval->setText(
        QString::fromStdString(readSysIni("APP", "application.upgrade.timer.interval", "8", appFileDir)));
    try {
        chkAutoRun->setChecked(readAutoRun() == 1);
    } catch (const std::exception& e) {
        chkAutoRun->setChecked(false);
        showMessage(e.what(), BoxIcon::Error);
    }
}

bool TfrmSysSet::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == edtInterval && event->type() == QEvent::KeyPress)
        return edtIntervalKeyPress(static_cast<QKeyEvent*>(event));
    return QDialog::eventFilter(watched, event);
}

bool TfrmSysSet::edtIntervalKeyPress(QKeyEvent* event)
{
    const char32_t key = typedCharacter(event);
    if (key == 0)
        return false;
    const QString typed = key == kBackspace ? QString() : QString::fromUcs4(&key, 1);
    const QString text = edtInterval->text();
    QString wouldBe;
    if (edtInterval->hasSelectedText()) {
        const int start = edtInterval->selectionStart();
        wouldBe = text.left(start) + typed + text.mid(start + edtInterval->selectedText().size());
    } else {
        wouldBe = text + typed;
    }
    const IntervalKeyVerdict verdict = filterIntervalKey(wouldBe.toStdString(), key);
    if (verdict.clearBox)
        edtInterval->clear();
    lblHint->setText(QString::fromStdString(verdict.hint));
    return !verdict.accept; // an accepted key is entered (or deletes) by the box itself
}

bool TfrmSysSet::save()
{
    try {
        saveSystemSettings(appFileDir, edtInterval->text().toStdString(), chkAutoRun->isChecked());
        return true;
    } catch (const std::exception& e) {
        showMessage(e.what(), BoxIcon::Error);
        return false;
    }
}

void TfrmSysSet::resetInterval()
{
    edtInterval->setText(QString::fromStdString(storedUpdateInterval(appFileDir)));
}

void TfrmSysSet::btnOkClick()
{
    if (showMessage("确定要保存当前系统设置吗？", BoxIcon::Question, BoxButtons::YesNo, IDYES) == IDYES) {
        if (save())
            accept();
    } else {
        resetInterval();
    }
}

void TfrmSysSet::btnCloseClick()
{
    if (showMessage("是否要保存当前系统设置？", BoxIcon::Question, BoxButtons::YesNo, IDYES) == IDYES) {
        if (save())
            accept();
    } else {
        resetInterval();
        reject();
    }
}
