// A small client of etcd's v3 JSON gateway: unary calls with failover between the cluster's
// endpoints, and one watch stream at a time. Keys and values are raw bytes here; the gateway's
// base64 stays inside.
#pragma once

#include "Common/Base/Locks.h"
#include "RsmTypes.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace ConfigServer
{

using Json = nlohmann::json;

// The cluster's answers that a caller tells apart.
constexpr HRESULT ETCD_E_COMPACTED = MakeHr(0x8007139F);   // ERROR_INVALID_STATE: revision compacted
constexpr HRESULT ETCD_E_UNREACHABLE = MakeHr(0x800704C9); // ERROR_CONNECTION_REFUSED
constexpr HRESULT ETCD_E_TIMEOUT = MakeHr(0x800705B4);     // ERROR_TIMEOUT
constexpr HRESULT ETCD_E_BAD_ANSWER = MakeHr(0x8007000D);  // ERROR_INVALID_DATA

std::string Base64Encode(std::string_view bytes);
bool Base64Decode(std::string_view text, std::string& bytes);
// A 64-bit number of a gateway answer (written as text or as a number; absent = 0).
std::uint64_t JsonNumber(const Json& object, const char* name);
// The raw bytes of a base64 field (absent = empty).
std::string JsonBytes(const Json& object, const char* name);

class EtcdClient
{
public:
    // endpoints: "http://host:port" each.
    explicit EtcdClient(std::vector<std::string> endpoints);
    ~EtcdClient();
    EtcdClient(const EtcdClient&) = delete;
    EtcdClient& operator=(const EtcdClient&) = delete;

    // POSTs body to path (as "/v3/kv/range") and parses the answer. Moves to the next endpoint when
    // one cannot be reached or has no leader, until the deadline passes.
    HRESULT Call(const char* path, const Json& body, Json& answer) RSM_EXCLUDES(m_mutex);
    // Several independent calls at once on the current endpoint (the cluster commits requests that
    // arrive together in one round); a call that fails there is made again with Call.
    HRESULT CallAll(const char* path, const std::vector<std::string>& bodies, std::vector<Json>& answers)
        RSM_EXCLUDES(m_mutex);

    // Runs a watch stream on the current endpoint until it ends, fails or stop is set; each
    // message goes to onMessage, which returns false to end the stream. Wake() makes a running
    // stream look at stop at once.
    HRESULT Stream(const char* path, const Json& body, const std::function<bool(const Json&)>& onMessage,
                   const std::atomic<bool>& stop);
    void Wake();
    // After a failed stream: the next endpoint.
    void NextEndpoint();

    static constexpr auto kDeadline = std::chrono::seconds(6);

private:
    HRESULT Post(const std::string& url, const std::string& body, std::string& reply) RSM_REQUIRES(m_mutex);
    HRESULT Answer(const std::string& reply, Json& answer, bool& transient);

    const std::vector<std::string> m_endpoints;
    std::atomic<std::size_t> m_current{0};
    Base::Mutex m_mutex;
    void* m_easy RSM_GUARDED_BY(m_mutex) = nullptr; // reused, so that connections are kept
    void* m_multi = nullptr;                        // the watch stream's
};

} // namespace ConfigServer
