# Windows resources of Velmora.exe (icon, version record, manifest) and the
# tests that read them back from the built file.
#
#   include(Resources)
#   velmora_add_resources(Velmora)
#   velmora_add_resource_tests(Velmora)     # after enable_testing()
#

get_filename_component(VELMORA_RESOURCE_DIR "${CMAKE_CURRENT_LIST_DIR}/../resources" ABSOLUTE)
# Windows writes versions as four numbers.
string(REGEX MATCH "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+" VELMORA_VERSION "${PROJECT_VERSION}.0.0.0")
string(REPLACE "." "," VELMORA_VERSION_COMMAS "${VELMORA_VERSION}")
get_filename_component(_velmora_resource_test_dir "${CMAKE_CURRENT_LIST_DIR}/../tests/resources"
                       ABSOLUTE)

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

function(velmora_add_resource_tests exe_target)
  if(NOT WIN32)
    return()
  endif()
  get_target_property(type ${exe_target} TYPE)
  if(NOT type STREQUAL "EXECUTABLE")
    message(FATAL_ERROR "velmora_add_resource_tests: ${exe_target} is not an executable")
  endif()

  # Runs on Windows (under the crosscompiling emulator here) because only the
  # Windows loader can say what Explorer and the version APIs will see.
  add_executable(velmora_resources_check "${_velmora_resource_test_dir}/resources_check.cpp")
  target_compile_features(velmora_resources_check PRIVATE cxx_std_17)
  target_compile_definitions(velmora_resources_check PRIVATE UNICODE _UNICODE)
  target_link_options(velmora_resources_check PRIVATE -municode -static)
  target_link_libraries(velmora_resources_check PRIVATE version)
  add_test(NAME velmora.resources
           COMMAND velmora_resources_check $<TARGET_FILE:${exe_target}>)

  # Not a target, so CTest runs it directly rather than through the emulator.
  find_program(VELMORA_OBJDUMP NAMES x86_64-w64-mingw32-objdump NO_CMAKE_FIND_ROOT_PATH)
  if(NOT VELMORA_OBJDUMP)
    if(CMAKE_OBJDUMP)
      set(VELMORA_OBJDUMP "${CMAKE_OBJDUMP}" CACHE FILEPATH "objdump that reads PE files" FORCE)
    else()
      message(FATAL_ERROR "x86_64-w64-mingw32-objdump not found (package binutils-mingw-w64-x86-64)")
    endif()
  endif()
  add_test(NAME velmora.imports
           COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${VELMORA_OBJDUMP} -DEXE=$<TARGET_FILE:${exe_target}>
                   -P "${_velmora_resource_test_dir}/check_imports.cmake")

  # The committed .ico must be what make-icon.py renders from the committed source.
  find_program(VELMORA_PYTHON3 NAMES python3 NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  add_test(NAME velmora.icon_reproducible
           COMMAND ${VELMORA_PYTHON3} "${VELMORA_RESOURCE_DIR}/make-icon.py" --check)

  set_tests_properties(velmora.resources velmora.imports velmora.icon_reproducible
                       PROPERTIES LABELS resources)
endfunction()
