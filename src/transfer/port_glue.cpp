#include "transfer/port_glue.h"

#include <cstring>

#include "serial/com_port.h"
#include "serial/dispatcher.h"
#include "serial/errors.h"
#include "transfer/protocol.h"

namespace kavo {

namespace {

// The open port's dispatcher as the engine's line. The dispatcher is looked up by its handle for
// every operation, so that a step that runs after the port has closed (and freed its dispatcher)
// finds the line gone instead of touching freed memory.
class TDispatcherLine : public TProtocolLine {
public:
    TDispatcherLine(TApdCustomComPort* port, TApdBaseDispatcher* dispatcher)
        : port_(port), dispatcher_(dispatcher), handle_(dispatcher->Handle()) {}

    bool IsOpen() override {
        TApdBaseDispatcher* d = Live();
        return d && d->IsOpen() && !d->DeviceLost();
    }
    bool DeviceGone() override {
        TApdBaseDispatcher* d = Live();
        return !d || !d->IsOpen() || d->DeviceLost();
    }
    std::int32_t GoneError() override {
        TApdBaseDispatcher* d = Live();
        return d && d->WorkerFailed() ? ecHardwareFailure : ecAbortNoCarrier;
    }
    std::int32_t DispatcherHandle() override { return handle_; }
    std::uint32_t BitsPerCharacter() override {
        return static_cast<std::uint32_t>(port_->DataBits()) + 2 + (port_->Parity() != pNone ? 1 : 0);
    }
    std::uint32_t Baud() override { return static_cast<std::uint32_t>(port_->Baud()); }

    bool InputReady() override {
        TApdBaseDispatcher* d = Live();
        return d && d->InputReady();
    }
    std::int32_t ReadChar() override {
        TApdBaseDispatcher* d = Live();
        return d ? d->ReadChar() : ecBufferIsEmpty;
    }
    std::int32_t SendChar(std::uint8_t byte) override {
        TApdBaseDispatcher* d = Live();
        return d ? d->SendChar(byte) : ecCommNotOpen;
    }
    std::int32_t SendBlock(const std::uint8_t* data, std::uint32_t length) override {
        TApdBaseDispatcher* d = Live();
        return d ? d->SendBlock(data, length) : ecCommNotOpen;
    }
    std::uint32_t InputUsed() override {
        TApdBaseDispatcher* d = Live();
        return d ? d->InputUsed() : 0;
    }
    std::uint32_t InputFree() override {
        TApdBaseDispatcher* d = Live();
        return d ? d->InputFree() : 0;
    }
    std::uint32_t OutputUsed() override {
        TApdBaseDispatcher* d = Live();
        return d ? d->OutputUsed() : 0;
    }
    std::uint32_t OutputFree() override {
        TApdBaseDispatcher* d = Live();
        return d ? d->OutputFree() : 0;
    }
    bool WaitOutputDrained(std::uint32_t timeoutMs) override {
        TApdBaseDispatcher* d = Live();
        return !d || d->WaitOutputDrained(timeoutMs);
    }
    std::int32_t FlushInput() override {
        TApdBaseDispatcher* d = Live();
        return d ? d->FlushInput() : ecCommNotOpen;
    }
    std::int32_t FlushOutput() override {
        TApdBaseDispatcher* d = Live();
        return d ? d->FlushOutput() : ecCommNotOpen;
    }
    bool CarrierPresent() override {
        TApdBaseDispatcher* d = Live();
        return d && d->CarrierPresent();
    }

    void SetAvailTriggerLevel(std::uint32_t level) override {
        if (TApdBaseDispatcher* d = Live()) d->SetAvailTriggerLevel(level);
    }
    // Trigger creation goes through the port's error check, so a dispatcher without a free slot
    // raises ENoMoreTriggers to the caller of BeginTransmit.
    std::int32_t CreateTimerTrigger() override {
        TApdBaseDispatcher* d = Live();
        return CheckError(port_, d ? d->CreateTimerTrigger() : ecCommNotOpen);
    }
    std::int32_t CreateStatusTrigger(std::uint32_t kind) override {
        TApdBaseDispatcher* d = Live();
        return CheckError(port_, d ? d->CreateStatusTrigger(kind) : ecCommNotOpen);
    }
    std::int32_t DeleteTrigger(std::int32_t handle) override {
        TApdBaseDispatcher* d = Live();
        return d ? d->DeleteTrigger(handle) : ecCommNotOpen;
    }
    std::int32_t ArmTimerTrigger(std::int32_t handle, std::int32_t ticks) override {
        TApdBaseDispatcher* d = Live();
        return d ? d->ArmTimerTrigger(handle, ticks, true) : ecCommNotOpen;
    }
    std::int32_t ArmStatusTrigger(std::int32_t handle, std::uint32_t value) override {
        TApdBaseDispatcher* d = Live();
        return d ? d->ArmStatusTrigger(handle, static_cast<std::uint16_t>(value), true) : ecCommNotOpen;
    }
    std::int32_t TimerTicksLeft(std::int32_t handle, std::int32_t* ticksLeft) override {
        TApdBaseDispatcher* d = Live();
        if (!d) return ecCommNotOpen;
        std::int32_t left = 0;
        const int result = d->TimerTicksLeft(handle, left);
        *ticksLeft = left;
        return result;
    }
    std::int32_t SetUserData(void* data) override {
        TApdBaseDispatcher* d = Live();
        return d ? d->SetUserData(data, 1) : ecCommNotOpen;
    }
    void AttachTriggerHandler(TProtocolTriggerProc proc) override {
        if (TApdBaseDispatcher* d = Live()) d->AttachTriggerHandler(proc);
    }
    void DetachTriggerHandler(TProtocolTriggerProc proc) override {
        if (TApdBaseDispatcher* d = Live()) d->DetachTriggerHandler(proc);
    }
    void AddLogEntry(std::uint32_t type, std::uint32_t subtype, const char* text) override {
        TApdBaseDispatcher* d = Live();
        if (d && d->Logging()) d->AddLogEntry(type, subtype, 0, text, static_cast<std::uint32_t>(std::strlen(text)));
    }

private:
    // No list lock is taken: the user-interface thread holds it while it waits for the dispatcher
    // thread to stop, and that thread may be running a step. A step on the dispatcher thread
    // cannot outlive its dispatcher, and on the user-interface thread nothing frees it meanwhile.
    TApdBaseDispatcher* Live() { return FindDispatcher(handle_) == dispatcher_ ? dispatcher_ : nullptr; }

    TApdCustomComPort* port_;
    TApdBaseDispatcher* dispatcher_;
    std::int32_t handle_;
};

}  // namespace

TApdCustomComPort* FindPortAmong(TComponent* owner) { return FindOwnerPort(owner); }

TApdCustomComPort* AsComPort(TComponent* component) { return dynamic_cast<TApdCustomComPort*>(component); }

TComponent* PortAsComponent(TApdCustomComPort* port) { return port; }

std::unique_ptr<TProtocolLine> MakePortLine(TApdCustomComPort* port) {
    if (!port || port->LinkState() != lsOpen) return nullptr;
    TApdBaseDispatcher* dispatcher = port->Dispatcher();
    if (!dispatcher || !dispatcher->IsOpen()) return nullptr;
    return std::make_unique<TDispatcherLine>(port, dispatcher);
}

std::uint32_t PortBaud(TApdCustomComPort* port) { return port ? static_cast<std::uint32_t>(port->Baud()) : 0; }

std::uint32_t PortOutputUsed(TApdCustomComPort* port) { return port ? port->OutputUsed() : 0; }

std::int32_t RequirePortDispatcherHandle(TApdCustomComPort* port) {
    if (!port) return CheckError(nullptr, ecPortNotAssigned);
    return port->RequireDispatcher()->Handle();
}

void AddProtocolPortUser(TApdCustomComPort* port, TApdCustomProtocol* protocol) {
    if (!port) return;
    port->AddPortUser([protocol](TApdCustomComPort* cp, PortUserEvent event) { protocol->PortEvent(cp, event); },
                      protocol);
}

void RemoveProtocolPortUser(TApdCustomComPort* port, TApdCustomProtocol* protocol) {
    if (port) port->RemovePortUser(protocol);
}

}  // namespace kavo
