// Runs the Qt event loop (timers, polls) until a condition holds.
#pragma once

#include <functional>

// Returns true when `done` became true before `timeoutMs` passed.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs);
// Runs the event loop for `ms` milliseconds.
void PumpFor(int ms);
