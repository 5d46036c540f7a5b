# The project's one version: in krandolix_version.h for the tools' --version,
# and in a VERSIONINFO resource of every Windows binary.
configure_file(${CMAKE_CURRENT_LIST_DIR}/krandolix_version.h.in ${GEN_DIR}/krandolix_version.h @ONLY)

# add_version_info(TARGET FILENAME DESCRIPTION_KO DESCRIPTION_EN): the
# binary's file and product version and its description in both languages.
function(add_version_info target file_name description_ko description_en)
  if(NOT WIN32)
    return()
  endif()
  set(out ${GEN_DIR}/version_${target}.rc)
  add_custom_command(OUTPUT ${out}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/scripts/gen_version_rc.py ${out}
            ${PROJECT_VERSION} ${file_name} "${description_ko}" "${description_en}"
    DEPENDS ${CMAKE_SOURCE_DIR}/scripts/gen_version_rc.py
    VERBATIM)
  target_sources(${target} PRIVATE ${out})
endfunction()
