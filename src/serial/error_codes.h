// Result codes of the serial and protocol layers.
//
// Every operation inside these layers returns a signed 32-bit result: 0 or a count is success, a
// negative value an error code. Negated errno-style platform errors travel the same way (the device
// layer translates errno into this code space). Protocol status codes are positive (4700..4730).
// The texts of all codes come from ErrorText (errors.h); the exceptions from CheckError.
#pragma once

#include <cstdint>

namespace kavo {

// Success.
constexpr int ecOK = 0;

// File and device errors (the run-time library's numbers, negated).
constexpr int ecFileNotFound = -2;
constexpr int ecPathNotFound = -3;
constexpr int ecTooManyFiles = -4;
constexpr int ecAccessDenied = -5;
constexpr int ecInvalidHandle = -6;
constexpr int ecOutOfMemory = -8;
// The user may not open the device (its permissions); the text names the device and the group.
constexpr int ecDevicePermission = -13;
constexpr int ecInvalidDrive = -15;
constexpr int ecNoMoreFiles = -18;
constexpr int ecDiskRead = -100;
constexpr int ecDiskFull = -101;
constexpr int ecNotAssigned = -102;
constexpr int ecNotOpen = -103;
constexpr int ecNotOpenInput = -104;
constexpr int ecNotOpenOutput = -105;
constexpr int ecWriteProtected = -150;
constexpr int ecUnknownUnit = -151;
constexpr int ecDriveNotReady = -152;
constexpr int ecUnknownCommand = -153;
constexpr int ecCrcError = -154;
constexpr int ecBadStructLen = -155;
constexpr int ecSeekError = -156;
constexpr int ecUnknownMedia = -157;
constexpr int ecSectorNotFound = -158;
constexpr int ecOutOfPaper = -159;
constexpr int ecDeviceWrite = -160;
constexpr int ecDeviceRead = -161;
constexpr int ecHardwareFailure = -162;

// General.
constexpr int ecBadHandle = -1001;
constexpr int ecBadArgument = -1002;
constexpr int ecGotQuitMsg = -1003;
constexpr int ecBufferTooBig = -1004;
constexpr int ecPortNotAssigned = -1005;
constexpr int ecInternal = -1006;
constexpr int ecModemNotAssigned = -1007;
constexpr int ecPhonebookNotAssigned = -1008;
constexpr int ecCannotUseWithWinSock = -1009;

// Opening the port.
constexpr int ecBadId = -2001;
constexpr int ecBaudRate = -2002;
constexpr int ecByteSize = -2003;
constexpr int ecDefault = -2004;
constexpr int ecHardware = -2005;
constexpr int ecMemory = -2006;
constexpr int ecCommNotOpen = -2007;
constexpr int ecAlreadyOpen = -2008;
constexpr int ecNoHandles = -2009;
constexpr int ecNoTimers = -2010;
constexpr int ecNoPortSelected = -2011;
constexpr int ecNotOpenedByTapi = -2012;

// Serial I/O.
constexpr int ecNullApi = -3001;
constexpr int ecNotSupported = -3002;
constexpr int ecRegisterHandlerFailed = -3003;
constexpr int ecPutBlockFail = -3004;
constexpr int ecGetBlockFail = -3005;
constexpr int ecOutputBufferTooSmall = -3006;
constexpr int ecBufferIsEmpty = -3007;
constexpr int ecTracingNotEnabled = -3008;
constexpr int ecLoggingNotEnabled = -3009;
constexpr int ecBaseAddressNotSet = -3010;

// Triggers.
constexpr int ecNoMoreTriggers = -5001;
constexpr int ecTriggerTooLong = -5002;
constexpr int ecBadTriggerHandle = -5003;

// Protocol errors. The protocol status codes 4700..4730 belong to the protocol engine.
constexpr int ecBadFileList = -6001;
constexpr int ecNoSearchMask = -6002;
constexpr int ecNoMatchingFiles = -6003;
constexpr int ecDirNotFound = -6004;
constexpr int ecCancelRequested = -6005;
constexpr int ecTimeout = -6006;
constexpr int ecProtocolError = -6007;
constexpr int ecTooManyErrors = -6008;
constexpr int ecSequenceError = -6009;
constexpr int ecNoFilename = -6010;
constexpr int ecFileRejected = -6011;
constexpr int ecCantWriteFile = -6012;
constexpr int ecTableFull = -6013;
constexpr int ecAbortNoCarrier = -6014;
constexpr int ecBadProtocolFunction = -6015;
constexpr int ecProtocolAbort = -6016;

}  // namespace kavo
