#include "RecordResolution.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace strataloom::store {
namespace {

// Names of the form the store writes: 32 hex digits, told apart by the last.
std::string name(char last)
{
    return std::string(31, 'a') + last;
}

FoundRecord whole(char last)
{
    FoundRecord record;
    record.name = name(last);
    return record;
}

FoundRecord delta(char last, char base)
{
    FoundRecord record = whole(last);
    record.kind = RecordKind::Delta;
    record.base = name(base);
    return record;
}

struct Case {
    const char* what;
    std::vector<FoundRecord> present;
    std::vector<std::pair<char, char>> switches;
    char asked;
    std::optional<char> resolved;
};

// What a rebuild finds after each step of a re-encoding or re-base was cut
// short, and after damage: the version's contents are the last record present
// on its switches whose bases are present too.
TEST(RecordResolutionTest, AVersionsContentsAreTheLastPresentRecordItsSwitchesLeadTo)
{
    const std::vector<Case> cases = {
        {"no switch", {whole('1')}, {}, '1', '1'},
        {"killed after the switch was logged, before the old file went",
         {whole('1'), delta('2', '3'), whole('3')},
         {{'1', '2'}},
         '1',
         '2'},
        {"after the old file went", {delta('2', '3'), whole('3')}, {{'1', '2'}}, '1', '2'},
        {"the new record lost: the old one still serves", {whole('1'), whole('3')}, {{'1', '2'}}, '1', '1'},
        {"switched twice", {whole('3'), delta('4', '3')}, {{'1', '2'}, {'2', '4'}}, '1', '4'},
        {"a delta whose base was re-based follows its base's switch",
         {delta('1', '2'), delta('5', '6'), whole('6')},
         {{'2', '5'}},
         '1',
         '1'},
        {"a delta whose base is gone is no use", {delta('1', '2')}, {}, '1', std::nullopt},
        {"nothing present", {}, {{'1', '2'}}, '1', std::nullopt},
        {"switches in a cycle end", {whole('3')}, {{'1', '2'}, {'2', '1'}}, '1', std::nullopt},
        {"deltas in a cycle are no use", {delta('1', '2'), delta('2', '1')}, {}, '1', std::nullopt},
    };
    for (const Case& c : cases) {
        RecordResolution resolution;
        for (const FoundRecord& record : c.present)
            resolution.add(record);
        for (const auto& [from, to] : c.switches)
            resolution.addSwitch(name(from), name(to));
        const auto resolved = resolution.resolve(name(c.asked));
        EXPECT_EQ(resolved, c.resolved ? std::optional(name(*c.resolved)) : std::nullopt) << c.what;
    }
}

// Bases go into the index before the records made against them, each once,
// with the height of the chain below it; a base switched since is the record
// it was switched to.
TEST(RecordResolutionTest, RecordsAreWrittenBasesFirstWithTheirHeights)
{
    RecordResolution resolution;
    for (const FoundRecord& record : {delta('1', '2'), delta('3', '2'), delta('4', '1'), whole('5')})
        resolution.add(record);
    resolution.addSwitch(name('2'), name('5'));
    std::vector<std::string> order;
    for (const FoundRecord* record : resolution.inInsertionOrder({name('4'), name('3'), name('1')}))
        order.push_back(record->name);
    EXPECT_EQ(order, (std::vector<std::string>{name('5'), name('1'), name('4'), name('3')}));
    EXPECT_EQ(resolution.height(name('4')), 2);
    EXPECT_EQ(resolution.height(name('3')), 1);
    EXPECT_EQ(resolution.height(name('5')), 0);
    EXPECT_EQ(resolution.baseOf(*resolution.find(name('3'))), name('5'));
}

} // namespace
} // namespace strataloom::store
