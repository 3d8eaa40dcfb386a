# The extended build of the vector code (see workers/vector_build.h): NEON
# on armhf, AVX2 on amd64.
#
# tavel_add_extended_build(TARGET SOURCE...) compiles the SOURCEs a second
# time with the extended instruction set and TAVEL_EXTENDED_BUILD defined,
# which puts their entry points in the namespace extended_build, and adds
# the objects to TARGET. On other processors it does nothing.
# -ffp-contract=off and the other project flags apply to this build as to
# every other; -mavx2 brings no FMA, which could change a float result.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm" AND NOT CMAKE_SYSTEM_PROCESSOR MATCHES "^arm64")
    set(TAVEL_EXTENDED_BUILD_FLAGS -mfpu=neon)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|amd64|AMD64)$")
    set(TAVEL_EXTENDED_BUILD_FLAGS -mavx2)
else()
    set(TAVEL_EXTENDED_BUILD_FLAGS "")
endif()
if(TAVEL_EXTENDED_BUILD_FLAGS)
    set(TAVEL_EXTENDED_BUILD ON)
else()
    set(TAVEL_EXTENDED_BUILD OFF)
endif()

function(tavel_add_extended_build target)
    if(NOT TAVEL_EXTENDED_BUILD)
        return()
    endif()
    set(objects ${target}_extended)
    add_library(${objects} OBJECT ${ARGN})
    target_compile_options(${objects} PRIVATE ${TAVEL_EXTENDED_BUILD_FLAGS})
    target_compile_definitions(${objects} PRIVATE TAVEL_EXTENDED_BUILD)
    # TAVEL_HAS_EXTENDED_BUILD and the threads, as for the target's own sources.
    target_link_libraries(${objects} PRIVATE tavel_workers)
    target_sources(${target} PRIVATE $<TARGET_OBJECTS:${objects}>)
endfunction()
