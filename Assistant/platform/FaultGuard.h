#pragma once
// Survives processor faults inside calls into outside libraries. A fault (access violation, bus
// error, arithmetic fault, illegal instruction) raised on the calling thread while a guarded call
// runs ends that call with a message naming the fault; the process and every other thread go on.
// Handlers that the called code installs itself see its exceptions first (on Windows, where
// libraries raise and handle exceptions of their own, any other exception none of them handled
// ends the call too, but with an empty message: it is the library runtime's own error object,
// whose message this program cannot read).
// Outside a guarded call a fault keeps its usual effect (whatever handler was installed before,
// or the default action).
#include <string>

namespace kx::platform {

// Installs the process-wide fault handlers. Runs by itself on the first guarded call; call it
// early (before other threads load libraries that swap signal handlers) to avoid any race.
void installFaultHandlers();

// Runs fn(context). True when it returned normally; false after a fault, with `faultMessage`
// naming it, e.g. "Access violation at address 0x0 (SIGSEGV)", or empty for an unhandled
// exception that is not a processor fault. After a fault the frames of fn
// are abandoned without running destructors, so fn must keep nothing that needs one.
bool runFaultGuarded(void (*fn)(void*), void* context, std::string& faultMessage);

} // namespace kx::platform
