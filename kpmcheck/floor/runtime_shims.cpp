// Hidden definitions, in each of kpm-check's programs and libraries in the
// gateway build, of the few runtime functions that inline code of GCC 12's
// headers and glibc 2.36's would otherwise import under versions above the
// module's floor. Each does what the runtime's own does, with what older
// runtimes define.
#include <new>
#include <sstream>

namespace {

// glibc's struct stat version for o32 MIPS (_STAT_VER_LINUX), which __xstat
// fills; glibc 2.33 replaced that call with a stat function of its own.
constexpr int kStatVersionLinux = 3;

}  // namespace

struct stat;
extern "C" int __xstat(int version, const char* path, struct stat* status);

extern "C" __attribute__((visibility("hidden"))) int kpm_stat(const char* path, struct stat* status)
    __asm__("stat");
int kpm_stat(const char* path, struct stat* status) { return __xstat(kStatVersionLinux, path, status); }

// GLIBCXX_3.4.29: the allocators' size check of GCC 11 and later.
extern "C" __attribute__((visibility("hidden"), noreturn)) void kpm_throw_bad_array_new_length()
    __asm__("_ZSt28__throw_bad_array_new_lengthv");
void kpm_throw_bad_array_new_length() { throw std::bad_array_new_length(); }

// GLIBCXX_3.4.26: std::ostringstream's constructor without arguments, which
// GCC 9 made a function of its own; the one with the open mode is older.
extern "C" __attribute__((visibility("hidden"))) void kpm_ostringstream_construct(
    std::ostringstream* self) __asm__("_ZNSt7__cxx1119basic_ostringstreamIcSt11char_traitsIcESaIcEEC1Ev");
void kpm_ostringstream_construct(std::ostringstream* self)
{
    new (self) std::ostringstream(std::ios_base::out);
}
