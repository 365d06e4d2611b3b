// The print settings dialog against a CUPS scheduler started by the test: no printer, the printer
// and paper lists, and the open / change code / save flows on print.json.
#include "shell/qt/Main.h"
#include "PrivateCups.h"
#include "QtTestSupport.h"
#include "common/WindowTable.h"
#include "shell/qt/dialogs/PrintSet.h"
#include "shell/qt/dialogs/PrinterCatalog.h"

#include <QComboBox>
#include <QGroupBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

// Allocations that the system library keeps for its own caches are not ours to release.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libcups.so\n";
}

using namespace kx;

namespace {

QStringList items(const QComboBox* box)
{
    QStringList out;
    for (int i = 0; i < box->count(); ++i)
        out << box->itemText(i);
    return out;
}

QJsonObject jsonOf(const QByteArray& bytes)
{
    return QJsonDocument::fromJson(bytes).object();
}

} // namespace

class PrintSettingsDialogTest : public QObject {
    Q_OBJECT
private:
    PrivateCups cups;
    std::unique_ptr<TempProgramFolder> folder;
    std::shared_ptr<ScriptedPrompter> prompts;

    std::unique_ptr<TfrmPrintSet> openDialog()
    {
        auto dlg = std::make_unique<TfrmPrintSet>();
        dlg->setAppFileDir(folder->path());
        dlg->show();
        return dlg;
    }
    QByteArray printJson() const { return folder->read("data/json/print.json"); }

private slots:
    void initTestCase() { QVERIFY2(cups.start(), "cupsd did not start"); }

    void init()
    {
        folder = std::make_unique<TempProgramFolder>();
        prompts = installScriptedPrompter();
    }

    // Runs first, while the scheduler has no queue.
    void withoutPrinterTheDialogEnds()
    {
        resetPrinterCatalog();
        TfrmPrintSet dlg;
        dlg.setAppFileDir(folder->path());
        QCOMPARE(dlg.exec(), int(QDialog::Rejected));
        QCOMPARE(prompts->texts(), std::vector<std::string>{"未找到打印机，请先安装打印机"});
        QCOMPARE(int(prompts->requests[0].icon), int(BoxIcon::Question));
        QCOMPARE(int(prompts->requests[0].buttons), int(BoxButtons::Ok));
        QCOMPARE(dlg.defaultPrinterName(), QString());
        QCOMPARE(prompts->requests.size(), std::size_t(2));
    }

    void printersAndPapersFromCups()
    {
        QVERIFY(cups.addQueue("AaaOther"));
        QVERIFY(cups.addQueue("TestPrinter"));
        QVERIFY(cups.setPageSize("TestPrinter", "A4"));
        QVERIFY(cups.setDefault("TestPrinter"));
        resetPrinterCatalog();

        auto dlg = openDialog();
        QVERIFY(prompts->requests.empty());
        QCOMPARE(items(control<QComboBox>(dlg, "cbbPrinter")), (QStringList{"AaaOther", "TestPrinter"}));
        // The default, for a blank member.
        QCOMPARE(control<QComboBox>(dlg, "cbbPrinter")->currentText(), QString("TestPrinter"));
        QCOMPARE(dlg->defaultPrinterName(), QString("TestPrinter"));

        // Papers of the current printer with their paper numbers; its current size selected.
        QComboBox* paper = control<QComboBox>(dlg, "cbbPaper");
        QVERIFY(paper->count() > 2);
        QCOMPARE(paper->itemText(paper->count() - 1), QString::fromUtf8("(自定义纸张)"));
        const int a4 = paper->findText("A4");
        const int letter = paper->findText("US Letter");
        QVERIFY(a4 >= 0 && letter >= 0);
        QCOMPARE(paper->itemData(a4).toUInt(), 9u);
        QCOMPARE(paper->itemData(letter).toUInt(), 1u);
        QCOMPARE(paper->currentIndex(), a4);
        QCOMPARE(paper->currentText(), QString::fromUtf8("(自定义纸张)")); // blank stored paper

        // The list and the current printer (whose papers are listed) are determined once per
        // process; the default shown for a blank member is asked afresh.
        QVERIFY(cups.addQueue("Later"));
        QVERIFY(cups.setPageSize("AaaOther", "Letter"));
        QVERIFY(cups.setDefault("AaaOther"));
        auto again = openDialog();
        QCOMPARE(items(control<QComboBox>(again, "cbbPrinter")), (QStringList{"AaaOther", "TestPrinter"}));
        QCOMPARE(control<QComboBox>(again, "cbbPrinter")->currentText(), QString("AaaOther"));
        QComboBox* againPaper = control<QComboBox>(again, "cbbPaper");
        QCOMPARE(againPaper->currentIndex(), againPaper->findText("A4"));
        QVERIFY(cups.setDefault("TestPrinter"));
    }

    void defaultsAndFilesCreatedOnFirstOpen()
    {
        QFile::remove(folder->file("data/json/print.json"));
        auto dlg = openDialog();
        for (const char* f : {"application.json", "bill.json", "print.json"})
            QVERIFY2(QFile::exists(folder->file(QString("data/json/") + f)), f);
        QCOMPARE(items(control<QComboBox>(dlg, "cbbBillCode")), QStringList{"00000000"});
        QCOMPARE(control<QComboBox>(dlg, "cbbBillCode")->currentText(), QString("00000000"));
        QCOMPARE(control<QLabel>(dlg, "lblModuleName")->text(), QString("00000000"));
        QCOMPARE(control<QComboBox>(dlg, "cbbDirection")->currentText(), QString::fromUtf8("纵向"));
        for (const char* name :
             {"edtUpMargin", "edtDownMargin", "edtLeftMargin", "edtRightMargin", "edtOffsetX", "edtOffsetY"})
            QCOMPARE(control<QLineEdit>(dlg, name)->text(), QString("0"));
        QComboBox* code = control<QComboBox>(dlg, "cbbBillCode");
        QVERIFY(dlg->focusWidget() == code || dlg->focusWidget() == code->lineEdit());

        prompts->answers = {kAnswerYes};
        QTest::mouseClick(control<QPushButton>(dlg, "btnOk"), Qt::LeftButton);
        QCOMPARE(prompts->texts(), std::vector<std::string>{"确定要保存当前打印设置吗？"});
        QCOMPARE(int(prompts->requests[0].icon), int(BoxIcon::Warning));
        QVERIFY(!dlg->isVisible());
        QCOMPARE(QString::fromUtf8(printJson()),
                 QString::fromUtf8(R"({"00000000_PRINTER":{"OffsetX":"0","OffsetY":"0","MarginUp":"0",)"
                                   R"("MarginDown":"0","MarginLeft":"0","MarginRight":"0","Printer":"TestPrinter",)"
                                   R"("Paper":"","Direction":"纵向"}})"));
    }

    void codesShowAndSaveTheirOwnSections()
    {
        folder->write("data/json/application.json", R"({"AppId":"A"})");
        folder->write("data/json/bill.json",
                      R"({"A":{"12345678":"出库单","00000000":"not shown","55":""},"B":{"9":"x"}})");
        const QByteArray before =
            R"({"00000000_PRINTER":{"Printer":"P0"},"A":{"55_PRINTER":{"Direction":"横向","Paper":"A4","MarginUp":"2"}},"keep":true})";
        folder->write("data/json/print.json", before);

        auto dlg = openDialog();
        QCOMPARE(items(control<QComboBox>(dlg, "cbbBillCode")), (QStringList{"00000000", "12345678", "55"}));
        QCOMPARE(control<QComboBox>(dlg, "cbbPrinter")->currentText(), QString("P0"));

        control<QComboBox>(dlg, "cbbBillCode")->setCurrentIndex(2); // "55": module name falls back to the code
        QCOMPARE(control<QLabel>(dlg, "lblModuleName")->text(), QString("55"));
        QCOMPARE(control<QComboBox>(dlg, "cbbDirection")->currentText(), QString::fromUtf8("横向"));
        QCOMPARE(control<QComboBox>(dlg, "cbbPaper")->currentText(), QString("A4"));
        QCOMPARE(control<QLineEdit>(dlg, "edtUpMargin")->text(), QString("2"));
        QCOMPARE(control<QComboBox>(dlg, "cbbPrinter")->currentText(), QString("TestPrinter"));

        // A typed code that is not listed: no module name, defaults.
        control<QComboBox>(dlg, "cbbBillCode")->setEditText("777");
        QCOMPARE(control<QLabel>(dlg, "lblModuleName")->text(), QString());
        QCOMPARE(control<QComboBox>(dlg, "cbbDirection")->currentText(), QString::fromUtf8("纵向"));

        control<QComboBox>(dlg, "cbbBillCode")->setCurrentIndex(1);
        QCOMPARE(control<QLabel>(dlg, "lblModuleName")->text(), QString::fromUtf8("出库单"));
        control<QLineEdit>(dlg, "edtUpMargin")->setText("  1.5 ");
        control<QLineEdit>(dlg, "edtLeftMargin")->setText("abc");
        control<QComboBox>(dlg, "cbbDirection")->setEditText(QString::fromUtf8("横向"));
        QComboBox* paperBox = control<QComboBox>(dlg, "cbbPaper");
        paperBox->setCurrentIndex(paperBox->count() - 1); // custom paper
        prompts->answers = {kAnswerYes};
        QTest::mouseClick(control<QPushButton>(dlg, "btnOk"), Qt::LeftButton);
        QVERIFY(!dlg->isVisible());

        const QJsonObject saved = jsonOf(printJson());
        QCOMPARE(saved["00000000_PRINTER"].toObject(), jsonOf(R"({"Printer":"P0"})"));
        QCOMPARE(saved["keep"].toBool(), true);
        QCOMPARE(saved["A"].toObject()["55_PRINTER"].toObject()["MarginUp"].toString(), QString("2"));
        const QJsonObject section = saved["A"].toObject()["12345678_PRINTER"].toObject();
        QCOMPARE(section["MarginUp"].toString(), QString("1.5"));
        QCOMPARE(section["MarginLeft"].toString(), QString("abc"));
        QCOMPARE(section["Paper"].toString(), QString(""));
        QCOMPARE(section["Direction"].toString(), QString::fromUtf8("横向"));
        QCOMPARE(section["Printer"].toString(), QString("TestPrinter"));

        // Reopened, the custom paper is shown again.
        auto reopened = openDialog();
        control<QComboBox>(reopened, "cbbBillCode")->setCurrentIndex(1);
        QCOMPARE(control<QComboBox>(reopened, "cbbPaper")->currentText(), QString::fromUtf8("(自定义纸张)"));
        QCOMPARE(control<QLineEdit>(reopened, "edtUpMargin")->text(), QString("1.5"));
    }

    void tabOrder()
    {
        auto dlg = openDialog();
        QList<QWidget*> order;
        for (const char* name : {"cbbBillCode", "cbbPrinter", "cbbPaper", "cbbDirection", "edtUpMargin",
                                 "edtDownMargin", "edtLeftMargin", "edtRightMargin", "edtOffsetX", "edtOffsetY",
                                 "btnOk", "btnClose"})
            order << control<QWidget>(dlg, name);
        QCOMPARE(tabSequence(order), order);
    }

    void noAndCancelCloseWithoutWriting()
    {
        const QByteArray before = R"({"00000000_PRINTER":{"Printer":"P0"}})";
        folder->write("data/json/print.json", before);
        auto dlg = openDialog();
        control<QLineEdit>(dlg, "edtOffsetX")->setText("9");
        prompts->answers = {kAnswerNo};
        QTest::mouseClick(control<QPushButton>(dlg, "btnOk"), Qt::LeftButton);
        QVERIFY(!dlg->isVisible());
        QCOMPARE(printJson(), before);

        auto other = openDialog();
        prompts->requests.clear();
        QTest::mouseClick(control<QPushButton>(other, "btnClose"), Qt::LeftButton);
        QVERIFY(!other->isVisible());
        QVERIFY(prompts->requests.empty());
        QCOMPARE(printJson(), before);
    }

    void brokenFilesAreShownAndTheDialogStays()
    {
        folder->write("data/json/print.json", "{not json");
        auto dlg = openDialog();
        QCOMPARE(prompts->requests.size(), std::size_t(1));
        QCOMPARE(int(prompts->requests[0].icon), int(BoxIcon::Error));
        QVERIFY(dlg->isVisible());
        QCOMPARE(items(control<QComboBox>(dlg, "cbbBillCode")), QStringList{"00000000"}); // filled as far as it got

        prompts->answers = {kAnswerYes};
        QTest::mouseClick(control<QPushButton>(dlg, "btnOk"), Qt::LeftButton);
        QCOMPARE(prompts->requests.size(), std::size_t(3)); // question, then the error
        QCOMPARE(int(prompts->requests[2].icon), int(BoxIcon::Error));
        QVERIFY(dlg->isVisible());
        QCOMPARE(printJson(), QByteArray("{not json"));
    }

    // An error that stops the opening also skips bringing the dialog to the front: a dialog shown
    // minimised stays so. Without an error it is brought back to its normal state.
    void errorStopsTheOpeningBeforeTheFront_data()
    {
        QTest::addColumn<QByteArray>("printJson");
        QTest::addColumn<bool>("error");
        QTest::newRow("readable file") << QByteArray("{}") << false;
        QTest::newRow("broken file") << QByteArray("{not json") << true;
    }

    void errorStopsTheOpeningBeforeTheFront()
    {
        QFETCH(QByteArray, printJson);
        QFETCH(bool, error);
        folder->write("data/json/print.json", printJson);
        TfrmPrintSet dlg;
        dlg.setAppFileDir(folder->path());
        dlg.setWindowState(Qt::WindowMinimized);
        dlg.show();
        QCOMPARE(prompts->requests.size(), std::size_t(error ? 1 : 0));
        QCOMPARE(bool(dlg.windowState() & Qt::WindowMinimized), error);
    }

    // Nothing overlaps: each control lies inside its group's frame, clear of the frame and the
    // title, and no two controls of one container cover each other.
    void controlsDoNotOverlap()
    {
        TfrmPrintSet dlg;
        dlg.ensurePolished();
        for (const char* name : {"grpSet", "grpPrinter", "grpMargin", "grpOffset"}) {
            QGroupBox* g = control<QGroupBox>(&dlg, name);
            const QRect inside = g->contentsRect();
            const QList<QWidget*> children = g->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
            QVERIFY(!children.isEmpty());
            for (QWidget* w : children) {
                if (auto* l = qobject_cast<QLabel*>(w))
                    QVERIFY2(l->sizeHint().width() <= l->width(), qPrintable(l->objectName()));
                QVERIFY2(inside.contains(w->geometry()), qPrintable(g->objectName() + " / " + w->objectName()));
                for (QWidget* other : children)
                    QVERIFY2(w == other || !w->geometry().intersects(other->geometry()),
                             qPrintable(w->objectName() + " / " + other->objectName()));
            }
        }
        const QRect client(QPoint(0, 0), dlg.size());
        for (QWidget* w : control<QWidget>(&dlg, "pnlMain")->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            QVERIFY2(client.contains(w->geometry()), qPrintable(w->objectName()));
    }

    void mainWindowOpensOneDialogAtATime()
    {
        TfrmMain main(folder->path());
        bool secondIgnored = false;
        whenShown<TfrmPrintSet>([&](TfrmPrintSet* dlg) {
            main.openPrintSettings();
            secondIgnored = true;
            control<QPushButton>(dlg, "btnClose")->click();
        });
        main.openPrintSettings();
        QVERIFY(secondIgnored);
        QCOMPARE(findWindow("TfrmPrintSet", nullptr), WindowId(0));
    }
};

QTEST_MAIN(PrintSettingsDialogTest)
#include "print_settings_dialog_test.moc"
