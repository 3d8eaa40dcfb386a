# The NEON build of the vector code on armhf (see workers/vector_build.h).
#
# tavel_add_neon_build(TARGET SOURCE...) compiles the SOURCEs a second time
# with -mfpu=neon and TAVEL_NEON_BUILD defined, which puts their entry points
# in the namespace neon_build, and adds the objects to TARGET. Elsewhere it
# does nothing. -ffp-contract=off and the other project flags apply to this
# build as to every other.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm" AND NOT CMAKE_SYSTEM_PROCESSOR MATCHES "^arm64")
    set(TAVEL_NEON_BUILD ON)
else()
    set(TAVEL_NEON_BUILD OFF)
endif()

function(tavel_add_neon_build target)
    if(NOT TAVEL_NEON_BUILD)
        return()
    endif()
    set(objects ${target}_neon)
    add_library(${objects} OBJECT ${ARGN})
    target_compile_options(${objects} PRIVATE -mfpu=neon)
    target_compile_definitions(${objects} PRIVATE TAVEL_NEON_BUILD)
    # TAVEL_HAS_NEON_BUILD and the threads, as for the target's own sources.
    target_link_libraries(${objects} PRIVATE tavel_workers)
    target_sources(${target} PRIVATE $<TARGET_OBJECTS:${objects}>)
endfunction()
