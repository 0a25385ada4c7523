#include "CliReporter.h"
#include "Commands.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <map>
#include <vector>

namespace {

using namespace strataloom::cli;

struct ValueOption {
    const char* name;
    const char* valueName; // for the help, e.g. "N"
    const char* description;
};

// A command is named by one word, or by two for a group of commands such as
// "watch add".
struct Command {
    int (*run)(const Invocation&);
    const char* synopsis; // arguments, for the usage line
    const char* description;
    int minArguments;
    int maxArguments;
    std::vector<std::pair<const char*, const char*>> flags; // name, description
    std::vector<ValueOption> values{}; // options that take a value
};

// Refuses a version number that no longer names the contents the user saw.
const ValueOption kExpectChecksum =
    {"expect-checksum", "SUM",
     "Act only if the one VERSION given still holds the contents with this checksum (versions --json lists it)."};

const std::map<std::string, Command>& commands()
{
    static const std::map<std::string, Command> table = {
        {"save-version", {saveVersion, "FILE", "Record FILE's current contents as a saved version.", 1, 1, {}}},
        {"versions",
         {versions,
          "[--json] [--earlier] FILE",
          "List FILE's saved versions, each with its number and id, then its current version.",
          1,
          1,
          {{"json", "Write the list as one JSON array."},
           {"earlier",
            "List instead the versions of the documents that stood at FILE's place before another took it."}}}},
        {"check",
         {check,
          "[--repair]",
          "Verify every stored version and look for files nothing refers to.",
          0,
          0,
          {{"repair", "First rebuild a lost or damaged index from the stored files."}}}},
        {"prune",
         {prune,
          "[--dry-run]",
          "Remove stored files nothing refers to and temporary files of adds that died.",
          0,
          0,
          {{"dry-run", "Only print what would be removed."}}}},
        {"documents",
         {documents,
          "[--json]",
          "List every document in the version store: id, versions, their size, bytes stored, whether its file is "
          "found, last known path.",
          0,
          0,
          {{"json", "Write the list as one JSON array."}}}},
        {"forget",
         {forget,
          "[--dry-run] FILE | [--dry-run] --id ID",
          "Remove every saved version of the document FILE is, or of the document with id ID.",
          1,
          1,
          {{"dry-run", "Only print what would be removed."},
           {"id", "Take the argument as a document id, as documents lists it."}}}},
        {"archive",
         {archive,
          "[--earlier [--history ID]] FILE [NEW_FOLDER]",
          "Copy every version of FILE into a new folder (default: \"<name> versions\" beside FILE).",
          1,
          2,
          {{"earlier",
            "Archive instead the versions of a document that stood at FILE's place before, as versions --earlier "
            "lists them, the last one as the current version."}},
          {{"history", "ID",
            "With several earlier documents at FILE's place, the one to archive: its id or the id's first 8 or more "
            "digits."}}}},
        {"unarchive",
         {unarchive,
          "FOLDER [NEW_FILE]",
          "Make a new file from FOLDER's last entry with the earlier entries as its versions.",
          1,
          2,
          {}}},
        {"thin",
         {thin,
          "[--dry-run] [--now TIME] [--json]",
          "Thin automatic versions by their age and the size cap; explicit and pinned versions are kept.",
          0,
          0,
          {{"dry-run", "Only print, for each version, the rule that keeps it or that it would go."},
           {"json", "Write the decisions as one JSON object."}},
          {{"now", "TIME", "Apply the rules as they would stand at TIME (ISO 8601, e.g. 2027-01-01T00:00:00Z)."}}}},
        {"compact",
         {compact,
          "[--dry-run]",
          "Re-encode the versions stored whole (by earlier releases) as deltas against their newer neighbours; each "
          "record is its own step, so an interrupted run goes on where it stopped when run again.",
          0,
          0,
          {{"dry-run", "Only print how many records would be re-encoded and what they take now."}}}},
        {"pin",
         {pin,
          "[--expect-checksum SUM] FILE VERSION...",
          "Keep FILE's versions VERSION (an id or a number, as versions lists them) until you remove them.",
          2,
          INT_MAX,
          {},
          {kExpectChecksum}}},
        {"unpin",
         {unpin,
          "[--expect-checksum SUM] FILE VERSION...",
          "Let thinning judge FILE's versions VERSION again.",
          2,
          INT_MAX,
          {},
          {kExpectChecksum}}},
        {"delete-version",
         {deleteVersion,
          "[--dry-run] [--expect-checksum SUM] FILE VERSION...",
          "Remove FILE's versions VERSION (an id or a number, as versions lists them) from the store.",
          2,
          INT_MAX,
          {{"dry-run", "Only print what would be removed."}},
          {kExpectChecksum}}},
        {"restore",
         {restore,
          "[--dry-run] [--earlier] FILE VERSION",
          "Put FILE's version VERSION (an id or a number, as versions lists them) back into FILE; the contents it "
          "replaces are kept as a version first, so restoring that version undoes it.",
          2,
          2,
          {{"dry-run", "Only print what would be done."},
           {"earlier", "VERSION is an earlier history's version, as versions --earlier lists it."}}}},
        {"desktop-integration install",
         {desktopIntegrationInstall,
          "",
          "Add Show Versions, Save a Version Now, Archive Versions and Unarchive to the scripts of GNOME Files.",
          0,
          0,
          {}}},
        {"desktop-integration uninstall",
         {desktopIntegrationUninstall,
          "",
          "Remove the scripts desktop-integration install added, and nothing else.",
          0,
          0,
          {}}},
        {"watch add",
         {watchAdd,
          "FOLDER...",
          "Watch FOLDER and its sub-folders: every document saved there gets an automatic version.",
          1,
          INT_MAX,
          {}}},
        {"watch remove", {watchRemove, "FOLDER...", "Stop watching FOLDER.", 1, INT_MAX, {}}},
        {"watch list", {watchList, "", "List the watched folders, one per line.", 0, 0, {}}},
        {"watch status",
         {watchStatus,
          "[--json]",
          "Show whether the watcher runs, what it watches, its last saves and problems.",
          0,
          0,
          {{"json", "Write the status as one JSON object."}}}},
        {"watch run",
         {watchRun,
          "[--quiet-seconds N]",
          "Run the watcher in the foreground (as its systemd user service does) until SIGTERM or Ctrl-C.",
          0,
          0,
          {},
          {{"quiet-seconds", "N", "Version a saved file once it has not been saved for N seconds (default 2)."}}}},
    };
    return table;
}

// The commands of a group, for an error naming them.
std::string commandsOfGroup(const std::string& group)
{
    std::string names;
    for (const auto& [name, command] : commands())
        if (name.rfind(group + " ", 0) == 0)
            names += (names.empty() ? "" : ", ") + name.substr(group.size() + 1);
    return names;
}

QString overview()
{
    QString text = QStringLiteral(
        "Keeps the versions of your documents in Strataloom's version store ($XDG_DATA_HOME/strataloom). A watcher,\n"
        "run as the systemd user service strataloom-watch.service, saves a version each time a document in a\n"
        "watched folder is saved (watch add); save-version saves one when asked. versions lists a document's\n"
        "versions; archive copies them into a new folder of numbered files that keep their dates, and unarchive\n"
        "turns such a folder back into a file with versions. Automatic versions are thinned by age and a size cap\n"
        "(thin); pin keeps a version forever. The window program, strataloom FILE, browses the versions of a\n"
        "document and restores one in place or as a copy beside it.\n\nCommands:\n");
    for (const auto& [name, command] : commands())
        text += QStringLiteral("  %1\n      %2\n")
                    .arg(QString::fromUtf8((name + " " + command.synopsis).c_str()).trimmed(),
                         QString::fromUtf8(command.description));
    return text;
}

// The positional arguments as raw bytes: QCommandLineParser sees decoded text,
// which would lose names that are not UTF-8, so they are taken from argv. The
// word after an option that takes a value, given as "--name VALUE", is that
// value.
std::vector<std::string> rawPositionals(int argc, char** argv, int from, const std::vector<ValueOption>& values)
{
    std::vector<std::string> positionals;
    bool optionsEnded = false;
    for (int i = from; i < argc; ++i) {
        const std::string argument = argv[i];
        if (!optionsEnded && argument == "--") {
            optionsEnded = true;
        } else if (optionsEnded || argument.empty() || argument[0] != '-' || argument == "-") {
            positionals.push_back(argument);
        } else if (std::any_of(values.begin(), values.end(), [&](const ValueOption& option) {
                       return argument == std::string("--") + option.name;
                   })) {
            ++i;
        }
    }
    return positionals;
}

int usageError(const std::string& message)
{
    printError(message);
    std::fprintf(stderr, "Try 'strataloom-cli --help'.\n");
    return kExitUsage;
}

} // namespace

namespace strataloom::cli {

bool Invocation::has(const std::string& option) const
{
    return std::find(options.begin(), options.end(), option) != options.end();
}

std::optional<std::string> Invocation::value(const std::string& option) const
{
    const auto found = values.find(option);
    if (found == values.end())
        return std::nullopt;
    return found->second;
}

} // namespace strataloom::cli

int main(int argc, char** argv)
{
    // The help's usage line names the program as a user types it, not by the
    // path it was started from; the positional arguments are read from argv.
    std::vector<char*> qtArguments(argv, argv + argc);
    char programName[] = "strataloom-cli";
    qtArguments[0] = programName;
    int qtArgc = argc;
    QCoreApplication application(qtArgc, qtArguments.data());
    QCoreApplication::setApplicationName(QStringLiteral("strataloom-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(STRATALOOM_VERSION));

    const QStringList arguments = QCoreApplication::arguments();
    int commandIndex = 1;
    while (commandIndex < argc && argv[commandIndex][0] == '-' && std::string(argv[commandIndex]) != "--")
        ++commandIndex;

    if (commandIndex >= argc) {
        QCommandLineParser parser;
        parser.setApplicationDescription(overview());
        parser.addHelpOption();
        parser.addVersionOption();
        parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("The command to run."));
        if (!parser.parse(arguments))
            return usageError(parser.errorText().toStdString());
        if (parser.isSet(QStringLiteral("version")))
            parser.showVersion();
        if (parser.isSet(QStringLiteral("help")))
            parser.showHelp(kExitOk);
        return usageError("a command is required");
    }

    std::string name = argv[commandIndex];
    int words = 1;
    if (!commandsOfGroup(name).empty()) {
        if (commandIndex + 1 >= argc || argv[commandIndex + 1][0] == '-')
            return usageError(name + " needs one of: " + commandsOfGroup(name));
        name += std::string(" ") + argv[commandIndex + 1];
        words = 2;
    }
    const auto found = commands().find(name);
    if (found == commands().end())
        return usageError("unknown command '" + name + "'");
    const Command& command = found->second;

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(command.description));
    parser.addHelpOption();
    parser.addVersionOption();
    for (const auto& [flag, description] : command.flags)
        parser.addOption(QCommandLineOption(QString::fromUtf8(flag), QString::fromUtf8(description)));
    for (const ValueOption& option : command.values)
        parser.addOption(QCommandLineOption(QString::fromUtf8(option.name), QString::fromUtf8(option.description),
                                            QString::fromUtf8(option.valueName)));
    const std::string synopsis = command.synopsis;
    parser.addPositionalArgument(QString::fromUtf8((synopsis.empty() ? name : synopsis).c_str()), QString(),
                                 QString::fromUtf8((name + " " + synopsis).c_str()).trimmed());

    QStringList commandArguments = arguments;
    commandArguments.remove(commandIndex, words);
    if (!parser.parse(commandArguments))
        return usageError(parser.errorText().toStdString());
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(kExitOk);

    Invocation invocation;
    invocation.arguments = rawPositionals(argc, argv, commandIndex + words, command.values);
    for (const auto& [flag, description] : command.flags)
        if (parser.isSet(QString::fromUtf8(flag)))
            invocation.options.emplace_back(flag);
    for (const ValueOption& option : command.values)
        if (parser.isSet(QString::fromUtf8(option.name)))
            invocation.values[option.name] = parser.value(QString::fromUtf8(option.name)).toStdString();

    const int count = static_cast<int>(invocation.arguments.size());
    if (count < command.minArguments || count > command.maxArguments)
        return usageError("usage: strataloom-cli " + name + " " + command.synopsis);
    return command.run(invocation);
}
