// Runs rsmd and rsmctl as child processes for the process-level tests; waits and the in-process
// manager come from the manager host tests' support.
#pragma once

#include "Subsystems/ManagementService/ReportingSettingsManager/ManagerHostSupport.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

namespace RsmdTest
{
namespace fs = std::filesystem;
using ManagerHost::Clock;
using ManagerHost::WaitFor;

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

// Generous for start-up under the sanitizers; the stop limit is the service's promise.
constexpr std::chrono::milliseconds kStartTimeout{30000};
constexpr std::chrono::milliseconds kStopLimit{2000};

// A child process with standard output and standard error in the files <files>.out and .err.
class Child
{
public:
    Child(const std::vector<std::string>& argv, const fs::path& files)
        : m_out(files.string() + ".out"), m_err(files.string() + ".err")
    {
        std::vector<char*> args;
        for (const std::string& a : argv)
        {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        // Opened here, so that they are empty before the child runs.
        const int out = open(m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int err = open(m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        m_pid = fork();
        if (m_pid == 0)
        {
            dup2(out, 1);
            dup2(err, 2);
            execv(args[0], args.data());
            _exit(127);
        }
        close(out);
        close(err);
    }
    ~Child()
    {
        if (m_pid > 0 && !m_reaped)
        {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t Pid() const { return m_pid; }
    // Waits for the exit; the exit status (128 + signal when killed), or -1 on timeout.
    int Wait(std::chrono::milliseconds timeout)
    {
        int status = 0;
        m_reaped = WaitFor([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; }, timeout);
        return !m_reaped ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::string Out() const { return ReadFile(m_out); }
    std::string Err() const { return ReadFile(m_err); }

private:
    pid_t m_pid = -1;
    bool m_reaped = false;
    std::string m_out;
    std::string m_err;
};

inline std::vector<std::string> RsmdArgs(const fs::path& data, std::vector<std::string> extra)
{
    extra.insert(extra.begin(), {RSMD_PATH, "--data", data.string(), "--listen", "127.0.0.1:0"});
    return extra;
}

// rsmd on a free loopback port over a data directory of the test.
class Rsmd
{
public:
    explicit Rsmd(const fs::path& data, std::vector<std::string> extra = {}, bool expectStart = true)
        : process(RsmdArgs(data, std::move(extra)), data.parent_path() / (data.filename().string() + ".rsmd"))
    {
        const std::string prefix = "listening on http://127.0.0.1:";
        if (expectStart)
        {
            WaitFor([&] { return process.Out().find('\n') != std::string::npos; }, kStartTimeout);
            const std::string out = process.Out();
            EXPECT_EQ(out.rfind(prefix, 0), 0u) << out << "\n" << process.Err();
            port = out.rfind(prefix, 0) == 0 ? std::stoi(out.substr(prefix.size())) : 0;
        }
    }

    std::unique_ptr<httplib::Client> Client() const
    {
        auto client = std::make_unique<httplib::Client>("127.0.0.1", port);
        client->set_read_timeout(30);
        return client;
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port); }

    // SIGTERM: exit 0 within the stop limit.
    void ExpectCleanStop()
    {
        const auto start = Clock::now();
        kill(process.Pid(), SIGTERM);
        EXPECT_EQ(process.Wait(std::chrono::milliseconds(20000)), 0) << process.Err();
        EXPECT_LT(Clock::now() - start, kStopLimit);
    }

    Child process;
    int port = 0;
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
    args.insert(args.begin(), {RSMCTL_PATH, "--server", url});
    Child child(args, work / "rsmctl");
    const int status = child.Wait(std::chrono::milliseconds(60000));
    return RunResult{status, child.Out(), child.Err()};
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
