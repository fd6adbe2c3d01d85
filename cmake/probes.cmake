# The superbuild of the probes preset: every static probe, each configured,
# built and tested by its own preset in its own build/PRESET directory, as
# the fleet's playbook looks for them there. One preset at a time: each is
# a build of its own, with its own parallel jobs.
include(ExternalProject)
enable_testing()
set(presets portable portable-arm64 portable-armhf portable-i386 portable-riscv64
            portable-s390x portable-ppc64el)
foreach(preset ${presets})
  ExternalProject_Add(${preset}
                      SOURCE_DIR ${PROJECT_SOURCE_DIR}
                      BINARY_DIR ${PROJECT_SOURCE_DIR}/build/${preset}
                      CONFIGURE_COMMAND ${CMAKE_COMMAND} -S <SOURCE_DIR> --preset ${preset}
                      BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR>
                      INSTALL_COMMAND ""
                      BUILD_ALWAYS ON
                      CONFIGURE_HANDLED_BY_BUILD ON
                      USES_TERMINAL_CONFIGURE ON
                      USES_TERMINAL_BUILD ON)
  add_test(NAME ${preset} COMMAND ${CMAKE_CTEST_COMMAND} --preset ${preset}
           WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
endforeach()
