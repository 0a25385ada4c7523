#include "AppDelegate.h"

#include <QApplication>
#include <QIcon>
#include <QTimer>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Strataloom"));
    QApplication::setOrganizationName(QStringLiteral("Strataloom"));
    QApplication::setApplicationVersion(QStringLiteral(STRATALOOM_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("org.strataloom.Strataloom"));
    // The installed theme icon when there is one; the built-in copy when run from the build tree.
    QIcon builtIn;
    for (int size : {16, 32, 48, 64, 128, 256})
        builtIn.addFile(QStringLiteral(":/icons/%1.png").arg(size), QSize(size, size));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("org.strataloom.Strataloom"), builtIn));

    strataloom::AppDelegate delegate;
    delegate.mainWindow()->show();
    QTimer::singleShot(0, &delegate, &strataloom::AppDelegate::applicationDidFinishLaunching);
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &delegate,
                     &strataloom::AppDelegate::applicationWillTerminate);
    return application.exec();
}
