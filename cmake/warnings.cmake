# Our own code builds warning-clean; third-party headers come in as SYSTEM.
function(kpm_strict_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Werror)
endfunction()
