#pragma once

// The library is built with hidden visibility; only what the runtime, managed code or
// the collector tooling must find is marked with this.
#define QX_EXPORT __attribute__((visibility("default")))
