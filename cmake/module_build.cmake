# Settings every object linked into the module shares.
#
# runtime_floor/ comes first on the system include path: its
# <sys/single_threaded.h> keeps libstdc++ from needing a glibc 2.32 symbol
# (see the header). GCC marks some inline statics STB_GNU_UNIQUE, which would
# keep dlclose from ever unloading the module.
#
# Reproducible output: the folders of the tree, of the build and of the
# libraries' sysroot leave no trace in the module (debug information,
# __FILE__), so the same commit gives the same module wherever it is built;
# -Wdate-time (an error here) keeps the build's date and time out.
# Source paths read /usr/src/kalvorpowermeter/...; GCC applies the last map
# that matches, so folders nested in others come later.
function(kpm_module_objects target)
    target_include_directories(${target} SYSTEM BEFORE PRIVATE
        ${PROJECT_SOURCE_DIR}/plugin/runtime_floor)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        target_compile_options(${target} PRIVATE -fno-gnu-unique)
    endif()
    target_compile_options(${target} PRIVATE -Wdate-time
        -ffile-prefix-map=${PROJECT_SOURCE_DIR}=/usr/src/kalvorpowermeter
        -ffile-prefix-map=${PROJECT_BINARY_DIR}=/usr/src/kalvorpowermeter/build)
    # Package configurations may name the sysroot by its real path.
    if(KPM_SYSROOT)
        get_filename_component(real_sysroot ${KPM_SYSROOT} REALPATH)
        target_compile_options(${target} PRIVATE
            -ffile-prefix-map=${real_sysroot}=/sysroot
            -ffile-prefix-map=${KPM_SYSROOT}=/sysroot)
    endif()
endfunction()
