# korvane_version_resource(OUT_VAR FILE_NAME DESCRIPTION [MANIFEST]): writes the resource
# script of one shipped file (its version information, and with MANIFEST the application
# manifest) and puts its path in OUT_VAR, for target_sources.
function(korvane_version_resource out file_name description)
  cmake_parse_arguments(R "MANIFEST" "" "" ${ARGN})
  set(KORVANE_FILE_NAME ${file_name})
  set(KORVANE_FILE_DESCRIPTION ${description})
  if(file_name MATCHES "\\.exe$")
    set(KORVANE_FILE_TYPE VFT_APP)
  else()
    set(KORVANE_FILE_TYPE VFT_DLL)
  endif()
  set(KORVANE_MANIFEST "")
  if(R_MANIFEST)
    # Resource 1 of type 24 (RT_MANIFEST): the manifest the loader reads for a program.
    set(KORVANE_MANIFEST "1 24 \"${PROJECT_SOURCE_DIR}/package/program.manifest\"")
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${file_name}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/package/version.rc.in ${rc} @ONLY)
  if(R_MANIFEST)
    # The dependency scanner does not follow a resource script's file references.
    set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${PROJECT_SOURCE_DIR}/package/program.manifest)
  endif()
  set(${out} ${rc} PARENT_SCOPE)
endfunction()
