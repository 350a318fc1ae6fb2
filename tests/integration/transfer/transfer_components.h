// The port and protocol components as the main window sets them up, on the test's thread, which
// runs the message loop; checks of what a transfer delivered. Platform-free: the line under the
// port is the deriving fixture's.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/component.h"
#include "platform/message_queue.h"
#include "serial/com_port.h"
#include "support/temp_dir.h"
#include "transfer/protocol.h"

namespace kavo::test {

using namespace std::chrono_literals;

inline bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        WaitForMessage(20);
        ProcessMessages();
    }
    return true;
}

inline std::vector<std::uint8_t> TestBytes(std::size_t size, unsigned seed = 1) {
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t x = seed * 2654435761u + 7;
    for (auto& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return bytes;
}

inline std::vector<std::uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The received file equals the original followed only by 0x1A padding.
inline ::testing::AssertionResult SameUpToPadding(const std::vector<std::uint8_t>& original,
                                                  const std::vector<std::uint8_t>& received) {
    if (received.size() < original.size()) {
        return ::testing::AssertionFailure() << "received " << received.size() << " of " << original.size() << " bytes";
    }
    for (std::size_t i = 0; i < original.size(); ++i) {
        if (received[i] != original[i]) return ::testing::AssertionFailure() << "first difference at byte " << i;
    }
    for (std::size_t i = original.size(); i < received.size(); ++i) {
        if (received[i] != 0x1A) return ::testing::AssertionFailure() << "padding byte " << i << " is not 0x1A";
    }
    return ::testing::AssertionSuccess();
}

class TransferComponents : public ::testing::Test {
protected:
    void TearDown() override {
        protocol = nullptr;
        port = nullptr;
        owner.reset();
    }

    // The components on COM<portNumber>.
    void MakeComponents() {
        owner = std::make_unique<TComponent>();
        port = new TApdComPort(owner.get());
        port->SetComNumber(portNumber);
        port->SetBaud(115200);
        port->SetAutoOpen(false);
        protocol = new TApdProtocol(owner.get());
        EXPECT_EQ(protocol->ComPort(), port);
        protocol->SetProtocolType(ptXmodem1K);
        protocol->SetBlockCheckMethod(bcmCrc16);
        protocol->SetHandshakeWait(1092);
        protocol->SetFinishWait(0);
        protocol->SetTurnDelay(1000);
        protocol->SetOverhead(5);
        protocol->SetStatusInterval(10);
        protocol->SetOnProtocolFinish([this](TApdCustomProtocol*, std::int32_t code) { finish = code; });
        protocol->SetOnProtocolError([this](TApdCustomProtocol*, std::int32_t code) { errors.push_back(code); });
        protocol->SetOnProtocolStatus([this](TApdCustomProtocol*, std::uint16_t options) { statusOptions.push_back(options); });
    }

    std::string WriteFile(const std::string& name, const std::vector<std::uint8_t>& content) {
        const std::string path = folder + "/" + name;
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
        return path;
    }

    void Send(const std::string& path) {
        port->SetOpen(true);
        protocol->SetFileMask(path);
        protocol->BeginTransmit();
    }

    bool WaitFinish(std::chrono::milliseconds deadline = 60s) {
        return PumpUntil([this] { return finish.has_value(); }, deadline);
    }

    int portNumber = 7;
    TempDir tempDir{"kavo-xfer"};
    std::string folder = tempDir.Path().string();
    std::unique_ptr<TComponent> owner;
    TApdComPort* port = nullptr;
    TApdProtocol* protocol = nullptr;
    std::optional<std::int32_t> finish;
    std::vector<std::int32_t> errors;
    std::vector<std::uint16_t> statusOptions;
};

}  // namespace kavo::test
