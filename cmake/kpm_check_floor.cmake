# kpm-check and the libraries it brings must start wherever the module
# loads: on the gateway they need no symbol version above the module's floor
# (tests/target/runtime-floor-mipsel.txt), though the toolchain's C library
# is glibc 2.36 and its C++ runtime GCC 12's. See kpmcheck/floor/.
set(KPM_CHECK_FLOOR_DIR ${PROJECT_SOURCE_DIR}/kpmcheck/floor)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "mipsel")
    set(KPM_CHECK_FLOOR ON)
else()
    set(KPM_CHECK_FLOOR OFF)
endif()

# For every program and library of kpm-check: libstdc++'s headers use the
# module's stand-in for glibc 2.32's __libc_single_threaded; in the gateway
# build, C library symbols are bound to their oldest versions (the header
# included first), the hidden stand-ins of kpmcheck/floor/runtime_shims.cpp
# replace newer runtime functions, no fortified or stack-protected calls
# (glibc 2.3.4, 2.4) are made, and libdl.so.2 and libpthread.so.0 are needed
# by name, where glibc before 2.34 keeps the dl* and pthread functions.
function(kpm_check_floor target)
    target_include_directories(${target} SYSTEM BEFORE PRIVATE
        ${PROJECT_SOURCE_DIR}/plugin/runtime_floor)
    if(NOT KPM_CHECK_FLOOR)
        return()
    endif()
    target_sources(${target} PRIVATE ${KPM_CHECK_FLOOR_DIR}/runtime_shims.cpp)
    target_compile_options(${target} PRIVATE
        -include ${KPM_CHECK_FLOOR_DIR}/glibc_mipsel.h
        -U_FORTIFY_SOURCE -fno-stack-protector)
    # After the objects: a library's float ABI before them would become the
    # program's.
    target_link_libraries(${target} PRIVATE
        -Wl,--push-state,--no-as-needed -l:libdl.so.2 -l:libpthread.so.0 -Wl,--pop-state)
endfunction()

# For kpm-check itself: its own start-up, and no floating point, so that it
# starts on a gateway of either float ABI.
function(kpm_check_floor_program target)
    kpm_check_floor(${target})
    if(NOT KPM_CHECK_FLOOR)
        return()
    endif()
    target_sources(${target} PRIVATE ${KPM_CHECK_FLOOR_DIR}/start_mips.cpp)
    target_compile_options(${target} PRIVATE -Wa,-msoft-float)
    target_link_options(${target} PRIVATE -nostartfiles)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E env OBJCOPY=${CMAKE_OBJCOPY}
                ${KPM_CHECK_FLOOR_DIR}/mark_float_abi_any.sh $<TARGET_FILE:${target}>
        VERBATIM)
endfunction()
