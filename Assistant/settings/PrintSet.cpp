#include "settings/PrintSet.h"

#include "common/Prompter.h"
#include "common/PrintSettings.h"
#include "settings/DialogLook.h"
#include "settings/PrinterCatalog.h"

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

QComboBox* combo(QWidget* parent, const char* name, QRect r)
{
    auto* c = new QComboBox(parent);
    c->setObjectName(name);
    c->setEditable(true);
    c->setInsertPolicy(QComboBox::NoInsert);
    c->setGeometry(r);
    return c;
}

QLineEdit* edit(QWidget* parent, const char* name, QRect r)
{
    auto* e = new QLineEdit(parent);
    e->setObjectName(name);
    e->setGeometry(r);
    return e;
}

QGroupBox* group(QWidget* parent, const char* name, const char* title, QRect r)
{
    auto* g = new QGroupBox(QString::fromUtf8(title), parent);
    g->setObjectName(name);
    g->setGeometry(r);
    return g;
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

// The text shown for a stored member, or the default when it is blank.
QString orDefault(const std::string& stored, const QString& fallback)
{
    return isBlank(stored) ? fallback : qs(stored);
}

} // namespace

TfrmPrintSet::TfrmPrintSet(QWidget* parent) : QDialog(parent)
{
    setObjectName("frmPrintSet");
    setWindowTitle(QString::fromUtf8("打印设置"));
    applyDialogLook(this, 499, 370);

    pnlMain = new QWidget(this);
    pnlMain->setObjectName("pnlMain");
    pnlMain->setGeometry(0, 0, 499, 370);

    grpSet = group(pnlMain, "grpSet", "", {10, 11, 359, 347});
    lblBillCode = label(grpSet, "lblBillCode", "模块编号", 10, 16);
    cbbBillCode = combo(grpSet, "cbbBillCode", {82, 13, 255, 21});
    lbl11 = label(grpSet, "lbl11", "模块名称", 10, 45);
    lblModuleName = label(grpSet, "lblModuleName", kDefaultBillCode, 82, 45);
    lblModuleName->resize(255, lblModuleName->height());

    grpPrinter = group(grpSet, "grpPrinter", "打印机", {10, 81, 337, 101});
    lblPrinter = label(grpPrinter, "lblPrinter", "打印机", 20, 17);
    cbbPrinter = combo(grpPrinter, "cbbPrinter", {72, 14, 255, 21});
    lblPaper = label(grpPrinter, "lblPaper", "纸张", 20, 43);
    cbbPaper = combo(grpPrinter, "cbbPaper", {72, 40, 255, 21});
    lblDirection = label(grpPrinter, "lblDirection", "方向", 20, 70);
    cbbDirection = combo(grpPrinter, "cbbDirection", {72, 67, 255, 21});
    cbbDirection->addItems({QString::fromUtf8("横向"), QString::fromUtf8("纵向")});

    grpMargin = group(grpSet, "grpMargin", "页边距（厘米）", {10, 198, 337, 71});
    lblUpMargin = label(grpMargin, "lblUpMargin", "上边距", 20, 17);
    edtUpMargin = edit(grpMargin, "edtUpMargin", {72, 14, 70, 21});
    lblDownMargin = label(grpMargin, "lblDownMargin", "下边距", 181, 17);
    edtDownMargin = edit(grpMargin, "edtDownMargin", {234, 14, 70, 21});
    lblLeftMargin = label(grpMargin, "lblLeftMargin", "左边距", 20, 43);
    edtLeftMargin = edit(grpMargin, "edtLeftMargin", {72, 40, 70, 21});
    lblRightMargin = label(grpMargin, "lblRightMargin", "右边距", 181, 43);
    edtRightMargin = edit(grpMargin, "edtRightMargin", {234, 40, 70, 21});

    grpOffset = group(grpSet, "grpOffset", "偏移量（厘米）", {10, 285, 337, 52});
    lblOffsetX = label(grpOffset, "lblOffsetX", "横向偏移", 20, 21);
    edtOffsetX = edit(grpOffset, "edtOffsetX", {72, 18, 70, 21});
    lblOffsetY = label(grpOffset, "lblOffsetY", "纵向偏移", 181, 21);
    edtOffsetY = edit(grpOffset, "edtOffsetY", {234, 18, 70, 21});

    for (QGroupBox* g : {grpPrinter, grpMargin, grpOffset})
        fitRowsBelowTitle(g);

    btnOk = new QPushButton(QString::fromUtf8("确定"), pnlMain);
    btnOk->setObjectName("btnOk");
    btnOk->setGeometry(385, 35, 83, 25);
    btnOk->setAutoDefault(false);
    btnClose = new QPushButton(QString::fromUtf8("取消"), pnlMain);
    btnClose->setObjectName("btnClose");
    btnClose->setGeometry(385, 86, 83, 24);
    btnClose->setAutoDefault(false);

    // Code box, printer group, margin group, offset group, then the buttons.
    QWidget* order[] = {cbbBillCode, cbbPrinter, cbbPaper, cbbDirection, edtUpMargin, edtDownMargin,
                        edtLeftMargin, edtRightMargin, edtOffsetX, edtOffsetY, btnOk, btnClose};
    for (std::size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);

    connect(cbbBillCode, &QComboBox::editTextChanged, this, &TfrmPrintSet::cbbBillCodeChange);
    connect(btnOk, &QPushButton::clicked, this, &TfrmPrintSet::btnOkClick);
    connect(btnClose, &QPushButton::clicked, this, &TfrmPrintSet::btnCloseClick);

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
            const QSignalBlocker block(cbbBillCode);
            cbbBillCode->clear();
            for (const BillCode& c : codes) {
                cbbBillCode->addItem(qs(c.code));
                moduleObject[c.code] = c.moduleName;
            }
            cbbBillCode->setCurrentIndex(0);
        }
        if (!showCode(cbbBillCode->currentText()))
            return;
    } catch (const std::exception& e) {
        // The failed step ends the opening: the dialog stays as far as it got, not brought to
        // the front and without moving the focus.
        showMessage(e.what(), BoxIcon::Error);
        return;
    }
    bringToFront(this);
    cbbBillCode->setFocus();
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
    cbbPrinter->clear();
    cbbPrinter->addItems(printers.printerNames());
    cbbPrinter->setCurrentIndex(0);
    fillPaperList();

    const std::string code = ss(codeText);
    const PrintSection s = loadPrintSection(appFileDir, appId, code);
    lblModuleName->setText(qs(readJsonString(&moduleObject, code)));

    cbbPrinter->setEditText(orDefault(s.printer, {}));
    cbbPaper->setEditText(orDefault(s.paper, {}));
    cbbDirection->setEditText(orDefault(s.direction, {}));
    // Blank fields get their defaults, in the order of the controls.
    if (isBlank(ss(cbbPrinter->currentText())))
        cbbPrinter->setEditText(defaultPrinterName());
    if (isBlank(ss(cbbPaper->currentText())))
        cbbPaper->setEditText(QString::fromUtf8(kCustomPaper));
    if (isBlank(ss(cbbDirection->currentText())))
        cbbDirection->setEditText(QString::fromUtf8("纵向"));
    const QString zero = QStringLiteral("0");
    edtUpMargin->setText(orDefault(s.marginUp, zero));
    edtDownMargin->setText(orDefault(s.marginDown, zero));
    edtLeftMargin->setText(orDefault(s.marginLeft, zero));
    edtRightMargin->setText(orDefault(s.marginRight, zero));
    edtOffsetX->setText(orDefault(s.offsetX, zero));
    edtOffsetY->setText(orDefault(s.offsetY, zero));
    return true;
}

void TfrmPrintSet::fillPaperList()
{
    PrinterCatalog& printers = printerCatalog();
    const TPaperInfos papers = printers.papers();
    const std::uint16_t current = printers.currentPaperId();
    cbbPaper->clear();
    int selected = -1;
    for (const TPaperInfo& p : papers) {
        if (selected < 0 && current != 0 && p.paperID == current)
            selected = cbbPaper->count();
        cbbPaper->addItem(p.papername, QVariant::fromValue(static_cast<uint>(p.paperID)));
    }
    if (selected >= 0)
        cbbPaper->setCurrentIndex(selected);
    cbbPaper->addItem(QString::fromUtf8(kCustomPaper));
}

void TfrmPrintSet::btnOkClick()
{
    const int answer = showMessage("确定要保存当前打印设置吗？", BoxIcon::Warning, BoxButtons::YesNo, IDYES);
    if (answer == IDYES) {
        try {
            PrintSection s;
            s.offsetX = ss(edtOffsetX->text());
            s.offsetY = ss(edtOffsetY->text());
            s.marginUp = ss(edtUpMargin->text());
            s.marginDown = ss(edtDownMargin->text());
            s.marginLeft = ss(edtLeftMargin->text());
            s.marginRight = ss(edtRightMargin->text());
            s.printer = ss(cbbPrinter->currentText());
            const std::string paper = trimBlanks(ss(cbbPaper->currentText()));
            s.paper = paper == kCustomPaper ? std::string() : paper;
            s.direction = ss(cbbDirection->currentText());
            savePrintSection(appFileDir, appId, ss(cbbBillCode->currentText()), s);
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
