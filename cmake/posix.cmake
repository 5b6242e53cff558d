# Linux: the POSIX link (termios, port discovery, libusb pipe), the plcsim
# program, integration tests and benchmarks.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBUSB REQUIRED IMPORTED_TARGET libusb-1.0)

file(GLOB POSIX_LINK_SOURCES CONFIGURE_DEPENDS src/link/posix/*.cpp)
add_library(quarn_posix STATIC ${POSIX_LINK_SOURCES} src/link/link.h)
set_target_properties(quarn_posix PROPERTIES LINKER_LANGUAGE CXX)
target_link_libraries(quarn_posix PUBLIC quarn_core PkgConfig::LIBUSB)

add_executable(plcsim tools/plcsim/main.cpp tools/plcsim/serve.cpp tools/plcsim/pty.cpp)
target_link_libraries(plcsim PRIVATE plcsim_lib)
target_compile_definitions(plcsim PRIVATE QUARN_VERSION="${PROJECT_VERSION}")

file(GLOB INTEGRATION_SOURCES CONFIGURE_DEPENDS tests/integration/*.cpp)
if(INTEGRATION_SOURCES)
  add_executable(integration_tests ${INTEGRATION_SOURCES})
  target_link_libraries(integration_tests PRIVATE quarn_posix plcsim_lib GTest::gtest_main
    OpenSSL::Crypto)
  target_include_directories(integration_tests SYSTEM PRIVATE "${QUARN_JSON_INCLUDE}")
  target_include_directories(integration_tests PRIVATE tests/support)
  # The link's ioctl calls pass through the tests on their way to the system:
  # a pseudo-terminal has no modem lines, so what is asked of them is seen there.
  target_link_options(integration_tests PRIVATE -Wl,--wrap=ioctl)
  add_dependencies(integration_tests quarn-burn plcsim firmware_image)
  target_compile_definitions(integration_tests PRIVATE
    QUARN_BIN_DIR="${CMAKE_BINARY_DIR}" QUARN_IMAGE_PATH="${QUARN_IMAGE_PATH}"
    QUARN_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  # The suite mostly waits (on read time-outs, on plcsim's pace): in four
  # quarters that run at once (ctest -j) it takes about a third of its time.
  foreach(quarter RANGE 1 4)
    math(EXPR index "${quarter} - 1")
    add_test(NAME integration-${quarter} COMMAND integration_tests --gtest_brief=1)
    set_tests_properties(integration-${quarter} PROPERTIES TIMEOUT 300
      ENVIRONMENT "GTEST_TOTAL_SHARDS=4;GTEST_SHARD_INDEX=${index}")
  endforeach()
endif()

if(QUARN_BENCH)
  find_package(benchmark REQUIRED)
  file(GLOB BENCH_SOURCES CONFIGURE_DEPENDS bench/*.cpp)
  if(BENCH_SOURCES)
    add_executable(quarn_bench ${BENCH_SOURCES})
    target_link_libraries(quarn_bench PRIVATE quarn_core plcsim_lib benchmark::benchmark)
  endif()
endif()

# The emulated USB PLC (umockdev) and the USB suite: libusb, UsbPipe and the
# real quarn-burn against it. Both run themselves again under umockdev's
# preload, after the sanitizer runtime when there is one.
pkg_check_modules(UMOCKDEV IMPORTED_TARGET umockdev-1.0)
if(UMOCKDEV_FOUND)
  set(USB_PRELOAD libumockdev-preload.so.0)
  if(CMAKE_CXX_FLAGS MATCHES "-fsanitize=[^ ]*address")
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                    OUTPUT_VARIABLE ASAN_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(USB_PRELOAD "${ASAN_RUNTIME}:${USB_PRELOAD}")
  endif()
  find_package(Threads REQUIRED)
  add_library(usbplc STATIC tools/usbplc/usb_plc.cpp tools/usbplc/usb_testbed.cpp
    tools/usbplc/usb_ioctl.cpp tools/usbplc/usb_transfer.cpp tools/usbplc/usb_plc.h)
  target_include_directories(usbplc PUBLIC tools/usbplc)
  target_link_libraries(usbplc PUBLIC plcsim_lib PkgConfig::UMOCKDEV Threads::Threads)
  target_compile_definitions(usbplc PRIVATE USBPLC_PRELOAD="${USB_PRELOAD}")

  add_executable(usbplc-run tools/usbplc/usb_run.cpp)
  target_link_libraries(usbplc-run PRIVATE usbplc)

  file(GLOB USB_TEST_SOURCES CONFIGURE_DEPENDS tests/usb/*_test.cpp)
  if(USB_TEST_SOURCES)
    add_executable(usb_tests ${USB_TEST_SOURCES})
    target_include_directories(usb_tests PRIVATE tests/support)
    target_link_libraries(usb_tests PRIVATE usbplc quarn_posix GTest::gtest)
    add_dependencies(usb_tests quarn-burn usbplc-run firmware_image)
    target_compile_definitions(usb_tests PRIVATE
      QUARN_BIN_DIR="${CMAKE_BINARY_DIR}" QUARN_IMAGE_PATH="${QUARN_IMAGE_PATH}")
    add_test(NAME usb COMMAND usb_tests --gtest_brief=1)
    set_tests_properties(usb PROPERTIES TIMEOUT 300)
  endif()
else()
  message(WARNING "umockdev-1.0 not found (scripts/setup installs it): no USB suite")
endif()

# The random-fault soak (scripts/test runs it; any seed and count on demand).
add_executable(soak tests/soak/soak.cpp)
target_include_directories(soak PRIVATE tests/soak)
target_link_libraries(soak PRIVATE quarn_core plcsim_lib)
add_test(NAME soak COMMAND soak --count 300)

# Every schedule of up to two faulted replies for one model of each kind.
# It computes where the other suites wait (label cpu: scripts/test runs it
# under the sanitizers beside them, at low priority).
add_executable(schedules tests/soak/schedules.cpp)
target_include_directories(schedules PRIVATE tests/soak)
target_link_libraries(schedules PRIVATE quarn_core plcsim_lib)
# Under a sanitizer every schedule costs tens of times more: there it walks
# the schedules of one fault each (all of them, a few thousand), and the
# plain build walks the pairs too.
if(CMAKE_CXX_FLAGS MATCHES "sanitize")
  add_test(NAME schedules COMMAND schedules --quick)
else()
  add_test(NAME schedules COMMAND schedules)
endif()
set_tests_properties(schedules PROPERTIES TIMEOUT 900 LABELS cpu)
