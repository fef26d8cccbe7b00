# zvk_static_runtime(TARGET): link the C++ runtime into a program instead of
# loading it at start-up. Both programs are short-lived, so the time the
# dynamic loader spends on libstdc++ (about half of an empty run) counts;
# the programs use little of it. Left out where the linker lacks the flag and
# in sanitizer and fuzz builds, whose runtimes expect the shared one, and
# when ZVK_STATIC_RUNTIME is off.
include(CheckLinkerFlag)
check_linker_flag(CXX "-static-libstdc++" ZVK_HAS_STATIC_LIBSTDCXX)
function(zvk_static_runtime target)
  if(ZVK_STATIC_RUNTIME AND ZVK_HAS_STATIC_LIBSTDCXX AND NOT ZVK_SANITIZE AND NOT ZVK_FUZZ)
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
endfunction()
