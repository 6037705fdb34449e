// Real etcd clusters for the tests: members on free loopback ports with data directories of their
// own, killed and removed at the end (tests and benchmarks).
#pragma once

#include "Platform/ConfigServer/EtcdClient.h"

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace TestSupport
{

inline int FreePort()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    bind(s, reinterpret_cast<sockaddr*>(&address), length);
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
        const std::string name = "etcd-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
        m_directory = std::filesystem::temp_directory_path() / name;
        std::filesystem::create_directories(m_directory);
        std::string initial;
        for (int i = 0; i < members; ++i)
        {
            m_members.push_back({"m" + std::to_string(i), "http://127.0.0.1:" + std::to_string(FreePort()),
                                 "http://127.0.0.1:" + std::to_string(FreePort())});
            initial += (i ? "," : "") + m_members[i].name + "=" + m_members[i].peer;
            m_endpoints.push_back(m_members[i].client);
        }
        for (Member& member : m_members)
        {
            const std::string data = (m_directory / member.name).string();
            const std::string command =
                "exec etcd --name=" + member.name + " --data-dir=" + data +
                " --listen-client-urls=" + member.client + " --advertise-client-urls=" + member.client +
                " --listen-peer-urls=" + member.peer + " --initial-advertise-peer-urls=" + member.peer +
                " --initial-cluster=" + initial + " --initial-cluster-token=t" + name +
                " --initial-cluster-state=new --heartbeat-interval=50" +
                " --election-timeout=500 --logger=zap --log-level=error >>" + data + ".log 2>&1";
            if ((member.pid = fork()) == 0)
            {
                execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
                _exit(127);
            }
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

    // "etcd:<every endpoint>/<prefix>"
    std::wstring Location(const std::string& prefix) const
    {
        std::string text = "etcd:";
        for (std::size_t i = 0; i < m_endpoints.size(); ++i)
        {
            text += (i ? "," : "") + m_endpoints[i];
        }
        text += "/" + prefix;
        return std::wstring(text.begin(), text.end());
    }
    // One member that the tests of a process share, each on a prefix of its own.
    static EtcdCluster& Shared()
    {
        static EtcdCluster cluster(1);
        return cluster;
    }
    // A prefix no other test of the process uses.
    static std::string UniquePrefix()
    {
        static std::atomic<int> counter{0};
        return "rsm/t" + std::to_string(++counter);
    }

    void Kill(int i)
    {
        if (m_members[i].pid > 0)
        {
            kill(m_members[i].pid, SIGKILL);
            waitpid(std::exchange(m_members[i].pid, 0), nullptr, 0);
        }
    }
    // The live member that leads, or -1.
    int Leader() const
    {
        for (int i = 0; i < static_cast<int>(m_members.size()); ++i)
        {
            ConfigServer::Json status;
            if (m_members[i].pid > 0 &&
                SUCCEEDED(ConfigServer::EtcdClient({m_members[i].client})
                              .Call("/v3/maintenance/status", ConfigServer::Json::object(), status)) &&
                ConfigServer::JsonNumber(status, "leader") != 0 &&
                ConfigServer::JsonNumber(status, "leader") ==
                    ConfigServer::JsonNumber(status["header"], "member_id"))
            {
                return i;
            }
        }
        return -1;
    }
    // A call on any member that answers.
    HRESULT Call(const char* path, const ConfigServer::Json& body, ConfigServer::Json& answer) const
    {
        return ConfigServer::EtcdClient(m_endpoints).Call(path, body, answer);
    }

private:
    struct Member
    {
        std::string name, client, peer;
        pid_t pid = 0;
    };

    bool WaitReady() const
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline)
        {
            bool ready = true;
            for (const Member& member : m_members)
            {
                ConfigServer::Json answer;
                ready = ready && SUCCEEDED(ConfigServer::EtcdClient({member.client})
                                               .Call("/v3/kv/range", {{"key", "AA=="}}, answer));
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
    std::vector<std::string> m_endpoints;
};

} // namespace TestSupport
