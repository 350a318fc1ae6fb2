// Exceptions of the serial and protocol layers, and the texts of their result codes.
//
// Inside the serial and protocol layers every failure is a negative result code (error_codes.h).
// CheckError is the one place where such a code becomes an exception: the serial port component
// passes every result through it, so that its callers see exceptions, never codes.
//
// The exception family is a two-level tree under EAPDException: a group class per code range
// (EGeneral, EOpenComm, ESerialIO, ...) and below it one class per code, so that a caller can catch
// a single failure (EAlreadyOpen) or a whole group (EOpenComm).
//
// File and device errors of the run-time range (-2..-162) are not part of that family: they raise
// EInOutError, which carries the absolute code, and -8 raises std::bad_alloc.
//
// Thread safety: ErrorText and CheckError keep no state; any thread may call them.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "serial/error_codes.h"

namespace kavo {

class TComponent;

// The text of a result code (its absolute value is looked up), at most 255 characters. Codes
// without an entry of their own give the operating system's message for that number, cleaned as
// by CleanSystemMessage, or an empty text when the system has none either.
std::string ErrorText(int code);

// Control characters become blanks, and runs of blanks shrink to one.
std::string CleanSystemMessage(const std::string& text);

// Returns the code when it is 0 or positive, or when the component is being streamed in;
// otherwise raises the exception that belongs to the code (see errors.cpp for the rules).
int CheckError(const TComponent* component, int code);

// Raises what CheckError raises for a negative code, but with a message of the caller's (one that
// names the device, say). The code stays the exception's ErrorCode.
[[noreturn]] void RaiseError(int code, const std::string& text);

// Base of the family. Created from a code, its message is the code's text; created from a text,
// its code is 0.
class EAPDException : public std::runtime_error {
public:
    explicit EAPDException(int code);
    explicit EAPDException(const std::string& text);
    // A code with a message of the caller's (for example one that names the device).
    EAPDException(int code, const std::string& text);

    int ErrorCode() const { return errorCode_; }
    std::string Message() const { return what(); }

private:
    std::int32_t errorCode_ = 0;
};

// The run-time library's input/output error: the file and device errors of -2..-162.
class EInOutError : public std::runtime_error {
public:
    EInOutError(const std::string& text, int errorCode)
        : std::runtime_error(text), errorCode_(errorCode) {}
    int ErrorCode() const { return errorCode_; }

private:
    int errorCode_;
};

// The run-time library's conversion error (a text that is not a number).
class EConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

#define KAVO_EXCEPTION_CLASS(Name, Base)   \
    class Name : public Base {             \
    public:                                \
        using Base::Base;                  \
    };

// Groups.
KAVO_EXCEPTION_CLASS(EGeneral, EAPDException)
KAVO_EXCEPTION_CLASS(EOpenComm, EAPDException)
KAVO_EXCEPTION_CLASS(ESerialIO, EAPDException)
KAVO_EXCEPTION_CLASS(EModem, EAPDException)
KAVO_EXCEPTION_CLASS(ETrigger, EAPDException)
KAVO_EXCEPTION_CLASS(EProtocol, EAPDException)
KAVO_EXCEPTION_CLASS(EINI, EAPDException)
KAVO_EXCEPTION_CLASS(EFax, EAPDException)
KAVO_EXCEPTION_CLASS(ETapi, EAPDException)
KAVO_EXCEPTION_CLASS(ERas, EAPDException)

// General: -1002..-1009.
KAVO_EXCEPTION_CLASS(EBadArgument, EGeneral)
KAVO_EXCEPTION_CLASS(EGotQuitMsg, EGeneral)
KAVO_EXCEPTION_CLASS(EBufferTooBig, EGeneral)
KAVO_EXCEPTION_CLASS(EPortNotAssigned, EGeneral)
KAVO_EXCEPTION_CLASS(EInternal, EGeneral)
KAVO_EXCEPTION_CLASS(EModemNotAssigned, EGeneral)
KAVO_EXCEPTION_CLASS(EPhonebookNotAssigned, EGeneral)
KAVO_EXCEPTION_CLASS(ECannotUseWithWinSock, EGeneral)

// Opening the port: -2001..-2012.
KAVO_EXCEPTION_CLASS(EBadId, EOpenComm)
KAVO_EXCEPTION_CLASS(EBaudRate, EOpenComm)
KAVO_EXCEPTION_CLASS(EByteSize, EOpenComm)
KAVO_EXCEPTION_CLASS(EDefault, EOpenComm)
KAVO_EXCEPTION_CLASS(EHardware, EOpenComm)
KAVO_EXCEPTION_CLASS(EMemory, EOpenComm)
KAVO_EXCEPTION_CLASS(ECommNotOpen, EOpenComm)
KAVO_EXCEPTION_CLASS(EAlreadyOpen, EOpenComm)
KAVO_EXCEPTION_CLASS(ENoHandles, EOpenComm)
KAVO_EXCEPTION_CLASS(ENoTimers, EOpenComm)
KAVO_EXCEPTION_CLASS(ENoPortSelected, EOpenComm)
KAVO_EXCEPTION_CLASS(ENotOpenedByTapi, EOpenComm)

// Serial I/O: -3001..-3010 (-3002 raises the base class).
KAVO_EXCEPTION_CLASS(ENullApi, ESerialIO)
KAVO_EXCEPTION_CLASS(ERegisterHandlerFailed, ESerialIO)
KAVO_EXCEPTION_CLASS(EPutBlockFail, ESerialIO)
KAVO_EXCEPTION_CLASS(EGetBlockFail, ESerialIO)
KAVO_EXCEPTION_CLASS(EOutputBufferTooSmall, ESerialIO)
KAVO_EXCEPTION_CLASS(EBufferIsEmpty, ESerialIO)
KAVO_EXCEPTION_CLASS(ETracingNotEnabled, ESerialIO)
KAVO_EXCEPTION_CLASS(ELoggingNotEnabled, ESerialIO)
KAVO_EXCEPTION_CLASS(EBaseAddressNotSet, ESerialIO)

// Modem: -4001..-4008.
KAVO_EXCEPTION_CLASS(EModemNotStarted, EModem)
KAVO_EXCEPTION_CLASS(EModemBusy, EModem)
KAVO_EXCEPTION_CLASS(EModemNotDialing, EModem)
KAVO_EXCEPTION_CLASS(EModemNotResponding, EModem)
KAVO_EXCEPTION_CLASS(EModemRejectedCommand, EModem)
KAVO_EXCEPTION_CLASS(EModemStatusMismatch, EModem)
KAVO_EXCEPTION_CLASS(EAlreadyDialing, EModem)
KAVO_EXCEPTION_CLASS(ENotDialing, EModem)

// Triggers: -5001..-5003.
KAVO_EXCEPTION_CLASS(ENoMoreTriggers, ETrigger)
KAVO_EXCEPTION_CLASS(ETriggerTooLong, ETrigger)
KAVO_EXCEPTION_CLASS(EBadTriggerHandle, ETrigger)

// INI database: -7001..-7014.
KAVO_EXCEPTION_CLASS(EKeyTooLong, EINI)
KAVO_EXCEPTION_CLASS(EDataTooLarge, EINI)
KAVO_EXCEPTION_CLASS(EIniWrite, EINI)
KAVO_EXCEPTION_CLASS(EIniRead, EINI)
KAVO_EXCEPTION_CLASS(ERecordExists, EINI)
KAVO_EXCEPTION_CLASS(ERecordNotFound, EINI)
KAVO_EXCEPTION_CLASS(EDatabaseFull, EINI)
KAVO_EXCEPTION_CLASS(EDatabaseEmpty, EINI)
KAVO_EXCEPTION_CLASS(EBadFieldList, EINI)
KAVO_EXCEPTION_CLASS(EBadFieldForIndex, EINI)

// Fax: -8001..-8070.
KAVO_EXCEPTION_CLASS(EFaxBadFormat, EFax)
KAVO_EXCEPTION_CLASS(EBadGraphicsFormat, EFax)
KAVO_EXCEPTION_CLASS(EConvertAbort, EFax)
KAVO_EXCEPTION_CLASS(EUnpackAbort, EFax)
KAVO_EXCEPTION_CLASS(ECantMakeBitmap, EFax)
KAVO_EXCEPTION_CLASS(EInvalidPageNumber, EFax)
KAVO_EXCEPTION_CLASS(EFaxBadMachine, EFax)
KAVO_EXCEPTION_CLASS(EFaxBadModemResult, EFax)
KAVO_EXCEPTION_CLASS(EFaxTrainError, EFax)
KAVO_EXCEPTION_CLASS(EFaxInitError, EFax)
KAVO_EXCEPTION_CLASS(EFaxBusy, EFax)
KAVO_EXCEPTION_CLASS(EFaxVoiceCall, EFax)
KAVO_EXCEPTION_CLASS(EFaxDataCall, EFax)
KAVO_EXCEPTION_CLASS(EFaxNoDialTone, EFax)
KAVO_EXCEPTION_CLASS(EFaxNoCarrier, EFax)
KAVO_EXCEPTION_CLASS(EFaxSessionError, EFax)
KAVO_EXCEPTION_CLASS(EFaxPageError, EFax)

// Remote access: -13980.
KAVO_EXCEPTION_CLASS(ERasLoadFail, ERas)

// Telephony: -13801..-13942, one class per telephony line error; see errors.cpp for the codes.
KAVO_EXCEPTION_CLASS(ETapiAllocated, ETapi)
KAVO_EXCEPTION_CLASS(ETapiBadDeviceId, ETapi)
KAVO_EXCEPTION_CLASS(ETapiBearerModeUnavail, ETapi)
KAVO_EXCEPTION_CLASS(ETapiCallUnavail, ETapi)
KAVO_EXCEPTION_CLASS(ETapiCompletionOverrun, ETapi)
KAVO_EXCEPTION_CLASS(ETapiConferenceFull, ETapi)
KAVO_EXCEPTION_CLASS(ETapiDialBilling, ETapi)
KAVO_EXCEPTION_CLASS(ETapiDialDialtone, ETapi)
KAVO_EXCEPTION_CLASS(ETapiDialPrompt, ETapi)
KAVO_EXCEPTION_CLASS(ETapiDialQuiet, ETapi)
KAVO_EXCEPTION_CLASS(ETapiIncompatibleApiVersion, ETapi)
KAVO_EXCEPTION_CLASS(ETapiIncompatibleExtVersion, ETapi)
KAVO_EXCEPTION_CLASS(ETapiIniFileCorrupt, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInUse, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalAddress, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalAddressId, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalAddressMode, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalAddressState, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalAppHandle, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalAppName, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalBearerMode, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalCallComplMode, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalCallHandle, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalCallParams, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalCallPrivilege, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalCallSelect, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalCallState, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalCallStatelist, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalCard, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalCompletionId, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalConfCallHandle, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalConsultCallHandle, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalCountryCode, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalDeviceClass, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalDeviceHandle, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalDialParams, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalDigitList, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalDigitMode, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalDigits, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalExtVersion, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalGroupId, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalLineHandle, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalLineState, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalLocation, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalMediaList, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalMediaMode, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalMessageId, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalParam, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalParkId, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalParkMode, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalPointer, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalPrivSelect, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalRate, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalRequestMode, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalTerminalId, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalTerminalMode, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalTimeout, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalTone, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalToneList, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalToneMode, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalTransferMode, ETapi)
KAVO_EXCEPTION_CLASS(ETapiLineMapperFailed, ETapi)
KAVO_EXCEPTION_CLASS(ETapiNoConference, ETapi)
KAVO_EXCEPTION_CLASS(ETapiNoDevice, ETapi)
KAVO_EXCEPTION_CLASS(ETapiNoDriver, ETapi)
KAVO_EXCEPTION_CLASS(ETapiNoMem, ETapi)
KAVO_EXCEPTION_CLASS(ETapiNoRequest, ETapi)
KAVO_EXCEPTION_CLASS(ETapiNotOwner, ETapi)
KAVO_EXCEPTION_CLASS(ETapiNotRegistered, ETapi)
KAVO_EXCEPTION_CLASS(ETapiOperationFailed, ETapi)
KAVO_EXCEPTION_CLASS(ETapiOperationUnavail, ETapi)
KAVO_EXCEPTION_CLASS(ETapiRateUnavail, ETapi)
KAVO_EXCEPTION_CLASS(ETapiResourceUnavail, ETapi)
KAVO_EXCEPTION_CLASS(ETapiRequestOverrun, ETapi)
KAVO_EXCEPTION_CLASS(ETapiStructureTooSmall, ETapi)
KAVO_EXCEPTION_CLASS(ETapiTargetNotFound, ETapi)
KAVO_EXCEPTION_CLASS(ETapiTargetSelf, ETapi)
KAVO_EXCEPTION_CLASS(ETapiUninitialized, ETapi)
KAVO_EXCEPTION_CLASS(ETapiUserUserInfoTooBig, ETapi)
KAVO_EXCEPTION_CLASS(ETapiReinit, ETapi)
KAVO_EXCEPTION_CLASS(ETapiAddressBlocked, ETapi)
KAVO_EXCEPTION_CLASS(ETapiBillingRejected, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalFeature, ETapi)
KAVO_EXCEPTION_CLASS(ETapiNoMultipleInstance, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalAgentId, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalAgentGroup, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalPassword, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalAgentState, ETapi)
KAVO_EXCEPTION_CLASS(ETapiInvalAgentActivity, ETapi)
KAVO_EXCEPTION_CLASS(ETapiDialVoiceDetect, ETapi)
KAVO_EXCEPTION_CLASS(ETapiUserCanceled, ETapi)
KAVO_EXCEPTION_CLASS(ETapiTranslateFail, ETapi)

#undef KAVO_EXCEPTION_CLASS

}  // namespace kavo
