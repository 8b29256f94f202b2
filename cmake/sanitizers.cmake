# Sanitizer builds. KPM_SANITIZE is a comma list as -fsanitize= takes it
# ("address,undefined,alignment", "thread", "fuzzer-no-link,address,undefined")
# and applies to every target, the module included: a module built with a
# sanitizer needs the sanitizer's runtime in the executable that loads it, so
# host, tests and module are built alike. Any report ends the process with an
# error instead of a message that a passing run would hide.
set(KPM_SANITIZE "" CACHE STRING "Sanitizers for every target, as -fsanitize= takes them")

if(KPM_SANITIZE)
    add_compile_options(-fsanitize=${KPM_SANITIZE} -fno-sanitize-recover=all
                        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=${KPM_SANITIZE})
    # The vptr check needs the type information of every class whose objects
    # it sees, but the module keeps its device classes' type information to
    # itself (hidden visibility), so tests that reach into a device would not
    # link. The other undefined-behaviour checks stay on.
    # GCC expands a memcpy, memmove or memset of known size inline, where
    # ThreadSanitizer does not see it: a record copied without its lock would
    # race unreported. Left as calls, they reach the sanitizer's checking
    # versions.
    if(KPM_SANITIZE MATCHES "thread")
        add_compile_options(-fno-builtin-memcpy -fno-builtin-memmove -fno-builtin-memset)
    endif()
    if(KPM_SANITIZE MATCHES "undefined")
        add_compile_options(-fno-sanitize=vptr)
        add_link_options(-fno-sanitize=vptr)
    endif()
endif()
