# The Windows resources of a program: an application manifest and a version
# resource, both carrying the version of project(). windres compiles them in an
# object library of their own, so that the C and C++ options of the program
# never reach it.
#
# The manifest (src/res/program.manifest.in, which ships without comments):
# - activeCodePage UTF-8: the program's file calls are the ANSI ones
#   (GetTempPathA, fopen, DeleteFileA, ShellExecuteA). With UTF-8 as the
#   process code page (Windows 10 1903 and later) they take UTF-8, so a
#   temporary folder named in any script works and the launch line prints it
#   exactly. Older Windows ignore the element and use the legacy code page.
# - requestedExecutionLevel asInvoker: without it Windows guesses from
#   "install" in the name that the program is a setup program and asks to
#   elevate it.
# - supportedOS: Windows 7, 8, 8.1, and 10 (whose identifier covers 11).
#
# And the load configuration (src/res/load_config.c), whose DependentLoadFlags
# keep even the static imports to System32. The linker keeps the structure
# and writes a map, from which scripts/pe-load-config fills the PE's entry.
function(trevalon_windows_resources target assembly_name description)
  set(RES_ASSEMBLY_NAME ${assembly_name})
  set(RES_DESCRIPTION ${description})
  set(RES_INTERNAL_NAME ${target})
  set(RES_FILE_NAME ${target}.exe)
  set(res_dir ${CMAKE_CURRENT_BINARY_DIR}/${target}-res)
  set(RES_MANIFEST_PATH ${res_dir}/${target}.exe.manifest)
  configure_file(${CMAKE_SOURCE_DIR}/src/res/program.manifest.in ${RES_MANIFEST_PATH} @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/src/res/program.rc.in ${res_dir}/${target}.rc @ONLY)
  add_library(${target}-res OBJECT ${res_dir}/${target}.rc)
  set_source_files_properties(${res_dir}/${target}.rc PROPERTIES OBJECT_DEPENDS ${RES_MANIFEST_PATH})
  target_link_libraries(${target} PRIVATE ${target}-res)

  if(NOT TARGET trevalon_load_config)  # C, without the program's C++ options
    add_library(trevalon_load_config OBJECT ${CMAKE_SOURCE_DIR}/src/res/load_config.c)
  endif()
  target_link_libraries(${target} PRIVATE trevalon_load_config)
  set(map ${res_dir}/${target}.map)
  target_link_options(${target} PRIVATE -Wl,--undefined=_load_config_used -Wl,-Map=${map})
  add_custom_command(TARGET ${target} POST_BUILD
                     COMMAND ${CMAKE_SOURCE_DIR}/scripts/pe-load-config $<TARGET_FILE:${target}> ${map}
                     VERBATIM)
endfunction()
