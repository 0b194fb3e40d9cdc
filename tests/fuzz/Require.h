// What a fuzz target holds to: a property that fails stops the run at once,
// and libFuzzer keeps the input that broke it.
#pragma once

inline void Require(bool holds) {
    if (!holds) {
        __builtin_trap();
    }
}
