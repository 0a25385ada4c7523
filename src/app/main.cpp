#include "AppDelegate.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Strataloom"));
    QApplication::setOrganizationName(QStringLiteral("Strataloom"));
    QApplication::setApplicationVersion(QStringLiteral(STRATALOOM_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("org.strataloom.Strataloom"));

    strataloom::AppDelegate delegate;
    delegate.mainWindow()->show();
    QTimer::singleShot(0, &delegate, &strataloom::AppDelegate::applicationDidFinishLaunching);
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &delegate,
                     &strataloom::AppDelegate::applicationWillTerminate);
    return application.exec();
}
