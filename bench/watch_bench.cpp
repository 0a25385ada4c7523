// Helper of bench/watch.bench.sh. Runs `CLI watch run` as a child that reports
// readiness to a socket of ours, as the service manager would see it.
//   watch_bench tree FOLDER FOLDERS FILES   makes FOLDERS folders of FILES small files
//   watch_bench ready CLI                   starts the watcher, waits for READY=1, stops it
//   watch_bench idle CLI SECONDS            once ready, prints the wakeups, CPU ticks
//                                           and resident KiB of SECONDS of idleness,
//                                           and the watcher's peak resident KiB
//   watch_bench latency CLI FOLDER SAVES    saves SAVES times into FOLDER, 125 ms apart,
//                                           and prints the median and 95th percentile ms
//                                           from each save's close to its version's log line
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds kReadyLimit{600};

[[noreturn]] void die(const std::string& message)
{
    std::fprintf(stderr, "watch_bench: %s\n", message.c_str());
    std::exit(1);
}

class Watcher {
public:
    // With `logPipe`, the watcher's stderr can be read through log().
    Watcher(const std::string& cli, bool logPipe)
    {
        char folder[] = "/tmp/watch-bench-XXXXXX";
        if (!mkdtemp(folder))
            die("cannot make a temporary folder");
        m_folder = folder;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string socketPath = m_folder + "/notify";
        std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
        m_socket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (m_socket < 0 || bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            die("cannot make the notification socket");
        int ends[2] = {-1, -1};
        if (logPipe && pipe2(ends, O_CLOEXEC) != 0)
            die("cannot make a pipe");
        setenv("NOTIFY_SOCKET", socketPath.c_str(), 1);
        m_pid = fork();
        if (m_pid == 0) {
            const int err = logPipe ? ends[1] : open("/dev/null", O_WRONLY);
            if (err < 0 || dup2(err, STDERR_FILENO) < 0)
                _exit(127);
            execl(cli.c_str(), cli.c_str(), "watch", "run", static_cast<char*>(nullptr));
            _exit(127);
        }
        if (logPipe) {
            close(ends[1]);
            m_log = ends[0];
        }
    }
    ~Watcher()
    {
        if (m_pid > 0)
            stop();
        close(m_socket);
        unlink((m_folder + "/notify").c_str());
        rmdir(m_folder.c_str());
    }

    // A watcher that is not ready within kReadyLimit (paused on a full disk,
    // say) fails the benchmark rather than holding it up for good.
    void waitReady()
    {
        const auto limit = Clock::now() + kReadyLimit;
        for (;;) {
            if (Clock::now() > limit) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, nullptr, 0);
                m_pid = -1;
                die("the watcher was not ready within " + std::to_string(kReadyLimit.count()) + " s");
            }
            pollfd wait{m_socket, POLLIN, 0};
            if (poll(&wait, 1, 1000) > 0) {
                char message[4096];
                const ssize_t length = recv(m_socket, message, sizeof message, 0);
                if (length > 0
                    && std::string(message, static_cast<std::size_t>(length)).find("READY=1") != std::string::npos)
                    return;
            }
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                die("the watcher ended before it was ready");
            }
        }
    }
    void stop()
    {
        kill(m_pid, SIGTERM);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            die("the watcher did not exit cleanly");
    }
    pid_t pid() const { return m_pid; }
    int log() const { return m_log; }

private:
    std::string m_folder;
    int m_socket = -1;
    int m_log = -1;
    pid_t m_pid = -1;
};

std::string field(pid_t pid, const std::string& file, const std::string& key)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key + ":", 0) == 0)
            return line.substr(key.size() + 1);
    return {};
}

long long cpuTicks(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::vector<std::string> fields;
    for (std::string value; rest >> value;)
        fields.push_back(value);
    return std::stoll(fields.at(11)) + std::stoll(fields.at(12)); // utime + stime
}

long long wakeups(pid_t pid)
{
    return std::stoll(field(pid, "status", "voluntary_ctxt_switches"))
         + std::stoll(field(pid, "status", "nonvoluntary_ctxt_switches"));
}

int tree(const std::string& root, int folders, int files)
{
    for (int f = 0; f < folders; ++f) {
        const std::string folder = root + "/" + std::to_string(f / 100) + "/" + std::to_string(f);
        mkdir((root + "/" + std::to_string(f / 100)).c_str(), 0755);
        if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)
            die("cannot make " + folder);
        for (int i = 0; i < files; ++i) {
            const std::string path = folder + "/note " + std::to_string(i) + ".txt";
            const std::string contents = "note " + std::to_string(f) + "." + std::to_string(i) + "\n";
            const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (file < 0 || write(file, contents.data(), contents.size()) != static_cast<ssize_t>(contents.size())
                || close(file) != 0)
                die("cannot write " + path);
        }
    }
    return 0;
}

int idle(const std::string& cli, int seconds)
{
    Watcher watcher(cli, false);
    watcher.waitReady();
    // The status file is written at most once a second, the last time just after readiness.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const long long wakeups0 = wakeups(watcher.pid()), ticks0 = cpuTicks(watcher.pid());
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const long long wakeups1 = wakeups(watcher.pid()), ticks1 = cpuTicks(watcher.pid());
    const long long rss = std::stoll(field(watcher.pid(), "status", "VmRSS"));
    const long long peak = std::stoll(field(watcher.pid(), "status", "VmHWM"));
    std::printf("%lld %lld %lld %lld\n", wakeups1 - wakeups0, ticks1 - ticks0, rss, peak);
    return 0;
}

int latency(const std::string& cli, const std::string& folder, int saves)
{
    Watcher watcher(cli, true);
    watcher.waitReady();
    constexpr int kFiles = 20;
    std::map<std::string, std::vector<Clock::time_point>> closed;
    std::vector<double> latencies;
    std::string pending;
    const std::string marker = "saved a version of ";
    const auto readLog = [&](int timeoutMs) {
        pollfd wait{watcher.log(), POLLIN, 0};
        if (poll(&wait, 1, timeoutMs) <= 0)
            return;
        char buffer[4096];
        const ssize_t length = read(watcher.log(), buffer, sizeof buffer);
        const Clock::time_point now = Clock::now();
        if (length <= 0)
            die("the watcher's log ended");
        pending.append(buffer, static_cast<std::size_t>(length));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
            const std::string line = pending.substr(0, end);
            const std::size_t at = line.find(marker);
            if (at == std::string::npos)
                continue;
            auto& times = closed[line.substr(at + marker.size())];
            if (!times.empty()) {
                latencies.push_back(std::chrono::duration<double, std::milli>(now - times.front()).count());
                times.erase(times.begin());
            }
        }
    };
    // Each file is saved every 2.5 s, more than the quiet period and the time
    // a version takes, so that every save is a version of its own.
    const auto start = Clock::now();
    for (int i = 0; i < saves; ++i) {
        const auto due = start + std::chrono::milliseconds(125 * i);
        while (Clock::now() < due)
            readLog(static_cast<int>(
                std::max<long long>(1, std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now())
                                           .count())));
        const std::string path = folder + "/document " + std::to_string(i % kFiles) + ".txt";
        const std::string contents = "save " + std::to_string(i) + "\n";
        const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (file < 0 || write(file, contents.data(), contents.size()) != static_cast<ssize_t>(contents.size()))
            die("cannot write " + path);
        close(file);
        closed[path].push_back(Clock::now());
    }
    const auto end = Clock::now() + std::chrono::seconds(30);
    while (latencies.size() < static_cast<std::size_t>(saves) && Clock::now() < end)
        readLog(100);
    if (latencies.size() < static_cast<std::size_t>(saves))
        die("only " + std::to_string(latencies.size()) + " of " + std::to_string(saves) + " saves were versioned");
    std::sort(latencies.begin(), latencies.end());
    const auto at = [&](double q) { return latencies[static_cast<std::size_t>(q * (latencies.size() - 1) + 0.5)]; };
    std::printf("%.1f %.1f\n", at(0.5), at(0.95));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 4 && args[0] == "tree")
        return tree(args[1], std::stoi(args[2]), std::stoi(args[3]));
    if (args.size() == 2 && args[0] == "ready") {
        Watcher watcher(args[1], false);
        watcher.waitReady();
        return 0;
    }
    if (args.size() == 3 && args[0] == "idle")
        return idle(args[1], std::stoi(args[2]));
    if (args.size() == 4 && args[0] == "latency")
        return latency(args[1], args[2], std::stoi(args[3]));
    std::fprintf(stderr, "usage: watch_bench tree|ready|idle|latency ...\n");
    return 2;
}
