# qix_embed_map_data(target [KEEP_DEBUG])
# After linking, compiles the target's DWARF into a map data block with the host tool qixmap
# and puts it into the executable as resource QIX/EXCEPT, so that the shipped file can lose its
# DWARF and still name unit, procedure and line. The unstripped file stays beside it as
# <file>.debug, and the block as <target>.qix. The block is embedded after stripping: the
# resource goes into a new last section, which a later strip would leave behind a gap.
function(qix_embed_map_data target)
    if(NOT WIN32)
        return()
    endif()
    cmake_parse_arguments(M "KEEP_DEBUG" "" "" ${ARGN})
    set(qixmap ${QIX_HOST_BIN}/qixmap)
    set(block $<TARGET_FILE_DIR:${target}>/${target}.qix)
    set(strip_step)
    if(NOT M_KEEP_DEBUG)
        if(NOT CMAKE_STRIP)
            message(FATAL_ERROR "qix_embed_map_data: no strip program for ${target}")
        endif()
        set(strip_step COMMAND ${CMAKE_STRIP} --strip-all $<TARGET_FILE:${target}>)
    endif()
    # A new qixmap must redo the block: relink the target when the tool changes.
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${qixmap})
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${target}> $<TARGET_FILE:${target}>.debug
        COMMAND ${qixmap} block $<TARGET_FILE:${target}>.debug ${block}
        ${strip_step}
        COMMAND ${qixmap} embed $<TARGET_FILE:${target}> ${block}
        COMMENT "Embedding map data into ${target}"
        VERBATIM)
endfunction()
