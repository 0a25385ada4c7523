#include "OfficeText.h"

#include "MemberContents.h"

#include <QXmlStreamReader>

#include <algorithm>

namespace strataloom {

namespace {

// The XML of a document's text is many times the size of the text shown.
constexpr std::uint64_t kXmlLimit = 64 * 1024 * 1024;

const QString kOdfText = QStringLiteral("urn:oasis:names:tc:opendocument:xmlns:text:1.0");
const QString kWord = QStringLiteral("http://schemas.openxmlformats.org/wordprocessingml/2006/main");

// Paragraphs become lines. In OpenDocument every character inside a
// paragraph is text; in Word's XML only those inside <w:t>, and deleted
// runs of tracked changes are left out.
std::optional<QByteArray> paragraphs(const std::string& xml, bool word)
{
    QXmlStreamReader reader(QByteArray::fromRawData(xml.data(), static_cast<qsizetype>(xml.size())));
    const QString& ns = word ? kWord : kOdfText;
    QString text;
    QString line;
    int inParagraph = 0;
    int inRun = 0;
    const auto endLine = [&] {
        text += line + QLatin1Char('\n');
        line.clear();
    };
    while (!reader.atEnd()) {
        reader.readNext();
        const bool ours = reader.namespaceUri() == ns;
        const QStringView name = reader.name();
        if (reader.isStartElement() && ours) {
            if (name == u"p" || (!word && name == u"h")) {
                if (!line.isEmpty())
                    endLine();
                ++inParagraph;
            } else if (word && name == u"t") {
                ++inRun;
            } else if (name == u"tab") {
                line += QLatin1Char('\t');
            } else if (name == u"br" || name == u"line-break") {
                endLine();
            } else if (!word && name == u"s") {
                const int count = reader.attributes().value(ns, QStringLiteral("c")).toInt();
                line += QString(std::max(count, 1), QLatin1Char(' '));
            }
        } else if (reader.isEndElement() && ours) {
            if (name == u"p" || (!word && name == u"h")) {
                inParagraph = std::max(inParagraph - 1, 0);
                endLine();
            } else if (word && name == u"t") {
                inRun = std::max(inRun - 1, 0);
            }
        } else if (reader.isCharacters() && inParagraph > 0 && (!word || inRun > 0)) {
            line += reader.text();
        }
    }
    if (reader.hasError())
        return std::nullopt;
    return text.toUtf8();
}

} // namespace

std::optional<QByteArray> officeText(std::string_view zip)
{
    using store::zip::memberContents;
    if (const auto xml = memberContents(zip, "word/document.xml", kXmlLimit))
        return paragraphs(*xml, true);
    const auto mimetype = memberContents(zip, "mimetype", 256);
    if (!mimetype || *mimetype != "application/vnd.oasis.opendocument.text")
        return std::nullopt;
    if (const auto xml = memberContents(zip, "content.xml", kXmlLimit))
        return paragraphs(*xml, false);
    return std::nullopt;
}

} // namespace strataloom
