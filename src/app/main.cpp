#include "AppDelegate.h"
#include "LaunchRequest.h"
#include "VersionWindows.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv)
{
    QApplication::setApplicationName(QStringLiteral("Strataloom"));
    QApplication::setOrganizationName(QStringLiteral("Strataloom"));
    QApplication::setApplicationVersion(QStringLiteral(STRATALOOM_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Opens a window that takes drops: a file dropped on it has its saved versions copied into a "
                       "new folder, and such a folder dropped on it becomes a file with those versions again. Given "
                       "files, opens a window listing the versions of each instead."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    parser.addOption(
        QCommandLineOption(QStringLiteral("archive"),
                           QStringLiteral("Archive the versions of FILE, as a drop of it on the window does."),
                           QStringLiteral("FILE")));
    parser.addOption(QCommandLineOption(QStringLiteral("unarchive"),
                                        QStringLiteral("Unarchive FOLDER, as a drop of it on the window does."),
                                        QStringLiteral("FOLDER")));
    parser.addPositionalArgument(QStringLiteral("files"), QStringLiteral("Documents whose versions to show."),
                                 QStringLiteral("[FILE...]"));
    // Help and version are answered before the application connects to a
    // display, so that they work in any terminal. Qt's own options are still
    // in the arguments here; they are judged below, once Qt has taken them.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    parser.parse(arguments);
    if (parser.isSet(helpOption) || parser.isSet(versionOption)) {
        const QCoreApplication core(argc, argv); // names the program in the usage line
        if (parser.isSet(helpOption))
            parser.showHelp();
        parser.showVersion();
    }

    QApplication application(argc, argv);
    QApplication::setDesktopFileName(QStringLiteral("org.strataloom.Strataloom"));
    parser.process(application);
    // Names are taken from argv as bytes, which Qt has left without its own options.
    std::string error;
    const auto request = strataloom::launchRequest(argc, argv, strataloom::FileVersionStore::defaultLocation(), &error);
    if (!request) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(QApplication::applicationName()), error.c_str());
        return 1;
    }
    // The installed theme icon when there is one; the built-in copy when run from the build tree.
    QIcon builtIn;
    for (int size : {16, 32, 48, 64, 128, 256})
        builtIn.addFile(QStringLiteral(":/icons/%1.png").arg(size), QSize(size, size));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("org.strataloom.Strataloom"), builtIn));

    strataloom::AppDelegate delegate;
    // Documents alone open their browsers without the drop window.
    if (request->documents.empty() || !request->drops.empty())
        delegate.mainWindow()->show();
    for (const strataloom::FileUrl& document : request->documents)
        delegate.versionWindows()->showVersions(document);
    if (!request->drops.empty())
        delegate.viewController()->processDroppedURLs(request->drops);
    QTimer::singleShot(0, &delegate, &strataloom::AppDelegate::applicationDidFinishLaunching);
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &delegate,
                     &strataloom::AppDelegate::applicationWillTerminate);
    return application.exec();
}
