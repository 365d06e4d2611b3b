#include "shell/qt/dialogs/PrintSet.h"

#include "common/Prompter.h"
#include "common/PrintSettings.h"
#include "shell/qt/dialogs/DialogLook.h"
#include "shell/qt/dialogs/PrinterCatalog.h"
#include "ui_PrintSet.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QTimer>

using namespace kx;

namespace {

QString qs(const std::string& s)
{
    return QString::fromStdString(s);
}

std::string ss(const QString& s)
{
    return s.toStdString();
}

// A titled group's rows are laid out for a title band of kTitleBand pixels at the group's top (a
// title in 11-pixel characters). Where the style starts the group's inside lower, every row moves
// down by the difference, so that the frame runs above the first row instead of through it.
constexpr int kTitleBand = 14;

void fitRowsBelowTitle(QGroupBox* g)
{
    g->ensurePolished();
    const int shift = g->contentsRect().top() - kTitleBand;
    if (shift <= 0)
        return;
    for (QWidget* w : g->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        w->move(w->x(), w->y() + shift);
}

} // namespace

TfrmPrintSet::TfrmPrintSet(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::TfrmPrintSet>())
{
    applyDialogLook(this, 499, 370);
    ui->setupUi(this);
    applyAutoSize(this);
    for (QGroupBox* g : {ui->grpPrinter, ui->grpMargin, ui->grpOffset})
        fitRowsBelowTitle(g);

    connect(ui->cbbBillCode, &QComboBox::editTextChanged, this, &TfrmPrintSet::cbbBillCodeChange);
    connect(ui->btnOk, &QPushButton::clicked, this, &TfrmPrintSet::btnOkClick);
    connect(ui->btnClose, &QPushButton::clicked, this, &TfrmPrintSet::btnCloseClick);

    registration_ = std::make_unique<RegisteredWindow>(this, "TfrmPrintSet", "打印设置");
}

TfrmPrintSet::~TfrmPrintSet() = default;

void TfrmPrintSet::setAppFileDir(const std::string& folder)
{
    appFileDir = folder;
}

QString TfrmPrintSet::defaultPrinterName()
{
    PrinterCatalog& printers = printerCatalog();
    if (!printers.hasPrinters()) {
        showMessage("未找到打印机，请先安装打印机", BoxIcon::Question);
        return {};
    }
    return printers.systemDefaultPrinter();
}

void TfrmPrintSet::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TfrmPrintSet::FormShow()
{
    ending_ = false;
    try {
        appId = readAppId(appFileDir);
        moduleObject = Json::object();
        const std::vector<BillCode> codes = loadBillCodes(appFileDir, appId);
        {
            const QSignalBlocker block(ui->cbbBillCode);
            ui->cbbBillCode->clear();
            for (const BillCode& c : codes) {
                ui->cbbBillCode->addItem(qs(c.code));
                moduleObject[c.code] = c.moduleName;
            }
            ui->cbbBillCode->setCurrentIndex(0);
        }
        if (!showCode(ui->cbbBillCode->currentText()))
            return;
    } catch (const std::exception& e) {
        // The failed step ends the opening: the dialog stays as far as it got, not brought to
        // the front and without moving the focus.
        showMessage(e.what(), BoxIcon::Error);
        return;
    }
    bringToFront(this);
    ui->cbbBillCode->setFocus();
}

void TfrmPrintSet::cbbBillCodeChange(const QString& code)
{
    if (ending_)
        return;
    try {
        showCode(code);
    } catch (const std::exception& e) {
        showMessage(e.what(), BoxIcon::Error);
    }
}

bool TfrmPrintSet::showCode(const QString& codeText)
{
    PrinterCatalog& printers = printerCatalog();
    if (!printers.hasPrinters()) {
        showMessage("未找到打印机，请先安装打印机", BoxIcon::Question);
        endDialog();
        return false;
    }
    ui->cbbPrinter->clear();
    ui->cbbPrinter->addItems(printers.printerNames());
    ui->cbbPrinter->setCurrentIndex(0);
    fillPaperList();

    const std::string code = ss(codeText);
    const PrintSection s = loadPrintSection(appFileDir, appId, code);
    ui->lblModuleName->setText(qs(readJsonString(&moduleObject, code)));

    const PrintSection shown = shownPrintSection(s);
    ui->cbbPrinter->setEditText(qs(shown.printer));
    if (shown.printer.empty())
        ui->cbbPrinter->setEditText(defaultPrinterName());
    ui->cbbPaper->setEditText(qs(shown.paper));
    ui->cbbDirection->setEditText(qs(shown.direction));
    ui->edtUpMargin->setText(qs(shown.marginUp));
    ui->edtDownMargin->setText(qs(shown.marginDown));
    ui->edtLeftMargin->setText(qs(shown.marginLeft));
    ui->edtRightMargin->setText(qs(shown.marginRight));
    ui->edtOffsetX->setText(qs(shown.offsetX));
    ui->edtOffsetY->setText(qs(shown.offsetY));
    return true;
}

void TfrmPrintSet::fillPaperList()
{
    PrinterCatalog& printers = printerCatalog();
    const TPaperInfos papers = printers.papers();
    const std::uint16_t current = printers.currentPaperId();
    ui->cbbPaper->clear();
    int selected = -1;
    for (const TPaperInfo& p : papers) {
        if (selected < 0 && current != 0 && p.paperID == current)
            selected = ui->cbbPaper->count();
        ui->cbbPaper->addItem(p.papername, QVariant::fromValue(static_cast<uint>(p.paperID)));
    }
    if (selected >= 0)
        ui->cbbPaper->setCurrentIndex(selected);
    ui->cbbPaper->addItem(QString::fromUtf8(kCustomPaperText));
}

void TfrmPrintSet::btnOkClick()
{
    const int answer = showMessage("确定要保存当前打印设置吗？", BoxIcon::Warning, BoxButtons::YesNo, kAnswerYes);
    if (answer == kAnswerYes) {
        try {
            PrintSection s;
            s.offsetX = ss(ui->edtOffsetX->text());
            s.offsetY = ss(ui->edtOffsetY->text());
            s.marginUp = ss(ui->edtUpMargin->text());
            s.marginDown = ss(ui->edtDownMargin->text());
            s.marginLeft = ss(ui->edtLeftMargin->text());
            s.marginRight = ss(ui->edtRightMargin->text());
            s.printer = ss(ui->cbbPrinter->currentText());
            s.paper = storedPaper(ss(ui->cbbPaper->currentText()));
            s.direction = ss(ui->cbbDirection->currentText());
            savePrintSection(appFileDir, appId, ss(ui->cbbBillCode->currentText()), s);
        } catch (const std::exception& e) {
            showMessage(e.what(), BoxIcon::Error);
            return; // the dialog stays open
        }
    }
    moduleObject = Json::object();
    accept();
}

void TfrmPrintSet::btnCloseClick()
{
    moduleObject = Json::object();
    reject();
}

void TfrmPrintSet::endDialog()
{
    ending_ = true;
    // Ending from inside the show: let the show finish first.
    QTimer::singleShot(0, this, &QDialog::reject);
}
