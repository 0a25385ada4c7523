// Qt's headers come first: moc cannot parse <compare> when it meets it first.
#include <QApplication>
#include <QProcess>
#include <QTest>

#include "support/TestEnvironment.h"

// The window program's command line. Help and version must work in a terminal
// with no display at all; anything else it does not know is refused before a
// window opens.
class CommandLineTest : public QObject {
    Q_OBJECT

private:
    struct Run {
        int exitCode = -1;
        QString out;
        QString err;
    };

    // Runs the built program; `display` gives it the offscreen platform, else
    // it has no way to reach a display.
    static Run run(const QStringList& arguments, bool display)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            environment.remove(QString::fromLatin1(name));
        if (display)
            environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        QProcess process;
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(STRATALOOM_APP), arguments);
        // A window would wait for the user: the kill below turns that into a failure, not a hang.
        if (!process.waitForFinished(60'000)) {
            process.kill();
            process.waitForFinished();
            return {};
        }
        if (process.exitStatus() != QProcess::NormalExit)
            return {};
        return {process.exitCode(), QString::fromLocal8Bit(process.readAllStandardOutput()),
                QString::fromLocal8Bit(process.readAllStandardError())};
    }

private slots:
    void helpAndVersionPrintAndExitWithoutADisplay()
    {
        for (const QString& option : {QStringLiteral("--help"), QStringLiteral("-h")}) {
            const Run help = run({option}, false);
            QCOMPARE(help.exitCode, 0);
            QVERIFY(help.out.startsWith(QStringLiteral("Usage: strataloom [FILE...]\n")));
            QVERIFY(help.out.contains(QStringLiteral("watcher")));
            QVERIFY(help.out.contains(QStringLiteral("--version")));
        }
        for (const QString& option : {QStringLiteral("--version"), QStringLiteral("-v")}) {
            const Run version = run({option}, false);
            QCOMPARE(version.exitCode, 0);
            QCOMPARE(version.out, QStringLiteral("Strataloom " STRATALOOM_VERSION "\n"));
        }
    }

    // Unknown arguments, Qt's own options too (it is given no argument, so none
    // of them can take effect), and items that are not what browsing, archiving
    // or unarchiving needs: refused, and no window opens.
    void whatCannotBeOpenedAsAskedIsRefusedBeforeAWindowOpens()
    {
        const QString folder = QString::fromStdString(strataloom::test::makeScratchFolder("items"));
        const QString file = folder + QStringLiteral("/notes.txt");
        strataloom::test::writeFile(file.toStdString(), "notes");
        const struct {
            QStringList arguments;
            QString message;
        } cases[] = {
            {{QStringLiteral("--bogus")}, QStringLiteral("unknown option --bogus")},
            {{QStringLiteral("-platform"), QStringLiteral("offscreen")}, QStringLiteral("unknown option -platform")},
            {{QStringLiteral("-reverse")}, QStringLiteral("unknown option -reverse")},
            {{QStringLiteral("Report.pages")}, QStringLiteral("Report.pages")},
            {{folder}, QStringLiteral("it is a folder")},
            {{file, folder + QStringLiteral("/missing.txt")},
             QStringLiteral("no such file, and the version store knows no document there")},
            {{QStringLiteral("--archive"), folder}, QStringLiteral("cannot archive")},
            {{QStringLiteral("--unarchive=") + file}, QStringLiteral("is not a folder")},
            {{QStringLiteral("--archive")}, QStringLiteral("--archive needs a file")},
        };
        for (const auto& c : cases) {
            const Run refused = run(c.arguments, true);
            QCOMPARE(refused.exitCode, 1);
            QVERIFY2(refused.err.contains(c.message), qPrintable(refused.err));
        }
    }
};

STRATALOOM_QTEST_MAIN(CommandLineTest)
#include "CommandLineTest.moc"
