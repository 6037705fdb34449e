// Real etcd clusters for the tests: members on free loopback ports with data directories of their
// own, killed and removed at the end (tests and benchmarks).
#pragma once

#include "Platform/ConfigServer/EtcdClient.h"

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace TestSupport
{

inline int FreePort()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    close(s);
    return ntohs(address.sin_port);
}

class EtcdCluster
{
public:
    explicit EtcdCluster(int members)
    {
        static std::atomic<int> counter{0};
        m_directory = std::filesystem::temp_directory_path() /
                      ("etcd-" + std::to_string(getpid()) + "-" + std::to_string(++counter));
        std::filesystem::create_directories(m_directory);
        std::string initial;
        for (int i = 0; i < members; ++i)
        {
            Member member;
            member.name = "m" + std::to_string(i);
            member.client = "http://127.0.0.1:" + std::to_string(FreePort());
            member.peer = "http://127.0.0.1:" + std::to_string(FreePort());
            initial += (i ? "," : "") + member.name + "=" + member.peer;
            m_members.push_back(member);
        }
        for (int i = 0; i < members; ++i)
        {
            m_members[i].initial = initial;
            Launch(i);
        }
        ready = WaitReady();
    }
    ~EtcdCluster()
    {
        for (int i = 0; i < static_cast<int>(m_members.size()); ++i)
        {
            Kill(i);
        }
        std::filesystem::remove_all(m_directory);
    }

    bool ready = false; // every member answers

    std::size_t Size() const { return m_members.size(); }
    const std::string& Endpoint(int i) const { return m_members[i].client; }
    // "etcd:<every endpoint>/<prefix>"
    std::wstring Location(const std::string& prefix) const
    {
        std::string text = "etcd:";
        for (std::size_t i = 0; i < m_members.size(); ++i)
        {
            text += (i ? "," : "") + m_members[i].client;
        }
        return std::wstring(text.begin(), text.end()) + L"/" + std::wstring(prefix.begin(), prefix.end());
    }
    // A prefix no other test of the process uses.
    static std::string UniquePrefix()
    {
        static std::atomic<int> counter{0};
        return "rsm/t" + std::to_string(++counter);
    }

    void Kill(int i)
    {
        Member& member = m_members[i];
        if (member.pid > 0)
        {
            kill(member.pid, SIGKILL);
            waitpid(member.pid, nullptr, 0);
            member.pid = 0;
        }
    }
    // Starts a killed member again on its data directory.
    bool Restart(int i)
    {
        Launch(i);
        return WaitReady();
    }
    // The member that leads, or -1.
    int Leader() const
    {
        for (int i = 0; i < static_cast<int>(m_members.size()); ++i)
        {
            if (m_members[i].pid <= 0)
            {
                continue;
            }
            ConfigServer::EtcdClient client({m_members[i].client});
            ConfigServer::Json status;
            if (SUCCEEDED(client.Call("/v3/maintenance/status", ConfigServer::Json::object(), status)) &&
                ConfigServer::JsonNumber(status, "leader") != 0 &&
                ConfigServer::JsonNumber(status, "leader") ==
                    ConfigServer::JsonNumber(status["header"], "member_id"))
            {
                return i;
            }
        }
        return -1;
    }
    // A call on any live member.
    HRESULT Call(const char* path, const ConfigServer::Json& body, ConfigServer::Json& answer) const
    {
        std::vector<std::string> live;
        for (const Member& member : m_members)
        {
            if (member.pid > 0)
            {
                live.push_back(member.client);
            }
        }
        ConfigServer::EtcdClient client(live);
        return client.Call(path, body, answer);
    }

private:
    struct Member
    {
        std::string name, client, peer, initial;
        pid_t pid = 0;
    };

    void Launch(int i)
    {
        Member& member = m_members[i];
        const std::string data = (m_directory / member.name).string();
        const std::string log = (m_directory / (member.name + ".log")).string();
        const std::string token = "t" + std::to_string(getpid()) + m_directory.filename().string();
        std::vector<std::string> args = {"etcd",
                                         "--name=" + member.name,
                                         "--data-dir=" + data,
                                         "--listen-client-urls=" + member.client,
                                         "--advertise-client-urls=" + member.client,
                                         "--listen-peer-urls=" + member.peer,
                                         "--initial-advertise-peer-urls=" + member.peer,
                                         "--initial-cluster=" + member.initial,
                                         "--initial-cluster-token=" + token,
                                         "--initial-cluster-state=new",
                                         "--heartbeat-interval=50",
                                         "--election-timeout=500",
                                         "--logger=zap",
                                         "--log-level=error"};
        pid_t pid = fork();
        if (pid == 0)
        {
            int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(fd, 1);
            dup2(fd, 2);
            std::vector<char*> argv;
            for (auto& arg : args)
            {
                argv.push_back(arg.data());
            }
            argv.push_back(nullptr);
            execvp("etcd", argv.data());
            _exit(127);
        }
        member.pid = pid;
    }

    bool WaitReady() const
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline)
        {
            ConfigServer::Json answer;
            bool ready = true;
            for (const Member& member : m_members)
            {
                ConfigServer::EtcdClient client({member.client});
                ready = ready && (member.pid <= 0 ||
                                  SUCCEEDED(client.Call("/v3/kv/range", {{"key", "AA=="}}, answer)));
            }
            if (ready)
            {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    std::filesystem::path m_directory;
    std::vector<Member> m_members;
};

} // namespace TestSupport
