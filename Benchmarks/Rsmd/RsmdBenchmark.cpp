// rsmd under load, as a client sees it: one service process (memory store, seeded from the
// sample) for the whole program.
//  - BM_Get: requests per second of 4 concurrent keep-alive clients, for the connection settings
//    of Pentrel against the constant health answer of the same server (the baseline), and a
//    store read of one node. and a
//    store read of one node.
//  - BM_PutToEvent: from PUT /v1/config of a Quorl setting to its settings event at a client
//    watching Quorl; median and p99 in microseconds as counters.
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{
namespace fs = std::filesystem;

class Service
{
public:
    Service()
    {
        const fs::path data = fs::path(RSM_BENCH_DIR) / "data";
        fs::remove_all(data);
        int out[2];
        if (pipe(out) != 0)
        {
            std::abort();
        }
        m_pid = fork();
        if (m_pid == 0)
        {
            dup2(out[1], 1);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
            execl(RSMD_PATH, RSMD_PATH, "--data", data.c_str(), "--store", "memory:", "--listen",
                  "127.0.0.1:0", nullptr);
            _exit(127);
        }
        close(out[1]);
        std::string line;
        char c = 0;
        while (read(out[0], &c, 1) == 1 && c != '\n')
        {
            line += c;
        }
        close(out[0]);
        port = std::atoi(line.substr(line.rfind(':') + 1).c_str());
        if (port == 0)
        {
            std::fprintf(stderr, "rsmd did not start: %s\n", line.c_str());
            std::abort();
        }
    }
    ~Service()
    {
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
    }
    int port = 0;

private:
    pid_t m_pid = -1;
};

Service& TheService()
{
    static Service service;
    return service;
}

void BM_Get(benchmark::State& state, const char* path)
{
    httplib::Client client("127.0.0.1", TheService().port);
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true); // headers and body are two writes
    for (auto _ : state)
    {
        auto result = client.Get(path);
        if (!result || result->status != 200)
        {
            state.SkipWithError(result ? ("status " + std::to_string(result->status)).c_str() : "no answer");
            break;
        }
        benchmark::DoNotOptimize(result->body.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK_CAPTURE(BM_Get, health_baseline, "/v1/health")->Threads(4)->UseRealTime()->MinTime(3);
BENCHMARK_CAPTURE(BM_Get, connection_settings_8, "/v1/connection-settings/8")
    ->Threads(4)
    ->UseRealTime()
    ->MinTime(3);
// A store read of about the same size, which needs no manager.
BENCHMARK_CAPTURE(BM_Get, config_node, "/v1/config?path=%5CSettings%5CProducts%5CPentrel")
    ->Threads(4)
    ->UseRealTime()
    ->MinTime(3);

void BM_PutToEvent(benchmark::State& state)
{
    const int port = TheService().port;
    std::mutex lock;
    std::condition_variable arrived;
    std::string received;
    std::atomic<bool> stop{false};
    std::thread watcher(
        [&]
        {
            httplib::Client client("127.0.0.1", port);
            client.set_read_timeout(60);
            client.Get("/v1/events?types=4", httplib::Headers{},
                       [&](const char* data, std::size_t size)
                       {
                           {
                               std::lock_guard<std::mutex> guard(lock);
                               received.append(data, size);
                           }
                           arrived.notify_all();
                           return !stop.load();
                       });
        });
    httplib::Client client("127.0.0.1", port);
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true); // headers and body are two writes
    {
        std::unique_lock<std::mutex> guard(lock);
        arrived.wait_for(guard, std::chrono::seconds(10),
                         [&] { return received.find(": subscribed") != std::string::npos; });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the initial notification
    std::vector<double> micros;
    int n = 0;
    for (auto _ : state)
    {
        const std::string value = "Audit_Quorl_" + std::to_string(++n);
        {
            std::lock_guard<std::mutex> guard(lock);
            received.clear();
        }
        const auto start = std::chrono::steady_clock::now();
        auto put = client.Put(
            "/v1/config",
            R"({"path":"\\Settings\\Products\\Quorl","attributes":[{"name":"DatabaseName","type":"string","value":")" +
                value + "\"}]}",
            "application/json");
        if (!put || put->status != 200)
        {
            state.SkipWithError("PUT failed");
            break;
        }
        std::unique_lock<std::mutex> guard(lock);
        if (!arrived.wait_for(guard, std::chrono::seconds(10),
                              [&] { return received.find("\"" + value + "\"") != std::string::npos; }))
        {
            state.SkipWithError("no settings event");
            break;
        }
        const double us =
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(us / 1e6);
        micros.push_back(us);
    }
    stop = true;
    // The next heartbeat ends the watcher's stream.
    watcher.join();
    if (!micros.empty())
    {
        std::sort(micros.begin(), micros.end());
        state.counters["median_us"] = micros[micros.size() / 2];
        state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    }
}
BENCHMARK(BM_PutToEvent)->UseManualTime()->Iterations(500)->Unit(benchmark::kMicrosecond);
} // namespace

BENCHMARK_MAIN();
