#include "shell/qt/dialogs/SystemSet.h"

#include "common/AutoRun.h"
#include "common/Config.h"
#include "common/IntervalFilter.h"
#include "common/Prompter.h"
#include "common/SystemSettings.h"
#include "shell/qt/dialogs/DialogLook.h"
#include "ui_SystemSet.h"

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

TfrmSysSet::TfrmSysSet(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::TfrmSysSet>())
{
    applyDialogLook(this, 445, 224);
    ui->setupUi(this);
    applyAutoSize(this);
    ui->edtInterval->installEventFilter(this);

    connect(ui->btnOk, &QPushButton::clicked, this, &TfrmSysSet::btnOkClick);
    connect(ui->btnClose, &QPushButton::clicked, this, &TfrmSysSet::btnCloseClick);

    registration_ = std::make_unique<RegisteredWindow>(this, "TfrmSysSet", "系统设置");
}

TfrmSysSet::~TfrmSysSet() = default;

void TfrmSysSet::setAppFileDir(const std::string& folder)
{
    appFileDir = folder;
}

QString TfrmSysSet::intervalText() const
{
    return ui->edtInterval->text();
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
    ui->lblIp->setText(QString::fromStdString(readSysIni("HTTP", "server.ip", "127.0.0.1", appFileDir)));
    ui->lblPort->setText(QString::fromStdString(readSysIni("HTTP", "server.port", "13526", appFileDir)));
    // Shown as read: an empty value stays empty here.
    ui->edtInterval->setText(
        QString::fromStdString(readSysIni("APP", "application.upgrade.timer.interval", "8", appFileDir)));
    try {
        ui->chkAutoRun->setChecked(readAutoRun() == 1);
    } catch (const std::exception& e) {
        ui->chkAutoRun->setChecked(false);
        showMessage(e.what(), BoxIcon::Error);
    }
}

bool TfrmSysSet::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == ui->edtInterval && event->type() == QEvent::KeyPress)
        return edtIntervalKeyPress(static_cast<QKeyEvent*>(event));
    return QDialog::eventFilter(watched, event);
}

bool TfrmSysSet::edtIntervalKeyPress(QKeyEvent* event)
{
    const char32_t key = typedCharacter(event);
    if (key == 0)
        return false;
    const QString typed = key == kBackspace ? QString() : QString::fromUcs4(&key, 1);
    const QString text = ui->edtInterval->text();
    QString wouldBe;
    if (ui->edtInterval->hasSelectedText()) {
        const int start = ui->edtInterval->selectionStart();
        wouldBe = text.left(start) + typed + text.mid(start + ui->edtInterval->selectedText().size());
    } else {
        wouldBe = text + typed;
    }
    const IntervalKeyVerdict verdict = filterIntervalKey(wouldBe.toStdString(), key);
    if (verdict.clearBox)
        ui->edtInterval->clear();
    ui->lblHint->setText(QString::fromStdString(verdict.hint));
    return !verdict.accept; // an accepted key is entered (or deletes) by the box itself
}

bool TfrmSysSet::save()
{
    try {
        saveSystemSettings(appFileDir, ui->edtInterval->text().toStdString(), ui->chkAutoRun->isChecked());
        return true;
    } catch (const std::exception& e) {
        showMessage(e.what(), BoxIcon::Error);
        return false;
    }
}

void TfrmSysSet::resetInterval()
{
    ui->edtInterval->setText(QString::fromStdString(storedUpdateInterval(appFileDir)));
}

void TfrmSysSet::btnOkClick()
{
    if (showMessage("确定要保存当前系统设置吗？", BoxIcon::Question, BoxButtons::YesNo, kAnswerYes) == kAnswerYes) {
        if (save())
            accept();
    } else {
        resetInterval();
    }
}

void TfrmSysSet::btnCloseClick()
{
    if (showMessage("是否要保存当前系统设置？", BoxIcon::Question, BoxButtons::YesNo, kAnswerYes) == kAnswerYes) {
        if (save())
            accept();
    } else {
        resetInterval();
        reject();
    }
}
