#pragma once

// The watcher as its service runs it, and a fixture with one watched folder.
#include "FileVersionStore.h"
#include "StoreMaintenance.h"
#include "WatchSettings.h"
#include "WatchState.h"
#include "WatchStatus.h"
#include "support/OperationTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

namespace strataloom::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Polls `condition` until it holds or a generous time has passed.
inline bool eventually(const std::function<bool()>& condition, std::chrono::seconds timeout = 20s)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

inline std::vector<StoredDocument> storedDocuments()
{
    if (!fs::exists(FileVersionStore::defaultLocation()))
        return {};
    std::string error;
    auto list = StoreMaintenance(FileVersionStore::defaultLocation()).documents(&error);
    EXPECT_TRUE(list) << error;
    return list ? std::move(*list) : std::vector<StoredDocument>{};
}
// The documents of the store and their numbers of versions, by path.
inline std::map<std::string, std::size_t> documents()
{
    std::map<std::string, std::size_t> byPath;
    for (const StoredDocument& document : storedDocuments())
        byPath[document.path.value_or("-")] = document.versions;
    return byPath;
}
inline std::size_t versionsOf(const std::string& path)
{
    const auto all = documents();
    const auto found = all.find(path);
    return found == all.end() ? 0 : found->second;
}
inline bool hasVersions(const std::string& path, std::size_t count)
{
    return eventually([&] { return versionsOf(path) == count; });
}
inline std::optional<WatchStatus> status()
{
    return WatchStatus::read(watchStatusPath());
}

// `strataloom-cli watch run` as a child, told where to report readiness as a
// service manager would be.
class WatcherProcess {
public:
    // `extraEnvironment` ("NAME=value") is added to the test's own, or replaces it.
    explicit WatcherProcess(const std::string& quietSeconds = "0.2",
                            const std::vector<std::string>& extraEnvironment = {})
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
        std::vector<std::string> given{"NOTIFY_SOCKET=" + socketPath};
        given.insert(given.end(), extraEnvironment.begin(), extraEnvironment.end());
        std::vector<std::string> environment = withEnvironment(given);
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

// Mounts made by a test go to a mount namespace of the test process's own,
// which the watchers it starts share; an empty string once that is so, else
// why it cannot be (mounting needs root).
inline std::string privateMounts()
{
    static bool done = false;
    if (done)
        return {};
    if (geteuid() != 0)
        return "mounting needs root";
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("cannot have mounts of its own: ") + std::strerror(errno);
    done = true;
    return {};
}

// Unmounts what it mounted when it goes, before the scratch folders are removed.
class Mounts {
public:
    ~Mounts()
    {
        for (auto it = m_points.rbegin(); it != m_points.rend(); ++it)
            umount2(it->c_str(), MNT_DETACH);
    }
    bool bind(const std::string& from, const std::string& to)
    {
        return add(mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr), to);
    }
    bool tmpfs(const std::string& at, const std::string& size)
    {
        return add(mount("tmpfs", at.c_str(), "tmpfs", 0, ("size=" + size).c_str()), at);
    }
    bool unmount(const std::string& at)
    {
        if (umount2(at.c_str(), 0) != 0)
            return false;
        m_points.erase(std::find(m_points.begin(), m_points.end(), at));
        return true;
    }

private:
    bool add(int result, const std::string& at)
    {
        if (result == 0)
            m_points.push_back(at);
        return result == 0;
    }
    std::vector<std::string> m_points;
};

} // namespace strataloom::test
