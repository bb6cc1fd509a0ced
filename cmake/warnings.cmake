# Flags for our own code. Signed overflow aborts the process in every build:
# -ftrapv in the plain build, the UBSan check without recovery when sanitizing.
set(KRV_WARNINGS -Wall -Wextra -Werror)

if(KRV_SANITIZE)
    set(KRV_SAN_FLAGS -fsanitize=address,undefined,signed-integer-overflow
        -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_compile_options(${KRV_SAN_FLAGS})
    add_link_options(${KRV_SAN_FLAGS})
else()
    add_compile_options(-ftrapv)
endif()

function(krv_target_flags target)
    target_compile_options(${target} PRIVATE ${KRV_WARNINGS})
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()
