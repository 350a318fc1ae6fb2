#include "app/terminal_link.h"

#include "app/uutil.h"
#include "platform/message_queue.h"

#include <chrono>
#include <exception>
#include <thread>
#include <vector>

namespace kavo {

TerminalFrameParser::Reply TerminalFrameParser::Feed(unsigned char byte) {
    if (frameState_ == 0 && (byte == kSTX || byte == kSI)) {
        frameBuf_.assign(1, static_cast<char>(byte));
    } else {
        frameBuf_.push_back(static_cast<char>(byte));
    }

    if (frameState_ == 0) {
        if (static_cast<unsigned char>(frameBuf_[0]) == kSTX) {
            frameState_ = 1;
        } else if (frameBuf_.size() > kMaxIdleBytes) {
            // Noise between packets is never looked at again; keep memory flat on a chatty line.
            frameBuf_.erase(0, frameBuf_.size() - kMaxIdleBytes);
        }
        return Reply::None;
    }
    if (frameState_ == 1) {
        if (frameBuf_.size() == 4) {
            frameLen_ = BcdToInt(frameBuf_.substr(2, 2));
            frameState_ = 2;
        }
        return Reply::None;
    }
    if (frameBuf_.size() == static_cast<std::size_t>(frameLen_) + 5) {
        bool good = MakeLRC(frameBuf_.substr(0, frameBuf_.size() - 1)) ==
                    static_cast<unsigned char>(frameBuf_.back());
        frameBuf_.clear();
        frameState_ = 0;
        return good ? Reply::Ack : Reply::Nak;
    }
    return Reply::None;
}

WaitServices WaitServices::Real() {
    return WaitServices{
        [] {
            using namespace std::chrono;
            return static_cast<std::uint64_t>(
                duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
        },
        [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); },
        [] { ProcessMessages(); }};
}

TerminalLink::TerminalLink(TerminalPort& port, WaitServices services)
    : port_(port), services_(std::move(services)) {}

bool TerminalLink::SendData(const std::string& data) {
    if (!port_.IsOpen()) return false;
    try {
        port_.SendString(data);
        while (port_.OutputUsed() > 0) services_.sleepMs(10);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

int TerminalLink::SendCmd(unsigned char cmd, const std::u16string& data) {
    std::string packet;
    try {
        packet = BuildPacket(cmd, WideToBytes(data));
    } catch (const std::exception&) {
        return -1;
    }
    recvBuf_.clear();
    if (!SendData(packet)) return -1;
    return WaitData(std::string(1, static_cast<char>(kACK)), 1000, '^') > 0 ? 0 : -1;
}

int TerminalLink::WaitData(const std::string& alternatives, int timeoutMs, char separator) {
    try {
        const std::uint64_t start = services_.nowMs();
        std::vector<std::string> list;
        std::string rest = alternatives;
        while (true) {
            std::string token = GetToken(rest, separator);
            if (token.empty()) break;
            list.push_back(token);
        }
        while (true) {
            for (std::size_t i = 0; i < list.size(); ++i) {
                if (recvBuf_.find(list[i]) != std::string::npos) {
                    recvBuf_.clear();
                    return static_cast<int>(i + 1);
                }
            }
            if (static_cast<std::int64_t>(services_.nowMs() - start) >= timeoutMs) return 0;
            services_.sleepMs(50);
            services_.processMessages();
        }
    } catch (const std::exception&) {
        return 0;
    }
}

void TerminalLink::AppendReceived(unsigned char byte) {
    recvBuf_.push_back(static_cast<char>(byte));
    if (recvBuf_.size() > 2 * kRecvKeep) recvBuf_.erase(0, recvBuf_.size() - kRecvKeep);
}

void TerminalLink::OnAvail(int count) {
    static const std::string kAcks(3, static_cast<char>(kACK));
    static const std::string kNaks(3, static_cast<char>(kNAK));
    for (int i = 0; i < count; ++i) {
        if (!port_.InputReady()) continue;
        unsigned char byte = port_.ReadChar();
        TerminalFrameParser::Reply reply = parser_.Feed(byte);
        AppendReceived(byte);
        if (reply == TerminalFrameParser::Reply::Ack) SendData(kAcks);
        if (reply == TerminalFrameParser::Reply::Nak) SendData(kNaks);
    }
}

}  // namespace kavo
