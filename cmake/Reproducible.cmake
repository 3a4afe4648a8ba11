# The Windows loader as shipped: two builds of one commit give the same bytes, wherever the clone
# and the build folder are and whenever the build runs, so a vendor can rebuild what they sign.
# Include after project() and before the Boost build, whose objects take the maps too. The native
# build's velmora-feed, which a release ships too, is made the same way.

# No folder of this machine in the objects (__FILE__, debug information): the source and build
# folders become fixed names. The last map that matches wins, so the build folder, often inside
# the source folder, comes second; cmake/Boost.cmake maps the Boost sources the same way.
add_compile_options("-ffile-prefix-map=${PROJECT_SOURCE_DIR}=velmora"
                    "-ffile-prefix-map=${CMAKE_BINARY_DIR}=build")
# Every datum in a section of its own, so that the shipped programs' link drops the tables and
# texts no code of theirs uses (Boost's included): the loader stays small while the code it shares
# with the updater grows. Functions stay together: measured, a section each made the loader larger
# (each one aligned on its own) than the few functions it let the link drop.
add_compile_options(-fdata-sections)

# A native program a release ships: stripped at the link, and every object and archive member
# linked in written to a link map, for scripts/notices.sh.
function(velmora_host_tool target)
  target_link_options(${target} PRIVATE $<$<CONFIG:Release>:-s> "LINKER:-Map=${CMAKE_BINARY_DIR}/${target}.map")
endfunction()

if(NOT WIN32)
  return()
endif()

# Stripped at the link, as shipped, so the tests run the very bytes that ship; and no link time
# in the PE header (ld would write the current time, or SOURCE_DATE_EPOCH). A strip afterwards
# would write the time again: the linker's -s is the only strip.
function(velmora_shipped_executable target)
  target_link_options(${target} PRIVATE $<$<CONFIG:Release>:-s> LINKER:--no-insert-timestamp LINKER:--gc-sections)
  # Every object and archive member linked in, for scripts/notices.sh; the executable is the same.
  target_link_options(${target} PRIVATE "LINKER:-Map=${CMAKE_BINARY_DIR}/${target}.map")
endfunction()
