// Runs rsmd and rsmctl as child processes for the process-level tests.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace RsmdTest
{
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline std::string ReadFile(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

inline void WriteFile(const fs::path& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

// A fresh folder under the test's build folder.
inline fs::path TempFolder(const std::string& name)
{
    const fs::path path = fs::path(RSM_TEST_DIR) / "tmp" / (name + "-" + std::to_string(getpid()));
    fs::remove_all(path);
    fs::create_directories(path);
    return path;
}

// A child process with standard output on a pipe (or a file) and standard error in a file.
class Child
{
public:
    Child(const std::vector<std::string>& argv, const fs::path& errFile, const fs::path& outFile = {})
        : m_errFile(errFile)
    {
        int pipeFds[2] = {-1, -1};
        if (outFile.empty() && pipe2(pipeFds, O_CLOEXEC) != 0)
        {
            ADD_FAILURE() << "pipe";
            return;
        }
        m_pid = fork();
        if (m_pid == 0)
        {
            const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(err, 2);
            if (outFile.empty())
            {
                dup2(pipeFds[1], 1);
            }
            else
            {
                dup2(open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
            }
            std::vector<char*> args;
            for (const std::string& a : argv)
            {
                args.push_back(const_cast<char*>(a.c_str()));
            }
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        if (outFile.empty())
        {
            close(pipeFds[1]);
            m_out = pipeFds[0];
        }
    }
    ~Child()
    {
        if (m_pid > 0 && !m_reaped)
        {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_out >= 0)
        {
            close(m_out);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t Pid() const { return m_pid; }

    // The next line of standard output, or "" when none comes in time.
    std::string ReadLine(std::chrono::milliseconds timeout)
    {
        const auto deadline = Clock::now() + timeout;
        while (true)
        {
            if (const std::size_t end = m_buffer.find('\n'); end != std::string::npos)
            {
                std::string line = m_buffer.substr(0, end);
                m_buffer.erase(0, end + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p{m_out, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
            {
                return {};
            }
            char chunk[4096];
            const ssize_t n = read(m_out, chunk, sizeof(chunk));
            if (n <= 0)
            {
                return {};
            }
            m_buffer.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // Waits for the exit; the exit status (128 + signal when killed), or -1 on timeout.
    int Wait(std::chrono::milliseconds timeout)
    {
        const auto deadline = Clock::now() + timeout;
        while (true)
        {
            int status = 0;
            const pid_t done = waitpid(m_pid, &status, WNOHANG);
            if (done == m_pid)
            {
                m_reaped = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (Clock::now() > deadline)
            {
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    std::string Err() const { return ReadFile(m_errFile); }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    bool m_reaped = false;
    fs::path m_errFile;
    std::string m_buffer;
};

// Generous for start-up under the sanitizers; the stop limit is the service's promise.
constexpr std::chrono::milliseconds kStartTimeout{30000};
constexpr std::chrono::milliseconds kStopLimit{2000};

// rsmd on a free loopback port over a data directory of the test.
class Rsmd
{
public:
    explicit Rsmd(const fs::path& data, std::vector<std::string> extra = {}, bool expectStart = true)
    {
        std::vector<std::string> argv = {RSMD_PATH, "--data", data.string(), "--listen", "127.0.0.1:0"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        m_child =
            std::make_unique<Child>(argv, data.parent_path() / (data.filename().string() + ".rsmd.err"));
        if (!expectStart)
        {
            return;
        }
        firstLine = m_child->ReadLine(kStartTimeout);
        const std::string prefix = "listening on http://127.0.0.1:";
        EXPECT_EQ(firstLine.rfind(prefix, 0), 0u) << firstLine << "\n" << m_child->Err();
        if (firstLine.rfind(prefix, 0) == 0)
        {
            port = std::stoi(firstLine.substr(prefix.size()));
        }
    }

    std::unique_ptr<httplib::Client> Client() const
    {
        auto client = std::make_unique<httplib::Client>("127.0.0.1", port);
        client->set_read_timeout(30);
        return client;
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port); }
    Child& Process() { return *m_child; }

    // Sends the signal and waits for the exit; the elapsed time goes to elapsed.
    int Stop(int signal, std::chrono::milliseconds& elapsed)
    {
        const auto start = Clock::now();
        kill(m_child->Pid(), signal);
        const int status = m_child->Wait(std::chrono::milliseconds(20000));
        elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        return status;
    }

    std::string firstLine;
    int port = 0;

private:
    std::unique_ptr<Child> m_child;
};

struct RunResult
{
    int status = -1;
    std::string out;
    std::string err;
};

// Runs rsmctl to its end.
inline RunResult Rsmctl(const std::string& url, std::vector<std::string> args, const fs::path& work)
{
    std::vector<std::string> argv = {RSMCTL_PATH, "--server", url};
    argv.insert(argv.end(), args.begin(), args.end());
    Child child(argv, work / "rsmctl.err", work / "rsmctl.out");
    RunResult result;
    result.status = child.Wait(std::chrono::milliseconds(60000));
    result.out = ReadFile(work / "rsmctl.out");
    result.err = child.Err();
    return result;
}

// Status and HRESULT of an error answer.
inline std::string HResultOf(const httplib::Result& result)
{
    if (!result)
    {
        return "no answer";
    }
    const auto body = nlohmann::json::parse(result->body, nullptr, false);
    if (!body.is_object() || !body.contains("error"))
    {
        return "status " + std::to_string(result->status) + " without an error body";
    }
    return std::to_string(result->status) + " " + body["error"].value("hresult", "");
}
} // namespace RsmdTest
