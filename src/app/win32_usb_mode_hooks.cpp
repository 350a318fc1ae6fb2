// The USB storage mode in an unattended run on Windows. The volume broadcasts name a drive letter;
// which USB device holds the volume is not asked here, so --same-usb-device ends the run with a
// clear line instead of taking volumes it cannot place.
#include "app/download_sequence.h"
#include "app/run_control.h"
#include "platform/exit_codes.h"

namespace kavo {

bool TRunControl::TakeOwnVolumesOnly() {
    End(kExitUsage, "kavodown: --same-usb-device is not part of the Windows program: it does not "
                    "tell which USB device a volume is on (run without it, with one terminal "
                    "at a time)");
    return false;
}

}  // namespace kavo
