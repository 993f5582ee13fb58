#pragma once
// A session connected to a simulated module on an in-process channel, with
// a manual clock: every pause and deadline passes in simulated time, so a
// test that waits out a 4-second time-out takes microseconds.

#include <gtest/gtest.h>

#include <memory>

#include "uKelvoSession.h"
#include "uLogUtils.h"
#include "uMessageSink.h"
#include "uSimSerialInterface.h"
#include "uTickUtils.h"

namespace kelvo::testing {

class SimSessionTest : public ::testing::Test {
protected:
    void Connect(TSimSettings Settings = DefaultSimSettings(), int32_t BaudRate = 9600)
    {
        Module = std::make_shared<TSimModule>(std::move(Settings));
        Channel = MakeIntf<TSimSerialInterface>(Module, "SIM1", "baudrate=" + std::to_string(BaudRate));
        Channel->Open();
        Session.CurrentInterface = IntfPtr<ICommunicationInterface>(Channel->AsInterface());
        Session.CurrentBaudRate = BaudRate;
    }

    // Simulated milliseconds since the mark.
    uint32_t Mark() { return FMark = Clock.Tick(); }
    uint32_t Elapsed() const { return const_cast<TManualTimeSource&>(Clock).Tick() - FMark; }

    std::vector<TSimRequest> Requests() const { return Module->RequestLog(); }

    TManualTimeSource Clock{5000};
    TScopedTimeSource ClockScope{&Clock};
    std::vector<std::string> Messages;
    TScopedMessageSink Sink{[this](const std::string& m) { Messages.push_back(m); }};
    std::shared_ptr<TSimModule> Module;
    IntfPtr<TSimSerialInterface> Channel;
    TKelvoSession Session;

private:
    uint32_t FMark = 0;
};

}  // namespace kelvo::testing
