#include "app/batch_outcome.h"

#include "platform/exit_codes.h"
#include "serial/error_codes.h"
#include "serial/errors.h"

#include <filesystem>
#include <system_error>

namespace kavo {
namespace {

namespace fs = std::filesystem;

std::string HoldersText(const std::string& path) {
    const std::vector<std::string> holders = DeviceHolders(path);
    if (holders.empty()) return {};
    std::string text = ":";
    for (std::size_t i = 0; i < holders.size(); ++i) {
        text += (i ? ", pid " : " pid ") + holders[i];
    }
    return text;
}

std::string KnownPorts() { return "; known ports: " + KnownPortsText(ListComPorts()); }

}  // namespace

std::string PortName(int comNumber) {
    const std::string path = comNumber > 0 ? ComPortPath(comNumber) : std::string();
    const std::string name = "COM" + std::to_string(comNumber);
    return path.empty() ? name : name + " (" + path + ")";
}

std::string KnownPortsText(const std::vector<PortEntry>& ports) {
    if (ports.empty()) return "none";
    std::string text;
    for (const PortEntry& port : ports) {
        if (!text.empty()) text += ", ";
        text += "COM" + std::to_string(port.number) + " " + port.path;
    }
    return text;
}

TBatchStop FileMissingStop(const std::string& path) {
    TBatchStop stop{kExitFileMissing, "kavodown: file missing: "};
    std::error_code ec;
    if (path.empty()) {
        stop.line += "no firmware file was given";
    } else {
        switch (fs::status(path, ec).type()) {
        case fs::file_type::directory: stop.line += path + " is a folder, not a firmware file"; break;
        case fs::file_type::fifo: stop.line += path + " is a FIFO, not a firmware file"; break;
        case fs::file_type::character:
        case fs::file_type::block: stop.line += path + " is a device, not a firmware file"; break;
        case fs::file_type::socket: stop.line += path + " is a socket, not a firmware file"; break;
        case fs::file_type::not_found: stop.line += path + " does not exist"; break;
        default:
            stop.line += path + (ec ? ": " + ec.message() : std::string(" is not a firmware file"));
            break;
        }
    }
    return stop;
}

TBatchStop PortOpenStop(std::exception_ptr error, int comNumber) {
    const std::string port = PortName(comNumber);
    try {
        if (error) std::rethrow_exception(error);
        return {kExitOtherError, "kavodown: port failed: " + port + " could not be opened"};
    } catch (const ENoPortSelected&) {
        return {kExitPortMissing, "kavodown: port missing: no port number was given" + KnownPorts()};
    } catch (const EBadId& e) {
        const std::string path = comNumber > 0 ? ComPortPath(comNumber) : std::string();
        if (path.empty()) {
            return {kExitPortMissing, "kavodown: port missing: COM" + std::to_string(comNumber) +
                                          " is not assigned to a device" + KnownPorts()};
        }
        return {kExitPortMissing, "kavodown: port missing: " + port + ": " + e.what() + KnownPorts()};
    } catch (const EAlreadyOpen&) {
        const std::string path = comNumber > 0 ? ComPortPath(comNumber) : std::string();
        return {kExitPortBusy, "kavodown: port busy: " + port + " is held by another program" +
                                   HoldersText(path) + "; end that program or choose another port"};
    } catch (const EInOutError& e) {
        if (e.ErrorCode() == -ecDevicePermission) {
            return {kExitPermissionDenied, "kavodown: permission denied: COM" +
                                               std::to_string(comNumber) + ": " + e.what()};
        }
        return {kExitOtherError, "kavodown: port failed: " + port + ": " + e.what()};
    } catch (const std::exception& e) {
        return {kExitOtherError, "kavodown: port failed: " + port + ": " + e.what()};
    } catch (...) {
        return {kExitOtherError, "kavodown: port failed: " + port + ": unexpected error"};
    }
}

TBatchStop NoAnswerStop(int comNumber) {
    return {kExitNoAnswer, "kavodown: no answer to DDD: the terminal on " + PortName(comNumber) +
                               " sent no ACK within 1000 ms; check the cable and that the "
                               "terminal is in its loader"};
}

TBatchStop TransferEndStop(int errorCode, int comNumber) {
    if (errorCode == 0) return {kExitOk, {}};
    const std::string reason = ErrorText(errorCode) + " (" + std::to_string(errorCode) + ")";
    if (errorCode == ecAbortNoCarrier) {
        return {kExitDeviceLost, "kavodown: device lost: " + PortName(comNumber) +
                                     " went away during the transfer: " + reason};
    }
    return {kExitTransferFailed, "kavodown: transfer failed: " + reason};
}

TBatchStop PortFailureStop(const std::string& failure) {
    return {kExitOtherError, "kavodown: error: " + failure};
}

}  // namespace kavo
