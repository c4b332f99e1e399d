// The error code an operation raised, for tests that check which system error a call fails
// with.
#pragma once

#include "platform/errors.h"

// The code of the EOSError that `body` raised, or 0 when it did not raise.
template <class F> int ErrorCodeOf(F&& body) {
    try {
        body();
    } catch (const EOSError& e) {
        return e.Code;
    }
    return 0;
}
