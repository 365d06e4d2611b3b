// On a real X display (a private Xvfb) with a tray host (trayer): the tray icon appears once the
// host runs and comes back after the host restarts; the loading overlay sits in the bottom-right
// corner and lets drawing and clicks through on its white pixels. Checked from screenshots.
#include "shell/qt/Main.h"
#include "shell/qt/MainTray.h"
#include "PrivateXvfb.h"
#include "QtTestSupport.h"
#include "shell/qt/dialogs/ProcessPrompt.h"

#include <QMovie>
#include <QProcess>
#include <QScreen>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QtTest>

#include <cstdio>
#include <sys/prctl.h>

// Allocations that the system library keeps for its own caches are not ours to release.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libdbus-1.so\n";
}

namespace {

const QColor kBackground(255, 0, 255);

// A full-screen window in one colour that counts the mouse presses it receives.
class Backdrop : public QWidget {
public:
    Backdrop()
    {
        setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
        setAutoFillBackground(true);
        QPalette p = palette();
        p.setColor(QPalette::Window, kBackground);
        setPalette(p);
        setGeometry(QGuiApplication::primaryScreen()->geometry());
    }
    int presses = 0;

protected:
    void mousePressEvent(QMouseEvent*) override { ++presses; }
};

// Counts the presses that reach the overlay itself.
class PressCounter : public QObject {
public:
    int presses = 0;

protected:
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == QEvent::MouseButtonPress)
            ++presses;
        return false;
    }
};

// Pixels in the strip of the tray host that have the icon's blue.
int iconPixelsInTray()
{
    const QImage shot = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
    int n = 0;
    for (int y = 0; y < 40; ++y)
        for (int x = shot.width() - 200; x < shot.width(); ++x) {
            const QColor c = shot.pixelColor(x, y);
            if (std::abs(c.red() - 31) < 25 && std::abs(c.green() - 111) < 25 && std::abs(c.blue() - 209) < 25)
                ++n;
        }
    return n;
}

bool runProcess(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, args);
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

bool click(const QPoint& p)
{
    return runProcess("xdotool", {"mousemove", QString::number(p.x()), QString::number(p.y()), "click", "1"});
}

} // namespace

class TrayDisplayTest : public QObject {
    Q_OBJECT
private:
    TempProgramFolder folder;
    QProcess trayer;

    bool startTrayer()
    {
        trayer.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        trayer.start("trayer", {"--edge", "top", "--align", "right", "--widthtype", "request", "--height", "32",
                                "--SetDockType", "true", "--transparent", "false"});
        return trayer.waitForStarted(5000);
    }
    void stopTrayer()
    {
        trayer.terminate();
        if (!trayer.waitForFinished(5000)) {
            trayer.kill();
            trayer.waitForFinished(2000);
        }
    }

private slots:
    void initTestCase()
    {
        QFile gif(qEnvironmentVariable("KX_TEST_PROGRAM_DIR") + "/data/img/gif/loading.gif");
        QVERIFY2(gif.open(QIODevice::ReadOnly), "demo loading.gif missing");
        folder.write("data/img/gif/loading.gif", gif.readAll());
        installScriptedPrompter();
    }

    void cleanupTestCase()
    {
        if (trayer.state() != QProcess::NotRunning)
            stopTrayer();
    }

    void trayIconFollowsTheHost()
    {
        TfrmMain main(folder.path());
        QSignalSpy balloons(main.tray(), &TMainTray::balloonShown);
        QVERIFY(main.tray()->hearsTrayHosts());
        QTest::qWait(700); // no tray host yet: nothing happens, and after one look no timer runs
        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
        QVERIFY(!main.tray()->trycnMain->isVisible());
        QVERIFY(!main.tray()->tmrTray->isActive());
        QVERIFY(!main.tray()->tmrTrayWatch->isActive());
        QCOMPARE(balloons.count(), 0);

        for (int round = 1; round <= 2; ++round) {
            QVERIFY(startTrayer());
            QTRY_COMPARE_WITH_TIMEOUT(balloons.count(), round, 10000);
            QCOMPARE(balloons.last()[1].toString(), QString::fromUtf8("客户端成功启动"));
            QVERIFY(balloons.last()[2].toBool()); // shown on a visible icon
            QVERIFY(main.tray()->trycnMain->isVisible());
            QCOMPARE(main.tray()->trycnMain->toolTip(), QString::fromUtf8("Kestrix客户端助手"));
            QVERIFY(!main.tray()->tmrTray->isActive());
            QVERIFY(!main.tray()->tmrTrayWatch->isActive()); // the host's announcement brought it
            QTRY_VERIFY_WITH_TIMEOUT(iconPixelsInTray() > 50, 5000);

            stopTrayer();
            QTRY_VERIFY_WITH_TIMEOUT(!QSystemTrayIcon::isSystemTrayAvailable(), 5000);
            QTRY_COMPARE_WITH_TIMEOUT(iconPixelsInTray(), 0, 5000);
            QTest::qWait(1000); // the host stays away longer than one look at the notification area
        }
        QCOMPARE(balloons.count(), 2); // one set-up per appearance of the host
    }

    // Where hosts are not heard (other platforms) the watch's looks do the same: the look that
    // finds the notification area back puts the icon up at once, with no second timer in between.
    // The test makes the looks itself, and the host's announcements are left unheard.
    void iconReturnsOnTheLookThatFindsTheHost()
    {
        TfrmMain main(folder.path());
        main.tray()->stopHearingTrayHosts();
        QSignalSpy balloons(main.tray(), &TMainTray::balloonShown);
        QVERIFY(startTrayer());
        main.tray()->tmrTray->start();
        QTRY_COMPARE_WITH_TIMEOUT(balloons.count(), 1, 10000);

        stopTrayer();
        QTRY_VERIFY_WITH_TIMEOUT(!QSystemTrayIcon::isSystemTrayAvailable(), 5000);
        main.tray()->tmrTrayWatchTimer(); // sees the area gone
        QVERIFY(startTrayer());
        QTRY_VERIFY_WITH_TIMEOUT(QSystemTrayIcon::isSystemTrayAvailable(), 10000);
        QTest::qWait(300); // an announcement, were it heard, would have put the icon up by now
        QCOMPARE(balloons.count(), 1);
        main.tray()->tmrTrayWatchTimer(); // sees it back
        QCOMPARE(balloons.count(), 2);
        QCOMPARE(balloons.last()[1].toString(), QString::fromUtf8("客户端成功启动"));
        QVERIFY(balloons.last()[2].toBool());
        QVERIFY(main.tray()->trycnMain->isVisible());
        QVERIFY(!main.tray()->tmrTray->isActive());
        QTRY_VERIFY_WITH_TIMEOUT(iconPixelsInTray() > 50, 5000);
        stopTrayer();
    }

    // Without its picture the overlay is not placed: it shows its text at the top-left corner.
    void overlayWithoutPictureSitsTopLeft()
    {
        TempProgramFolder noPicture;
        TfrmPrintPrompt overlay(noPicture.path());
        overlay.show();
        QVERIFY(QTest::qWaitForWindowExposed(&overlay));
        QCOMPARE(overlay.frameGeometry(), QRect(0, 0, 118, 138));
        // The place is asked for explicitly, so a window manager keeps it rather than choosing one.
        QProcess xprop;
        xprop.start("xprop", {"-id", QString::number(overlay.winId()), "WM_NORMAL_HINTS"});
        QVERIFY(xprop.waitForFinished(10000));
        const QString hints = QString::fromUtf8(xprop.readAllStandardOutput());
        QVERIFY2(hints.contains(QRegularExpression("(user|program) specified location: 0, 0")), qPrintable(hints));
    }

    void overlayCornerAndSeeThroughWhite()
    {
        Backdrop backdrop;
        backdrop.show();
        QVERIFY(QTest::qWaitForWindowExposed(&backdrop));

        TfrmMain main(folder.path());
        main.loadingShow();
        TfrmPrintPrompt* overlay = main.loadingOverlay();
        QVERIFY(QTest::qWaitForWindowExposed(overlay));
        overlay->movie()->setPaused(true);
        QTest::qWait(300);

        QPixmap own(overlay->size());
        overlay->render(&own, {}, {}, QWidget::DrawWindowBackground | QWidget::DrawChildren | QWidget::IgnoreMask);
        const QImage expected = own.toImage();
        const QImage shot = QGuiApplication::primaryScreen()->grabWindow(0).toImage();

        // Bottom-right corner of the 1024 x 768 screen (no window manager: the work area is the screen).
        const QRect corner(1024 - 118, 768 - 138, 118, 138);
        QCOMPARE(overlay->frameGeometry(), corner);
        int seeThrough = 0, drawn = 0, wrong = 0;
        for (int y = 0; y < corner.height(); ++y)
            for (int x = 0; x < corner.width(); ++x) {
                const QColor want = expected.pixelColor(x, y);
                const QColor got = shot.pixelColor(corner.x() + x, corner.y() + y);
                if (want == QColor(Qt::white)) {
                    ++seeThrough;
                    wrong += got != kBackground;
                } else {
                    ++drawn;
                    wrong += got != want;
                }
            }
        QVERIFY(seeThrough > 1000 && drawn > 100);
        QCOMPARE(wrong, 0);
        QCOMPARE(shot.pixelColor(corner.x() - 1, corner.y() + 10), kBackground);

        // Clicks: on a white pixel they reach the window underneath, on the text the overlay.
        PressCounter counter;
        overlay->installEventFilter(&counter);
        for (QWidget* child : overlay->findChildren<QWidget*>())
            child->installEventFilter(&counter);
        QPoint white(-1, -1), coloured(-1, -1);
        for (int y = 0; y < corner.height() && (white.x() < 0 || coloured.x() < 0); ++y)
            for (int x = 0; x < corner.width(); ++x) {
                const bool isWhite = expected.pixelColor(x, y) == QColor(Qt::white);
                // Pixels away from the edges of the shape, so a click cannot land beside them.
                bool uniform = x > 0 && y > 0 && x + 1 < corner.width() && y + 1 < corner.height();
                for (int dy = -1; uniform && dy <= 1; ++dy)
                    for (int dx = -1; uniform && dx <= 1; ++dx)
                        uniform = (expected.pixelColor(x + dx, y + dy) == QColor(Qt::white)) == isWhite;
                if (uniform && isWhite && white.x() < 0 && y > 110)
                    white = {x, y};
                if (uniform && !isWhite && coloured.x() < 0)
                    coloured = {x, y};
            }
        QVERIFY(white.x() >= 0 && coloured.x() >= 0);
        QVERIFY(click(corner.topLeft() + white));
        QTRY_COMPARE(backdrop.presses, 1);
        QCOMPARE(counter.presses, 0);
        QVERIFY(click(corner.topLeft() + coloured));
        QTRY_VERIFY(counter.presses > 0); // a label passes the press on to the window: counted twice
        QCOMPARE(backdrop.presses, 1);
    }
};

int main(int argc, char** argv)
{
    return runOnPrivateXvfb<TrayDisplayTest>(argc, argv, [](QApplication& app) { app.setQuitOnLastWindowClosed(false); });
}

#include "tray_display_test.moc"
