// The main window's shell on the offscreen platform: menus, balloons, the exit question, the
// About dialog, the loading counter with its overlay, and the exported C functions.
#include "shell/qt/ApplicationSetup.h"
#include "shell/qt/Main.h"
#include "shell/qt/MainTray.h"
#include "QtTestSupport.h"
#include "common/WindowMessages.h"
#include "common/WindowTable.h"
#include "shell/qt/dialogs/About.h"
#include "shell/qt/dialogs/ProcessPrompt.h"

#include <QAction>
#include <QBitmap>
#include <QDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMovie>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <thread>

extern "C" {
std::uintptr_t KxFindMainWindow(void);
std::intptr_t KxSendMessage(std::uintptr_t window, unsigned message, std::uintptr_t wParam, std::intptr_t lParam);
int KxPostMessage(std::uintptr_t window, unsigned message, std::uintptr_t wParam, std::intptr_t lParam);
}

using namespace kx;

namespace {

QStringList captions(const QList<QAction*>& actions)
{
    QStringList out;
    for (const QAction* a : actions)
        out << a->text();
    return out;
}

QString u(const char* s)
{
    return QString::fromUtf8(s);
}

} // namespace

class MainShellTest : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<TempProgramFolder> folder;
    std::shared_ptr<ScriptedPrompter> prompts;

    void copyLoadingGif()
    {
        QFile gif(qEnvironmentVariable("KX_TEST_PROGRAM_DIR") + "/data/img/gif/loading.gif");
        QVERIFY2(gif.open(QIODevice::ReadOnly), "demo loading.gif missing");
        folder->write("data/img/gif/loading.gif", gif.readAll());
    }

private slots:
    void initTestCase()
    {
        // No printer may be found here, whatever the machine has installed.
        qputenv("CUPS_SERVER", "/nonexistent/cups.sock");
    }

    void init()
    {
        folder = std::make_unique<TempProgramFolder>();
        prompts = installScriptedPrompter();
    }

    void menusAndTrayStart()
    {
        TfrmMain main(folder->path());
        QCOMPARE(captions(main.tray()->pmMain->actions()),
                 (QStringList{u("打印设置"), u("系统设置"), u("重新启动"), u("检查更新"), u("关于"), u("退出程序")}));
        QCOMPARE(main.tray()->pmMain->actions()[0], main.tray()->mniPrintSet);
        QCOMPARE(main.tray()->pmMain->actions()[5], main.tray()->mniClose);
        QCOMPARE(captions(main.tray()->mmMain->actions()), (QStringList{u("文件"), u("设置")}));
        QCOMPARE(captions(main.tray()->mmMain->actions()[0]->menu()->actions()), (QStringList{u("退出程序"), u("重新启动")}));
        QCOMPARE(captions(main.tray()->mmMain->actions()[1]->menu()->actions()), (QStringList{u("打印设置"), u("系统设置")}));
        QVERIFY(!main.tray()->mmMain->isVisible());

        // The offscreen platform can never show a notification area: no timer looks for one (an
        // idle program wakes for nothing), and the icon stays hidden.
        QCOMPARE(main.tray()->tmrTray->interval(), 300);
        QVERIFY(!main.tray()->tmrTray->isActive());
        QVERIFY(!main.tray()->tmrTrayWatch->isActive());
        QVERIFY(!main.tray()->hearsTrayHosts());
        QTest::qWait(400);
        QVERIFY(!main.tray()->trycnMain->isVisible());
    }

    void menuItemsRunTheirCommands_data()
    {
        QTest::addColumn<QString>("item");
        QTest::addColumn<QString>("dialog"); // class of the dialog it opens, or ""
        QTest::addColumn<QString>("prompt"); // message box it asks, or ""
        const QString noPrinter = u("未找到打印机，请先安装打印机");
        const QString exit = u("确定要退出Kestrix客户端助手吗？");
        QTest::newRow("tray print settings") << "mniPrintSet" << "" << noPrinter;
        QTest::newRow("main print settings") << "mniPrintSetting" << "" << noPrinter;
        QTest::newRow("tray system settings") << "mniSystem" << "TfrmSysSet" << "";
        QTest::newRow("main system settings") << "mniSys" << "TfrmSysSet" << "";
        QTest::newRow("about") << "mniAbout" << "TfrmAbout" << "";
        QTest::newRow("tray restart") << "mniRestart" << "" << u("确定要重启Kestrix客户端助手吗？");
        QTest::newRow("main restart") << "mniReboot" << "" << u("确定要重启Kestrix客户端助手吗？");
        QTest::newRow("tray exit") << "mniClose" << "" << exit;
        QTest::newRow("main exit") << "mniExit" << "" << exit;
    }

    void menuItemsRunTheirCommands()
    {
        QFETCH(QString, item);
        QFETCH(QString, dialog);
        QFETCH(QString, prompt);
        TfrmMain main(folder->path());
        prompts->answers = {kAnswerNo};
        QString opened;
        if (!dialog.isEmpty())
            whenShown<QDialog>([&](QDialog* d) {
                opened = findWindow(dialog.toStdString(), nullptr) ? dialog : QString("?");
                d->close();
            });
        auto* action = main.findChild<QAction*>(item);
        QVERIFY(action);
        action->trigger();
        if (!dialog.isEmpty()) {
            QTRY_COMPARE(opened, dialog);
        } else {
            QTRY_COMPARE(prompts->requests.size(), std::size_t(1));
            QCOMPARE(QString::fromStdString(prompts->requests[0].text), prompt);
        }
        QVERIFY(main.tray()->trycnMain != nullptr); // nothing exited
    }

    void balloonIsCutTo255Characters()
    {
        TfrmMain main(folder->path());
        QSignalSpy spy(main.tray(), &TMainTray::balloonShown);
        std::string longText;
        for (int i = 0; i < 300; ++i)
            longText += "长";
        main.tray()->promptLog(longText);
        main.tray()->promptLog("短");
        QCOMPARE(spy.count(), 2);
        QCOMPARE(spy[0][0].toString(), u("提示："));
        QCOMPARE(spy[0][1].toString(), QString(255, QChar(0x957F)));
        QCOMPARE(spy[0][2].toBool(), false); // the icon is not up: nothing on screen, no error
        QCOMPARE(spy[1][1].toString(), u("短"));
    }

    void exitAsksFirst()
    {
        TfrmMain main(folder->path());
        prompts->answers = {kAnswerNo, kAnswerYes};
        main.mniCloseClick();
        QVERIFY(main.tray()->trycnMain != nullptr);
        main.mniCloseClick();
        QCOMPARE(prompts->requests.size(), std::size_t(2));
        const MessageBoxRequest& r = prompts->requests[0];
        QCOMPARE(r.text, std::string("确定要退出Kestrix客户端助手吗？"));
        QCOMPARE(r.caption, std::string("Kestrix客户端"));
        QCOMPARE(int(r.icon), int(BoxIcon::Warning));
        QCOMPARE(int(r.buttons), int(BoxButtons::YesNo));
        QCOMPARE(r.defaultButton, kAnswerYes);
        QVERIFY(r.ownedByMainWindow);
        QVERIFY(main.tray()->trycnMain == nullptr); // the exit routine removed the icon
        QVERIFY(!main.tray()->tmrTray->isActive());
    }

    // Two different characters of a menu text drawn in the menu's font must differ: a font without
    // Chinese draws every one of them as the same empty box.
    void menuTextIsDrawnWithRealGlyphs()
    {
        if (!missingChineseFontWarning().empty())
            QSKIP("no installed font covers Chinese, so only empty boxes could be drawn: install one "
                  "(on Debian fonts-wqy-microhei, which scripts/setup-debian.sh installs)");
        TfrmMain main(folder->path());
        const QString text = main.tray()->mniPrintSet->text();
        QCOMPARE(text, u("打印设置"));
        const auto draw = [&](QChar c) {
            QImage image(48, 48, QImage::Format_RGB32);
            image.fill(Qt::white);
            QPainter painter(&image);
            painter.setFont(main.tray()->pmMain->font());
            painter.setPen(Qt::black);
            painter.drawText(image.rect(), Qt::AlignCenter, QString(c));
            return image;
        };
        const QImage first = draw(text[0]);
        const QImage second = draw(text[1]);
        for (const QImage& glyph : {first, second}) {
            int ink = 0;
            for (int y = 0; y < glyph.height(); ++y)
                for (int x = 0; x < glyph.width(); ++x)
                    ink += glyph.pixelColor(x, y) != QColor(Qt::white);
            QVERIFY(ink > 10);
        }
        QVERIFY(first != second);
    }

    // The module lines read like plain text: no line is shown selected or highlighted.
    void aboutModuleLinesAreNotHighlighted()
    {
        folder->write("conf/sys.ini", "[DLL]\nca=3.1.0\nprint=2.0\n");
        folder->write("conf/dll.ini", "[MODULE-DLLPATH]\nca=comp\\common\\ca\\CA.dll\nprint=comp\\print\\print.dll\n");
        TfrmMain main(folder->path());
        int lines = 0, selected = -1, highlightedPixels = -1;
        whenShown<TfrmAbout>([&](TfrmAbout* dlg) {
            QListWidget* list = control<QListWidget>(dlg, "lstDllVer");
            if (!QTest::qWaitForWindowActive(dlg))
                return control<QPushButton>(dlg, "btn1")->click(); // leaves `lines` at 0
            lines = list->count();
            selected = int(list->selectedItems().size());
            // Beyond the text, every line shows the list's plain background.
            const QImage shot = list->viewport()->grab().toImage();
            const QColor base = list->palette().color(QPalette::Base);
            highlightedPixels = 0;
            for (int i = 0; i < list->count(); ++i) {
                const QRect row = list->visualItemRect(list->item(i));
                for (int y = row.top(); y <= row.bottom(); ++y)
                    for (int x = row.right() - 40; x <= row.right(); ++x)
                        highlightedPixels += shot.pixelColor(x, y) != base;
            }
            control<QPushButton>(dlg, "btn1")->click();
        });
        main.openAbout();
        QCOMPARE(lines, 2);
        QCOMPARE(selected, 0);
        QCOMPARE(highlightedPixels, 0);
    }

    void aboutListsModulesAndOpensOnce()
    {
        folder->write("conf/sys.ini", "[APP]\napplication.current.version=v1.4\n[DLL]\nca=3.1.0\nprint=\n");
        folder->write("conf/dll.ini", "[MODULE-DLLPATH]\nca=comp\\common\\ca\\CA.dll\n");
        TfrmMain main(folder->path());
        QStringList lines;
        QString caption;
        bool secondIgnored = false;
        whenShown<TfrmAbout>([&](TfrmAbout* dlg) {
            main.openAbout();
            secondIgnored = true;
            caption = control<QLabel>(dlg, "lblVer")->text();
            for (int i = 0; i < control<QListWidget>(dlg, "lstDllVer")->count(); ++i)
                lines << control<QListWidget>(dlg, "lstDllVer")->item(i)->text();
            control<QPushButton>(dlg, "btn1")->click();
        });
        main.openAbout();
        QVERIFY(secondIgnored);
        QCOMPARE(caption, u("Kestrix客户端助手-v1.4"));
        QCOMPARE(lines, QStringList{"CA.dll          3.1.0"});
        QCOMPARE(findWindow("TfrmAbout", nullptr), WindowId(0));
    }

    void loadingCounter_data()
    {
        QTest::addColumn<QString>("messages"); // S = show, H = hide
        QTest::addColumn<int>("counter");
        QTest::addColumn<bool>("shown");
        QTest::newRow("3 show, 2 hide") << "SSSHH" << 1 << true;
        QTest::newRow("3 show, 3 hide") << "SSSHHH" << 0 << false;
        QTest::newRow("extra hides") << "SHHH" << 0 << false;
        QTest::newRow("hide first") << "H" << 0 << false;
        QTest::newRow("show after extra hides") << "SHHS" << 1 << true;
    }

    void loadingCounter()
    {
        QFETCH(QString, messages);
        QFETCH(int, counter);
        QFETCH(bool, shown);
        copyLoadingGif();
        TfrmMain main(folder->path());
        main.createLoadingOverlay();
        QVERIFY(!main.loadingOverlay()->isVisible());
        QPointer<TfrmPrintPrompt> first;
        for (QChar m : messages) {
            QCOMPARE(sendMessage(main.windowId(), m == 'S' ? WM_LOADING_SHOW : WM_LOADING_HIDE, 0, 0), 0);
            if (&m == messages.constData())
                first = main.loadingOverlay();
        }
        QCOMPARE(main.loadingProcessNum, counter);
        QCOMPARE(main.loadingOverlay()->isVisible(), shown);
        if (messages == "SHHS")
            QVERIFY(first.isNull()); // a fresh overlay replaced (and released) the earlier one
        QVERIFY(prompts->requests.empty());
    }

    void overlayWindow()
    {
        copyLoadingGif();
        TfrmPrintPrompt overlay(folder->path());
        const Qt::WindowFlags f = overlay.windowFlags();
        QVERIFY((f & Qt::WindowType_Mask) == Qt::Tool);
        QVERIFY(f & Qt::FramelessWindowHint);
        QVERIFY(f & Qt::WindowStaysOnTopHint);
        QVERIFY(overlay.parentWidget() == nullptr);
        QCOMPARE(overlay.size(), QSize(118, 138));
        QCOMPARE(control<QLabel>(&overlay, "imgGif")->geometry(), QRect(8, 8, 100, 100));
        QVERIFY(control<QLabel>(&overlay, "imgGif")->hasScaledContents());
        QCOMPARE(control<QLabel>(&overlay, "lbl1")->text(), u("正在努力加载中"));
        QCOMPARE(control<QLabel>(&overlay, "lbl1")->font().pixelSize(), 13);
        QCOMPARE(control<QLabel>(&overlay, "lbl1")->palette().color(QPalette::WindowText), QColor(160, 160, 164));
        // The picture moves only while the window is shown (hidden, nothing wakes for it).
        QVERIFY(overlay.movie() && overlay.movie()->state() == QMovie::NotRunning);
        const QSize area = QGuiApplication::primaryScreen()->availableGeometry().size();
        QCOMPARE(overlay.pos(), QPoint(area.width() - 118, area.height() - 138));
        overlay.show();
        QCOMPARE(overlay.movie()->state(), QMovie::Running);
        overlay.hide();
        QCOMPARE(overlay.movie()->state(), QMovie::Paused);
        overlay.show();
        QCOMPARE(overlay.movie()->state(), QMovie::Running);

        // White is see-through: the shape holds exactly the non-white pixels.
        overlay.movie()->setPaused(true);
        QPixmap shot(overlay.size());
        overlay.render(&shot, {}, {}, QWidget::DrawWindowBackground | QWidget::DrawChildren | QWidget::IgnoreMask);
        const QImage image = shot.toImage();
        const QRegion shape = overlay.mask();
        int white = 0, coloured = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) {
                const bool isWhite = image.pixelColor(x, y) == QColor(Qt::white);
                (isWhite ? white : coloured)++;
                QVERIFY2(shape.contains(QPoint(x, y)) != isWhite, qPrintable(QString("%1,%2").arg(x).arg(y)));
            }
        QVERIFY(white > 0 && coloured > 0);
    }

    void missingGifIsReportedForEveryOverlay()
    {
        TfrmMain main(folder->path());
        main.createLoadingOverlay();
        main.loadingShow();
        QCOMPARE(prompts->requests.size(), std::size_t(2));
        for (const auto& r : prompts->requests) {
            QCOMPARE(int(r.icon), int(BoxIcon::Error));
            QVERIFY(r.text.find("loading.gif") != std::string::npos);
        }
        QCOMPARE(main.loadingOverlay()->pos(), QPoint(0, 0)); // not placed
        QVERIFY(main.loadingOverlay()->isVisible());           // but shown, with its text

        folder->write("data/img/gif/loading.gif", "not a picture");
        main.loadingHide();
        main.loadingShow();
        QCOMPARE(prompts->requests.size(), std::size_t(3));
    }

    void exportedFunctions()
    {
        copyLoadingGif();
        QCOMPARE(KxFindMainWindow(), std::uintptr_t(0));
        TfrmMain main(folder->path());
        const std::uintptr_t w = KxFindMainWindow();
        QCOMPARE(w, main.windowId());

        QCOMPARE(KxSendMessage(w, WM_LOADING_SHOW, 0, 0), std::intptr_t(0));
        QCOMPARE(main.loadingProcessNum, 1);
        QCOMPARE(KxPostMessage(w, WM_LOADING_SHOW, 0, 0), 1);
        QCOMPARE(main.loadingProcessNum, 1); // queued
        QTRY_COMPARE(main.loadingProcessNum, 2);

        // From another thread, as from a module at work on a connection thread.
        std::atomic<bool> done{false};
        std::thread t([&] {
            KxSendMessage(w, WM_LOADING_HIDE, 0, 0);
            KxSendMessage(w, WM_LOADING_HIDE, 0, 0);
            done = true;
        });
        QTRY_VERIFY(done.load());
        t.join();
        QCOMPARE(main.loadingProcessNum, 0);
        QVERIFY(!main.loadingOverlay()->isVisible());

        // Only the two loading messages pass.
        QCOMPARE(KxSendMessage(w, kCloseMessage, 0, 0), std::intptr_t(-1));
        QCOMPARE(KxPostMessage(w, WM_UPGRADE_DLL, 0, 0), 0);
        QVERIFY(main.tray()->trycnMain != nullptr); // not closed
        QCOMPARE(KxPostMessage(0, WM_LOADING_SHOW, 0, 0), 0);
    }
};

QTEST_MAIN(MainShellTest)
#include "main_shell_test.moc"
