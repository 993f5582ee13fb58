// kelvoctl publish against a real mosquitto on a loopback port and
// simulated modules on pseudo-terminals: what a subscriber gets, while
// modules and the broker come and go.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "KelvoctlRun.h"
#include "MosquittoBroker.h"
#include "ScopedEnvDir.h"
#include "uKelvoxx.h"
#include "uSimPty.h"

using namespace kelvo;
using namespace kelvo::ctltest;
using namespace kelvo::testing;
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

class KelvoctlPublish : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (auto& p : Ptys)
            p->Stop();
        ::unsetenv("KELVO_MQTT_PASSWORD");
    }

    // A KelvoUSB module at 115200 bit/s as COM<Port>; its replies to the
    // value polls are kept in Replies.
    TSimPty& Serve(unsigned Port, uint16_t Serial)
    {
        TSimSettings s = DefaultSimSettings(TSimModel::KelvoUSB);
        s.SpeedCode = 10;
        s.SerialNumber = Serial;
        Modules.push_back(std::make_unique<TSimModule>(s));
        Modules.back()->OnRequest = [this](const TSimRequest& R) {
            if (R.Instruction == kInstrReadValues) {
                std::lock_guard<std::mutex> g(RepliesLock);
                Replies.push_back(R.Reply);
            }
        };
        Ptys.push_back(std::make_unique<TSimPty>(*Modules.back()));
        Plug(*Ptys.back(), Port);
        return *Ptys.back();
    }
    void Plug(TSimPty& Pty, unsigned Port)
    {
        TSimPtyOptions options;
        options.LinkDir = Dir.string();
        options.PortNumber = Port;
        Pty.Start(options);
    }

    // kelvoctl publish to Broker with Args.
    std::vector<std::string> Publish(const TMosquitto& Broker, std::vector<std::string> Args)
    {
        Args.insert(Args.begin(), {"publish", "--mqtt", Broker.Url(), "--speeds", "115200"});
        return Args;
    }

    void ExpectNoWrites()
    {
        for (auto& m : Modules)
            EXPECT_TRUE(m->WriteLog().empty());
    }

    TScopedEnvDir FPorts{"KELVO_PORTS_DIR", "kelvoctl-publish"};
    const fs::path& Dir = FPorts.Dir;
    TScopedEnvDir FBrokerDir{"KELVO_TEST_BROKER_DIR", "kelvoctl-broker"};
    std::vector<std::unique_ptr<TSimModule>> Modules;
    std::vector<std::unique_ptr<TSimPty>> Ptys;
    std::mutex RepliesLock;
    std::vector<RawByteString> Replies;
};

std::vector<json> Values(const TMqttSubscriber& Sub, const std::string& Topic)
{
    std::vector<json> out;
    for (const std::string& p : Sub.Payloads(Topic))
        out.push_back(json::parse(p));
    return out;
}

// The tick times of Values, each once (QoS 1 may deliver a message twice),
// in the order they first came; false when one came back out of order.
bool InOrder(const std::vector<json>& Values, std::vector<std::string>& Times)
{
    for (const json& v : Values) {
        const std::string t = v["time"];
        if (std::find(Times.begin(), Times.end(), t) != Times.end())
            continue;
        if (!Times.empty() && t < Times.back())
            return false;
        Times.push_back(t);
    }
    return true;
}

}  // namespace

TEST_F(KelvoctlPublish, ValuesArriveInOrderAsTheModuleSentThemAndTheStateIsRetained)
{
    TMosquitto broker(FBrokerDir.Dir);
    ASSERT_TRUE(broker.Start());
    TMqttSubscriber sub(broker.Port);
    ASSERT_TRUE(sub.WaitSubscribed());
    Serve(201, 513);

    TRun r = Ctl(Publish(broker, {"COM201", "--count", "5", "--interval", "200", "--topic-prefix", "plant/hall3"}));
    ASSERT_EQ(r.Status, 0) << Describe(r);
    ASSERT_TRUE(sub.WaitFor([](auto& M) { return Count(M, "plant/hall3/0513/status", "offline") == 1; }));

    const auto values = Values(sub, "plant/hall3/0513/values");
    ASSERT_EQ(values.size(), 5u);
    std::vector<std::string> times;
    EXPECT_TRUE(InOrder(values, times));
    EXPECT_EQ(times.size(), 5u);
    // Each tick holds the texts of the reply to its own poll.
    std::lock_guard<std::mutex> g(RepliesLock);
    ASSERT_EQ(Replies.size(), 5u);
    for (size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(values[i]["port"], "COM201");
        EXPECT_EQ(values[i]["model"], "KelvoUSB");
        EXPECT_EQ(values[i]["serial_number"], 513);
        ASSERT_EQ(values[i]["channels"].size(), 4u);
        for (const json& ch : values[i]["channels"]) {
            EXPECT_EQ(ch["state"], "ok");
            EXPECT_NE(Replies[i].find(ch["text"].get<std::string>()), std::string::npos) << i << ch.dump();
            // The number the module sent, which its text shows rounded.
            const std::string text = ch["text"];
            const size_t decimals = text.size() - std::min(text.size(), text.find('.') + 1);
            EXPECT_NEAR(ch["value"].get<double>(), std::stod(text), 0.5 * std::pow(10.0, -double(decimals)) + 1e-6);
        }
    }
    EXPECT_EQ(sub.Payloads("plant/hall3/0513/status"), (std::vector<std::string>{"online", "offline"}));

    // A subscriber that comes later gets the state: offline, and the
    // configuration as a backup file holds it.
    TMqttSubscriber late(broker.Port, "late");
    ASSERT_TRUE(late.WaitFor([](auto& M) { return M.size() >= 2; }));
    for (const TReceived& m : late.Messages()) {
        EXPECT_TRUE(m.Retained) << m.Topic;
        if (m.Topic == "plant/hall3/0513/status")
            EXPECT_EQ(m.Payload, "offline");
        else if (m.Topic == "plant/hall3/0513/config")
            EXPECT_EQ(json::parse(m.Payload)["settings"]["ch1"]["unit"], "bar") << m.Payload;
        else
            ADD_FAILURE() << m.Topic;
    }
    ExpectNoWrites();
}

TEST_F(KelvoctlPublish, KilledItLeavesEveryModuleOffline)
{
    TMosquitto broker(FBrokerDir.Dir);
    ASSERT_TRUE(broker.Start());
    TMqttSubscriber sub(broker.Port);
    ASSERT_TRUE(sub.WaitSubscribed());
    Serve(201, 1);
    Serve(202, 2);

    TChild child(Publish(broker, {"--all", "--interval", "200"}));
    const bool both = sub.WaitFor([](auto& M) { return Count(M, "kelvo/0001/values") && Count(M, "kelvo/0002/values"); });
    child.Signal(SIGKILL);
    const TRun r = child.Finish();
    ASSERT_TRUE(both) << Describe(r);
    ASSERT_TRUE(sub.WaitFor([](auto& M) {
        return Count(M, "kelvo/0001/status", "offline") && Count(M, "kelvo/0002/status", "offline");
    })) << ::testing::PrintToString(sub.Payloads("kelvo/0002/status"));
    EXPECT_EQ(sub.Payloads("kelvo/0001/status").front(), "online");
}

TEST_F(KelvoctlPublish, ABrokerAwayForFiveSecondsCostsNoTick)
{
    TMosquitto broker(FBrokerDir.Dir);
    ASSERT_TRUE(broker.Start());
    TMqttSubscriber sub(broker.Port);
    ASSERT_TRUE(sub.WaitSubscribed());
    Serve(201, 7);

    TChild child(Publish(broker, {"COM201", "--count", "45", "--interval", "200"}));
    ASSERT_TRUE(sub.WaitFor([](auto& M) { return Count(M, "kelvo/0007/values") >= 3; }));
    broker.Stop();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    ASSERT_TRUE(broker.Start());
    TRun r = child.Finish();
    EXPECT_EQ(r.Status, 0) << Describe(r);
    EXPECT_NE(r.Err.find("connection lost"), std::string::npos) << Describe(r);
    EXPECT_NE(r.Err.find("connected again"), std::string::npos) << Describe(r);
    ASSERT_TRUE(sub.WaitFor([](auto& M) { return Count(M, "kelvo/0007/status", "offline"); }));

    std::vector<std::string> times;
    EXPECT_TRUE(InOrder(Values(sub, "kelvo/0007/values"), times));
    EXPECT_EQ(times.size(), 45u);
}

TEST_F(KelvoctlPublish, AFullQueueDropsTheOldestTicksAndSaysHowMany)
{
    TMosquitto broker(FBrokerDir.Dir);
    ASSERT_TRUE(broker.Start());
    TMqttSubscriber sub(broker.Port);
    ASSERT_TRUE(sub.WaitSubscribed());
    broker.Stop();
    Serve(201, 9);

    TChild child(Publish(broker, {"COM201", "--interval", "100", "--queue", "3"}));
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    ASSERT_TRUE(broker.Start());
    ASSERT_TRUE(sub.WaitFor([](auto& M) { return Count(M, "kelvo/0009/values") >= 6; }));
    child.Signal(SIGINT);
    TRun r = child.Finish();
    EXPECT_EQ(r.Status, 130) << Describe(r);
    EXPECT_NE(r.Err.find("the queue is full"), std::string::npos) << Describe(r);
    EXPECT_NE(r.Err.find("ticks were dropped meanwhile"), std::string::npos) << Describe(r);

    // The three kept are the latest before the broker came back: in a row.
    const auto values = Values(sub, "kelvo/0009/values");
    std::vector<std::string> times;
    EXPECT_TRUE(InOrder(values, times));
    const auto status = sub.Payloads("kelvo/0009/status");
    ASSERT_GE(status.size(), 2u);
    EXPECT_EQ(status.front().rfind("online; ", 0), 0u) << status.front();
    EXPECT_NE(status.front().find(" ticks dropped"), std::string::npos) << status.front();
    EXPECT_EQ(status.back(), "offline");
}

TEST_F(KelvoctlPublish, AVanishedModuleIsToldAndItsReturnIsOnlineAgain)
{
    TMosquitto broker(FBrokerDir.Dir);
    ASSERT_TRUE(broker.Start());
    TMqttSubscriber sub(broker.Port);
    ASSERT_TRUE(sub.WaitSubscribed());
    TSimPty& pty = Serve(201, 11);

    TChild child(Publish(broker, {"COM201", "--interval", "200"}));
    ASSERT_TRUE(sub.WaitFor([](auto& M) { return Count(M, "kelvo/0011/values") >= 2; }));
    pty.Stop();
    ASSERT_TRUE(sub.WaitFor([](auto& M) { return Count(M, "kelvo/0011/status", "vanished"); }));
    Plug(pty, 201);
    ASSERT_TRUE(sub.WaitFor([](auto& M) { return Count(M, "kelvo/0011/status", "online") == 2; }));
    const size_t before = Count(sub.Messages(), "kelvo/0011/values");
    ASSERT_TRUE(sub.WaitFor([&](auto& M) { return Count(M, "kelvo/0011/values") > before; }));
    child.Signal(SIGINT);
    TRun r = child.Finish();
    EXPECT_EQ(r.Status, 130) << Describe(r);
    EXPECT_NE(r.Err.find("COM201: the port disappeared"), std::string::npos) << Describe(r);
    EXPECT_EQ(sub.Payloads("kelvo/0011/status"), (std::vector<std::string>{"online", "vanished", "online", "offline"}));
    // The same configuration came back: it was published once.
    EXPECT_EQ(sub.Payloads("kelvo/0011/config").size(), 1u);
    ExpectNoWrites();
}

TEST_F(KelvoctlPublish, CredentialsComeFromTheEnvironmentOrAFileAndARefusalEndsIt)
{
    const fs::path passwords = FBrokerDir.Dir / "passwords";
    ASSERT_EQ(std::system(("mosquitto_passwd -c -b " + passwords.string() + " plant s3cret").c_str()), 0);
    TMosquitto broker(FBrokerDir.Dir, "password_file " + passwords.string() + "\n", false);
    ASSERT_TRUE(broker.Start());
    Serve(201, 21);

    ::setenv("KELVO_MQTT_PASSWORD", "wrong", 1);
    TRun r = Ctl(Publish(broker, {"COM201", "--user", "plant", "--count", "3"}));
    EXPECT_EQ(r.Status, 1) << Describe(r);
    EXPECT_NE(r.Err.find(broker.Url() + " refused the connection: Connection Refused: not authorised"),
              std::string::npos)
        << Describe(r);

    ::setenv("KELVO_MQTT_PASSWORD", "s3cret", 1);
    r = Ctl(Publish(broker, {"COM201", "--user", "plant", "--count", "1"}));
    EXPECT_EQ(r.Status, 0) << Describe(r);
    const fs::path file = Dir / "password";
    std::ofstream(file) << "s3cret\n";
    ::setenv("KELVO_MQTT_PASSWORD", "wrong", 1);
    r = Ctl(Publish(broker, {"COM201", "--user", "plant", "--password-file", file.string(), "--count", "1"}));
    EXPECT_EQ(r.Status, 0) << Describe(r);

    // Never on the command line, where other users see it.
    r = Ctl(Publish(broker, {"COM201", "--user", "plant", "--password", "s3cret"}));
    EXPECT_EQ(r.Status, 2) << Describe(r);
    EXPECT_NE(r.Err.find("KELVO_MQTT_PASSWORD"), std::string::npos) << Describe(r);
    ExpectNoWrites();
}

TEST_F(KelvoctlPublish, TlsWorksWithTheBrokersCertificateAuthorityAndRefusesAnother)
{
    const fs::path d = FBrokerDir.Dir;
    const std::string o = "openssl ";
    const std::string q = " >/dev/null 2>&1";
    auto ca = [&](const std::string& Name) {
        return o + "req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=" + Name + " -keyout " + (d / Name).string() +
               ".key -out " + (d / Name).string() + ".crt" + q;
    };
    ASSERT_EQ(std::system(ca("testca").c_str()), 0);
    ASSERT_EQ(std::system(ca("otherca").c_str()), 0);
    std::ofstream(d / "san.ext") << "subjectAltName=IP:127.0.0.1,DNS:localhost\n";
    ASSERT_EQ(std::system((o + "req -newkey rsa:2048 -nodes -subj /CN=localhost -keyout " + (d / "server.key").string() +
                           " -out " + (d / "server.csr").string() + q)
                              .c_str()),
              0);
    ASSERT_EQ(std::system((o + "x509 -req -days 2 -in " + (d / "server.csr").string() + " -CA " +
                           (d / "testca.crt").string() + " -CAkey " + (d / "testca.key").string() +
                           " -CAcreateserial -extfile " + (d / "san.ext").string() + " -out " +
                           (d / "server.crt").string() + q)
                              .c_str()),
              0);
    const int tlsPort = FreeLoopbackPort();
    TMosquitto broker(d, "listener " + std::to_string(tlsPort) + " 127.0.0.1\ncertfile " + (d / "server.crt").string() +
                             "\nkeyfile " + (d / "server.key").string() + "\n");
    ASSERT_TRUE(broker.Start());
    TMqttSubscriber sub(broker.Port);
    ASSERT_TRUE(sub.WaitSubscribed());
    Serve(201, 31);
    const std::string url = "mqtts://127.0.0.1:" + std::to_string(tlsPort);
    auto publish = [&](const std::vector<std::string>& More) {
        std::vector<std::string> args{"publish", "--mqtt", url, "--speeds", "115200", "COM201", "--count", "2"};
        args.insert(args.end(), More.begin(), More.end());
        return Ctl(args);
    };

    TRun r = publish({"--cafile", (d / "testca.crt").string()});
    EXPECT_EQ(r.Status, 0) << Describe(r);
    EXPECT_TRUE(sub.WaitFor([](auto& M) { return Count(M, "kelvo/0031/values") == 2; }));

    r = publish({"--cafile", (d / "otherca.crt").string()});
    EXPECT_EQ(r.Status, 1) << Describe(r);
    EXPECT_NE(r.Err.find(url + ": the TLS connection failed"), std::string::npos) << Describe(r);
    EXPECT_NE(r.Err.find("certificate verify failed"), std::string::npos) << Describe(r);

    // Certificate checks only on TLS, and never given up unless asked for.
    r = Ctl({"publish", "--mqtt", broker.Url(), "--insecure", "COM201"});
    EXPECT_EQ(r.Status, 2) << Describe(r);
    EXPECT_EQ(Count(sub.Messages(), "kelvo/0031/values"), 2u);
}
