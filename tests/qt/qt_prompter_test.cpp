// Message boxes asked for by a thread other than the GUI thread (the update check shows its
// results itself) are shown on the GUI thread, and the asking thread gets the answer.
#include "shell/qt/QtPrompter.h"

#include "common/WindowMessages.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <thread>

class QtPrompterTest : public QObject {
    Q_OBJECT

private slots:
    void boxFromAnotherThreadIsShownOnTheGuiThread()
    {
        QtPrompter prompter;
        kx::MessageBoxRequest request;
        request.caption = kx::kMessageBoxCaption;
        request.text = "从另一个线程";
        request.icon = kx::BoxIcon::Question;
        request.buttons = kx::BoxButtons::YesNo;
        request.defaultButton = kx::kAnswerNo;

        // The box runs its own event loop on the GUI thread; a timer there inspects and answers it.
        QThread* boxThread = nullptr;
        QString title, text;
        bool defaultIsNo = false;
        QTimer answerer;
        answerer.setInterval(20);
        connect(&answerer, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            answerer.stop();
            boxThread = box->thread();
            title = box->windowTitle();
            text = box->text();
            defaultIsNo = box->defaultButton() == box->button(QMessageBox::No);
            box->button(QMessageBox::Yes)->click();
        });
        answerer.start();

        std::atomic<int> answer{0};
        std::thread asker([&] { answer = prompter.messageBox(request); });

        QVERIFY(QTest::qWaitFor([&] { return answer.load() != 0; }, 10000));
        asker.join();
        QCOMPARE(answer.load(), kx::kAnswerYes);
        QCOMPARE(boxThread, qApp->thread());
        QCOMPARE(title, QString::fromUtf8("Kestrix客户端"));
        QCOMPARE(text, QString::fromUtf8("从另一个线程"));
        QVERIFY(defaultIsNo);
    }
};

QTEST_MAIN(QtPrompterTest)
#include "qt_prompter_test.moc"
