#include "UpdateTestSupport.h"

#include <plist/plist.h>

namespace strataloom::test {

FakeCheck::FakeCheck(const QString& version)
{
    auto fake = std::make_unique<FakeUpdateUi>();
    ui = fake.get();
    UpdateConfiguration configuration = UpdateConfiguration::standard();
    configuration.downloadLocations = {kTestLocation1, kTestLocation2};
    configuration.infoDictionary = [version] { return QVariantMap{{kShortVersionKey, version}}; };
    configuration.now = [this] { return now; };
    check = std::make_unique<UpdateCheck>(std::move(fake), configuration);
}

void FakeCheck::addStatusItem()
{
    statusItem.setCheckable(true);
    ui->items = {&statusItem};
}

namespace {

plist_t manifestTree(const std::vector<TestEntry>& entries)
{
    plist_t root = plist_new_array();
    for (const TestEntry& entry : entries) {
        plist_t dictionary = plist_new_dict();
        const std::pair<const char*, QString> fields[] = {
            {"AppName", entry.appName}, {"Version", entry.version}, {"URL", entry.url}};
        for (const auto& [key, value] : fields)
            if (!value.isEmpty())
                plist_dict_set_item(dictionary, key, plist_new_string(value.toUtf8().constData()));
        plist_array_append_item(root, dictionary);
    }
    return root;
}

} // namespace

QByteArray xmlManifest(const std::vector<TestEntry>& entries)
{
    plist_t root = manifestTree(entries);
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_xml(root, &bytes, &length);
    QByteArray result(bytes, qsizetype(length));
    plist_to_xml_free(bytes);
    plist_free(root);
    return result;
}

QByteArray binaryManifest(const std::vector<TestEntry>& entries)
{
    plist_t root = manifestTree(entries);
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &bytes, &length);
    QByteArray result(bytes, qsizetype(length));
    plist_to_bin_free(bytes);
    plist_free(root);
    return result;
}

bool isErrorAlert(const Alert& alert, const QString& detail)
{
    return alert.style == AlertStyle::Critical && alert.messageText == QStringLiteral("An error occurred:")
        && alert.informativeText == detail && alert.buttons == QStringList{QStringLiteral("OK")};
}

} // namespace strataloom::test
