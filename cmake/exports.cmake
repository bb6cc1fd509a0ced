# Plugins resolve their registration call against the executable that loads them. That one
# function goes into the executable's dynamic symbol table, and nothing else of ours does.
set(KRV_PLUGIN_EXPORTS ${CMAKE_CURRENT_LIST_DIR}/plugin_exports.list)

function(krv_export_plugin_api target)
    target_link_options(${target} PRIVATE
        "LINKER:--dynamic-list=${KRV_PLUGIN_EXPORTS}"
        "LINKER:--undefined=plugin_register_auth")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${KRV_PLUGIN_EXPORTS})
endfunction()
