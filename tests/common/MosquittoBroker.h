#pragma once
// A real mosquitto broker for the publishing tests and the benchmark, on a
// free loopback port with a configuration of its own, and a subscriber on
// libmosquitto that keeps every message it gets. POSIX only.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mosquitto.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kelvo::testing {

// A loopback port nobody listens on now.
inline int FreeLoopbackPort()
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

inline bool Listening(int Port)
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(Port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

class TMosquitto {
public:
    // Extra: more lines for mosquitto.conf (a TLS listener, a password
    // file); Anonymous: whether clients without a user name are let in.
    // The broker keeps its store in Dir, so that a restart keeps the
    // subscribers' sessions and the retained messages.
    TMosquitto(std::filesystem::path Dir, const std::string& Extra = std::string(), bool Anonymous = true)
        : Dir(std::move(Dir)), Port(FreeLoopbackPort())
    {
        std::ofstream conf(this->Dir / "mosquitto.conf");
        conf << "listener " << Port << " 127.0.0.1\nallow_anonymous " << (Anonymous ? "true" : "false")
             // Started by root (CI), it stays root: its files here are root's.
             << "\nuser root\npersistence true\n"
             << "persistence_location " << (this->Dir / "").string() << "\n"
             << Extra;
    }
    ~TMosquitto() { Stop(); }

    bool Start()
    {
        FPid = ::fork();
        if (FPid == 0) {
            const std::string log = (Dir / "mosquitto.log").string();
            std::freopen(log.c_str(), "a", stdout);
            std::freopen(log.c_str(), "a", stderr);
            const std::string conf = (Dir / "mosquitto.conf").string();
            ::execl(MOSQUITTO_BROKER, MOSQUITTO_BROKER, "-c", conf.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 500; ++i) {
            if (Listening(Port))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    void Stop()
    {
        if (FPid <= 0)
            return;
        ::kill(FPid, SIGTERM);
        ::waitpid(FPid, nullptr, 0);
        FPid = -1;
    }

    std::string Url() const { return "mqtt://127.0.0.1:" + std::to_string(Port); }

    std::filesystem::path Dir;
    int Port;

private:
    pid_t FPid = -1;
};

struct TReceived {
    std::string Topic;
    std::string Payload;
    bool Retained = false;
    std::chrono::steady_clock::time_point At;
};

// Subscribed to everything at QoS 1 with a session the broker keeps while
// it is away (and across a restart of the broker).
class TMqttSubscriber {
public:
    explicit TMqttSubscriber(int Port, const std::string& Id = "kelvo-test-subscriber")
    {
        mosquitto_lib_init();
        FMosq = mosquitto_new(Id.c_str(), false, this);
        mosquitto_connect_callback_set(FMosq, [](mosquitto* M, void*, int Rc) {
            if (Rc == 0)
                mosquitto_subscribe(M, nullptr, "#", 1);
        });
        mosquitto_subscribe_callback_set(FMosq, [](mosquitto*, void* Self, int, int, const int*) {
            auto* s = static_cast<TMqttSubscriber*>(Self);
            std::lock_guard<std::mutex> g(s->FLock);
            s->FSubscribed = true;
            s->FChanged.notify_all();
        });
        mosquitto_message_callback_set(FMosq, [](mosquitto*, void* Self, const mosquitto_message* M) {
            auto* s = static_cast<TMqttSubscriber*>(Self);
            TReceived r{M->topic, std::string(static_cast<const char*>(M->payload), size_t(M->payloadlen)), M->retain,
                        std::chrono::steady_clock::now()};
            if (s->OnMessage)
                s->OnMessage(r);
            std::lock_guard<std::mutex> g(s->FLock);
            s->FMessages.push_back(std::move(r));
            s->FChanged.notify_all();
        });
        mosquitto_reconnect_delay_set(FMosq, 1, 1, false);
        mosquitto_connect_async(FMosq, "127.0.0.1", Port, 10);
        mosquitto_loop_start(FMosq);
    }
    ~TMqttSubscriber()
    {
        // Not forced: a cancelled loop thread could leave a lock held.
        mosquitto_disconnect(FMosq);
        mosquitto_loop_stop(FMosq, false);
        mosquitto_destroy(FMosq);
    }

    bool WaitSubscribed(int Ms = 10000)
    {
        std::unique_lock<std::mutex> g(FLock);
        return FChanged.wait_for(g, std::chrono::milliseconds(Ms), [&] { return FSubscribed; });
    }
    // Until Done holds for the messages so far.
    bool WaitFor(const std::function<bool(const std::vector<TReceived>&)>& Done, int Ms = 20000)
    {
        std::unique_lock<std::mutex> g(FLock);
        return FChanged.wait_for(g, std::chrono::milliseconds(Ms), [&] { return Done(FMessages); });
    }
    std::vector<TReceived> Messages() const
    {
        std::lock_guard<std::mutex> g(FLock);
        return FMessages;
    }
    std::vector<std::string> Payloads(const std::string& Topic) const
    {
        std::vector<std::string> out;
        for (const TReceived& r : Messages())
            if (r.Topic == Topic)
                out.push_back(r.Payload);
        return out;
    }

    // Called on the subscriber's thread, before the message is kept.
    std::function<void(const TReceived&)> OnMessage;

private:
    mosquitto* FMosq = nullptr;
    mutable std::mutex FLock;
    std::condition_variable FChanged;
    bool FSubscribed = false;
    std::vector<TReceived> FMessages;
};

inline size_t Count(const std::vector<TReceived>& Messages, const std::string& Topic, const std::string& Payload = "")
{
    size_t n = 0;
    for (const TReceived& r : Messages)
        n += r.Topic == Topic && (Payload.empty() || r.Payload == Payload);
    return n;
}

}  // namespace kelvo::testing
