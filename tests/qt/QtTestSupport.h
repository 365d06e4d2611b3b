#pragma once
// Helpers shared by the Qt tests: a scripted prompter, a temporary program folder and a way to
// act on a modal dialog while its exec() runs.
#include "common/Prompter.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Thread sanitizer: Qt's libraries are not instrumented, so it cannot see their hand-overs: a
// blocking queued call passes through a semaphore inside Qt (the caller reads the result and frees
// the call object only after the main thread is done with them), and the test library's watchdog
// thread is synchronised inside Qt as well. (Each test executable includes this header once.)
extern "C" const char* __tsan_default_suppressions()
{
    return "race:QMetaObject::invokeMethodImpl\nrace:MainMessageTarget::send\nrace:libQt6Core.so\n"
           "race:libQt6Test.so\n";
}

#include "platform/AutoRunStore.h"

// Answers message boxes from a queue (the default button when the queue is empty) and records
// every request.
class ScriptedPrompter : public kx::Prompter {
public:
    int messageBox(const kx::MessageBoxRequest& request) override
    {
        requests.push_back(request);
        if (answers.empty())
            return request.defaultButton;
        const int a = answers.front();
        answers.pop_front();
        return a;
    }
    std::vector<std::string> texts() const
    {
        std::vector<std::string> out;
        for (const auto& r : requests)
            out.push_back(r.text);
        return out;
    }

    std::deque<int> answers;
    std::vector<kx::MessageBoxRequest> requests;
};

inline std::shared_ptr<ScriptedPrompter> installScriptedPrompter()
{
    auto p = std::make_shared<ScriptedPrompter>();
    kx::setPrompter(p);
    return p;
}

// A program folder with conf/ and data/json/ in a temporary directory.
class TempProgramFolder {
public:
    TempProgramFolder()
    {
        QDir(dir_.path()).mkpath("conf");
        QDir(dir_.path()).mkpath("data/json");
    }
    std::string path() const { return dir_.path().toStdString(); }
    QString file(const QString& rel) const { return dir_.path() + "/" + rel; }
    void write(const QString& rel, const QByteArray& bytes) const
    {
        QDir(dir_.path()).mkpath(QFileInfo(file(rel)).path());
        QFile f(file(rel));
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(bytes);
    }
    QByteArray read(const QString& rel) const
    {
        QFile f(file(rel));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private:
    QTemporaryDir dir_;
};

// The widgets of `wanted` in the order the Tab key visits them, starting from the first of them.
inline QList<QWidget*> tabSequence(const QList<QWidget*>& wanted)
{
    QList<QWidget*> order;
    QWidget* w = wanted.front();
    for (int i = 0; i < 500 && order.size() < wanted.size(); ++i, w = w->nextInFocusChain())
        if (wanted.contains(w) && !order.contains(w))
            order << w;
    return order;
}

// Runs action on the first visible top-level widget of type T once it appears (polling every
// 20 ms while a modal loop runs), so a test can drive a dialog shown with exec(). Register it only
// when such a window will appear: the polling (and what action refers to) lives until then.
template <class T>
void whenShown(std::function<void(T*)> action)
{
    auto* timer = new QTimer(qApp);
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, [timer, action] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* t = qobject_cast<T*>(w); t && t->isVisible()) {
                timer->stop();
                timer->deleteLater();
                action(t);
                return;
            }
        }
    });
    timer->start();
}

// A dialog's control by its object name (the controls are private to the dialog's form); a name
// that is not there ends the test run with a message rather than a null pointer.
template <class T>
T* control(const QObject* dialog, const char* name)
{
    T* w = dialog->findChild<T*>(QString::fromLatin1(name));
    if (!w)
        qFatal("no control %s of the expected kind in %s", name, qPrintable(dialog->objectName()));
    return w;
}
template <class T, class Dialog>
T* control(const std::unique_ptr<Dialog>& dialog, const char* name)
{
    return control<T>(dialog.get(), name);
}
