// termsim: a signature-pad terminal's loader on a serial port path.
//
//   termsim PORT [--out FILE] [options]
//
// Prints "termsim: ready PORT" once the port is open, "termsim: packet CMD acknowledged" after
// each command packet it ACKed, runs one session (an XMODEM reception, or in
// USB mode one firmware delivery through a FAT volume), prints a one-line summary and exits:
// 0 success, 1 failure, 2 bad command line, 3 ended by a requested fault.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "terminal_sim.h"
#include "tool_options.h"

namespace {

void Usage() {
    std::cerr <<
        "Usage: termsim PORT [options]\n"
        "  --out FILE              write the received file here\n"
        "  --size N                cut the received file to N bytes (drops the block padding)\n"
        "  --strip-sub             remove the 0x1A padding at the end of the received file\n"
        "  --checksum              ask for the arithmetic checksum (NAK) instead of CRC-16 ('C')\n"
        "  --handshake-ms MS       period of the start character (default 1000)\n"
        "  --block-timeout-ms MS   silence in a transfer before a NAK (default 10000)\n"
        "  --timeout-ms MS         end the session after MS (default: no limit)\n"
        "faults:\n"
        "  --nak-block K[:N]       NAK good block K (N times, default 1); repeatable\n"
        "  --garbage-block K[:N]   answer good block K with a garbage byte; repeatable\n"
        "  --garbage-handshakes N  send N garbage bytes in place of the first start characters\n"
        "  --cancel-at-block K     answer block K with CAN (--can-count N bytes, default 1)\n"
        "  --stop-after-block K    answer nothing after block K\n"
        "  --ignore-handshakes N   let the first N handshake periods pass silently\n"
        "  --never-answer          read everything, answer nothing\n"
        "  --nak-eot N             NAK the first N EOTs\n"
        "  --silent-at-eot         answer every block, never the EOT\n"
        "a talkative loader:\n"
        "  --greeting TEXT         print TEXT before every start character until the first block\n"
        "                          (\\r, \\n and \\xHH stand for those bytes)\n"
        "  --echo                  send back every byte received until the first block\n"
        "  --talk-forever          print the greeting once per handshake period, never ask\n"
        "packets:\n"
        "  --send-packet CMD:TEXT  send a framed packet (CMD in hex); repeatable\n"
        "  --send-packet-hex CMD:HEX   the same with the data in hex\n"
        "  --packets-after-ddd     send them right after answering \"DDD\" (default: at start)\n"
        "  --packet-delay-ms MS    delay before sending them at start\n"
        "USB mode:\n"
        "  --usb                   present a FAT volume with a Down folder; wait for the firmware\n"
        "                          and the command 0xD1 \"E\", ACK it, remove the volume\n"
        "  --image FILE            FAT image to use (made when missing; default: temporary)\n"
        "  --mount DIR             where to mount it (default: temporary folder)\n"
        "  --fat 12|16|32          FAT type of a new image (default 16)\n"
        "  --image-mib N           size of a new image (default 4, 16 or 64 by FAT type)\n"
        "  --usb-refuse            answer 0xD1 \"E\" with NAK and remove the volume all the same\n"
        "  --sysfs ROOT --usb-device DIR   a simulated sysfs (the tool's KAVODOWN_SYSFS) and the\n"
        "                          folder in it of the terminal's USB device: the volume's block\n"
        "                          device is placed below it while the volume is mounted\n";
}

[[noreturn]] void Bad(const std::string& option, const std::string& value) {
    kavo::sim::BadOptionValue("termsim", option, value);
}

std::uint64_t ToUnsigned(const std::string& option, const std::string& text) {
    std::uint64_t v = 0;
    if (!kavo::sim::ParseUnsigned(text, v)) Bad(option, text);
    return v;
}

int ToInt(const std::string& option, const std::string& text) {
    std::uint64_t v = ToUnsigned(option, text);
    if (v > 100000000) Bad(option, text);
    return static_cast<int>(v);
}

std::vector<std::uint8_t> FromHex(const std::string& option, const std::string& text) {
    if (text.size() % 2 != 0) Bad(option, text);
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        char* end = nullptr;
        std::string pair = text.substr(i, 2);
        long v = std::strtol(pair.c_str(), &end, 16);
        if (!end || *end != 0) Bad(option, text);
        out.push_back(static_cast<std::uint8_t>(v));
    }
    return out;
}

// Text with \r, \n, \\ and \xHH written out, as a shell passes it.
std::string Unescape(const std::string& option, const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char kind = text[++i];
        if (kind == 'r') {
            out += '\r';
        } else if (kind == 'n') {
            out += '\n';
        } else if (kind == '\\') {
            out += '\\';
        } else if (kind == 'x' && i + 2 < text.size()) {
            out += static_cast<char>(FromHex(option, text.substr(i + 1, 2))[0]);
            i += 2;
        } else {
            Bad(option, text);
        }
    }
    return out;
}

// "K" or "K:N" -> (K, N), N defaulting to 1.
std::pair<std::uint64_t, int> BlockAndTimes(const std::string& option, const std::string& text) {
    auto colon = text.find(':');
    std::uint64_t block = ToUnsigned(option, text.substr(0, colon));
    int times = colon == std::string::npos ? 1 : ToInt(option, text.substr(colon + 1));
    if (block == 0) Bad(option, text);
    return {block, times};
}

using TValue = std::function<std::string()>;
using kavo::sim::TerminalSimOptions;

// The session's own options; false when `arg` is none of them.
bool TakeSessionOption(const std::string& arg, const TValue& value, TerminalSimOptions& o) {
    if (arg == "--port") o.portPath = value();
    else if (arg == "--out") o.outputPath = value();
    else if (arg == "--size") o.trimSize = static_cast<std::int64_t>(ToUnsigned(arg, value()));
    else if (arg == "--strip-sub") o.stripSub = true;
    else if (arg == "--checksum") o.checksum = true;
    else if (arg == "--handshake-ms") o.handshakeMs = std::max(ToInt(arg, value()), 1);
    else if (arg == "--block-timeout-ms") o.blockTimeoutMs = std::max(ToInt(arg, value()), 1);
    else if (arg == "--timeout-ms") o.timeoutMs = ToInt(arg, value());
    else return false;
    return true;
}

bool TakeFaultOption(const std::string& arg, const TValue& value, TerminalSimOptions& o) {
    if (arg == "--nak-block") {
        auto [k, n] = BlockAndTimes(arg, value());
        o.nakBlocks[k] += n;
    } else if (arg == "--garbage-block") {
        auto [k, n] = BlockAndTimes(arg, value());
        o.garbageBlocks[k] += n;
    } else if (arg == "--garbage-handshakes") {
        o.garbageHandshakes = ToInt(arg, value());
    } else if (arg == "--cancel-at-block") {
        o.cancelAtBlock = ToUnsigned(arg, value());
    } else if (arg == "--can-count") {
        o.cancelCount = std::max(ToInt(arg, value()), 1);
    } else if (arg == "--stop-after-block") {
        o.stopAfterBlock = ToUnsigned(arg, value());
    } else if (arg == "--ignore-handshakes") {
        o.ignoreHandshakes = ToInt(arg, value());
    } else if (arg == "--never-answer") {
        o.neverAnswer = true;
    } else if (arg == "--nak-eot") {
        o.nakEots = ToInt(arg, value());
    } else if (arg == "--silent-at-eot") {
        o.silentAtEot = true;
    } else {
        return false;
    }
    return true;
}

// "CMD:TEXT" (or "CMD:HEX" for --send-packet-hex) as a framed packet.
std::vector<std::uint8_t> PacketOption(const std::string& arg, const std::string& v) {
    const auto colon = v.find(':');
    if (colon == std::string::npos || colon == 0 || colon > 2) Bad(arg, v);
    const std::vector<std::uint8_t> cmd = FromHex(arg, (colon == 1 ? "0" : "") + v.substr(0, colon));
    const std::string rest = v.substr(colon + 1);
    const std::vector<std::uint8_t> data =
        arg == "--send-packet" ? std::vector<std::uint8_t>(rest.begin(), rest.end()) : FromHex(arg, rest);
    if (data.size() > 9999) Bad(arg, v);
    return kavo::sim::FramePacket(cmd[0], data);
}

// What the loader says besides the transfer: its greeting, echo and packets.
bool TakeTalkOption(const std::string& arg, const TValue& value, TerminalSimOptions& o) {
    if (arg == "--greeting") o.greeting = Unescape(arg, value());
    else if (arg == "--echo") o.echo = true;
    else if (arg == "--talk-forever") o.talkForever = true;
    else if (arg == "--send-packet" || arg == "--send-packet-hex") o.sendPackets.push_back(PacketOption(arg, value()));
    else if (arg == "--packets-after-ddd") o.packetsAfterDdd = true;
    else if (arg == "--packet-delay-ms") o.packetDelayMs = ToInt(arg, value());
    else return false;
    return true;
}

bool TakeUsbOption(const std::string& arg, const TValue& value, TerminalSimOptions& o) {
    if (arg == "--usb") {
        o.usb = true;
    } else if (arg == "--image") {
        o.image = value();
    } else if (arg == "--mount") {
        o.mountPoint = value();
    } else if (arg == "--usb-refuse") {
        o.usbRefuse = true;
    } else if (arg == "--sysfs") {
        o.sysfsRoot = value();
    } else if (arg == "--usb-device") {
        o.usbDevice = value();
    } else if (arg == "--fat") {
        o.fatBits = ToInt(arg, value());
        if (o.fatBits != 12 && o.fatBits != 16 && o.fatBits != 32) Bad(arg, std::to_string(o.fatBits));
    } else if (arg == "--image-mib") {
        o.imageMiB = ToInt(arg, value());
        if (o.imageMiB < 1 || o.imageMiB > 4096) Bad(arg, std::to_string(o.imageMiB));
    } else {
        return false;
    }
    return true;
}

// Reads the command line into `o`; an exit code when the program is to end at once.
std::optional<int> ParseOptions(int argc, char** argv, TerminalSimOptions& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const TValue value = [&] { return kavo::sim::OptionValue("termsim", argc, argv, i); };
        if (arg == "--help" || arg == "-h") {
            Usage();
            return 0;
        }
        if (TakeSessionOption(arg, value, o) || TakeFaultOption(arg, value, o) ||
            TakeTalkOption(arg, value, o) || TakeUsbOption(arg, value, o)) {
            continue;
        }
        if (!arg.empty() && arg[0] != '-' && o.portPath.empty()) {
            o.portPath = arg;
        } else {
            std::cerr << "termsim: unknown option " << arg << "\n";
            Usage();
            return 2;
        }
    }
    if (o.portPath.empty()) {
        Usage();
        return 2;
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    kavo::sim::TerminalSimOptions o;
    if (const std::optional<int> code = ParseOptions(argc, argv, o)) return *code;

    const int sigFd = kavo::sim::StopSignalFd("termsim");
    if (sigFd < 0) return 1;

    kavo::sim::TerminalSim* simPtr = nullptr;
    o.onReady = [&] {
        std::cout << "termsim: ready " << o.portPath;
        if (o.usb && simPtr) std::cout << " volume=" << simPtr->MountPoint();
        std::cout << std::endl;
    };
    o.onPacketAcked = [](std::uint8_t command) {
        std::cout << "termsim: packet " << std::hex << std::uppercase << int(command) << std::dec
                  << " acknowledged" << std::endl;
    };
    kavo::sim::TerminalSim sim(o);
    simPtr = &sim;
    sim.Start();
    pollfd pfds[2] = {{sigFd, POLLIN, 0}, {sim.DoneFd(), POLLIN, 0}};
    while (true) {
        int rc = poll(pfds, 2, -1);
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0 || (pfds[1].revents & POLLIN)) break;
        if (pfds[0].revents & POLLIN) {
            sim.Stop();
            pfds[0].fd = -1;
        }
    }
    auto result = sim.Wait(std::chrono::seconds(60));
    close(sigFd);
    if (!result) {
        std::cout << "termsim: failed (the session did not end)" << std::endl;
        return 1;
    }
    std::cout << result->Summary() << std::endl;
    return result->ExitCode();
}
