// A window that starts a real drag of the URLs given on its command line as
// soon as it is pressed, prints the drop action the target answered, and
// exits shortly after: 0 when the drop was taken as a copy, 3 when refused.
// Arguments starting with "/" are local paths (their bytes kept), anything
// else an encoded URL.

#include "platform/UrlConversion.h"

#include <QApplication>
#include <QDrag>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QTimer>

#include <cstdio>

namespace {

class DragSource : public QLabel {
public:
    explicit DragSource(QList<QUrl> urls) : m_urls(std::move(urls))
    {
        setWindowTitle(QStringLiteral("Strataloom drag source"));
        setText(QStringLiteral("Drag me"));
        setAlignment(Qt::AlignCenter);
        setAutoFillBackground(true);
        setStyleSheet(QStringLiteral("background: #ffd60a; color: #1d1d1f; font-size: 18px;"));
    }

protected:
    void mousePressEvent(QMouseEvent*) override
    {
        auto* drag = new QDrag(this);
        auto* data = new QMimeData;
        data->setUrls(m_urls);
        drag->setMimeData(data);
        const Qt::DropAction action = drag->exec(Qt::CopyAction | Qt::MoveAction | Qt::LinkAction, Qt::CopyAction);
        std::printf("drop action: %d\n", int(action));
        std::fflush(stdout);
        // The target fetches the dropped data from this process after the
        // drag has returned here, so stay a while before leaving.
        QTimer::singleShot(5000, qApp, [action] { QApplication::exit(action == Qt::CopyAction ? 0 : 3); });
    }

private:
    QList<QUrl> m_urls;
};

} // namespace

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QList<QUrl> urls;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (!argument.empty() && argument.front() == '/')
            urls << strataloom::qurlFromFileUrl(strataloom::FileUrl::fromPath(argument));
        else
            urls << QUrl::fromEncoded(QByteArray::fromStdString(argument));
    }
    DragSource source(urls);
    source.setGeometry(700, 40, 200, 120);
    source.show();
    return application.exec();
}
