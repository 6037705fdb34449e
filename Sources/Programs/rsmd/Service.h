// The HTTP/JSON API of rsmd over the configuration server and the manager.
#pragma once

#include "Common/Base/Locks.h"
#include "ConfigServer.h"
#include "InterfacePtr.h"
#include "Programs/HostCommon/NodeJson.h"
#include "Programs/rsmd/EventStreams.h"
#include "ReportingSettingsManager.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>

namespace httplib
{
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace Rsmd
{
// Request bodies above this size are refused with 413.
constexpr std::size_t kMaxBodyBytes = 16u << 20;

struct ServiceSetup
{
    IConfigServerProxy* proxy = nullptr;
    IConfigStorage* storage = nullptr;
    IReportingSettingsManager* manager = nullptr;
    std::string token;      // empty: no authentication
    std::string healthBody; // the answer of GET /v1/health
};

// Counters for GET /metrics.
class Metrics
{
public:
    void CountRequest(const std::string& route, int status) RSM_EXCLUDES(m_lock);
    void CountFailure(HRESULT hr) RSM_EXCLUDES(m_lock);
    void CountCommit() { m_commits.fetch_add(1, std::memory_order_relaxed); }
    std::string Render(EventHub& hub) RSM_EXCLUDES(m_lock);

private:
    Base::Mutex m_lock;
    std::map<std::pair<std::string, int>, std::uint64_t> m_requests RSM_GUARDED_BY(m_lock);
    std::map<std::uint32_t, std::uint64_t> m_failures RSM_GUARDED_BY(m_lock);
    std::atomic<std::uint64_t> m_commits{0};
};

class Service
{
public:
    explicit Service(const ServiceSetup& setup);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Binds the listening socket; port 0 picks a free one. The port bound, or -1.
    int Bind(const std::string& host, int port);
    // Serves until Stop; returns when every connection has ended.
    void Run();
    // Stops accepting and ends the event streams; Run then returns.
    void Stop();

    Metrics& GetMetrics() { return m_metrics; }

private:
    void Routes();
    void SendError(httplib::Response& res, HRESULT hr, const std::string& detail, bool fromCall);
    void SendNode(httplib::Response& res, IVXNode* node);
    // The node on success, else the call's error.
    void SendCallResult(httplib::Response& res, HRESULT hr, const HostCommon::NodeHandle& result);
    // The reporting settings type named by the route's first capture; 404 when there is none.
    bool TypeOfRoute(const httplib::Request& req, httplib::Response& res, std::uint32_t& type);
    bool Authorized(const httplib::Request& req) const;

    void Events(const httplib::Request& req, httplib::Response& res);
    void GetConfig(const httplib::Request& req, httplib::Response& res);
    void PutConfig(const httplib::Request& req, httplib::Response& res);
    void DeleteConfig(const httplib::Request& req, httplib::Response& res);
    void Export(httplib::Response& res);
    void Import(const httplib::Request& req, httplib::Response& res);

    ServiceSetup m_setup;
    std::unique_ptr<httplib::Server> m_server;
    EventHub m_hub;
    Metrics m_metrics;
};
} // namespace Rsmd
