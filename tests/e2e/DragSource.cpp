// A window that starts a real drag of the URLs given on its command line as
// soon as it is pressed, prints the drop action the target answered, and
// leaves shortly after. Arguments starting with "/" are local paths (their
// bytes kept), anything else an encoded URL.

#include "UrlConversion.h"

#include <QApplication>
#include <QDrag>
#include <QLabel>
#include <QMimeData>
#include <QTimer>

#include <cstdio>

namespace {

class DragSource : public QLabel {
public:
    explicit DragSource(QList<QUrl> urls)
        : QLabel(QStringLiteral("Drag me"))
        , m_urls(std::move(urls))
    {
    }

protected:
    void mousePressEvent(QMouseEvent*) override
    {
        auto* drag = new QDrag(this);
        auto* data = new QMimeData;
        data->setUrls(m_urls);
        drag->setMimeData(data);
        const int action = int(drag->exec(Qt::CopyAction | Qt::MoveAction | Qt::LinkAction, Qt::CopyAction));
        std::printf("drop action: %d\n", action);
        std::fflush(stdout);
        // The target fetches the dropped data from this process after the
        // drag has returned here, so stay a while before leaving.
        QTimer::singleShot(5000, qApp, &QApplication::quit);
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
        urls << (argument.starts_with('/') ? strataloom::qurlFromFileUrl(strataloom::FileUrl::fromPath(argument))
                                           : QUrl::fromEncoded(QByteArray::fromStdString(argument)));
    }
    DragSource source(urls);
    source.setGeometry(700, 40, 200, 120);
    source.show();
    return application.exec();
}
