#include "serial/errors.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/component.h"
#include "platform/file_io.h"

namespace kavo {

namespace {

struct MessageEntry {
    int code;  // absolute value
    const char* text;
};

// Sorted by code; ErrorText bisects it. Keep the order when adding entries.
constexpr MessageEntry kMessages[] = {
    {0, "OK"},
    {2, "File not found"},
    {3, "Path not found"},
    {4, "Too many open files"},
    {5, "File access denied"},
    {6, "Invalid file handle"},
    {8, "Insufficient memory"},
    {15, "Invalid drive"},
    {18, "No more files"},
    {100, "Attempt to read beyond end of file"},
    {101, "Disk is full"},
    {102, "File/device not assigned"},
    {103, "File/device not open"},
    {104, "File/device not open for input"},
    {105, "File/device not open for output"},
    {150, "Disk is write-protected"},
    {151, "Unknown disk unit"},
    {152, "Drive is not ready"},
    {153, "Unknown command"},
    {154, "Data error"},
    {155, "Bad request structure length"},
    {156, "Seek error"},
    {157, "Unknown media type"},
    {158, "Disk sector not found"},
    {159, "Printer is out of paper"},
    {160, "Device write error"},
    {161, "Device read error"},
    {162, "General failure"},
    {1001, "Bad handle passed to com function"},
    {1002, "Bad argument passed to function"},
    {1003, "Got quit message"},
    {1004, "Terminal buffer greater than 65521"},
    {1005, "ComPort component not assigned"},
    {1006, "Internal error creating window class"},
    {1007, "Modem component not assigned"},
    {1008, "Phonebook component not assigned"},
    {1009, "Component not compatible with WinSock"},
    {2001, "ie_BadId - Specified comport doesn't exist"},
    {2002, "ie_Baudrate - unsupported baud rate"},
    {2003, "ie_Bytesize - invalid byte size"},
    {2004, "ie_Default - error in default parameters"},
    {2005, "ie_Hardware - Specified comport in use"},
    {2006, "ie_Memory - unable to allocate queues"},
    {2007, "ie_NOpen - device not open"},
    {2008, "ie_Open - device already open"},
    {2009, "No more handles, can't open port"},
    {2010, "No timers available"},
    {2011, "The ComNumber property of the TApdComPort has not been set"},
    {2012, "Comport was not opened by Tapi"},
    {3001, "No device layer specified"},
    {3002, "Function not supported by driver"},
    {3003, "EnableCommNotification failed"},
    {3004, "Failed to put entire block"},
    {3005, "Failed to get entire block"},
    {3006, "Output buffer too small for block"},
    {3007, "Buffer is empty"},
    {3008, "Tracing not enabled"},
    {3009, "Logging not enabled"},
    {3010, "Base address not set"},
    {4001, "Modem not started"},
    {4002, "Modem is busy"},
    {4003, "Modem is not dialing"},
    {4004, "Modem is not responding"},
    {4005, "Modem rejected the command"},
    {4006, "Modem status mismatch"},
    {4007, "Already dialing"},
    {4008, "Not dialing"},
    {4700, "OK"},
    {4701, "Protocol handshaking in progress"},
    {4702, "Bad date/time stamp received and ignored"},
    {4703, "File rejected"},
    {4704, "File renamed"},
    {4705, "File skipped"},
    {4706, "File doesn't exist locally, skipped"},
    {4707, "File skipped "},
    {4708, "Time out in protocol"},
    {4709, "Bad checksum or CRC"},
    {4710, "Block too long"},
    {4711, "Duplicate block received and ignored "},
    {4712, "Error in protocol"},
    {4713, "Cancel requested"},
    {4714, "At end of file"},
    {4715, "B+ host refused resume request"},
    {4716, "Block was out of sequence"},
    {4717, "Aborting on carrier loss"},
    {4718, "Got CrcE packet (Zmodem)"},
    {4719, "Got CrcG packet (Zmodem)"},
    {4720, "Got CrcW packet (Zmodem)"},
    {4721, "Got CrcQ packet (Zmodem)"},
    {4722, "B+ is trying to resume a download"},
    {4723, "B+ host is resuming"},
    {4730, ""},
    {5001, "No more trigger slots"},
    {5002, "Data trigger too long"},
    {5003, "Bad trigger handle"},
    {6001, "Bad format in file list"},
    {6002, "No search mask specified during transmit"},
    {6003, "No files matched search mask"},
    {6004, "Directory in search mask doesn't exist"},
    {6005, "Cancel requested"},
    {6006, "Fatal time out"},
    {6007, "Unrecoverable event during protocol"},
    {6008, "Too many errors during protocol"},
    {6009, "Block sequence error in Xmodem"},
    {6010, "No filename specified in protocol receive"},
    {6011, "File was rejected"},
    {6012, "Cant write file"},
    {6013, "Kermit window table is full, fatal error"},
    {6014, "Aborting due to carrier loss"},
    {6015, "Function not supported by protocol"},
    {6016, "Protocol aborted"},
    {7001, "Key too long"},
    {7002, "Data too large"},
    {7003, "Internal error in the settings database"},
    {7004, "Settings database write error"},
    {7005, "Settings database read error"},
    {7006, "Internal error in the settings database"},
    {7007, "Record already exists"},
    {7008, "Record not found"},
    {7009, "Database is full"},
    {7010, "Database is empty"},
    {7011, "Bad field list"},
    {7012, "Internal error in the settings database"},
    {7013, "Bad field for index"},
    {13980, "Remote access library could not be loaded"},
};

constexpr int kMessageCount = static_cast<int>(sizeof(kMessages) / sizeof(kMessages[0]));

constexpr bool MessagesSorted() {
    for (int i = 1; i < kMessageCount; ++i)
        if (kMessages[i - 1].code >= kMessages[i].code) return false;
    return true;
}
static_assert(MessagesSorted(), "the message table must be sorted by ascending code");

constexpr std::size_t kMaxTextLength = 255;

// Codes of the families that this tool has no component for: a text of their family, so that
// they never read as an unrelated system message.
const char* FamilyText(int absCode) {
    if (absCode >= 4001 && absCode <= 4021) return "Modem error";
    if (absCode >= 4101 && absCode <= 4671) return "Modem response";
    if (absCode >= 4801 && absCode <= 4843) return "Fax status";
    if (absCode >= 5501 && absCode <= 5506) return "Data packet error";
    if (absCode >= 7001 && absCode <= 7014) return "Settings database error";
    if (absCode >= 7500 && absCode <= 7502) return "State machine error";
    if (absCode >= 8001 && absCode <= 8500) return "Fax error";
    if (absCode >= 9001 && absCode <= 11004) return "Network socket error";
    if (absCode >= 13501 && absCode <= 13942) return "Telephony error";
    if (absCode >= 15001 && absCode <= 15742) return "Dispatch log entry";
    return nullptr;
}

const char* FindMessage(int absCode) {
    int low = 0;
    int high = kMessageCount - 1;
    while (low <= high) {
        int middle = (low + high + 1) / 2;
        int found = kMessages[middle].code;
        if (found == absCode) return kMessages[middle].text;
        if (absCode < found)
            high = middle - 1;
        else
            low = middle + 1;
    }
    return nullptr;
}

std::string SystemMessage(int number) {
    const std::string text = SystemMessageText(number);
    if (text.empty()) return {};
    return CleanSystemMessage(text.substr(0, kMaxTextLength));
}

// A message of the caller's for the exception being raised; empty means the code's own text.
thread_local const std::string* customText = nullptr;

template <class E>
[[noreturn]] void Raise(int code) {
    if (customText) throw E(code, *customText);
    throw E(code);
}

using Raiser = void (*)(int);

struct ClassEntry {
    int code;
    Raiser raise;
};

// The codes whose class is not simply their group.
const ClassEntry kClasses[] = {
    {ecBadArgument, Raise<EBadArgument>},
    {ecGotQuitMsg, Raise<EGotQuitMsg>},
    {ecBufferTooBig, Raise<EBufferTooBig>},
    {ecPortNotAssigned, Raise<EPortNotAssigned>},
    {ecInternal, Raise<EInternal>},
    {ecModemNotAssigned, Raise<EModemNotAssigned>},
    {ecPhonebookNotAssigned, Raise<EPhonebookNotAssigned>},
    {ecCannotUseWithWinSock, Raise<ECannotUseWithWinSock>},
    {ecBadId, Raise<EBadId>},
    {ecBaudRate, Raise<EBaudRate>},
    {ecByteSize, Raise<EByteSize>},
    {ecDefault, Raise<EDefault>},
    {ecHardware, Raise<EHardware>},
    {ecMemory, Raise<EMemory>},
    {ecCommNotOpen, Raise<ECommNotOpen>},
    {ecAlreadyOpen, Raise<EAlreadyOpen>},
    {ecNoHandles, Raise<ENoHandles>},
    {ecNoTimers, Raise<ENoTimers>},
    {ecNoPortSelected, Raise<ENoPortSelected>},
    {ecNotOpenedByTapi, Raise<ENotOpenedByTapi>},
    {ecNullApi, Raise<ENullApi>},
    {ecRegisterHandlerFailed, Raise<ERegisterHandlerFailed>},
    {ecPutBlockFail, Raise<EPutBlockFail>},
    {ecGetBlockFail, Raise<EGetBlockFail>},
    {ecOutputBufferTooSmall, Raise<EOutputBufferTooSmall>},
    {ecBufferIsEmpty, Raise<EBufferIsEmpty>},
    {ecTracingNotEnabled, Raise<ETracingNotEnabled>},
    {ecLoggingNotEnabled, Raise<ELoggingNotEnabled>},
    {ecBaseAddressNotSet, Raise<EBaseAddressNotSet>},
    {-4001, Raise<EModemNotStarted>},
    {-4002, Raise<EModemBusy>},
    {-4003, Raise<EModemNotDialing>},
    {-4004, Raise<EModemNotResponding>},
    {-4005, Raise<EModemRejectedCommand>},
    {-4006, Raise<EModemStatusMismatch>},
    {-4007, Raise<EAlreadyDialing>},
    {-4008, Raise<ENotDialing>},
    {ecNoMoreTriggers, Raise<ENoMoreTriggers>},
    {ecTriggerTooLong, Raise<ETriggerTooLong>},
    {ecBadTriggerHandle, Raise<EBadTriggerHandle>},
    {ecTimeout, Raise<EProtocol>},
    {ecTooManyErrors, Raise<EProtocol>},
    {ecSequenceError, Raise<EProtocol>},
    {-7001, Raise<EKeyTooLong>},
    {-7002, Raise<EDataTooLarge>},
    {-7003, Raise<EInternal>},
    {-7004, Raise<EIniWrite>},
    {-7005, Raise<EIniRead>},
    {-7006, Raise<EInternal>},
    {-7007, Raise<ERecordExists>},
    {-7008, Raise<ERecordNotFound>},
    {-7009, Raise<EDatabaseFull>},
    {-7010, Raise<EDatabaseEmpty>},
    {-7011, Raise<EBadFieldList>},
    {-7012, Raise<EInternal>},
    {-7013, Raise<EBadFieldForIndex>},
    {-13980, Raise<ERasLoadFail>},
};

// Telephony classes in the order of their codes from -13801 on; the last one is -13942.
const Raiser kTapiClasses[] = {
    Raise<ETapiAllocated>, Raise<ETapiBadDeviceId>, Raise<ETapiBearerModeUnavail>,
    Raise<ETapiCallUnavail>, Raise<ETapiCompletionOverrun>, Raise<ETapiConferenceFull>,
    Raise<ETapiDialBilling>, Raise<ETapiDialDialtone>, Raise<ETapiDialPrompt>,
    Raise<ETapiDialQuiet>, Raise<ETapiIncompatibleApiVersion>, Raise<ETapiIncompatibleExtVersion>,
    Raise<ETapiIniFileCorrupt>, Raise<ETapiInUse>, Raise<ETapiInvalAddress>,
    Raise<ETapiInvalAddressId>, Raise<ETapiInvalAddressMode>, Raise<ETapiInvalAddressState>,
    Raise<ETapiInvalAppHandle>, Raise<ETapiInvalAppName>, Raise<ETapiInvalBearerMode>,
    Raise<ETapiInvalCallComplMode>, Raise<ETapiInvalCallHandle>, Raise<ETapiInvalCallParams>,
    Raise<ETapiInvalCallPrivilege>, Raise<ETapiInvalCallSelect>, Raise<ETapiInvalCallState>,
    Raise<ETapiInvalCallStatelist>, Raise<ETapiInvalCard>, Raise<ETapiInvalCompletionId>,
    Raise<ETapiInvalConfCallHandle>, Raise<ETapiInvalConsultCallHandle>,
    Raise<ETapiInvalCountryCode>, Raise<ETapiInvalDeviceClass>, Raise<ETapiInvalDeviceHandle>,
    Raise<ETapiInvalDialParams>, Raise<ETapiInvalDigitList>, Raise<ETapiInvalDigitMode>,
    Raise<ETapiInvalDigits>, Raise<ETapiInvalExtVersion>, Raise<ETapiInvalGroupId>,
    Raise<ETapiInvalLineHandle>, Raise<ETapiInvalLineState>, Raise<ETapiInvalLocation>,
    Raise<ETapiInvalMediaList>, Raise<ETapiInvalMediaMode>, Raise<ETapiInvalMessageId>,
    Raise<ETapiInvalParam>, Raise<ETapiInvalParkId>, Raise<ETapiInvalParkMode>,
    Raise<ETapiInvalPointer>, Raise<ETapiInvalPrivSelect>, Raise<ETapiInvalRate>,
    Raise<ETapiInvalRequestMode>, Raise<ETapiInvalTerminalId>, Raise<ETapiInvalTerminalMode>,
    Raise<ETapiInvalTimeout>, Raise<ETapiInvalTone>, Raise<ETapiInvalToneList>,
    Raise<ETapiInvalToneMode>, Raise<ETapiInvalTransferMode>, Raise<ETapiLineMapperFailed>,
    Raise<ETapiNoConference>, Raise<ETapiNoDevice>, Raise<ETapiNoDriver>, Raise<ETapiNoMem>,
    Raise<ETapiNoRequest>, Raise<ETapiNotOwner>, Raise<ETapiNotRegistered>,
    Raise<ETapiOperationFailed>, Raise<ETapiOperationUnavail>, Raise<ETapiRateUnavail>,
    Raise<ETapiResourceUnavail>, Raise<ETapiRequestOverrun>, Raise<ETapiStructureTooSmall>,
    Raise<ETapiTargetNotFound>, Raise<ETapiTargetSelf>, Raise<ETapiUninitialized>,
    Raise<ETapiUserUserInfoTooBig>, Raise<ETapiReinit>, Raise<ETapiAddressBlocked>,
    Raise<ETapiBillingRejected>, Raise<ETapiInvalFeature>, Raise<ETapiNoMultipleInstance>,
    Raise<ETapiInvalAgentId>, Raise<ETapiInvalAgentGroup>, Raise<ETapiInvalPassword>,
    Raise<ETapiInvalAgentState>, Raise<ETapiInvalAgentActivity>, Raise<ETapiDialVoiceDetect>,
    Raise<ETapiUserCanceled>, Raise<ETapiTranslateFail>,
};
constexpr int kTapiCount = sizeof(kTapiClasses) / sizeof(kTapiClasses[0]);
static_assert(kTapiCount == 92);

[[noreturn]] void RaiseForCode(int code) {
    for (const auto& entry : kClasses)
        if (entry.code == code) {
            entry.raise(code);
            std::abort();  // unreachable: every raiser throws
        }

    // Families without a class of their own for the code: their group.
    if (code <= -4001 && code >= -4021) Raise<EModem>(code);
    if (code <= -7001 && code >= -7014) Raise<EINI>(code);
    if (code <= -8001 && code >= -8070) Raise<EFax>(code);
    if (code <= -13801 && code >= -13942) {
        int index = -13801 - code;
        if (code == -13942) kTapiClasses[kTapiCount - 1](code);
        if (index < kTapiCount - 1) kTapiClasses[index](code);
        Raise<ETapi>(code);
    }

    // File and device errors of the run-time library.
    if (code <= -2 && code >= -162) {
        if (code == ecOutOfMemory) throw std::bad_alloc();
        throw EInOutError(customText ? *customText : ErrorText(-code), -code);
    }

    // Anything else (-1001 and -3002 among them) has no class: the generic exception.
    if (customText) throw EAPDException(code, *customText);
    throw EAPDException(std::string("Tevo exception"));
}

}  // namespace

std::string CleanSystemMessage(const std::string& text) {
    std::string result = text;
    for (char& c : result)
        if (static_cast<unsigned char>(c) < 32) c = ' ';
    std::string folded;
    folded.reserve(result.size());
    for (char c : result) {
        if (c == ' ' && !folded.empty() && folded.back() == ' ') continue;
        folded.push_back(c);
    }
    return folded;
}

std::string ErrorText(int code) {
    // The absolute value of INT_MIN does not fit; no table entry or system message is that large.
    if (code == INT32_MIN) return {};
    int absCode = code < 0 ? -code : code;
    if (const char* text = FindMessage(absCode)) return std::string(text).substr(0, kMaxTextLength);
    if (const char* family = FamilyText(absCode)) return std::string(family) + " " + std::to_string(absCode);
    return SystemMessage(absCode);
}

EAPDException::EAPDException(int code) : std::runtime_error(ErrorText(code)), errorCode_(code) {}

EAPDException::EAPDException(const std::string& text) : std::runtime_error(text), errorCode_(0) {}

EAPDException::EAPDException(int code, const std::string& text)
    : std::runtime_error(text), errorCode_(code) {}

int CheckError(const TComponent* component, int code) {
    if (code >= 0) return code;
    if (component && component->IsLoading()) return code;
    RaiseForCode(code);
}

void RaiseError(int code, const std::string& text) {
    struct Reset {
        ~Reset() { customText = nullptr; }
    } reset;
    customText = &text;
    RaiseForCode(code < 0 ? code : ecInternal);
}

}  // namespace kavo
