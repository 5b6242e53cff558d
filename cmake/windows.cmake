# Windows: the Win32 link (Comm API, SetupDi, USB pipe), quarn-fwupdate.exe
# and the automation helper of the end-to-end tests.
file(GLOB WIN32_LINK_SOURCES CONFIGURE_DEPENDS src/link/win32/*.cpp)
add_library(quarn_win32_link STATIC ${WIN32_LINK_SOURCES} src/link/link.h)
set_target_properties(quarn_win32_link PROPERTIES LINKER_LANGUAGE CXX)
target_link_libraries(quarn_win32_link PUBLIC quarn_core setupapi advapi32)

file(GLOB GUI_SOURCES CONFIGURE_DEPENDS src/ui/win32/*.cpp)
if(GUI_SOURCES)
  add_executable(quarn-fwupdate WIN32 ${GUI_SOURCES} resources/quarn.rc)
  add_dependencies(quarn-fwupdate firmware_image)
  target_compile_definitions(quarn-fwupdate PRIVATE QUARN_IMAGE_NAME="${QUARN_IMAGE_NAME}")
  set_source_files_properties(resources/quarn.rc PROPERTIES OBJECT_DEPENDS "${QUARN_EMBEDDED_FILES}")
  target_include_directories(quarn-fwupdate PRIVATE resources)
  option(QUARN_EMBED_IMAGE
    "Embed the firmware image in quarn-fwupdate.exe (OFF: a program without it, for its end-to-end test)" ON)
  if(QUARN_EMBED_IMAGE)
    # windres runs its preprocessor through a shell of its own: the quotes are escaped twice.
    set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -DQUARN_IMAGE_PATH=\\\\\\\"${QUARN_IMAGE_PATH}\\\\\\\"")
    if(QUARN_IMAGE_MANIFEST)
      set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -DQUARN_MANIFEST_PATH=\\\\\\\"${QUARN_IMAGE_MANIFEST}\\\\\\\"")
    endif()
  endif()
  if(QUARN_RELEASE_KEY)
    set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -DQUARN_KEY_PATH=\\\\\\\"${QUARN_RELEASE_KEY}\\\\\\\"")
  endif()
  target_link_libraries(quarn-fwupdate PRIVATE quarn_win32_link quarn_sign comdlg32 gdi32 user32)
  target_link_options(quarn-fwupdate PRIVATE -static)
endif()

file(GLOB E2E_HELPER CONFIGURE_DEPENDS tests/e2e/*.cpp)
if(E2E_HELPER)
  add_executable(e2e_driver ${E2E_HELPER})
  target_link_libraries(e2e_driver PRIVATE user32)
  target_link_options(e2e_driver PRIVATE -static)
endif()

# The emulated USB PLC for Windows programs under Wine: a bus driver (C, no
# runtime: it may import ntoskrnl.exe, HAL.dll and plcdev.dll only), the DLL
# of simulated PLCs it imports, and the control program.
add_library(plcdev SHARED tools/winusbplc/plcdev.cpp)
set_target_properties(plcdev PROPERTIES PREFIX "")
target_link_libraries(plcdev PRIVATE plcsim_lib)
target_link_options(plcdev PRIVATE -static)
add_executable(winusbplc tools/winusbplc/winusbplc.cpp)
target_link_libraries(winusbplc PRIVATE setupapi newdev)
target_link_options(winusbplc PRIVATE -static)
set(WINUSBPLC_SYS "${CMAKE_BINARY_DIR}/winusbplc.sys")
add_custom_command(OUTPUT "${WINUSBPLC_SYS}"
  COMMAND "${CMAKE_C_COMPILER}" -O2 -Wall -Wextra -Werror
    -I "${CMAKE_SOURCE_DIR}/tools/winusbplc" -isystem /usr/x86_64-w64-mingw32/include/ddk
    -fno-stack-protector -mno-stack-arg-probe -shared -nostdlib -nostartfiles
    -Wl,--subsystem,native -Wl,--entry,DriverEntry
    -o "${WINUSBPLC_SYS}" "${CMAKE_SOURCE_DIR}/tools/winusbplc/bus.c"
    "${CMAKE_SOURCE_DIR}/tools/winusbplc/child.c"
    "$<TARGET_LINKER_FILE:plcdev>" -lntoskrnl -lhal -lgcc
  DEPENDS tools/winusbplc/bus.c tools/winusbplc/child.c tools/winusbplc/bus.h
    tools/winusbplc/plcdev.h plcdev
  COMMENT "Building winusbplc.sys")
add_custom_target(winusbplc_sys ALL DEPENDS "${WINUSBPLC_SYS}")
add_dependencies(winusbplc winusbplc_sys)
