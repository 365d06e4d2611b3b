#pragma once
// The start-with-Windows flag: one typed value "AutoRun" (1 = start with the system, 0 = not)
// in the machine-wide flag store.
namespace kx {

// The stored value. Raises KxError "Failed to get data for 'AutoRun'" when the value (or the
// store) is missing or unreadable, and "Invalid data type for 'AutoRun'" when the value is not a
// 32-bit number.
int readAutoRun();

// Stores the value; false when it could not be stored. Never raises.
bool writeAutoRun(int value);

} // namespace kx
