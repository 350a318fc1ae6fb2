// What the transfer layer needs of the serial port component, in one place.
//
// The protocol component and the engine reach the port only through these functions, so that the
// rest of the transfer layer does not depend on the port component's class layout.
//
// Thread safety: user-interface thread only, like the port component itself. The line that
// MakePortLine returns may also be used by the dispatcher thread while the port is open.
#pragma once

#include <cstdint>
#include <memory>

#include "transfer/protocol_line.h"

namespace kavo {

class TComponent;
class TApdCustomComPort;
class TApdCustomProtocol;

// The first port among the owner's components (depth first); nullptr when there is none.
TApdCustomComPort* FindPortAmong(TComponent* owner);
// The component as a port, or nullptr; and back.
TApdCustomComPort* AsComPort(TComponent* component);
TComponent* PortAsComponent(TApdCustomComPort* port);
// The port's open dispatcher as a line; nullptr when the port is not open.
std::unique_ptr<TProtocolLine> MakePortLine(TApdCustomComPort* port);
std::uint32_t PortBaud(TApdCustomComPort* port);
// The port's OutputUsed (0 when it is not open).
std::uint32_t PortOutputUsed(TApdCustomComPort* port);
// The port's dispatcher handle; raises when the port has no dispatcher.
std::int32_t RequirePortDispatcherHandle(TApdCustomComPort* port);
// Registers (unregisters) the protocol's port-user callback with the port.
void AddProtocolPortUser(TApdCustomComPort* port, TApdCustomProtocol* protocol);
void RemoveProtocolPortUser(TApdCustomComPort* port, TApdCustomProtocol* protocol);

}  // namespace kavo
