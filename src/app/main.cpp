#include "AppDelegate.h"
#include "LaunchRequest.h"
#include "VersionWindows.h"

#include <QApplication>
#include <QIcon>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// For tests of the entry points: what this start would open and what Qt was
// given, as NUL-terminated fields on stdout, instead of any window.
void printLaunch(const strataloom::LaunchRequest& request)
{
    const auto field = [](const std::string& name, const std::string& value) {
        std::fwrite(name.data(), 1, name.size(), stdout);
        std::fputc('=', stdout);
        std::fwrite(value.data(), 1, value.size(), stdout);
        std::fputc('\0', stdout);
    };
    field("platform", QGuiApplication::platformName().toStdString());
    for (const QString& argument : QCoreApplication::arguments().mid(1))
        field("qt-argument", argument.toStdString());
    for (const strataloom::FileUrl& document : request.documents)
        field("document", document.path());
    for (const strataloom::FileUrl& drop : request.drops)
        field("drop", drop.path());
}

} // namespace

int main(int argc, char** argv)
{
    QApplication::setApplicationName(QStringLiteral("Strataloom"));
    QApplication::setOrganizationName(QStringLiteral("Strataloom"));
    QApplication::setApplicationVersion(QStringLiteral(STRATALOOM_VERSION));

    // Every argument is read here, as bytes, before Qt exists: help and version
    // work in any terminal, and a refused item opens no window.
    std::string error;
    const auto request = strataloom::launchRequest(argc, argv, strataloom::FileVersionStore::defaultLocation(), &error);
    if (!request) {
        std::fprintf(stderr, "strataloom: %s\nTry 'strataloom --help'.\n", error.c_str());
        return 1;
    }
    if (request->action == strataloom::LaunchRequest::Action::ShowHelp) {
        std::fputs(strataloom::launchHelp().c_str(), stdout);
        return 0;
    }
    if (request->action == strataloom::LaunchRequest::Action::ShowVersion) {
        std::printf("Strataloom %s\n", STRATALOOM_VERSION);
        return 0;
    }

    // Qt takes options of its own from the arguments it is given (-platform,
    // -platformpluginpath, -style, ...), even after "--": it gets none, so that
    // no file name can become one.
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    QApplication application(qtArgc, qtArgv);
    QApplication::setDesktopFileName(QStringLiteral("org.strataloom.Strataloom"));
    if (std::getenv("STRATALOOM_TEST_PRINT_LAUNCH")) {
        printLaunch(*request);
        return 0;
    }
    // The installed theme icon when there is one; the built-in copy when run from the build tree.
    QIcon builtIn;
    for (int size : {16, 32, 48, 64, 128, 256})
        builtIn.addFile(QStringLiteral(":/icons/%1.png").arg(size), QSize(size, size));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("org.strataloom.Strataloom"), builtIn));

    strataloom::AppDelegate delegate;
    // Documents alone open their browsers without the drop window; items to
    // archive or unarchive alone, only their dialogs.
    if (request->documents.empty() && request->drops.empty())
        delegate.mainWindow()->show();
    for (const strataloom::FileUrl& document : request->documents)
        delegate.versionWindows()->showVersions(document);
    if (!request->drops.empty() && request->documents.empty()) {
        delegate.processItemsAlone(request->drops);
    } else if (!request->drops.empty()) {
        delegate.mainWindow()->show();
        delegate.viewController()->processDroppedURLs(request->drops);
    }
    QTimer::singleShot(0, &delegate, &strataloom::AppDelegate::applicationDidFinishLaunching);
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &delegate,
                     &strataloom::AppDelegate::applicationWillTerminate);
    return application.exec();
}
