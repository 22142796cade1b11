#include "wait.h"

#include <chrono>
#include <thread>

bool wait_until(const std::function<bool()>& done, double limit_s) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(limit_s);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}
