# Boost 1.81 for both builds, as the targets Boost::headers, Boost::program_options and
# Boost::filesystem. Include after project().
#
# Native: the host's static 1.81 libraries (static on purpose: no shared-library
# loading and relocation at start-up).
# Windows: the very same Debian 1.81 sources, fetched once by
# scripts/fetch-boost-source.sh, compiled by the cross compiler against the host's
# 1.81 headers, so both builds run identical Boost code.

if(NOT CMAKE_CROSSCOMPILING)
  set(Boost_USE_STATIC_LIBS ON)
  find_package(Boost 1.81.0 EXACT CONFIG REQUIRED COMPONENTS program_options filesystem)

  # Debian also ships the 1.74 runtime (.so.1.74.0) of the same libraries: make sure
  # the link really takes the 1.81 archives.
  foreach(_vb_lib IN ITEMS program_options filesystem)
    get_target_property(_vb_loc Boost::${_vb_lib} IMPORTED_LOCATION_RELEASE)
    if(NOT boost_${_vb_lib}_VERSION VERSION_EQUAL 1.81.0
       OR NOT _vb_loc MATCHES "/libboost_${_vb_lib}\\.a$" OR NOT EXISTS "${_vb_loc}")
      message(FATAL_ERROR "Boost.${_vb_lib}: expected the static 1.81.0 archive, "
                          "got '${_vb_loc}' (version ${boost_${_vb_lib}_VERSION})")
    endif()
  endforeach()
  unset(_vb_lib)
  unset(_vb_loc)
  return()
endif()

if(NOT WIN32)
  message(FATAL_ERROR "cmake/Boost.cmake: Windows is the only cross target")
endif()

get_filename_component(_vb_repo "${CMAKE_CURRENT_LIST_DIR}" REALPATH)
get_filename_component(_vb_repo "${_vb_repo}" DIRECTORY)
set(VELMORA_BOOST_CACHE_DIR "${_vb_repo}/.cache/boost" CACHE PATH
    "Where scripts/fetch-boost-source.sh keeps Debian's Boost sources")
set(VELMORA_BOOST_HOST_INCLUDE "/usr/include" CACHE PATH
    "Host directory whose boost/ holds the Boost 1.81 headers")

file(STRINGS "${VELMORA_BOOST_HOST_INCLUDE}/boost/version.hpp" _vb_version
     REGEX "^#define BOOST_VERSION [0-9]+$")
if(NOT _vb_version MATCHES " 108100$")
  message(FATAL_ERROR "No Boost 1.81 headers in ${VELMORA_BOOST_HOST_INCLUDE}/boost "
                      "(scripts/install-deps.sh installs them)")
endif()

# Sources: fetched when missing, or when the installed headers' Debian version moved on.
set(_vb_src "${VELMORA_BOOST_CACHE_DIR}/src")
set(_vb_stamp "${_vb_src}/.debian-version")
set(_vb_fetch TRUE)
if(EXISTS "${_vb_stamp}")
  file(READ "${_vb_stamp}" _vb_have)
  string(STRIP "${_vb_have}" _vb_have)
  execute_process(
    COMMAND dpkg-query -W "-f=\${source:Package} \${source:Version}" libboost1.81-dev
    OUTPUT_VARIABLE _vb_want RESULT_VARIABLE _vb_rc ERROR_QUIET)
  if(NOT _vb_rc EQUAL 0 OR _vb_want STREQUAL _vb_have)
    set(_vb_fetch FALSE)
  endif()
endif()
if(_vb_fetch)
  execute_process(
    COMMAND bash "${_vb_repo}/scripts/fetch-boost-source.sh" "${VELMORA_BOOST_CACHE_DIR}"
    RESULT_VARIABLE _vb_rc)
  if(NOT _vb_rc EQUAL 0)
    message(FATAL_ERROR "scripts/fetch-boost-source.sh failed (${_vb_rc})")
  endif()
endif()
# A wiped cache makes the next build reconfigure, and so fetch again.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_vb_stamp}")

# The cross compiler must not see the rest of the host's /usr/include, whose glibc and
# libstdc++ headers would shadow MinGW's: expose only boost/.
set(_vb_inc "${CMAKE_BINARY_DIR}/boost-include")
file(MAKE_DIRECTORY "${_vb_inc}")
set(_vb_link_target "")
if(IS_SYMLINK "${_vb_inc}/boost")
  file(READ_SYMLINK "${_vb_inc}/boost" _vb_link_target)
endif()
if(NOT _vb_link_target STREQUAL "${VELMORA_BOOST_HOST_INCLUDE}/boost")
  file(REMOVE "${_vb_inc}/boost")
  file(CREATE_LINK "${VELMORA_BOOST_HOST_INCLUDE}/boost" "${_vb_inc}/boost" SYMBOLIC)
endif()

add_library(velmora_boost_headers INTERFACE)
target_include_directories(velmora_boost_headers SYSTEM INTERFACE "${_vb_inc}")
# Libraries are always named explicitly; never let a header ask for auto-linking.
target_compile_definitions(velmora_boost_headers INTERFACE BOOST_ALL_NO_LIB=1)
add_library(Boost::headers ALIAS velmora_boost_headers)

# Third-party code: the project's warning flags are not for it.
function(_velmora_boost_library name)
  add_library(${name} STATIC ${ARGN})
  target_link_libraries(${name} PUBLIC Boost::headers)
  target_compile_options(${name} PRIVATE -w -Os)
  set_target_properties(${name} PROPERTIES
    CXX_STANDARD 20 CXX_STANDARD_REQUIRED ON CXX_EXTENSIONS OFF)
endfunction()

# Boost.ProgramOptions, as its Jamfile builds it (static: no define needed).
set(_vb_po "${_vb_src}/libs/program_options/src")
_velmora_boost_library(velmora_boost_program_options
  ${_vb_po}/cmdline.cpp ${_vb_po}/config_file.cpp ${_vb_po}/options_description.cpp
  ${_vb_po}/parsers.cpp ${_vb_po}/variables_map.cpp ${_vb_po}/value_semantic.cpp
  ${_vb_po}/positional_options.cpp ${_vb_po}/utf8_codecvt_facet.cpp ${_vb_po}/convert.cpp
  ${_vb_po}/winmain.cpp ${_vb_po}/split.cpp)
add_library(Boost::program_options ALIAS velmora_boost_program_options)

# Boost.Filesystem, with its Jamfile's Windows defines and configure checks.
set(_vb_fs "${_vb_src}/libs/filesystem")
set(_vb_fs_defs
  BOOST_FILESYSTEM_SOURCE
  BOOST_USE_WINDOWS_H WIN32_LEAN_AND_MEAN NOMINMAX
  _SCL_SECURE_NO_WARNINGS _SCL_SECURE_NO_DEPRECATE
  _CRT_SECURE_NO_WARNINGS _CRT_SECURE_NO_DEPRECATE)

function(_velmora_boost_fs_check var source)
  if(NOT DEFINED CACHE{${var}})
    set(_defs "")
    foreach(_d IN LISTS _vb_fs_defs)
      list(APPEND _defs "-D${_d}")
    endforeach()
    try_compile(_ok "${CMAKE_BINARY_DIR}/boost-checks/${var}"
      NO_CACHE
      SOURCES "${_vb_fs}/config/${source}"
      CMAKE_FLAGS "-DINCLUDE_DIRECTORIES=${_vb_inc};${_vb_fs}/src"
      COMPILE_DEFINITIONS ${_defs}
      LINK_LIBRARIES ${ARGN}
      CXX_STANDARD 20 CXX_STANDARD_REQUIRED ON CXX_EXTENSIONS OFF)
    set(${var} ${_ok} CACHE INTERNAL "Boost.Filesystem config check ${source}")
  endif()
endfunction()

_velmora_boost_fs_check(VELMORA_BOOST_FS_ATOMIC_REF has_cxx20_atomic_ref.cpp)
_velmora_boost_fs_check(VELMORA_BOOST_FS_INIT_PRIORITY has_attribute_init_priority.cpp)
_velmora_boost_fs_check(VELMORA_BOOST_FS_BCRYPT has_bcrypt.cpp bcrypt)
if(NOT VELMORA_BOOST_FS_ATOMIC_REF)
  # Without it Boost.Filesystem would need Boost.Atomic, which is not built here.
  message(FATAL_ERROR "${CMAKE_CXX_COMPILER} lacks C++20 std::atomic_ref")
endif()
if(VELMORA_BOOST_FS_INIT_PRIORITY)
  list(APPEND _vb_fs_defs BOOST_FILESYSTEM_HAS_INIT_PRIORITY)
endif()
if(VELMORA_BOOST_FS_BCRYPT)
  list(APPEND _vb_fs_defs BOOST_FILESYSTEM_HAS_BCRYPT)
  set(_vb_fs_libs bcrypt)
else()
  list(APPEND _vb_fs_defs BOOST_FILESYSTEM_HAS_WINCRYPT)
  set(_vb_fs_libs advapi32)
endif()

_velmora_boost_library(velmora_boost_filesystem
  ${_vb_fs}/src/codecvt_error_category.cpp ${_vb_fs}/src/exception.cpp
  ${_vb_fs}/src/directory.cpp ${_vb_fs}/src/operations.cpp ${_vb_fs}/src/path.cpp
  ${_vb_fs}/src/path_traits.cpp ${_vb_fs}/src/portability.cpp
  ${_vb_fs}/src/unique_path.cpp ${_vb_fs}/src/utf8_codecvt_facet.cpp
  ${_vb_fs}/src/windows_file_codecvt.cpp)
target_include_directories(velmora_boost_filesystem PRIVATE "${_vb_fs}/src")
target_compile_definitions(velmora_boost_filesystem
  PRIVATE ${_vb_fs_defs}
  PUBLIC BOOST_FILESYSTEM_STATIC_LINK=1)
target_link_libraries(velmora_boost_filesystem PUBLIC ${_vb_fs_libs})
add_library(Boost::filesystem ALIAS velmora_boost_filesystem)

foreach(_vb_var IN ITEMS _vb_repo _vb_version _vb_src _vb_stamp _vb_fetch _vb_have _vb_want
                         _vb_rc _vb_inc _vb_link_target _vb_po _vb_fs _vb_fs_defs _vb_fs_libs)
  unset(${_vb_var})
endforeach()
