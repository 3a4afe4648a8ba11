# Windows resources of Velmora.exe (icon, version record, manifest) and the checks that read them
# back from the built file. Include after project(): the version is the project's, in the four
# numbers Windows writes.

set(VELMORA_RESOURCE_DIR "${CMAKE_CURRENT_LIST_DIR}/../resources")
cmake_path(NORMAL_PATH VELMORA_RESOURCE_DIR)
string(REGEX MATCH "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+" VELMORA_VERSION "${PROJECT_VERSION}.0.0.0")
string(REPLACE "." "," VELMORA_VERSION_COMMAS "${VELMORA_VERSION}")

function(velmora_add_resources target)
  set(VELMORA_MANIFEST "${CMAKE_BINARY_DIR}/resources/Velmora.exe.manifest")
  set(rc "${CMAKE_BINARY_DIR}/resources/velmora.rc")
  configure_file("${VELMORA_RESOURCE_DIR}/Velmora.exe.manifest.in" "${VELMORA_MANIFEST}" @ONLY)
  configure_file("${VELMORA_RESOURCE_DIR}/velmora.rc.in" "${rc}" @ONLY)
  target_sources(${target} PRIVATE "${rc}")
  # windres reads the icon and the manifest itself: CMake's dependency scan does not see them.
  set_property(SOURCE "${rc}" TARGET_DIRECTORY ${target} APPEND PROPERTY
               OBJECT_DEPENDS "${VELMORA_RESOURCE_DIR}/velmora.ico" "${VELMORA_MANIFEST}")
endfunction()

# Run on the host: the resources, the headers and the import table as Windows reads them, and the
# committed icon. Debian's python3, for its pefile.
function(velmora_add_resource_tests target)
  set(check /usr/bin/python3 "${PROJECT_SOURCE_DIR}/tests/resources/check_resources.py")
  add_test(NAME velmora.resources COMMAND ${check} $<TARGET_FILE:${target}> ${VELMORA_VERSION})
  add_test(NAME velmora.icon COMMAND ${check} --icon "${VELMORA_RESOURCE_DIR}/velmora.ico")
  set_tests_properties(velmora.resources velmora.icon PROPERTIES LABELS resources)
endfunction()
