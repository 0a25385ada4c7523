#include "FileVersionStore.h"
#include "Settings.h"
#include "StoreMaintenance.h"
#include "WatchSettings.h"
#include "WatchState.h"
#include "WatchStatus.h"
#include "support/OperationTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

extern char** environ;

namespace strataloom {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::readFile;
using test::writeFile;

// Polls `condition` until it holds or a generous time has passed.
bool eventually(const std::function<bool()>& condition, std::chrono::seconds timeout = 20s)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// `strataloom-cli watch run` as a child, told where to report readiness as a
// service manager would be.
class WatcherProcess {
public:
    explicit WatcherProcess(const std::string& quietSeconds = "0.2")
    {
        const std::string scratch = test::makeScratchFolder("watcher");
        m_log = scratch + "/log";
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string socketPath = scratch + "/notify";
        socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
        m_socket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (m_socket < 0 || bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot make the notification socket");
        std::vector<std::string> environment{"NOTIFY_SOCKET=" + socketPath};
        for (char** variable = environ; *variable; ++variable)
            if (std::string(*variable).rfind("NOTIFY_SOCKET=", 0) != 0)
                environment.emplace_back(*variable);
        std::vector<char*> envp, argv{const_cast<char*>(STRATALOOM_CLI),
                                      const_cast<char*>("watch"),
                                      const_cast<char*>("run"),
                                      const_cast<char*>("--quiet-seconds"),
                                      const_cast<char*>(quietSeconds.c_str()),
                                      nullptr};
        for (std::string& variable : environment)
            envp.push_back(variable.data());
        envp.push_back(nullptr);
        m_pid = fork();
        if (m_pid == 0) {
            const int log = open(m_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (log < 0 || dup2(log, STDERR_FILENO) < 0)
                _exit(127);
            execve(STRATALOOM_CLI, argv.data(), envp.data());
            _exit(127);
        }
    }
    ~WatcherProcess()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        close(m_socket);
    }

    // Whether READY=1 came within `timeout`.
    bool waitReady(std::chrono::seconds timeout = 20s)
    {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (!m_ready) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd wait{m_socket, POLLIN, 0};
            if (left.count() <= 0 || poll(&wait, 1, static_cast<int>(left.count())) <= 0)
                return false;
            readNotifications();
        }
        return true;
    }
    // Whether READY=1 has come so far, without waiting.
    bool readySoFar()
    {
        readNotifications();
        return m_ready;
    }
    // Sends SIGTERM and returns the exit status, or -1 when it did not exit.
    int stop()
    {
        kill(m_pid, SIGTERM);
        int status = 0;
        const pid_t pid = m_pid;
        m_pid = -1;
        return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    pid_t pid() const { return m_pid; }
    std::string log() const { return readFile(m_log); }

private:
    void readNotifications()
    {
        char message[4096];
        ssize_t length;
        while ((length = recv(m_socket, message, sizeof message, MSG_DONTWAIT)) > 0)
            m_ready =
                m_ready || std::string(message, static_cast<std::size_t>(length)).find("READY=1") != std::string::npos;
    }

    std::string m_log;
    int m_socket = -1;
    pid_t m_pid = -1;
    bool m_ready = false;
};

class WatcherTest : public testing::Test {
protected:
    void SetUp() override
    {
        // A watched folder whose name is not UTF-8.
        watched = test::makeScratchFolder("documents") + "/docs \xff";
        fs::create_directories(watched);
        watched = *WatchSettings::watchableFolder(watched);
        WatchSettings settings;
        settings.setFolders({watched});
        settings.setExcludedPatterns({});
        settings.setSizeLimit(WatchSettings::kDefaultSizeLimit);
        ASSERT_TRUE(settings.save());
    }

    static std::vector<StoredDocument> storedDocuments()
    {
        if (!fs::exists(FileVersionStore::defaultLocation()))
            return {};
        std::string error;
        auto list = StoreMaintenance(FileVersionStore::defaultLocation()).documents(&error);
        EXPECT_TRUE(list) << error;
        return list ? std::move(*list) : std::vector<StoredDocument>{};
    }
    // The documents of the store and their numbers of versions, by path.
    static std::map<std::string, std::size_t> documents()
    {
        std::map<std::string, std::size_t> byPath;
        for (const StoredDocument& document : storedDocuments())
            byPath[document.path.value_or("-")] = document.versions;
        return byPath;
    }
    std::size_t versionsOf(const std::string& path)
    {
        const auto all = documents();
        const auto found = all.find(path);
        return found == all.end() ? 0 : found->second;
    }
    bool hasVersions(const std::string& path, std::size_t count)
    {
        return eventually([&] { return versionsOf(path) == count; });
    }
    // Saves a new file and waits for its version: every save seen before it
    // has been dealt with by then.
    void settle()
    {
        const std::string sentinel = watched + "/sentinel " + std::to_string(++sentinels) + ".txt";
        writeFile(sentinel, "sentinel");
        ASSERT_TRUE(hasVersions(sentinel, 1));
    }

    std::string watched;
    int sentinels = 0;
};

TEST_F(WatcherTest, SavesBecomeVersionsWhicheverWayAnEditorWrites)
{
    for (const char* name : {"in place.txt", "replaced.txt", "backed up.txt", "hidden temporary.txt"})
        writeFile(watched + "/" + name, "first");
    WatcherProcess watcher;
    ASSERT_TRUE(watcher.waitReady()) << watcher.log();
    EXPECT_EQ(documents().size(), 4u);

    writeFile(watched + "/in place.txt", "second");
    // Written beside under a temporary name, then renamed over (QSaveFile).
    writeFile(watched + "/replaced.txt.Xy12Ab", "second");
    fs::rename(watched + "/replaced.txt.Xy12Ab", watched + "/replaced.txt");
    // The old file kept as a backup, then a new file written.
    fs::rename(watched + "/backed up.txt", watched + "/backed up.txt~");
    writeFile(watched + "/backed up.txt", "second");
    writeFile(watched + "/.hidden temporary.txt.swp", "second");
    fs::rename(watched + "/.hidden temporary.txt.swp", watched + "/hidden temporary.txt");
    for (const char* name : {"in place.txt", "replaced.txt", "backed up.txt", "hidden temporary.txt"}) {
        const std::string path = watched + "/" + name;
        ASSERT_TRUE(hasVersions(path, 2)) << name << "\n" << watcher.log();
        const auto previous = FileVersionStore().otherVersionsOfItem(FileUrl::fromPath(path)).value();
        ASSERT_EQ(previous.size(), 1u) << name;
        EXPECT_EQ(readFile(previous[0].URL().path()), "first");
        EXPECT_TRUE(previous[0].isAutomatic());
    }
    settle();
    EXPECT_EQ(documents().size(), 5u); // nothing for the temporary names or the backup
    EXPECT_EQ(watcher.stop(), 0) << watcher.log();
}

// With a schedule of seconds instead of hours and days, every version older
// than a second shares one weekly period: each save thins the document to its
// oldest version, that period's newest and the newest.
TEST_F(WatcherTest, EachSaveThinsItsDocument)
{
    Settings settings;
    for (const char* key : {"retentionKeepAllSeconds", "retentionHourlySeconds", "retentionDailySeconds"})
        settings.setDouble(1, QString::fromLatin1(key));
    WatcherProcess watcher;
    ASSERT_TRUE(watcher.waitReady()) << watcher.log();
    const std::string document = watched + "/thinned.txt";
    for (std::size_t save = 1; save <= 4; ++save) {
        writeFile(document, "version " + std::to_string(save));
        ASSERT_TRUE(hasVersions(document, std::min<std::size_t>(save, 3))) << save << "\n" << watcher.log();
        std::this_thread::sleep_for(1200ms);
    }
    const auto versions = FileVersionStore().otherVersionsOfItem(FileUrl::fromPath(document));
    ASSERT_TRUE(versions);
    std::vector<std::string> kept;
    for (const FileVersion& version : *versions)
        kept.push_back(readFile(version.URL().path()));
    EXPECT_EQ(kept, (std::vector<std::string>{"version 1", "version 3"}));
    EXPECT_EQ(watcher.stop(), 0) << watcher.log();
}

TEST_F(WatcherTest, ASaveInBurstsWithinTheQuietPeriodIsOneVersion)
{
    WatcherProcess watcher("3");
    ASSERT_TRUE(watcher.waitReady()) << watcher.log();
    const std::string document = watched + "/bursts.txt";
    std::string contents;
    for (int burst = 0; burst < 5; ++burst) {
        contents += "burst " + std::to_string(burst) + "\n";
        writeFile(document, contents);
    }
    ASSERT_TRUE(hasVersions(document, 1));
    settle();
    EXPECT_EQ(versionsOf(document), 1u);
    EXPECT_EQ(watcher.stop(), 0);
}

TEST_F(WatcherTest, LeftoversOtherFilesAndUnchangedSavesAddNothing)
{
    {
        WatchSettings settings;
        settings.setExcludedPatterns({"*.log"});
        settings.setSizeLimit(64);
        ASSERT_TRUE(settings.save());
    }
    const std::string same = watched + "/same.txt";
    writeFile(same, "unchanged");
    WatcherProcess watcher;
    ASSERT_TRUE(watcher.waitReady()) << watcher.log();
    ASSERT_EQ(versionsOf(same), 1u);

    fs::last_write_time(same, fs::file_time_type::clock::now()); // touch
    writeFile(same, "unchanged");
    for (const char* name : {"a.txt~", "#a.txt#", ".a.txt.swp", "4913", "film.part", "lu1.tmp", "debug.log",
                             ".~lock.a.odt#", "~$a.docx", ".hidden"})
        writeFile(watched + "/" + name, "leftover");
    writeFile(watched + "/large.bin", std::string(65, 'x'));
    fs::create_directories(watched + "/.git");
    writeFile(watched + "/.git/config", "");
    ASSERT_EQ(mkfifo((watched + "/pipe").c_str(), 0600), 0);
    fs::create_symlink(same, watched + "/link.txt");
    settle();
    EXPECT_EQ(documents(), (std::map<std::string, std::size_t>{{same, 1}, {watched + "/sentinel 1.txt", 1}}));
    EXPECT_NE(watcher.log().find("large.bin"), std::string::npos) << "a file over the limit is reported";
    EXPECT_EQ(watcher.stop(), 0);
}

TEST_F(WatcherTest, MovedAndDeletedDocumentsKeepTheirVersions)
{
    fs::create_directories(watched + "/folder");
    writeFile(watched + "/a.txt", "a");
    writeFile(watched + "/folder/b.txt", "b");
    WatcherProcess watcher;
    ASSERT_TRUE(watcher.waitReady()) << watcher.log();

    fs::rename(watched + "/a.txt", watched + "/moved.txt");
    fs::rename(watched + "/folder", watched + "/renamed folder");
    settle();
    EXPECT_EQ(documents().size(), 3u) << "a move is not a new document";
    EXPECT_EQ(FileVersionStore().otherVersionsOfItem(FileUrl::fromPath(watched + "/moved.txt"))->size(), 0u);

    // Saves inside the renamed folder are seen under its new name.
    writeFile(watched + "/renamed folder/b.txt", "b, edited");
    ASSERT_TRUE(hasVersions(watched + "/renamed folder/b.txt", 2)) << watcher.log();

    fs::remove(watched + "/moved.txt");
    settle();
    const auto all = storedDocuments();
    const auto deleted = std::find_if(all.begin(), all.end(), [&](const StoredDocument& document) {
        return document.path == watched + "/moved.txt";
    });
    ASSERT_NE(deleted, all.end());
    EXPECT_EQ(deleted->versions, 1u);
    EXPECT_FALSE(deleted->found);
    EXPECT_EQ(watcher.stop(), 0);
}

TEST_F(WatcherTest, FoldersThatAppearAreWatchedWithWhatTheyHold)
{
    WatcherProcess watcher;
    ASSERT_TRUE(watcher.waitReady()) << watcher.log();

    // A filled folder moved in from outside.
    const std::string outside = test::makeScratchFolder("outside") + "/project";
    fs::create_directories(outside + "/deep/deeper");
    writeFile(outside + "/plan.txt", "plan");
    writeFile(outside + "/deep/deeper/notes.txt", "notes");
    fs::rename(outside, watched + "/project");
    // A folder made and written to at once.
    fs::create_directories(watched + "/fresh/sub");
    writeFile(watched + "/fresh/sub/first.txt", "first");
    for (const char* path : {"/project/plan.txt", "/project/deep/deeper/notes.txt", "/fresh/sub/first.txt"})
        EXPECT_TRUE(hasVersions(watched + path, 1)) << path << "\n" << watcher.log();

    writeFile(watched + "/project/deep/deeper/notes.txt", "notes, edited");
    EXPECT_TRUE(hasVersions(watched + "/project/deep/deeper/notes.txt", 2)) << watcher.log();
    EXPECT_EQ(watcher.stop(), 0);
}

TEST_F(WatcherTest, FoldersAddedOrRemovedWhileItRunsTakeEffect)
{
    WatcherProcess watcher;
    ASSERT_TRUE(watcher.waitReady()) << watcher.log();
    const std::string other = test::makeScratchFolder("other");
    fs::create_directories(other + "/sub");
    writeFile(other + "/sub/old.txt", "old");

    ASSERT_EQ(test::runCli({"watch", "add", other}).exitCode, 0);
    EXPECT_TRUE(hasVersions(other + "/sub/old.txt", 1)) << watcher.log();
    writeFile(other + "/sub/old.txt", "edited");
    EXPECT_TRUE(hasVersions(other + "/sub/old.txt", 2)) << watcher.log();

    ASSERT_EQ(test::runCli({"watch", "remove", other}).exitCode, 0);
    // The removal is read before the sentinel's save, and this save after it.
    settle();
    writeFile(other + "/sub/old.txt", "not watched");
    settle();
    EXPECT_EQ(versionsOf(other + "/sub/old.txt"), 2u);
    EXPECT_EQ(watcher.stop(), 0);
}

TEST_F(WatcherTest, EventsTheKernelDroppedAreMadeUpForByAScan)
{
    writeFile(watched + "/a.txt", "a");
    writeFile(watched + "/b.txt", "b");
    WatcherProcess watcher;
    ASSERT_TRUE(watcher.waitReady()) << watcher.log();
    // While the watcher cannot read, more events than the kernel queues
    // (fs.inotify.max_queued_events); saves of one file in a row would be
    // merged into one event, so two files take turns.
    ASSERT_EQ(kill(watcher.pid(), SIGSTOP), 0);
    std::ifstream limit("/proc/sys/fs/inotify/max_queued_events");
    long queued = 0;
    ASSERT_TRUE(limit >> queued);
    for (long i = 0; i <= queued; ++i)
        close(open((watched + (i % 2 ? "/a.txt" : "/b.txt")).c_str(), O_WRONLY | O_CLOEXEC));
    writeFile(watched + "/missed.txt", "its events were dropped");
    ASSERT_EQ(kill(watcher.pid(), SIGCONT), 0);
    EXPECT_TRUE(hasVersions(watched + "/missed.txt", 1)) << watcher.log();
    EXPECT_NE(watcher.log().find("dropped"), std::string::npos) << watcher.log();
    EXPECT_EQ(watcher.stop(), 0);
}

TEST_F(WatcherTest, OneWatcherAtATimeAndItCatchesUpAfterARestart)
{
    const std::string document = watched + "/document.txt";
    writeFile(document, "version 1");
    {
        WatcherProcess watcher;
        ASSERT_TRUE(watcher.waitReady()) << watcher.log();
        EXPECT_EQ(versionsOf(document), 1u);

        WatcherProcess second;
        int status = 0;
        ASSERT_EQ(waitpid(second.pid(), &status, 0), second.pid());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
        EXPECT_NE(second.log().find("already running"), std::string::npos) << second.log();

        const test::CliResult running = test::runCli({"watch", "status", "--json"});
        EXPECT_NE(running.out.find("\"running\": true"), std::string::npos) << running.out;
        EXPECT_NE(running.out.find("\"pid\": " + std::to_string(watcher.pid())), std::string::npos) << running.out;
        EXPECT_EQ(watcher.stop(), 0) << watcher.log();
    }
    EXPECT_NE(test::runCli({"watch", "status"}).out.find("not running"), std::string::npos);

    // Edits made while no watcher ran are versioned by the start-up scan.
    writeFile(document, "version 2");
    writeFile(watched + "/new.txt", "new");
    WatcherProcess watcher;
    ASSERT_TRUE(watcher.waitReady()) << watcher.log();
    EXPECT_EQ(versionsOf(document), 2u);
    EXPECT_EQ(versionsOf(watched + "/new.txt"), 1u);
    EXPECT_EQ(watcher.stop(), 0);
}

TEST_F(WatcherTest, StopsCleanlyDuringALargeFirstScanAndFinishesItAtTheNextStart)
{
    constexpr std::size_t kFiles = 1000;
    for (std::size_t i = 0; i < kFiles; ++i)
        writeFile(watched + "/file " + std::to_string(i) + ".txt", std::string(1024, static_cast<char>('a' + i % 26)));
    {
        WatcherProcess watcher;
        ASSERT_TRUE(eventually([] { return fs::exists(watchStatusPath()); })) << watcher.log();
        EXPECT_EQ(watcher.stop(), 0) << watcher.log();
        EXPECT_FALSE(watcher.readySoFar()) << "stopped before its first scan was done";
    }
    EXPECT_LT(documents().size(), kFiles);
    const test::CliResult check = test::runCli({"check"});
    EXPECT_EQ(check.exitCode, 0) << check.out << check.err;

    WatcherProcess watcher;
    ASSERT_TRUE(watcher.waitReady()) << watcher.log();
    const auto all = documents();
    EXPECT_EQ(all.size(), kFiles);
    EXPECT_TRUE(std::all_of(all.begin(), all.end(), [](const auto& document) { return document.second == 1; }));
    EXPECT_EQ(watcher.stop(), 0);
}

} // namespace
} // namespace strataloom
