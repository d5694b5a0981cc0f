#pragma once

// Helpers shared by the crypto tests.

#include <string>

#include "kylib/diagnostics/KyException.h"

namespace kytest {

// The message of the KyException that f() throws, or "(nothing thrown)".
template <class F>
std::string thrownMessage(F&& f) {
    try {
        f();
    } catch (const KyException& e) {
        return e.getMessage();
    }
    return "(nothing thrown)";
}

}  // namespace kytest
