// The Windows program has no USB storage mode (it watches Linux's mount table and sysfs): the
// sequence makes no mode, and an unattended run that asks for it ends with the usage code.
#include "app/download_sequence.h"
#include "app/run_control.h"
#include "platform/exit_codes.h"

namespace kavo {

void TDownloadSequence::CreateUsbMode() {}

void TDownloadSequence::DeviceChange(unsigned, const std::string&) {}

bool TRunControl::WatchUsbMode(std::uint32_t) {
    End(kExitUsage, "kavodown: the USB storage mode (MODE USB) is not part of the Windows program");
    return false;
}

}  // namespace kavo
