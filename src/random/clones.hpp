// KEMB_CLONES: a hot loop of random/ compiled for AVX-512, AVX2 and baseline
// x86-64, the version picked when the library loads. The ChaCha lanes gain
// from the wider vectors, and the mask's unsigned 64-bit compares vectorise
// only from AVX2 on, so a baseline build would run them one element at a
// time. Other compilers and CPUs get one plain build.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define KEMB_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define KEMB_CLONES
#endif
