# Release binaries of the Windows builds: small, free of symbols and byte-for-byte reproducible.
# Debug information goes to <binary>.debug beside the binary in the build tree (never into the
# package); the binary keeps only a debug link to it, or nothing (install.exe).

# No build paths in the binaries or their debug files: the source tree reads as ".", the build
# tree as "build", wherever either lies.
# The link needs them too: link-time optimisation writes its own debug information there.
set(QGR_PREFIX_MAPS "-ffile-prefix-map=${PROJECT_SOURCE_DIR}=." "-ffile-prefix-map=${PROJECT_BINARY_DIR}=build")
add_compile_options(-g -ffunction-sections -fdata-sections ${QGR_PREFIX_MAPS})
add_link_options(-g ${QGR_PREFIX_MAPS} -Wl,--gc-sections -Wl,--no-insert-timestamp)
# Size over speed: install.exe must stay small enough to mail and to embed in a setup program.
add_compile_options($<$<CONFIG:MinSizeRel>:-Oz>)
add_link_options($<$<CONFIG:MinSizeRel>:-Oz>)
set(CMAKE_INTERPROCEDURAL_OPTIMIZATION ON)

# objcopy stamps the PE header with the current time unless SOURCE_DATE_EPOCH is set, so the
# stamp is fixed: the caller's SOURCE_DATE_EPOCH, else the time of the checked-out commit,
# else 0 (no stamp).
set(QGR_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
if(QGR_SOURCE_DATE_EPOCH STREQUAL "")
  execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} log -1 --format=%ct
                  OUTPUT_VARIABLE QGR_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE git_result ERROR_QUIET)
  if(NOT git_result EQUAL 0 OR NOT QGR_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    set(QGR_SOURCE_DATE_EPOCH 0)
  endif()
endif()

# Splits the debug information off a linked binary and strips it, in place.
#   qgr_release_binary(<target> [NO_DEBUG_LINK])
# NO_DEBUG_LINK leaves out the link to <binary>.debug (a section of its own).
function(qgr_release_binary target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "NO_DEBUG_LINK" "" "")
  set(file $<TARGET_FILE:${target}>)
  set(link --add-gnu-debuglink=${file}.debug)
  if(arg_NO_DEBUG_LINK)
    set(link)
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${QGR_SOURCE_DATE_EPOCH}
            ${CMAKE_OBJCOPY} --only-keep-debug ${file} ${file}.debug
    COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${QGR_SOURCE_DATE_EPOCH}
            ${CMAKE_OBJCOPY} --strip-all ${link} ${file}
    VERBATIM)
endfunction()
