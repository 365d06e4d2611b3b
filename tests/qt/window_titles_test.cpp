// On a real X display (a private Xvfb): the titles that a window manager shows, read from the
// windows' _NET_WM_NAME and WM_NAME properties, are exactly the windows' captions, with the
// application set up as the program sets it up.
#include "shell/qt/ApplicationSetup.h"
#include "PrivateXvfb.h"
#include "shell/qt/QtPrompter.h"
#include "QtTestSupport.h"
#include "common/WindowMessages.h"
#include "shell/qt/dialogs/About.h"
#include "shell/qt/dialogs/PrintSet.h"
#include "shell/qt/dialogs/SystemSet.h"

#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QtTest>

#include <cstdio>

// Allocations that the system library keeps for its own caches are not ours to release.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libdbus-1.so\nleak:libcups.so\n";
}

namespace {

// The text of a window property as xprop shows it ("NAME(UTF8_STRING) = "text""), or a note
// saying why there is none.
QString windowProperty(QWidget* window, const char* property)
{
    QProcess xprop;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LC_ALL", "C.UTF-8");
    xprop.setProcessEnvironment(env);
    xprop.start("xprop", {"-id", QString::number(window->winId()), property});
    if (!xprop.waitForFinished(10000) || xprop.exitCode() != 0)
        return "<xprop failed>";
    const QString out = QString::fromUtf8(xprop.readAllStandardOutput()).trimmed();
    const qsizetype first = out.indexOf('"');
    const qsizetype last = out.lastIndexOf('"');
    if (first < 0 || last <= first)
        return "<no text: " + out + ">";
    return out.mid(first + 1, last - first - 1);
}

} // namespace

class WindowTitlesTest : public QObject {
    Q_OBJECT
private:
    TempProgramFolder folder;

private slots:
    void initTestCase() { installScriptedPrompter(); }

    void dialogTitles_data()
    {
        QTest::addColumn<QString>("dialog");
        QTest::addColumn<QString>("title");
        QTest::newRow("system settings") << "TfrmSysSet" << QString::fromUtf8("系统设置");
        QTest::newRow("print settings") << "TfrmPrintSet" << QString::fromUtf8("打印设置");
        QTest::newRow("about") << "TfrmAbout" << QString::fromUtf8("关于");
    }

    void dialogTitles()
    {
        QFETCH(QString, dialog);
        QFETCH(QString, title);
        std::unique_ptr<QDialog> dlg;
        if (dialog == "TfrmSysSet")
            dlg = std::make_unique<TfrmSysSet>();
        else if (dialog == "TfrmPrintSet")
            dlg = std::make_unique<TfrmPrintSet>();
        else
            dlg = std::make_unique<TfrmAbout>();
        dlg->winId(); // the native window, with its title, exists from here on
        QTest::qWait(50);
        QCOMPARE(windowProperty(dlg.get(), "_NET_WM_NAME"), title);
        QCOMPARE(windowProperty(dlg.get(), "WM_NAME"), title);
    }

    void messageBoxTitle()
    {
        QString netName, name;
        QTimer reader;
        reader.setInterval(20);
        connect(&reader, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || !box->windowHandle() || !box->windowHandle()->isExposed())
                return;
            reader.stop();
            netName = windowProperty(box, "_NET_WM_NAME");
            name = windowProperty(box, "WM_NAME");
            box->button(QMessageBox::Ok)->click();
        });
        reader.start();

        kx::MessageBoxRequest request;
        request.caption = kx::kMessageBoxCaption;
        request.text = "程序已经运行";
        request.icon = kx::BoxIcon::Question;
        request.buttons = kx::BoxButtons::Ok;
        request.defaultButton = kx::kAnswerOk;
        request.topmost = true;
        QtPrompter().messageBox(request);
        QCOMPARE(netName, QString::fromUtf8("Kestrix客户端"));
        QCOMPARE(name, QString::fromUtf8("Kestrix客户端"));
    }
};

int main(int argc, char** argv)
{
    return runOnPrivateXvfb<WindowTitlesTest>(argc, argv, [](QApplication& app) { kx::configureApplication(app); });
}

#include "window_titles_test.moc"
