// The system settings dialog: interval filter, filling, the two buttons, and how the main window
// re-arms the update timer after the dialog.
#include "shell/qt/Main.h"
#include "QtTestSupport.h"
#include "common/AutoRun.h"
#include "common/WindowTable.h"
#include "shell/qt/dialogs/SystemSet.h"

#include <QCheckBox>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

using namespace kx;

class SystemSettingsTest : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<TempProgramFolder> folder;
    std::shared_ptr<ScriptedPrompter> prompts;

    std::unique_ptr<TfrmSysSet> openDialog()
    {
        auto dlg = std::make_unique<TfrmSysSet>();
        dlg->setAppFileDir(folder->path());
        dlg->show();
        return dlg;
    }
    QByteArray sysIni() const { return folder->read("conf/sys.ini"); }

private slots:
    void init()
    {
        folder = std::make_unique<TempProgramFolder>();
        platform::setAutoRunStorePath(folder->file("autorun.reg").toStdString());
        prompts = installScriptedPrompter();
    }

    void intervalFilter_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("selStart"); // -1: nothing selected, caret at the end
        QTest::addColumn<int>("selLength"); // 0 with selStart >= 0: caret there
        QTest::addColumn<int>("key");
        QTest::addColumn<QString>("keyText");
        QTest::addColumn<QString>("boxAfter");
        QTest::addColumn<QString>("hintAfter"); // "x" = hint left as it was

        const QString over = QString::fromUtf8("*超过一天时间");
        const QString zeroFirst = QString::fromUtf8("*不能以0开头");
        const QString notDigit = QString::fromUtf8("*请输入数字");
        const QString notZero = QString::fromUtf8("*请输入大于0的数");
        QTest::newRow("first digit") << "" << -1 << 0 << int(Qt::Key_2) << "2" << "2" << "";
        QTest::newRow("2 then 4") << "2" << -1 << 0 << int(Qt::Key_4) << "4" << "24" << "";
        QTest::newRow("2 then 5") << "2" << -1 << 0 << int(Qt::Key_5) << "5" << "2" << over;
        QTest::newRow("9 then 9") << "9" << -1 << 0 << int(Qt::Key_9) << "9" << "9" << over;
        QTest::newRow("lone zero") << "" << -1 << 0 << int(Qt::Key_0) << "0" << "" << notZero;
        QTest::newRow("caret ignored: 42 checked") << "4" << 0 << 0 << int(Qt::Key_2) << "2" << "4" << over;
        QTest::newRow("caret ignored: 10 checked, 01 shown") << "1" << 0 << 0 << int(Qt::Key_0) << "0" << "01" << "";
        QTest::newRow("third digit") << "24" << -1 << 0 << int(Qt::Key_1) << "1" << "24" << "";
        QTest::newRow("02 by selection") << "12" << 0 << 1 << int(Qt::Key_0) << "0" << "0" << zeroFirst;
        QTest::newRow("leading zero, three long") << "02" << -1 << 0 << int(Qt::Key_3) << "3" << "3" << zeroFirst;
        QTest::newRow("selection replaced") << "12" << 1 << 1 << int(Qt::Key_5) << "5" << "15" << "";
        QTest::newRow("all replaced") << "24" << 0 << 2 << int(Qt::Key_3) << "3" << "3" << "";
        QTest::newRow("letter") << "1" << -1 << 0 << int(Qt::Key_A) << "a" << "1" << notDigit;
        QTest::newRow("Enter") << "1" << -1 << 0 << int(Qt::Key_Return) << "\r" << "1" << notDigit;
        QTest::newRow("backspace") << "12" << -1 << 0 << int(Qt::Key_Backspace) << "" << "1" << "";
        QTest::newRow("Delete is not filtered") << "12" << 0 << 0 << int(Qt::Key_Delete) << "" << "2" << "x";
    }

    void intervalFilter()
    {
        QFETCH(QString, text);
        QFETCH(int, selStart);
        QFETCH(int, selLength);
        QFETCH(int, key);
        QFETCH(QString, keyText);
        QFETCH(QString, boxAfter);
        QFETCH(QString, hintAfter);

        auto dlg = openDialog();
        QLineEdit* box = control<QLineEdit>(dlg, "edtInterval");
        box->setFocus();
        box->setText(text);
        if (selStart >= 0 && selLength > 0)
            box->setSelection(selStart, selLength);
        else if (selStart >= 0)
            box->setCursorPosition(selStart);
        control<QLabel>(dlg, "lblHint")->setText("x");

        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, keyText);
        QApplication::sendEvent(box, &press);
        QCOMPARE(box->text(), boxAfter);
        QCOMPARE(control<QLabel>(dlg, "lblHint")->text(), hintAfter);
    }

    void clipboardShortcutIsRejected()
    {
        auto dlg = openDialog();
        control<QLineEdit>(dlg, "edtInterval")->setText("1");
        QGuiApplication::clipboard()->setText("5");
        QTest::keyClick(control<QLineEdit>(dlg, "edtInterval"), Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(control<QLineEdit>(dlg, "edtInterval")->text(), QString("1"));
        QCOMPARE(control<QLabel>(dlg, "lblHint")->text(), QString::fromUtf8("*请输入数字"));
    }

    void tabOrder()
    {
        auto dlg = openDialog();
        const QList<QWidget*> order{control<QCheckBox>(dlg, "chkAutoRun"), control<QLineEdit>(dlg, "edtInterval"), control<QPushButton>(dlg, "btnOk"), control<QPushButton>(dlg, "btnClose")};
        QCOMPARE(tabSequence(order), order);
    }

    // Tab and Shift+Tab move the focus, from the interval box too, without a hint or a change.
    void tabKeysMoveFocus_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<bool>("backwards");
        QTest::addColumn<QString>("to");
        QTest::newRow("Tab from the check box") << "chkAutoRun" << false << "edtInterval";
        QTest::newRow("Tab from the interval box") << "edtInterval" << false << "btnOk";
        QTest::newRow("Tab from OK") << "btnOk" << false << "btnClose";
        QTest::newRow("Shift+Tab from the interval box") << "edtInterval" << true << "chkAutoRun";
        QTest::newRow("Shift+Tab from OK") << "btnOk" << true << "edtInterval";
    }

    void tabKeysMoveFocus()
    {
        QFETCH(QString, from);
        QFETCH(bool, backwards);
        QFETCH(QString, to);
        auto dlg = openDialog();
        QVERIFY(QTest::qWaitForWindowActive(dlg.get()));
        control<QLineEdit>(dlg, "edtInterval")->setText("12");
        QWidget* start = dlg->findChild<QWidget*>(from);
        start->setFocus();
        QCOMPARE(QApplication::focusWidget(), start);
        if (backwards)
            QTest::keyClick(start, Qt::Key_Backtab, Qt::ShiftModifier);
        else
            QTest::keyClick(start, Qt::Key_Tab);
        QVERIFY(QApplication::focusWidget());
        QCOMPARE(QApplication::focusWidget()->objectName(), to);
        QCOMPARE(control<QLineEdit>(dlg, "edtInterval")->text(), QString("12"));
        QCOMPARE(control<QLabel>(dlg, "lblHint")->text(), QString());
    }

    void fillsFromFilesAndFlag()
    {
        {
            auto dlg = openDialog(); // no sys.ini, no flag stored
            QCOMPARE(control<QLabel>(dlg, "lblIp")->text(), QString("127.0.0.1"));
            QCOMPARE(control<QLabel>(dlg, "lblPort")->text(), QString("13526"));
            QCOMPARE(control<QLineEdit>(dlg, "edtInterval")->text(), QString("8"));
            QVERIFY(!control<QCheckBox>(dlg, "chkAutoRun")->isChecked());
            QVERIFY(dlg->isVisible());
            QCOMPARE(prompts->texts(), std::vector<std::string>{"Failed to get data for 'AutoRun'"});
            QCOMPARE(int(prompts->requests[0].icon), int(BoxIcon::Error));
        }
        folder->write("conf/sys.ini", "[HTTP]\nserver.ip=10.0.0.5\nserver.port=9000\n"
                                      "[APP]\napplication.upgrade.timer.interval=\n");
        QVERIFY(writeAutoRun(1));
        prompts->requests.clear();
        auto dlg = openDialog();
        QCOMPARE(control<QLabel>(dlg, "lblIp")->text(), QString("10.0.0.5"));
        QCOMPARE(control<QLabel>(dlg, "lblPort")->text(), QString("9000"));
        QCOMPARE(control<QLineEdit>(dlg, "edtInterval")->text(), QString("")); // shown as read
        QVERIFY(control<QCheckBox>(dlg, "chkAutoRun")->isChecked());
        QVERIFY(prompts->requests.empty());
    }

    void buttons_data()
    {
        QTest::addColumn<bool>("okButton");
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("storedAfter"); // "" = nothing written
        QTest::addColumn<QString>("boxAfter");
        QTest::addColumn<bool>("openAfter");

        QTest::newRow("OK yes") << true << kAnswerYes << "3" << "3" << "3" << false;
        QTest::newRow("OK yes, empty box") << true << kAnswerYes << "" << "8" << "" << false;
        QTest::newRow("OK no resets, stays") << true << kAnswerNo << "3" << "" << "6" << true;
        QTest::newRow("Cancel yes") << false << kAnswerYes << "3" << "3" << "3" << false;
        QTest::newRow("Cancel yes, blank box") << false << kAnswerYes << "  " << "8" << "  " << false;
        QTest::newRow("Cancel no resets, closes") << false << kAnswerNo << "3" << "" << "6" << false;
    }

    void buttons()
    {
        QFETCH(bool, okButton);
        QFETCH(int, answer);
        QFETCH(QString, typed);
        QFETCH(QString, storedAfter);
        QFETCH(QString, boxAfter);
        QFETCH(bool, openAfter);

        const QByteArray before = "[APP]\napplication.upgrade.timer.interval=6\n";
        folder->write("conf/sys.ini", before);
        QVERIFY(writeAutoRun(0));
        auto dlg = openDialog();
        control<QLineEdit>(dlg, "edtInterval")->setText(typed);
        control<QCheckBox>(dlg, "chkAutoRun")->setChecked(true);
        prompts->answers = {answer};
        QTest::mouseClick(okButton ? static_cast<QWidget*>(control<QPushButton>(dlg, "btnOk")) : control<QPushButton>(dlg, "btnClose"), Qt::LeftButton);

        QCOMPARE(prompts->requests.back().text,
                 std::string(okButton ? "确定要保存当前系统设置吗？" : "是否要保存当前系统设置？"));
        QCOMPARE(int(prompts->requests.back().icon), int(BoxIcon::Question));
        QCOMPARE(control<QLineEdit>(dlg, "edtInterval")->text(), boxAfter);
        QCOMPARE(dlg->isVisible(), openAfter);
        if (storedAfter.isEmpty()) {
            QCOMPARE(sysIni(), before);
            QCOMPARE(readAutoRun(), 0);
        } else {
            QVERIFY(sysIni().contains("application.upgrade.timer.interval=" + storedAfter.toUtf8()));
            QCOMPARE(readAutoRun(), 1);
        }
    }

    void failedWriteIsShownAndDialogStaysOpen()
    {
        QDir(QString::fromStdString(folder->path())).mkpath("conf/sys.ini"); // a folder: cannot be written
        QVERIFY(writeAutoRun(0));
        auto dlg = openDialog();
        prompts->requests.clear();
        control<QCheckBox>(dlg, "chkAutoRun")->setChecked(true);
        control<QLineEdit>(dlg, "edtInterval")->setText("5");
        prompts->answers = {kAnswerYes};
        QTest::mouseClick(control<QPushButton>(dlg, "btnOk"), Qt::LeftButton);
        QVERIFY(dlg->isVisible());
        QCOMPARE(prompts->requests.size(), std::size_t(2));
        QVERIFY(prompts->requests[1].text.rfind("Unable to write to ", 0) == 0);
        QCOMPARE(readAutoRun(), 0); // the flag is not written either
    }

    void closeBoxSavesNothing()
    {
        folder->write("conf/sys.ini", "[APP]\napplication.upgrade.timer.interval=6\n");
        auto dlg = openDialog();
        control<QLineEdit>(dlg, "edtInterval")->setText("3");
        dlg->close();
        QVERIFY(!dlg->isVisible());
        QCOMPARE(control<QLineEdit>(dlg, "edtInterval")->text(), QString("3"));
        QVERIFY(sysIni().contains("interval=6"));
        QVERIFY(prompts->texts().size() <= 1); // at most the flag's read error
    }

    // Through the main window: the dialog's final box text sets the update timer.
    void mainWindowRearmsUpdateTimer_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<QString>("box");
        QTest::addColumn<int>("interval"); // 0 = timer stays stopped, -1 = also an error box
        QTest::newRow("12 hours") << QByteArray() << "12" << 43200000;
        QTest::newRow("empty box: stored") << QByteArray("5") << "" << 18000000;
        QTest::newRow("empty box, empty stored: 8") << QByteArray("") << "" << 28800000;
        QTest::newRow("longest period") << QByteArray("596") << "" << 596 * 3600000;
        QTest::newRow("zero: no automatic check") << QByteArray("0") << "" << 0;
        QTest::newRow("not a number") << QByteArray("x") << "" << -1;
        QTest::newRow("beyond the timer's range") << QByteArray("597") << "" << -1;
        QTest::newRow("negative") << QByteArray("-2") << "" << -1;
    }

    void mainWindowRearmsUpdateTimer()
    {
        QFETCH(QByteArray, stored);
        QFETCH(QString, box);
        QFETCH(int, interval);
        folder->write("conf/sys.ini", "[APP]\napplication.upgrade.timer.interval=" + stored + "\n");
        TfrmMain main(folder->path());
        main.tmrUpApp->start();
        bool secondOpenIgnored = false;
        whenShown<TfrmSysSet>([&](TfrmSysSet* dlg) {
            // A second request while the dialog exists does nothing (it would block here).
            main.openSystemSettings();
            secondOpenIgnored = true;
            control<QLineEdit>(dlg, "edtInterval")->setText(box);
            dlg->close();
        });
        main.openSystemSettings();
        QVERIFY(secondOpenIgnored);
        QCOMPARE(findWindow("TfrmSysSet", nullptr), WindowId(0));
        QCOMPARE(main.tmrUpApp->isActive(), interval > 0);
        if (interval > 0)
            QCOMPARE(main.tmrUpApp->interval(), interval);
        const bool errorShown = !prompts->requests.empty() && prompts->requests.back().icon == BoxIcon::Error &&
                                prompts->requests.back().text.find("is not a valid") != std::string::npos;
        QCOMPARE(errorShown, interval < 0);
    }
};

QTEST_MAIN(SystemSettingsTest)
#include "system_settings_test.moc"
