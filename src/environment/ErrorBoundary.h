#pragma once

#include <exception>

#include "environment/Logger.h"

// Runs the body of a runtime-facing operation so that no exception of any kind gets back into
// the runtime: it is logged as "[pid][operation] Unhandled Exception: text" and swallowed.
template <typename Body>
void RunGuarded(LogArea operation, Body&& body) noexcept {
    const char* text = nullptr;
    try {
        body();
        return;
    } catch (const char* message) {
        text = message != nullptr ? message : "";
    } catch (const std::exception& error) {
        try {
            QX_LOG(LogLevel::Error, operation, "Unhandled Exception: %s", error.what());
        } catch (...) {}
        return;
    } catch (...) {
        text = "unknown error";
    }
    try {
        QX_LOG(LogLevel::Error, operation, "Unhandled Exception: %s", text);
    } catch (...) {}
}
