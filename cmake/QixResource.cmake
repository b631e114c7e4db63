# qix_embed_settings(target settings.txt)
# Compiles a settings text file with the host tool qixres and embeds the result in a
# Windows target as RCDATA named TQIXEXCEPT. The host preset must be built first.
function(qix_embed_settings target settings)
    get_filename_component(src ${settings} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target}_settings)
    set(bin ${dir}/TQIXEXCEPT.bin)
    set(rc ${dir}/TQIXEXCEPT.rc)
    set(tool ${QIX_HOST_BIN}/qixres)
    if(NOT EXISTS ${tool})
        message(WARNING "qix_embed_settings: ${tool} not found; build the host preset first")
    endif()
    add_custom_command(OUTPUT ${bin}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
        COMMAND ${tool} ${src} ${bin}
        DEPENDS ${src} ${tool}
        COMMENT "Compiling settings ${settings} for ${target}"
        VERBATIM)
    # windres reads the path inside the .rc; forward slashes keep it unescaped.
    file(WRITE ${rc}.in "TQIXEXCEPT RCDATA \"${bin}\"\n")
    configure_file(${rc}.in ${rc} COPYONLY)
    set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${bin})
    target_sources(${target} PRIVATE ${rc} ${bin})
endfunction()

# qix_embed_forms(target form.txt...)
# Compiles assistant form descriptions with the host tool qixform and embeds each one
# in a Windows target as RCDATA named TQX + the form's name in upper case.
function(qix_embed_forms target)
    set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target}_forms)
    set(rc ${dir}/forms.rc)
    set(tool ${QIX_HOST_BIN}/qixform)
    if(NOT EXISTS ${tool})
        message(WARNING "qix_embed_forms: ${tool} not found; build the host preset first")
    endif()
    set(sources)
    foreach(form ${ARGN})
        get_filename_component(src ${form} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
        list(APPEND sources ${src})
    endforeach()
    add_custom_command(OUTPUT ${rc}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
        COMMAND ${tool} ${rc} ${sources}
        DEPENDS ${sources} ${tool}
        COMMENT "Compiling assistant forms for ${target}"
        VERBATIM)
    target_sources(${target} PRIVATE ${rc})
endfunction()
