# Boost 1.81 for both builds, as the targets Boost::headers, Boost::program_options,
# Boost::filesystem and Boost::json. Include after project().
#
# Native: the host's static 1.81 libraries (static on purpose: no shared-library
# loading and relocation at start-up).
# Windows: the very same Debian 1.81 sources, fetched by scripts/fetch-boost-source.sh,
# compiled by the cross compiler against the host's 1.81 headers, so both builds run
# identical Boost code.

if(NOT CMAKE_CROSSCOMPILING)
  set(Boost_USE_STATIC_LIBS ON)
  find_package(Boost 1.81.0 EXACT CONFIG REQUIRED COMPONENTS program_options filesystem json)
  # Debian also ships the 1.74 runtime (.so.1.74.0) of the same libraries: make sure
  # the link really takes the 1.81 archives.
  foreach(lib IN ITEMS program_options filesystem json)
    get_target_property(location Boost::${lib} IMPORTED_LOCATION_RELEASE)
    if(NOT boost_${lib}_VERSION VERSION_EQUAL 1.81.0 OR NOT location MATCHES "/libboost_${lib}\\.a$")
      message(FATAL_ERROR "Boost.${lib}: expected the static 1.81.0 archive, "
                          "got '${location}' (version ${boost_${lib}_VERSION})")
    endif()
  endforeach()
  return()
endif()

set(VELMORA_BOOST_CACHE_DIR "${PROJECT_SOURCE_DIR}/.cache/boost" CACHE PATH
    "Where scripts/fetch-boost-source.sh keeps Debian's Boost sources")

# Third-party code: the project's warning flags are not for it.
function(velmora_boost_library name)
  add_library(velmora_boost_${name} STATIC ${ARGN})
  target_link_libraries(velmora_boost_${name} PUBLIC Boost::headers)
  target_compile_options(velmora_boost_${name} PRIVATE -w -Os
                         "-ffile-prefix-map=${VELMORA_BOOST_CACHE_DIR}=boost")
  add_library(Boost::${name} ALIAS velmora_boost_${name})
endfunction()

# One of Boost.Filesystem's configure checks, as its Jamfile runs them: TRUE or FALSE in var.
function(velmora_boost_filesystem_check var source defines)
  if(NOT DEFINED CACHE{${var}})
    list(TRANSFORM defines PREPEND -D)
    try_compile(ok "${CMAKE_BINARY_DIR}/boost-checks/${var}" NO_CACHE
      SOURCES "${boost_src}/libs/filesystem/config/${source}"
      CMAKE_FLAGS "-DINCLUDE_DIRECTORIES=${boost_include};${boost_src}/libs/filesystem/src"
      COMPILE_DEFINITIONS ${defines}
      LINK_LIBRARIES ${ARGN})
    set(${var} ${ok} CACHE INTERNAL "Boost.Filesystem configure check ${source}")
  endif()
endfunction()

function(velmora_boost_windows)
  # The script does nothing when the sources match the installed headers' Debian version.
  execute_process(COMMAND bash "${PROJECT_SOURCE_DIR}/scripts/fetch-boost-source.sh"
                          "${VELMORA_BOOST_CACHE_DIR}" COMMAND_ERROR_IS_FATAL ANY)
  set(boost_src "${VELMORA_BOOST_CACHE_DIR}/src")
  # A wiped cache makes the next build reconfigure, and so fetch again.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${boost_src}/.debian-version")

  # The cross compiler must not see the rest of the host's /usr/include, whose glibc and
  # libstdc++ headers would shadow MinGW's: expose only boost/.
  set(boost_include "${CMAKE_BINARY_DIR}/boost-include")
  file(MAKE_DIRECTORY "${boost_include}")
  file(CREATE_LINK /usr/include/boost "${boost_include}/boost" SYMBOLIC)
  add_library(velmora_boost_headers INTERFACE)
  target_include_directories(velmora_boost_headers SYSTEM INTERFACE "${boost_include}")
  # Libraries are always named explicitly; never let a header ask for auto-linking.
  target_compile_definitions(velmora_boost_headers INTERFACE BOOST_ALL_NO_LIB=1)
  add_library(Boost::headers ALIAS velmora_boost_headers)

  # Boost.ProgramOptions, as its Jamfile builds it (static: no define needed).
  set(po cmdline.cpp config_file.cpp options_description.cpp parsers.cpp variables_map.cpp
     value_semantic.cpp positional_options.cpp utf8_codecvt_facet.cpp convert.cpp winmain.cpp split.cpp)
  list(TRANSFORM po PREPEND "${boost_src}/libs/program_options/src/")
  velmora_boost_library(program_options ${po})

  # Boost.Filesystem, with its Jamfile's Windows defines and configure checks.
  set(defines BOOST_FILESYSTEM_SOURCE BOOST_USE_WINDOWS_H WIN32_LEAN_AND_MEAN NOMINMAX
      _SCL_SECURE_NO_WARNINGS _SCL_SECURE_NO_DEPRECATE _CRT_SECURE_NO_WARNINGS _CRT_SECURE_NO_DEPRECATE)
  velmora_boost_filesystem_check(VELMORA_BOOST_FS_ATOMIC_REF has_cxx20_atomic_ref.cpp "${defines}")
  velmora_boost_filesystem_check(VELMORA_BOOST_FS_INIT_PRIORITY has_attribute_init_priority.cpp "${defines}")
  velmora_boost_filesystem_check(VELMORA_BOOST_FS_BCRYPT has_bcrypt.cpp "${defines}" bcrypt)
  if(NOT VELMORA_BOOST_FS_ATOMIC_REF)
    # Without it Boost.Filesystem would need Boost.Atomic, which is not built here.
    message(FATAL_ERROR "${CMAKE_CXX_COMPILER} lacks C++20 std::atomic_ref")
  endif()
  if(VELMORA_BOOST_FS_INIT_PRIORITY)
    list(APPEND defines BOOST_FILESYSTEM_HAS_INIT_PRIORITY)
  endif()
  if(VELMORA_BOOST_FS_BCRYPT)
    list(APPEND defines BOOST_FILESYSTEM_HAS_BCRYPT)
    set(crypto bcrypt)
  else()
    list(APPEND defines BOOST_FILESYSTEM_HAS_WINCRYPT)
    set(crypto advapi32)
  endif()

  set(fs codecvt_error_category.cpp exception.cpp directory.cpp operations.cpp path.cpp
     path_traits.cpp portability.cpp unique_path.cpp utf8_codecvt_facet.cpp windows_file_codecvt.cpp)
  list(TRANSFORM fs PREPEND "${boost_src}/libs/filesystem/src/")
  velmora_boost_library(filesystem ${fs})
  target_include_directories(velmora_boost_filesystem PRIVATE "${boost_src}/libs/filesystem/src")
  target_compile_definitions(velmora_boost_filesystem
    PRIVATE ${defines} PUBLIC BOOST_FILESYSTEM_STATIC_LINK=1)
  target_link_libraries(velmora_boost_filesystem PUBLIC ${crypto})

  # Boost.JSON, for the updater: its sources are all headers, compiled here once.
  velmora_boost_library(json "${PROJECT_SOURCE_DIR}/cmake/boost_json.cpp")
endfunction()

velmora_boost_windows()
