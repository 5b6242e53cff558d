# Linux: the POSIX link (termios, port discovery, libusb pipe), quarn-burn,
# the plcsim program, integration tests and benchmarks.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBUSB REQUIRED IMPORTED_TARGET libusb-1.0)

file(GLOB POSIX_LINK_SOURCES CONFIGURE_DEPENDS src/link/posix/*.cpp)
add_library(quarn_posix STATIC ${POSIX_LINK_SOURCES} src/link/link.h)
set_target_properties(quarn_posix PROPERTIES LINKER_LANGUAGE CXX)
target_link_libraries(quarn_posix PUBLIC quarn_core PkgConfig::LIBUSB)

configure_file(cmake/embedded_image.cpp.in ${CMAKE_BINARY_DIR}/embedded_image.cpp @ONLY)
set_source_files_properties(${CMAKE_BINARY_DIR}/embedded_image.cpp PROPERTIES
  OBJECT_DEPENDS "${QUARN_IMAGE_PATH}")

file(GLOB CLI_SOURCES CONFIGURE_DEPENDS src/ui/cli/*.cpp)
if(CLI_SOURCES)
  add_executable(quarn-burn ${CLI_SOURCES} ${CMAKE_BINARY_DIR}/embedded_image.cpp)
  add_dependencies(quarn-burn firmware_image)
  target_link_libraries(quarn-burn PRIVATE quarn_posix)
endif()

file(GLOB PLCSIM_MAIN CONFIGURE_DEPENDS tools/plcsim/main.cpp)
if(PLCSIM_MAIN)
  add_executable(plcsim ${PLCSIM_MAIN})
  target_link_libraries(plcsim PRIVATE plcsim_lib)
endif()

file(GLOB INTEGRATION_SOURCES CONFIGURE_DEPENDS tests/integration/*.cpp)
if(INTEGRATION_SOURCES)
  add_executable(integration_tests ${INTEGRATION_SOURCES})
  target_link_libraries(integration_tests PRIVATE quarn_posix plcsim_lib GTest::gtest_main)
  add_dependencies(integration_tests quarn-burn plcsim firmware_image)
  target_compile_definitions(integration_tests PRIVATE
    QUARN_BIN_DIR="${CMAKE_BINARY_DIR}" QUARN_IMAGE_PATH="${QUARN_IMAGE_PATH}")
  add_test(NAME integration COMMAND integration_tests --gtest_brief=1)
  set_tests_properties(integration PROPERTIES TIMEOUT 300)
endif()

if(QUARN_BENCH)
  find_package(benchmark REQUIRED)
  file(GLOB BENCH_SOURCES CONFIGURE_DEPENDS bench/*.cpp)
  if(BENCH_SOURCES)
    add_executable(quarn_bench ${BENCH_SOURCES})
    target_link_libraries(quarn_bench PRIVATE quarn_core plcsim_lib benchmark::benchmark)
  endif()
endif()

# The random-fault soak (scripts/test runs it; any seed and count on demand).
add_executable(soak tests/soak/soak.cpp)
target_include_directories(soak PRIVATE tests/soak)
target_link_libraries(soak PRIVATE quarn_core plcsim_lib)
add_test(NAME soak COMMAND soak --count 300)
