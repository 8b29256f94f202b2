// Replaces the C library's <sys/single_threaded.h> when the module is built.
//
// libstdc++'s headers read the C library's __libc_single_threaded flag (glibc
// 2.32 and later) to skip atomic instructions in the reference counts of
// std::shared_ptr and std::string while a process has one thread. Reading it
// would make the module fail to load on any older glibc. The module runs in
// a multi-threaded host, so the flag is a constant "may be multi-threaded":
// every reference count update stays atomic and no symbol of glibc 2.32 is
// needed.
#ifndef KPM_RUNTIME_FLOOR_SINGLE_THREADED_H
#define KPM_RUNTIME_FLOOR_SINGLE_THREADED_H

#ifdef __cplusplus
inline constexpr char __libc_single_threaded = 0;
#else
#error "the module is C++ only; this header stands in for glibc's in C++ code"
#endif

#endif
