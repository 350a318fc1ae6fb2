// An engine record on a scripted line, with a message window that records what the engine
// reports (status options, log codes, errors, the finish code). Steps run on the test's thread,
// so sent messages are handled at once; the posted finish arrives with Pump().
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/message_queue.h"
#include "scripted_line.h"
#include "support/temp_dir.h"
#include "transfer/protocol_engine.h"
#include "transfer/xmodem.h"

namespace kavo::test {

class TempFolder {
public:
    const std::string& Path() const { return path_; }
    std::string Write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
        const std::string file = path_ + "/" + name;
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return file;
    }

private:
    TempDir dir_{"kavo-transfer"};
    std::string path_ = dir_.Path().string();
};

inline std::vector<std::uint8_t> PatternBytes(std::size_t size, unsigned seed = 1) {
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return bytes;
}

struct EngineReports {
    std::vector<std::uint32_t> statusOptions;
    std::vector<std::size_t> sentAtStatus;  // the bytes the line had been given at each report
    std::vector<std::uint32_t> logCodes;
    std::vector<std::int32_t> errors;
    std::optional<std::int32_t> finish;
};

class EngineHarness {
public:
    EngineHarness() {
        InitProtocolData(data, nullptr, 0);
        InitXmodem(*data, true, true, false);
        data->Line = &line;
        data->CharsPerSecond = 11520;
        data->HandshakeWait = 1092;
        // A start character counts at once; the quiet after it has tests of its own.
        data->StartQuietTicks = 0;
        data->NextFileProc = [](ProtocolData& d, std::string& name) { return NextMatchingFile(d, name); };
        window = CreateMessageWindow([this](std::uint32_t msg, WPARAM w, LPARAM) -> LRESULT {
            const auto code = static_cast<std::int32_t>(static_cast<std::int16_t>(w & 0xFFFF));
            switch (msg) {
            case ProtocolStatusMsg:
                reports.statusOptions.push_back(static_cast<std::uint32_t>(w));
                reports.sentAtStatus.push_back(line.sent.size());
                break;
            case ProtocolLogMsg: reports.logCodes.push_back(static_cast<std::uint32_t>(w)); break;
            case ProtocolErrorMsg: reports.errors.push_back(code); break;
            case ProtocolFinishMsg: reports.finish = code; break;
            default: break;
            }
            return 0;
        });
        SetMessageWindow(*data, window);
    }
    ~EngineHarness() {
        DestroyMessageWindow(window);
        data->MessageWindow = 0;
        DoneProtocolData(data);
    }

    void Start(const std::string& path) {
        data->SearchMask = path;
        StartProtocol(*data, ProtocolTypeFor(*data), TransmitStep, PrepareTransmit);
        Pump();
    }
    void Pump() { ProcessMessages(); }

    bool Step(std::uint32_t msg, std::uint32_t trigger) {
        const bool done = TransmitStep(*data, msg, trigger);
        Pump();
        return done;
    }
    // The receiver's bytes arrive.
    bool Reply(std::initializer_list<std::uint8_t> bytes) {
        line.Receive(bytes);
        return Step(kTriggerAvail, static_cast<std::uint32_t>(bytes.size()));
    }
    bool Drained() { return Step(kTriggerStatus, static_cast<std::uint32_t>(data->OutDrainTrigger)); }
    bool OutputFreed() { return Step(kTriggerStatus, static_cast<std::uint32_t>(data->OutFreeTrigger)); }
    bool TimedOut() { return Step(kTriggerTimer, static_cast<std::uint32_t>(data->TimeoutTimer)); }
    // A block went out: the ring drains, and the receiver answers.
    bool Answer(std::uint8_t reply) {
        Drained();
        return Reply({reply});
    }
    std::vector<std::uint8_t> TakeSent() {
        std::vector<std::uint8_t> out;
        out.swap(line.sent);
        return out;
    }

    ScriptedLine line;
    std::unique_ptr<ProtocolData> data;
    HWND window = 0;
    EngineReports reports;
};

// Splits what the transmitter queued into frames: blocks (SOH/STX), EOT, and cancel sequences.
struct Frame {
    std::uint8_t kind = 0;  // SOH, STX, EOT or CAN (for the whole cancel sequence)
    std::uint8_t number = 0;
    std::uint8_t complement = 0;
    std::vector<std::uint8_t> payload;
    std::vector<std::uint8_t> check;
};

inline std::vector<Frame> SplitFrames(const std::vector<std::uint8_t>& bytes, bool crc) {
    std::vector<Frame> frames;
    std::size_t i = 0;
    while (i < bytes.size()) {
        Frame f;
        f.kind = bytes[i];
        if (f.kind == 0x01 || f.kind == 0x02) {
            const std::size_t length = f.kind == 0x01 ? 128 : 1024;
            const std::size_t checkLength = crc ? 2 : 1;
            if (i + 3 + length + checkLength > bytes.size()) {
                f.kind = 0xFF;  // truncated
                frames.push_back(f);
                break;
            }
            f.number = bytes[i + 1];
            f.complement = bytes[i + 2];
            f.payload.assign(bytes.begin() + i + 3, bytes.begin() + i + 3 + length);
            f.check.assign(bytes.begin() + i + 3 + length, bytes.begin() + i + 3 + length + checkLength);
            i += 3 + length + checkLength;
        } else if (f.kind == 0x18) {
            while (i < bytes.size() && (bytes[i] == 0x18 || bytes[i] == 0x08)) f.payload.push_back(bytes[i++]);
        } else {
            ++i;
        }
        frames.push_back(f);
    }
    return frames;
}

}  // namespace kavo::test
