# Flags for our own code. Signed overflow aborts the process in every build: -ftrapv in the
# plain and thread-sanitizer builds, the UBSan check without recovery when sanitizing.
# Warnings stop the build only where asked (the CI presets): an installable build on another
# compiler version must not fail over a new warning.
option(KRV_WERROR "Treat warnings as errors" OFF)
set(KRV_WARNINGS -Wall -Wextra)
if(KRV_WERROR)
    list(APPEND KRV_WARNINGS -Werror)
endif()

if(KRV_SANITIZE AND KRV_TSAN)
    message(FATAL_ERROR "KRV_SANITIZE and KRV_TSAN exclude each other")
endif()
if(KRV_SANITIZE)
    set(KRV_SAN_FLAGS -fsanitize=address,undefined,signed-integer-overflow
        -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_compile_options(${KRV_SAN_FLAGS})
    add_link_options(${KRV_SAN_FLAGS})
else()
    add_compile_options(-ftrapv)
endif()
if(KRV_TSAN)
    set(KRV_TSAN_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
    add_compile_options(${KRV_TSAN_FLAGS})
    add_link_options(${KRV_TSAN_FLAGS})
endif()

function(krv_target_flags target)
    target_compile_options(${target} PRIVATE ${KRV_WARNINGS})
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()
