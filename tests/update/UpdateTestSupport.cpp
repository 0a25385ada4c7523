#include "UpdateTestSupport.h"

#include <plist/plist.h>

namespace strataloom::test {

QStringList FakeUpdateUi::summary() const
{
    QStringList lines;
    for (const Alert& alert : alerts) {
        if (alert.style == AlertStyle::Critical && alert.messageText == QStringLiteral("An error occurred:")
            && alert.buttons == QStringList{QStringLiteral("OK")})
            lines.append(alert.informativeText);
        else if (alert.style == AlertStyle::Informational
                 && alert.buttons == QStringList{QStringLiteral("Ignore"), QStringLiteral("Download")})
            lines.append(alert.messageText);
        else
            lines.append(QStringLiteral("unexpected alert"));
    }
    return lines;
}

std::unique_ptr<UpdateCheck> makeCheck(FakeUpdateUi*& ui, const std::function<void(UpdateConfiguration&)>& adjust)
{
    auto fake = std::make_unique<FakeUpdateUi>();
    ui = fake.get();
    UpdateConfiguration configuration = UpdateConfiguration::standard();
    configuration.downloadLocations = {kTestLocation1, kTestLocation2};
    configuration.infoDictionary = [] { return QVariantMap{{kShortVersionKey, QStringLiteral("1.4")}}; };
    if (adjust)
        adjust(configuration);
    return std::make_unique<UpdateCheck>(std::move(fake), configuration);
}

QByteArray manifest(const std::vector<TestEntry>& entries, bool binary)
{
    plist_t root = plist_new_array();
    for (const TestEntry& entry : entries) {
        plist_t dictionary = plist_new_dict();
        for (const auto& [key, value] : {std::pair("AppName", entry.appName), std::pair("Version", entry.version),
                                         std::pair("URL", entry.url)})
            if (!value.isEmpty())
                plist_dict_set_item(dictionary, key, plist_new_string(value.toUtf8().constData()));
        plist_array_append_item(root, dictionary);
    }
    char* bytes = nullptr;
    uint32_t length = 0;
    binary ? plist_to_bin(root, &bytes, &length) : plist_to_xml(root, &bytes, &length);
    QByteArray result(bytes, qsizetype(length));
    binary ? plist_to_bin_free(bytes) : plist_to_xml_free(bytes);
    plist_free(root);
    return result;
}

} // namespace strataloom::test
