#pragma once
// A CUPS scheduler of the test's own: configuration, spool and socket in a temporary folder,
// reached through CUPS_SERVER (set for this process and the lpadmin runs it starts).
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/prctl.h>

class PrivateCups {
public:
    // Starts cupsd and waits until it answers; false when it could not be started.
    bool start()
    {
        const QString d = dir_.path();
        for (const char* sub : {"spool", "cache", "state", "ppd", "log"})
            QDir(d).mkpath(sub);
        writeFile(d + "/cups-files.conf",
                  QString("ServerRoot %1\nRequestRoot %1/spool\nCacheDir %1/cache\nStateDir %1/state\n"
                          "ErrorLog %1/log/error_log\nAccessLog %1/log/access_log\nPageLog %1/log/page_log\n"
                          "ServerBin /usr/lib/cups\nDataDir /usr/share/cups\n")
                      .arg(d));
        writeFile(d + "/cupsd.conf",
                  QString("Listen %1/cups.sock\nDefaultAuthType None\nLogLevel warn\n"
                          "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n")
                      .arg(d));
        qputenv("CUPS_SERVER", (d + "/cups.sock").toLocal8Bit());
        daemon_.setProgram("/usr/sbin/cupsd");
        daemon_.setArguments({"-f", "-c", d + "/cupsd.conf", "-s", d + "/cups-files.conf"});
        // Its output is not wanted, and it must not outlive the test (also when the test dies):
        // an orphaned scheduler holding the test's output open would keep the test runner waiting.
        daemon_.setStandardOutputFile(QProcess::nullDevice());
        daemon_.setStandardErrorFile(QProcess::nullDevice());
        daemon_.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        daemon_.start();
        if (!daemon_.waitForStarted(5000))
            return false;
        for (int i = 0; i < 100; ++i) {
            if (schedulerRunning())
                return true;
            QTest::qWait(50);
        }
        return false;
    }

    // lpstat -r exits with 0 whether the scheduler runs or not: only its words tell.
    static bool schedulerRunning()
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LC_ALL", "C");
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start("lpstat", {"-r"});
        if (!p.waitForFinished(10000))
            return false;
        return p.readAll().trimmed() == "scheduler is running";
    }

    ~PrivateCups()
    {
        if (daemon_.state() != QProcess::NotRunning) {
            daemon_.terminate();
            if (!daemon_.waitForFinished(5000))
                daemon_.kill();
            daemon_.waitForFinished(2000);
        }
    }

    // A queue printing into /dev/null with the generic sample driver's page sizes.
    bool addQueue(const QString& name)
    {
        return run("lpadmin", {"-p", name, "-E", "-v", "file:///dev/null", "-m", "drv:///sample.drv/generic.ppd"});
    }
    bool setDefault(const QString& name) { return run("lpadmin", {"-d", name}); }
    bool setPageSize(const QString& name, const QString& size)
    {
        return run("lpadmin", {"-p", name, "-o", "PageSize=" + size});
    }

    static bool run(const QString& program, const QStringList& args)
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(program, args);
        if (!p.waitForFinished(10000))
            return false;
        return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }

private:
    static void writeFile(const QString& path, const QString& text)
    {
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(text.toUtf8());
    }

    QTemporaryDir dir_;
    QProcess daemon_;
};
