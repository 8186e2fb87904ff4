// No floating-point contraction in the engine, whatever the compiler's flags:
// every engine source includes this header first, so that a * b + c is two
// roundings in every build (CMake's, which also passes -ffp-contract=off,
// and R's, whose package flags cannot carry it). The pragma covers every
// function defined after it in the translation unit, the standard library's
// templates included. It beats each compiler's default and GCC's
// -ffp-contract=fast; clang lets an explicit -ffp-contract=fast override it.
#pragma once

#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif
