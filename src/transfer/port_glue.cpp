// Interim: the serial port component is not part of the build yet, so no component is a port and
// no transfer can start (StartProtocol reports "File/device not open").
#include "transfer/port_glue.h"

#include "serial/error_codes.h"
#include "serial/errors.h"

namespace kavo {

TApdCustomComPort* FindPortAmong(TComponent*) { return nullptr; }
TApdCustomComPort* AsComPort(TComponent*) { return nullptr; }
TComponent* PortAsComponent(TApdCustomComPort*) { return nullptr; }
std::unique_ptr<TProtocolLine> MakePortLine(TApdCustomComPort*) { return nullptr; }
std::uint32_t PortBaud(TApdCustomComPort*) { return 0; }
std::uint32_t PortOutputUsed(TApdCustomComPort*) { return 0; }
std::int32_t RequirePortDispatcherHandle(TApdCustomComPort*) { return CheckError(nullptr, ecCommNotOpen); }
void AddProtocolPortUser(TApdCustomComPort*, TApdCustomProtocol*) {}
void RemoveProtocolPortUser(TApdCustomComPort*, TApdCustomProtocol*) {}

}  // namespace kavo
