// Waiting for a condition instead of sleeping for a guessed time: a loaded machine or an
// emulator may take many times longer than usual, and the bound only ends a test that
// would otherwise hang.
#pragma once

#include <functional>

// Polls `done` every 10 ms until it holds (true) or `limit_s` seconds have passed (false).
bool wait_until(const std::function<bool()>& done, double limit_s = 20);
