#include "serial/errors.h"

#include <gtest/gtest.h>

#include <new>
#include <typeinfo>

#include "platform/component.h"

namespace kavo {
namespace {

// Runs CheckError and reports the class it raised, its code and its message.
struct Raised {
    std::string type;
    int code = 0;
    std::string message;
};

template <class E>
bool RaisesAs(int code, Raised* out = nullptr) {
    try {
        CheckError(nullptr, code);
    } catch (const E& e) {
        if (out) {
            out->type = typeid(e).name();
            out->message = e.what();
            if constexpr (requires { e.ErrorCode(); }) out->code = e.ErrorCode();
        }
        return true;
    } catch (...) {
        return false;
    }
    return false;
}

struct SerialCode {
    int code;
    const char* text;
    bool (*exactClass)(int);  // true when CheckError raises exactly the expected class
    bool (*group)(int);       // true when the group catches it
};

template <class E>
bool IsExactly(int code) {
    try {
        CheckError(nullptr, code);
    } catch (const EAPDException& e) {
        return typeid(e) == typeid(E) && e.ErrorCode() == code;
    } catch (...) {
    }
    return false;
}

template <class G>
bool CaughtBy(int code) {
    return RaisesAs<G>(code);
}

class SerialLayerCodes : public ::testing::TestWithParam<SerialCode> {};

TEST_P(SerialLayerCodes, RaiseTheirClassWithTheTabledText) {
    const SerialCode& c = GetParam();
    EXPECT_EQ(ErrorText(c.code), c.text);
    EXPECT_EQ(ErrorText(-c.code), c.text) << "texts are found by absolute value";
    EXPECT_TRUE(c.exactClass(c.code));
    EXPECT_TRUE(c.group(c.code));
    Raised r;
    ASSERT_TRUE(RaisesAs<EAPDException>(c.code, &r));
    EXPECT_EQ(r.message, c.text);
    EXPECT_EQ(r.code, c.code);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SerialLayerCodes,
    ::testing::Values(
        SerialCode{-1002, "Bad argument passed to function", IsExactly<EBadArgument>, CaughtBy<EGeneral>},
        SerialCode{-1003, "Got quit message", IsExactly<EGotQuitMsg>, CaughtBy<EGeneral>},
        SerialCode{-1004, "Terminal buffer greater than 65521", IsExactly<EBufferTooBig>, CaughtBy<EGeneral>},
        SerialCode{-1005, "ComPort component not assigned", IsExactly<EPortNotAssigned>, CaughtBy<EGeneral>},
        SerialCode{-1006, "Internal error creating window class", IsExactly<EInternal>, CaughtBy<EGeneral>},
        SerialCode{-1007, "Modem component not assigned", IsExactly<EModemNotAssigned>, CaughtBy<EGeneral>},
        SerialCode{-1008, "Phonebook component not assigned", IsExactly<EPhonebookNotAssigned>, CaughtBy<EGeneral>},
        SerialCode{-1009, "Component not compatible with WinSock", IsExactly<ECannotUseWithWinSock>, CaughtBy<EGeneral>},
        SerialCode{-2001, "ie_BadId - Specified comport doesn't exist", IsExactly<EBadId>, CaughtBy<EOpenComm>},
        SerialCode{-2002, "ie_Baudrate - unsupported baud rate", IsExactly<EBaudRate>, CaughtBy<EOpenComm>},
        SerialCode{-2003, "ie_Bytesize - invalid byte size", IsExactly<EByteSize>, CaughtBy<EOpenComm>},
        SerialCode{-2004, "ie_Default - error in default parameters", IsExactly<EDefault>, CaughtBy<EOpenComm>},
        SerialCode{-2005, "ie_Hardware - Specified comport in use", IsExactly<EHardware>, CaughtBy<EOpenComm>},
        SerialCode{-2006, "ie_Memory - unable to allocate queues", IsExactly<EMemory>, CaughtBy<EOpenComm>},
        SerialCode{-2007, "ie_NOpen - device not open", IsExactly<ECommNotOpen>, CaughtBy<EOpenComm>},
        SerialCode{-2008, "ie_Open - device already open", IsExactly<EAlreadyOpen>, CaughtBy<EOpenComm>},
        SerialCode{-2009, "No more handles, can't open port", IsExactly<ENoHandles>, CaughtBy<EOpenComm>},
        SerialCode{-2010, "No timers available", IsExactly<ENoTimers>, CaughtBy<EOpenComm>},
        SerialCode{-2011, "The ComNumber property of the TApdComPort has not been set", IsExactly<ENoPortSelected>, CaughtBy<EOpenComm>},
        SerialCode{-2012, "Comport was not opened by Tapi", IsExactly<ENotOpenedByTapi>, CaughtBy<EOpenComm>},
        SerialCode{-3001, "No device layer specified", IsExactly<ENullApi>, CaughtBy<ESerialIO>},
        SerialCode{-3003, "EnableCommNotification failed", IsExactly<ERegisterHandlerFailed>, CaughtBy<ESerialIO>},
        SerialCode{-3004, "Failed to put entire block", IsExactly<EPutBlockFail>, CaughtBy<ESerialIO>},
        SerialCode{-3005, "Failed to get entire block", IsExactly<EGetBlockFail>, CaughtBy<ESerialIO>},
        SerialCode{-3006, "Output buffer too small for block", IsExactly<EOutputBufferTooSmall>, CaughtBy<ESerialIO>},
        SerialCode{-3007, "Buffer is empty", IsExactly<EBufferIsEmpty>, CaughtBy<ESerialIO>},
        SerialCode{-3008, "Tracing not enabled", IsExactly<ETracingNotEnabled>, CaughtBy<ESerialIO>},
        SerialCode{-3009, "Logging not enabled", IsExactly<ELoggingNotEnabled>, CaughtBy<ESerialIO>},
        SerialCode{-3010, "Base address not set", IsExactly<EBaseAddressNotSet>, CaughtBy<ESerialIO>},
        SerialCode{-5001, "No more trigger slots", IsExactly<ENoMoreTriggers>, CaughtBy<ETrigger>},
        SerialCode{-5002, "Data trigger too long", IsExactly<ETriggerTooLong>, CaughtBy<ETrigger>},
        SerialCode{-5003, "Bad trigger handle", IsExactly<EBadTriggerHandle>, CaughtBy<ETrigger>},
        SerialCode{-6006, "Fatal time out", IsExactly<EProtocol>, CaughtBy<EProtocol>},
        SerialCode{-6008, "Too many errors during protocol", IsExactly<EProtocol>, CaughtBy<EProtocol>},
        SerialCode{-6009, "Block sequence error in Xmodem", IsExactly<EProtocol>, CaughtBy<EProtocol>}));

TEST(CheckError, SuccessAndCountsPassThroughAndLoadingComponentsNeverRaise) {
    EXPECT_EQ(CheckError(nullptr, 0), 0);
    EXPECT_EQ(CheckError(nullptr, 4700), 4700);
    EXPECT_EQ(CheckError(nullptr, 123456), 123456);

    TComponent loading;
    loading.BeginLoading();
    EXPECT_EQ(CheckError(&loading, -2008), -2008);
    EXPECT_EQ(CheckError(&loading, -5), -5);
    loading.Loaded();
    EXPECT_THROW(CheckError(&loading, -2008), EAlreadyOpen);
}

TEST(CheckError, CodesWithoutAClassRaiseTheGenericException) {
    for (int code : {-1001, -3002, -6001, -6005, -6016, -1, -163, -999, -20000}) {
        try {
            CheckError(nullptr, code);
            ADD_FAILURE() << code << " raised nothing";
        } catch (const EAPDException& e) {
            EXPECT_EQ(typeid(e), typeid(EAPDException)) << code;
            EXPECT_STREQ(e.what(), "Tevo exception") << code;
            EXPECT_EQ(e.ErrorCode(), 0) << code;
        }
    }
}

TEST(CheckError, FileAndDeviceCodesRaiseTheInOutErrorAndMinus8IsOutOfMemory) {
    Raised r;
    ASSERT_TRUE(RaisesAs<EInOutError>(-2, &r));
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.message, "File not found");
    ASSERT_TRUE(RaisesAs<EInOutError>(-162, &r));
    EXPECT_EQ(r.code, 162);
    EXPECT_EQ(r.message, "General failure");
    // A code without a table entry carries the system's text for its number (EACCES on Linux;
    // on Windows the message table's ERROR_INVALID_DATA, whose wording differs between versions).
    ASSERT_TRUE(RaisesAs<EInOutError>(-13, &r));
    EXPECT_EQ(r.code, 13);
#ifdef _WIN32
    EXPECT_NE(r.message.find("nvalid"), std::string::npos) << r.message;
#else
    EXPECT_EQ(r.message, "Permission denied");
#endif
    EXPECT_FALSE(RaisesAs<EAPDException>(-5)) << "run-time errors are not of the family";
    EXPECT_THROW(CheckError(nullptr, -8), std::bad_alloc);
}

TEST(CheckError, OtherFamiliesRaiseAClassOfTheirGroup) {
    EXPECT_TRUE(IsExactly<EInternal>(-7003));
    EXPECT_TRUE(IsExactly<EInternal>(-7006));
    EXPECT_TRUE(IsExactly<EInternal>(-7012));
    EXPECT_TRUE(IsExactly<EIniWrite>(-7004));
    EXPECT_TRUE(CaughtBy<EINI>(-7014));
    EXPECT_TRUE(IsExactly<EModemBusy>(-4002));
    EXPECT_TRUE(CaughtBy<EModem>(-4021));
    EXPECT_TRUE(CaughtBy<EFax>(-8001));
    EXPECT_TRUE(CaughtBy<EFax>(-8070));
    EXPECT_TRUE(IsExactly<ETapiAllocated>(-13801));
    EXPECT_TRUE(IsExactly<ETapiTranslateFail>(-13942));
    EXPECT_TRUE(CaughtBy<ETapi>(-13900));
    EXPECT_TRUE(IsExactly<ERasLoadFail>(-13980));
    EXPECT_FALSE(CaughtBy<EOpenComm>(-3006)) << "groups do not catch each other's codes";
}

TEST(ErrorText, ProtocolCodesAndStatusesHaveTheirTexts) {
    EXPECT_EQ(ErrorText(0), "OK");
    EXPECT_EQ(ErrorText(4700), "OK");
    EXPECT_EQ(ErrorText(4707), "File skipped ");
    EXPECT_EQ(ErrorText(4711), "Duplicate block received and ignored ");
    EXPECT_EQ(ErrorText(4713), "Cancel requested");
    EXPECT_EQ(ErrorText(4723), "B+ host is resuming");
    EXPECT_EQ(ErrorText(4730), "");
    EXPECT_EQ(ErrorText(-6001), "Bad format in file list");
    EXPECT_EQ(ErrorText(-6012), "Cant write file");
    EXPECT_EQ(ErrorText(-6016), "Protocol aborted");
    EXPECT_EQ(ErrorText(-100), "Attempt to read beyond end of file");
}

TEST(ErrorText, UntabledCodesFallBackToTheSystemMessage) {
#ifdef _WIN32
    // The message table's texts, one line each (they end with a line break there).
    for (const int code : {-87, 31, -1460}) {
        const std::string text = ErrorText(code);
        EXPECT_FALSE(text.empty()) << code;
        EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
    }
    EXPECT_NE(ErrorText(-87).find("arameter"), std::string::npos) << ErrorText(-87);
#else
    EXPECT_EQ(ErrorText(-13), "Permission denied");
    EXPECT_EQ(ErrorText(19), "No such device");
#endif
    // Numbers the system has no message for give an empty text, not a made-up one.
    EXPECT_EQ(ErrorText(-3999), "");
    EXPECT_EQ(ErrorText(INT32_MIN), "");
    // Foreign families get a text of their family rather than an unrelated system message.
    EXPECT_EQ(ErrorText(-4015), "Modem error 4015");
    EXPECT_EQ(ErrorText(15001), "Dispatch log entry 15001");
}

TEST(ErrorText, SystemMessagesAreCleanedOfControlCharacters) {
    EXPECT_EQ(CleanSystemMessage("Access\r\n  denied.\r\n"), "Access denied. ");
    EXPECT_EQ(CleanSystemMessage("a\tb"), "a b");
    EXPECT_EQ(CleanSystemMessage("   "), " ");
    EXPECT_EQ(CleanSystemMessage(""), "");
}

TEST(RaiseError, KeepsTheClassAndCodeWithTheCallersText) {
    try {
        RaiseError(-2008, "ie_Open - device already open (/dev/ttyUSB0 is held by another program)");
    } catch (const EAlreadyOpen& e) {
        EXPECT_EQ(e.ErrorCode(), -2008);
        EXPECT_STREQ(e.what(), "ie_Open - device already open (/dev/ttyUSB0 is held by another program)");
    }
    Raised r;
    EXPECT_TRUE(RaisesAs<EInOutError>(-13, &r));
    try {
        RaiseError(-13, "no permission to open /dev/ttyS0");
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode(), 13);
        EXPECT_STREQ(e.what(), "no permission to open /dev/ttyS0");
    }
    try {
        RaiseError(-3002, "not supported here");
    } catch (const EAPDException& e) {
        EXPECT_EQ(e.ErrorCode(), -3002) << "a text of the caller's keeps the code";
        EXPECT_STREQ(e.what(), "not supported here");
    }
    // The text does not stick to later raises.
    EXPECT_TRUE(RaisesAs<EAlreadyOpen>(-2008, &r));
    EXPECT_EQ(r.message, "ie_Open - device already open");
}

TEST(EAPDException, ConstructorsFromCodeAndFromText) {
    EAPDException fromCode(-2007);
    EXPECT_EQ(fromCode.ErrorCode(), -2007);
    EXPECT_STREQ(fromCode.what(), "ie_NOpen - device not open");
    EAPDException fromText(std::string("something"));
    EXPECT_EQ(fromText.ErrorCode(), 0);
    EXPECT_EQ(fromText.Message(), "something");
    ECommNotOpen leaf(-2007);
    const EOpenComm& asGroup = leaf;
    EXPECT_EQ(asGroup.ErrorCode(), -2007);
}

}  // namespace
}  // namespace kavo
