// Who owns what across threads, said in code: a member GUARDED_BY(m) is read
// and written only with m held; a function REQUIRES(m) is called with it
// held. Clang checks these (-Wthread-safety); other compilers read them as
// the contract they are.
#pragma once

#if defined(__clang__)
#define GUARDED_BY(x) __attribute__((guarded_by(x)))
#define REQUIRES(...) __attribute__((requires_capability(__VA_ARGS__)))
#else
#define GUARDED_BY(x)
#define REQUIRES(...)
#endif
