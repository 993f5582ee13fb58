#include "kelvoctl_mqtt.h"

#include <mosquitto.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "kelvoctl_args.h"
#include "kelvoctl_mqtt_wait.h"

namespace kelvo::ctl {

namespace {

using Clock = std::chrono::steady_clock;

// Messages handed to libmosquitto and not yet confirmed: its own limit for
// MQTT 3.1.1, so that it never keeps a queue of its own that a new
// connection would send a second time.
constexpr size_t kWindow = 20;

void InitLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

// One connection: the publishing one, or one that holds a will.
struct TClient {
    TBrokerLink::TState* Link = nullptr;
    bool Publisher = false;
    std::string WillTopic;
    std::string WillPayload;
    mosquitto* Mosq = nullptr;
    bool Up = false;         // the broker accepted this connection
    bool EverUp = false;     // some connection of this client was accepted
    bool Lost = false;       // and then lost; the next acceptance is "again"
    int Refusal = 0;         // the broker's refusal code
    unsigned Failures = 0;   // attempts failed in a row
    Clock::time_point NextTry;
    std::string LibraryError;        // libmosquitto's last error line (TLS)
    std::map<int, uint64_t> InFlight;  // message id -> queue number
};

}  // namespace

struct TBrokerLink::TState {
    explicit TState(const TBrokerSettings& Settings, size_t TickLimit) : S(Settings), Queue(TickLimit) {}

    TBrokerSettings S;
    mutable std::mutex Lock;
    std::condition_variable Changed;
    // Under Lock.
    TOutQueue Queue;
    std::map<std::string, TOutMessage> LastRetained;
    std::set<std::string> WillTopics;
    std::vector<std::unique_ptr<TClient>> NewClients;
    std::string Refused;
    std::vector<std::string> Notes;
    bool DropNoted = false;
    uint64_t DroppedBefore = 0;  // dropped when the broker was last reached
    bool Stop = false;
    bool SayGoodbye = false;
    // The network thread's own.
    std::vector<std::unique_ptr<TClient>> Clients;
    TSocketWait Wait;
    std::thread Thread;

    void Note(const std::string& Text)
    {
        std::lock_guard<std::mutex> g(Lock);
        Notes.push_back(S.Url + ": " + Text);
    }
    void Run();
    void Connect(TClient& C);
    void Drop(TClient& C, const std::string& Why);
    int Pump(TClient& C);
    void Goodbye();
};

namespace {

TClient& ClientOf(void* Obj)
{
    return *static_cast<TClient*>(Obj);
}

void OnConnect(mosquitto*, void* Obj, int Rc)
{
    TClient& c = ClientOf(Obj);
    TBrokerLink::TState& l = *c.Link;
    if (Rc != 0) {
        c.Refusal = Rc;
        return;
    }
    const bool again = c.Lost;
    c.Up = c.EverUp = true;
    c.Failures = 0;
    std::lock_guard<std::mutex> g(l.Lock);
    if (c.Publisher) {
        if (again) {
            // A broker that restarted without its store knows no retained
            // message of ours any more.
            for (const auto& [topic, m] : l.LastRetained)
                l.Queue.Push(m);
            const uint64_t dropped = l.Queue.DroppedTotal() - l.DroppedBefore;
            l.Notes.push_back(l.S.Url + ": connected again" +
                              (dropped ? "; " + std::to_string(dropped) + " ticks were dropped meanwhile" : ""));
        }
        l.DroppedBefore = l.Queue.DroppedTotal();
        l.DropNoted = false;
    } else if (const auto it = l.LastRetained.find(c.WillTopic); again && it != l.LastRetained.end()) {
        // The will may have fired when the last connection went.
        l.Queue.Push(it->second);
    }
}

void OnPublish(mosquitto*, void* Obj, int Mid)
{
    TClient& c = ClientOf(Obj);
    const auto it = c.InFlight.find(Mid);
    if (it == c.InFlight.end())
        return;
    {
        std::lock_guard<std::mutex> g(c.Link->Lock);
        c.Link->Queue.Taken(it->second);
    }
    c.InFlight.erase(it);
    c.Link->Changed.notify_all();
}

void OnLog(mosquitto*, void* Obj, int Level, const char* Text)
{
    if (Level & MOSQ_LOG_ERR)
        ClientOf(Obj).LibraryError = Text ? Text : "";
}

// Why a call of libmosquitto failed, in words.
std::string ErrorText(int Rc, int Errno)
{
    if (Rc == MOSQ_ERR_ERRNO)
        return std::strerror(Errno);
    if (Rc == MOSQ_ERR_CONN_LOST)
        return "the connection was lost";
    if (Rc == MOSQ_ERR_KEEPALIVE)
        return "the broker stopped answering";
    return mosquitto_strerror(Rc);
}

}  // namespace

void TBrokerLink::TState::Connect(TClient& C)
{
    mosquitto* m = mosquitto_new(nullptr, true, &C);
    if (!m) {
        Drop(C, "out of memory");
        return;
    }
    C.Mosq = m;
    C.Refusal = 0;
    C.LibraryError.clear();
    mosquitto_connect_callback_set(m, OnConnect);
    mosquitto_publish_callback_set(m, OnPublish);
    mosquitto_log_callback_set(m, OnLog);
    if (!S.User.empty())
        mosquitto_username_pw_set(m, S.User.c_str(), S.Password ? S.Password->c_str() : nullptr);
    if (S.Tls) {
        int rc = S.CaFile.empty() ? mosquitto_int_option(m, MOSQ_OPT_TLS_USE_OS_CERTS, 1)
                                  : mosquitto_tls_set(m, S.CaFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        if (rc == MOSQ_ERR_SUCCESS && S.Insecure)
            rc = mosquitto_tls_insecure_set(m, true);
        if (rc != MOSQ_ERR_SUCCESS) {
            std::lock_guard<std::mutex> g(Lock);
            Refused = S.Url + ": TLS cannot be set up" + (S.CaFile.empty() ? "" : " with " + S.CaFile) + " (" +
                      mosquitto_strerror(rc) + ")";
            return;
        }
    }
    if (!C.WillTopic.empty())
        mosquitto_will_set(m, C.WillTopic.c_str(), static_cast<int>(C.WillPayload.size()), C.WillPayload.data(),
                           S.Qos, true);
    errno = 0;
    const int rc = mosquitto_connect_async(m, S.Host.c_str(), S.Port, S.KeepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS)
        Drop(C, ErrorText(rc, errno));
}

// The connection of C is gone, or could not be made: closed at once (no
// goodbye, so that its will fires), and tried again after a pause - unless
// the broker refused it for good.
void TBrokerLink::TState::Drop(TClient& C, const std::string& Why)
{
    const bool wasUp = C.Up;
    const int refusal = C.Refusal;
    const std::string tlsError = C.LibraryError;
    if (C.Mosq)
        mosquitto_destroy(C.Mosq);
    C.Mosq = nullptr;
    C.Up = false;
    C.InFlight.clear();
    C.Lost = C.Lost || wasUp;
    ++C.Failures;
    C.NextTry = Clock::now() + std::chrono::milliseconds(ReconnectDelayMs(C.Failures));
    std::lock_guard<std::mutex> g(Lock);
    if (C.Publisher)
        Queue.HandOverAgain();
    // Credentials and certificates do not mend by waiting; a broker that is
    // only busy (3) or not yet up does.
    std::string refused;
    if (refusal != 0 && refusal != 3)
        refused = S.Url + " refused the connection: " + mosquitto_connack_string(refusal);
    else if (!wasUp && S.Tls && tlsError.find("OpenSSL") != std::string::npos)
        refused = S.Url + ": the TLS connection failed (" + tlsError +
                  (S.CaFile.empty() ? "" : "; certificate authority " + S.CaFile) + ")";
    if (!refused.empty()) {
        if (Refused.empty())
            Refused = refused;
        Changed.notify_all();
        return;
    }
    if (!C.Publisher)
        return;
    const std::string kept = "; trying again, ticks are kept meanwhile";
    if (wasUp) {
        Notes.push_back(S.Url + ": connection lost (" + Why + ")" + kept);
    } else if (!C.EverUp && C.Failures == 1) {
        C.Lost = true;
        Notes.push_back(S.Url + ": cannot connect (" + Why + ")" + kept);
    }
}

// Hands queued messages to the publishing connection while it has room.
int TBrokerLink::TState::Pump(TClient& C)
{
    while (C.Up && C.InFlight.size() < kWindow) {
        uint64_t number = 0;
        TOutMessage m;
        {
            std::lock_guard<std::mutex> g(Lock);
            const TOutMessage* next = Queue.HandOver(number);
            if (!next)
                break;
            m = *next;
        }
        int mid = 0;
        const int rc = mosquitto_publish(C.Mosq, &mid, m.Topic.c_str(), static_cast<int>(m.Payload.size()),
                                         m.Payload.data(), S.Qos, m.Retain);
        if (rc != MOSQ_ERR_SUCCESS)
            return rc;
        if (S.Qos == 0) {
            // Written out: all QoS 0 promises.
            {
                std::lock_guard<std::mutex> g(Lock);
                Queue.Taken(number);
            }
            Changed.notify_all();
        } else {
            C.InFlight[mid] = number;
        }
    }
    return MOSQ_ERR_SUCCESS;
}

void TBrokerLink::TState::Goodbye()
{
    for (auto& c : Clients)
        if (c->Mosq && c->Up)
            mosquitto_disconnect(c->Mosq);
    // The DISCONNECT packets out, briefly.
    const auto until = Clock::now() + std::chrono::milliseconds(500);
    for (;;) {
        std::vector<TSocketWatch> watches;
        for (auto& c : Clients)
            if (c->Mosq && c->Up && mosquitto_want_write(c->Mosq) && mosquitto_socket(c->Mosq) >= 0)
                watches.push_back({mosquitto_socket(c->Mosq), true});
        if (watches.empty() || Clock::now() > until)
            break;
        Wait.Wait(watches, 50);
        for (auto& c : Clients)
            if (c->Mosq && c->Up)
                mosquitto_loop_write(c->Mosq, 1);
    }
}

void TBrokerLink::TState::Run()
{
    for (;;) {
        bool refused = false;
        {
            std::lock_guard<std::mutex> g(Lock);
            for (auto& c : NewClients)
                Clients.push_back(std::move(c));
            NewClients.clear();
            if (Stop)
                break;
            refused = !Refused.empty();
        }
        auto now = Clock::now();
        auto wake = now + std::chrono::seconds(1);
        for (auto& c : Clients) {
            if (!c->Mosq && !refused && now >= c->NextTry)
                Connect(*c);
            if (!c->Mosq)
                wake = std::min(wake, c->NextTry);
        }
        std::vector<TSocketWatch> watches;
        std::vector<TClient*> watched;
        for (auto& c : Clients) {
            if (!c->Mosq)
                continue;
            if (c->Publisher) {
                errno = 0;
                if (const int rc = Pump(*c); rc != MOSQ_ERR_SUCCESS) {
                    Drop(*c, ErrorText(rc, errno));
                    continue;
                }
            }
            const int socket = mosquitto_socket(c->Mosq);
            if (socket < 0) {
                Drop(*c, "no connection");
                continue;
            }
            watches.push_back({socket, mosquitto_want_write(c->Mosq)});
            watched.push_back(c.get());
        }
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wake - Clock::now()).count();
        Wait.Wait(watches, static_cast<int>(std::max<int64_t>(ms, 1)));
        for (size_t i = 0; i < watched.size(); ++i) {
            TClient& c = *watched[i];
            errno = 0;
            int rc = MOSQ_ERR_SUCCESS;
            if (watches[i].Readable)
                rc = mosquitto_loop_read(c.Mosq, 64);
            if (rc == MOSQ_ERR_SUCCESS && (watches[i].Writable || mosquitto_want_write(c.Mosq)))
                rc = mosquitto_loop_write(c.Mosq, 64);
            if (rc == MOSQ_ERR_SUCCESS)
                rc = mosquitto_loop_misc(c.Mosq);
            if (rc == MOSQ_ERR_SUCCESS && c.Refusal != 0)
                rc = MOSQ_ERR_CONN_REFUSED;
            if (rc != MOSQ_ERR_SUCCESS)
                Drop(c, ErrorText(rc, errno));
        }
    }
    bool goodbye;
    {
        std::lock_guard<std::mutex> g(Lock);
        goodbye = SayGoodbye;
    }
    if (goodbye)
        Goodbye();
    for (auto& c : Clients)
        if (c->Mosq) {
            mosquitto_destroy(c->Mosq);
            c->Mosq = nullptr;
        }
}

TBrokerLink::TBrokerLink(const TBrokerSettings& Settings, size_t TickLimit)
    : FState(std::make_unique<TState>(Settings, TickLimit))
{
    InitLibrary();
    auto publisher = std::make_unique<TClient>();
    publisher->Link = FState.get();
    publisher->Publisher = true;
    FState->Clients.push_back(std::move(publisher));
    FState->Thread = std::thread([s = FState.get()] { s->Run(); });
}

TBrokerLink::~TBrokerLink()
{
    if (FState->Thread.joinable()) {
        {
            std::lock_guard<std::mutex> g(FState->Lock);
            FState->Stop = true;
        }
        FState->Wait.Wake();
        FState->Thread.join();
    }
}

void TBrokerLink::Publish(TOutMessage M)
{
    {
        std::lock_guard<std::mutex> g(FState->Lock);
        TState& l = *FState;
        if (M.Retain)
            l.LastRetained[M.Topic] = M;
        if (!l.Refused.empty())
            return;
        l.Queue.Push(std::move(M));
        if (l.Queue.DroppedTotal() > l.DroppedBefore && !l.DropNoted) {
            l.DropNoted = true;
            l.Notes.push_back(l.S.Url + ": the queue is full: the oldest ticks are dropped until the broker is back");
        }
    }
    FState->Wait.Wake();
}

void TBrokerLink::HoldWill(const std::string& Topic, const std::string& Payload)
{
    {
        std::lock_guard<std::mutex> g(FState->Lock);
        if (!FState->WillTopics.insert(Topic).second)
            return;
        auto c = std::make_unique<TClient>();
        c->Link = FState.get();
        c->WillTopic = Topic;
        c->WillPayload = Payload;
        FState->NewClients.push_back(std::move(c));
    }
    FState->Wait.Wake();
}

std::string TBrokerLink::Refused() const
{
    std::lock_guard<std::mutex> g(FState->Lock);
    return FState->Refused;
}

std::vector<std::string> TBrokerLink::TakeNotes()
{
    std::lock_guard<std::mutex> g(FState->Lock);
    std::vector<std::string> notes;
    notes.swap(FState->Notes);
    return notes;
}

uint64_t TBrokerLink::TakeDropped(size_t Source)
{
    std::lock_guard<std::mutex> g(FState->Lock);
    return FState->Queue.TakeDropped(Source);
}

size_t TBrokerLink::Close(std::chrono::steady_clock::time_point Deadline)
{
    TState& l = *FState;
    FState->Wait.Wake();
    size_t left = 0;
    {
        std::unique_lock<std::mutex> g(l.Lock);
        l.Changed.wait_until(g, Deadline, [&] { return l.Queue.Size() == 0 || !l.Refused.empty(); });
        left = l.Queue.Size();
        l.Stop = true;
        l.SayGoodbye = true;
    }
    l.Wait.Wake();
    if (l.Thread.joinable())
        l.Thread.join();
    return left;
}

}  // namespace kelvo::ctl
