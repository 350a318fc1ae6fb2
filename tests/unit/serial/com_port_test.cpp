// The port component's rules that need no device: defaults, setters on a closed port, flow marks,
// users, the search for a port and the failures of an open that never reaches a device.
#include "serial/com_port.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace kavo {
namespace {

// Restores the process-wide hooks a test installs.
struct HookGuard {
    ~HookGuard() {
        SetPortPromptHook(nullptr);
        SetExceptionDisplay(nullptr);
    }
};

TEST(ComPortDefaults, ConstructorGivesTheDeclaredDefaults) {
    TApdComPort port;
    EXPECT_EQ(port.Version(), "v4.06");
    port.SetVersion("v9");
    EXPECT_EQ(port.Version(), "v4.06");
    EXPECT_EQ(port.DeviceLayer(), dlWin32);
    EXPECT_EQ(port.ComNumber(), 0);
    EXPECT_EQ(port.Baud(), 19200);
    EXPECT_TRUE(port.PromptForPort());
    EXPECT_EQ(port.Parity(), pNone);
    EXPECT_EQ(port.DataBits(), 8);
    EXPECT_EQ(port.StopBits(), 1);
    EXPECT_EQ(port.InSize(), 4096);
    EXPECT_EQ(port.OutSize(), 4096);
    EXPECT_TRUE(port.AutoOpen());
    EXPECT_FALSE(port.Open());
    EXPECT_TRUE(port.DTR());
    EXPECT_TRUE(port.RTS());
    EXPECT_EQ(port.HWFlowOptions(), 0);
    EXPECT_EQ(port.SWFlowOptions(), swfNone);
    EXPECT_EQ(port.XOnChar(), 0x11);
    EXPECT_EQ(port.XOffChar(), 0x13);
    EXPECT_EQ(port.BufferFull(), 0);
    EXPECT_EQ(port.BufferResume(), 0);
    EXPECT_EQ(port.Tracing(), tlOff);
    EXPECT_EQ(port.TraceSize(), 10000u);
    EXPECT_EQ(port.TraceName(), "TEVO.TRC");
    EXPECT_TRUE(port.TraceHex());
    EXPECT_FALSE(port.TraceAllHex());
    EXPECT_EQ(port.Logging(), tlOff);
    EXPECT_EQ(port.LogSize(), 10000u);
    EXPECT_EQ(port.LogName(), "TEVO.LOG");
    EXPECT_TRUE(port.UseMSRShadow());
    EXPECT_TRUE(port.UseEventWord());
    EXPECT_EQ(port.CommNotificationLevel(), 10);
    EXPECT_EQ(port.TapiMode(), tmAuto);
    EXPECT_FALSE(port.RS485Mode());
    EXPECT_EQ(port.LinkState(), lsClosed);
    EXPECT_EQ(port.AvailTriggerLevel(), 1);
    EXPECT_EQ(port.WorkerBoost(), 0);
    EXPECT_EQ(port.Dispatcher(), nullptr);
    EXPECT_EQ(port.NotifyWindow(), 0u);
}

TEST(ComPortSetters, ClosedPortStoresOnlyOffOrOnForTracingAndLogging) {
    TApdComPort port;
    port.SetTracing(tlDump);
    EXPECT_EQ(port.Tracing(), tlOff);
    port.SetTracing(tlOn);
    EXPECT_EQ(port.Tracing(), tlOn);
    port.SetTracing(tlPause);
    EXPECT_EQ(port.Tracing(), tlOff);
    port.SetLogging(tlAppend);
    EXPECT_EQ(port.Logging(), tlOff);
    port.SetLogging(tlOn);
    EXPECT_EQ(port.Logging(), tlOn);
    port.SetLogging(tlClear);
    EXPECT_EQ(port.Logging(), tlOff);
}

TEST(ComPortSetters, SizesAreCappedAndInertSettersStayPut) {
    TApdComPort port;
    port.SetTraceSize(4000001);
    EXPECT_EQ(port.TraceSize(), 4000000u);
    port.SetTraceSize(500);
    EXPECT_EQ(port.TraceSize(), 500u);
    port.SetLogSize(99999999);
    EXPECT_EQ(port.LogSize(), 16000000u);
    port.SetUseMSRShadow(false);
    EXPECT_TRUE(port.UseMSRShadow());
    port.SetDeviceLayer(dlWinsock);
    EXPECT_EQ(port.DeviceLayer(), dlWin32);
    port.SetTraceName(std::string(300, 'x'));
    EXPECT_EQ(port.TraceName().size(), 300u);
    port.SetLogName(std::string(5000, 'x'));
    EXPECT_EQ(port.LogName().size(), 4095u);
}

TEST(ComPortFlowControl, HardwareAndSoftwareFlowDeriveTheirMarks) {
    TApdComPort hw;
    hw.SetRS485Mode(true);
    hw.SetHWFlowOptions(hwfUseRTS);
    EXPECT_EQ(hw.HWFlowOptions(), hwfUseRTS);
    EXPECT_EQ(hw.BufferFull(), 3686);
    EXPECT_EQ(hw.BufferResume(), 410);
    EXPECT_FALSE(hw.RS485Mode()) << "RTS flow control switches RS-485 off";

    TApdComPort sw;
    sw.SetSWFlowOptions(swfBoth);
    EXPECT_EQ(sw.BufferFull(), 3072);
    EXPECT_EQ(sw.BufferResume(), 1024);

    // Marks that are already valid are kept.
    TApdComPort kept;
    kept.SetBufferFull(2000);
    kept.SetBufferResume(100);
    kept.SetHWFlowOptions(hwfRequireDSR);
    EXPECT_EQ(kept.BufferFull(), 2000);
    EXPECT_EQ(kept.BufferResume(), 100);
}

TEST(ComPortFlowControl, MarksAboveTheirLimitAreScaledAndPulledBackUnderFlowControl) {
    TApdComPort port;
    port.SetInSize(1000);
    port.SetBufferFull(2000);  // above InSize: 0.9 of it, no flow mode to pull it back
    EXPECT_EQ(port.BufferFull(), 1800);
    port.SetBufferResume(1900);  // above BufferFull: 0.1 of BufferFull
    EXPECT_EQ(port.BufferResume(), 180);

    port.SetHWFlowOptions(hwfUseDTR);  // a flow mode puts BufferFull back below InSize
    EXPECT_EQ(port.BufferFull(), 900);
    EXPECT_EQ(port.BufferResume(), 180);
    port.SetBufferFull(5000);
    EXPECT_EQ(port.BufferFull(), 900) << "re-applying the flow mode pulls the mark back";

    // Halves round to even.
    TApdComPort even;
    even.SetInSize(45);  // 45 * 0.9 = 40.5 -> 40; 45 * 0.1 = 4.5 -> 4
    even.SetHWFlowOptions(hwfUseDTR);
    EXPECT_EQ(even.BufferFull(), 40);
    EXPECT_EQ(even.BufferResume(), 4);
}

TEST(ComPortFlowControl, RS485ModeTakesRtsAndCtsOutOfFlowControl) {
    TApdComPort port;
    port.SetHWFlowOptions(hwfUseDTR | hwfUseRTS | hwfRequireCTS | hwfRequireDSR);
    port.SetRS485Mode(true);
    EXPECT_TRUE(port.RS485Mode());
    EXPECT_EQ(port.HWFlowOptions(), hwfUseDTR | hwfRequireDSR);
    EXPECT_FALSE(port.RTS());
}

TEST(ComPortClosed, WithoutAutoOpenByteOperationsRaiseAndCountsDoNot) {
    TApdComPort port;
    port.SetAutoOpen(false);
    port.SetOutSize(1234);
    EXPECT_THROW(port.SendString("DDD"), ECommNotOpen);
    try {
        port.SendChar('x');
        ADD_FAILURE() << "SendChar on a closed port raised nothing";
    } catch (const ECommNotOpen& e) {
        EXPECT_STREQ(e.what(), "ie_NOpen - device not open");
        EXPECT_EQ(e.ErrorCode(), -2007);
    }
    EXPECT_THROW(port.InputReady(), ECommNotOpen);
    EXPECT_THROW(port.ReadChar(), ECommNotOpen);
    EXPECT_THROW(port.FlushInput(), ECommNotOpen);
    EXPECT_THROW(port.CreateTimerTrigger(), ECommNotOpen);
    EXPECT_EQ(port.OutputUsed(), 0u);
    EXPECT_EQ(port.OutputFree(), 1234u);
    EXPECT_EQ(port.TakeLineError(), 0);
    EXPECT_FALSE(port.TakeLineBreak());
    EXPECT_NO_THROW(port.DeleteTrigger(8));
    EXPECT_EQ(port.Dispatcher(), nullptr);
}

TEST(ComPortOpen, NoPortNumberFailsWithoutOrAfterThePrompt) {
    HookGuard guard;
    TApdComPort port;
    port.SetPromptForPort(false);
    int prompts = 0;
    SetPortPromptHook([&]() -> std::optional<int> {
        ++prompts;
        return std::nullopt;
    });
    try {
        port.SetOpen(true);
        ADD_FAILURE() << "open without a port number succeeded";
    } catch (const ENoPortSelected& e) {
        EXPECT_STREQ(e.what(), "The ComNumber property of the TApdComPort has not been set");
    }
    EXPECT_EQ(prompts, 0) << "no prompt with PromptForPort False";

    port.SetPromptForPort(true);
    EXPECT_THROW(port.SetOpen(true), ENoPortSelected);
    EXPECT_EQ(prompts, 1) << "the cancelled prompt ran once";
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(port.LinkState(), lsClosed);
    EXPECT_EQ(port.Dispatcher(), nullptr);

    // Without a prompt installed, a port number of 0 behaves as with PromptForPort False.
    SetPortPromptHook(nullptr);
    EXPECT_THROW(port.SetOpen(true), ENoPortSelected);

    // A prompt that fails (no entry to convert) lets its error through, and nothing is opened.
    SetPortPromptHook([]() -> std::optional<int> { throw EConvertError("'' is not a valid integer value"); });
    EXPECT_THROW(port.SetOpen(true), EConvertError);
    EXPECT_EQ(port.Dispatcher(), nullptr);
}

TEST(ComPortOpen, OnlyTheNativeDeviceLayerCanCreateADispatcher) {
    TApdComPort tapi;
    tapi.SetTapiMode(tmOn);  // skips the port number step, then finds no telephony layer
    EXPECT_THROW(tapi.SetOpen(true), ENullApi);
    EXPECT_EQ(tapi.LinkState(), lsClosed);

    TApdComPort factory;
    factory.SetComNumber(3);
    factory.SetDispatcherFactory([](TApdCustomComPort*) { return std::unique_ptr<TApdBaseDispatcher>(); });
    EXPECT_THROW(factory.SetOpen(true), ENullApi);
    EXPECT_FALSE(factory.Open());
}

TEST(ComPortOpen, AutoOpenOpensOnFirstUseAndReportsItsFailure) {
    TApdComPort port;  // AutoOpen True, ComNumber 0, no prompt installed
    port.SetPromptForPort(false);
    EXPECT_THROW(port.SendString("x"), ENoPortSelected);
    EXPECT_EQ(port.LinkState(), lsClosed);
}

TEST(ComPortLoading, OpenWhileStreamingIsDeferredToLoadedAndItsFailureIsShown) {
    HookGuard guard;
    std::vector<std::string> shown;
    SetExceptionDisplay([&](std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            shown.push_back(e.what());
        }
    });
    TApdComPort port;
    port.SetPromptForPort(false);
    port.BeginLoading();
    port.SetOpen(true);
    EXPECT_TRUE(port.Open()) << "stored while streaming";
    EXPECT_EQ(port.LinkState(), lsClosed);
    EXPECT_NO_THROW(port.Loaded());
    EXPECT_FALSE(port.Open());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0], "The ComNumber property of the TApdComPort has not been set");
}

TEST(ComPortUsers, UsersAreRemovedByWhoRegisteredThem) {
    TApdComPort port;
    int a = 0, b = 0;
    port.AddPortUser([](TApdCustomComPort*, PortUserEvent) {}, &a);
    port.AddPortUser([](TApdCustomComPort*, PortUserEvent) {}, &b);
    port.AddPortUser([](TApdCustomComPort*, PortUserEvent) {}, &a);
    ASSERT_EQ(port.PortUsers().size(), 3u);
    EXPECT_TRUE(port.PortUsers()[0]->usesEventCallback);
    EXPECT_EQ(port.PortUsers()[0]->window, 0u);
    port.RemovePortUser(&a);
    ASSERT_EQ(port.PortUsers().size(), 1u);
    EXPECT_EQ(port.PortUsers()[0]->user, &b) << "another user of the same port stays registered";
    port.RemovePortUser(&a);
    EXPECT_EQ(port.PortUsers().size(), 1u);
}

TEST(ComPortSearch, FindOwnerPortSearchesDepthFirst) {
    EXPECT_EQ(FindOwnerPort(nullptr), nullptr);
    TComponent form;
    TComponent panel(&form);
    TComponent inner(&panel);
    EXPECT_EQ(FindOwnerPort(&form), nullptr);
    auto* deep = new TApdComPort(&inner);
    auto* later = new TApdComPort(&form);
    EXPECT_EQ(FindOwnerPort(&form), deep) << "the panel's subtree comes before later components";
    EXPECT_EQ(FindOwnerPort(&inner), deep);
    delete deep;
    EXPECT_EQ(FindOwnerPort(&form), later);
}

TEST(ComPortAssign, CopiesSettingsUsersAndEventsButNotTheOpenState) {
    TApdComPort source;
    source.SetComNumber(7);
    source.SetBaud(115200);
    source.SetParity(pEven);
    source.SetAutoOpen(false);
    source.SetHWFlowOptions(hwfUseDTR);
    source.SetTracing(tlOn);
    int user = 0;
    source.AddPortUser([](TApdCustomComPort*, PortUserEvent) {}, &user);
    bool availFired = false;
    source.SetOnTriggerAvail([&](TApdCustomComPort*, std::uint16_t) { availFired = true; });

    TApdComPort copy;
    copy.Assign(source);
    EXPECT_EQ(copy.ComNumber(), 7);
    EXPECT_EQ(copy.Baud(), 115200);
    EXPECT_EQ(copy.Parity(), pEven);
    EXPECT_FALSE(copy.AutoOpen());
    EXPECT_EQ(copy.HWFlowOptions(), hwfUseDTR);
    EXPECT_EQ(copy.BufferFull(), 3686);
    EXPECT_EQ(copy.Tracing(), tlOn);
    ASSERT_EQ(copy.PortUsers().size(), 1u);
    EXPECT_NE(copy.PortUsers()[0].get(), source.PortUsers()[0].get()) << "records are copied, not shared";
    ASSERT_TRUE(copy.OnTriggerAvail());
    copy.OnTriggerAvail()(&copy, 1);
    EXPECT_TRUE(availFired);
    EXPECT_FALSE(copy.Open());
}

}  // namespace
}  // namespace kavo
