// Included before every source file of kpm-check and of the libraries it
// brings (lib/) in the gateway build: binds each C library symbol they use
// whose newest version is above the module's floor (GLIBC_2.2, see
// tests/target/runtime-floor-mipsel.txt) to its oldest version, which every
// glibc since 2.2 defines. glibc 2.34 moved the dl* and pthread functions
// into libc.so.6 under new versions and keeps the old ones there; an older
// glibc has them in libdl.so.2 and libpthread.so.0, which these programs
// therefore name as needed.
#ifndef KPM_CHECK_FLOOR_GLIBC_MIPSEL_H
#define KPM_CHECK_FLOOR_GLIBC_MIPSEL_H

__asm__(".symver dlopen, dlopen@GLIBC_2.2");
__asm__(".symver dlsym, dlsym@GLIBC_2.0");
__asm__(".symver dlerror, dlerror@GLIBC_2.0");
__asm__(".symver dlclose, dlclose@GLIBC_2.0");
__asm__(".symver dladdr, dladdr@GLIBC_2.0");
__asm__(".symver realpath, realpath@GLIBC_2.0");
__asm__(".symver pthread_rwlock_init, pthread_rwlock_init@GLIBC_2.2");
__asm__(".symver pthread_rwlock_destroy, pthread_rwlock_destroy@GLIBC_2.2");
__asm__(".symver pthread_rwlock_rdlock, pthread_rwlock_rdlock@GLIBC_2.2");
__asm__(".symver pthread_rwlock_wrlock, pthread_rwlock_wrlock@GLIBC_2.2");
__asm__(".symver pthread_rwlock_unlock, pthread_rwlock_unlock@GLIBC_2.2");
__asm__(".symver pthread_rwlock_tryrdlock, pthread_rwlock_tryrdlock@GLIBC_2.2");
__asm__(".symver pthread_rwlock_trywrlock, pthread_rwlock_trywrlock@GLIBC_2.2");
__asm__(".symver __xstat, __xstat@GLIBC_2.0");

#endif
