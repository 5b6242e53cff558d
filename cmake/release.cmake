# What ships: the version both programs report (from the project version),
# the Windows version resources and, on Linux, the installed files and the
# Debian package (cpack).
configure_file(cmake/quarn_version.h.in ${CMAKE_BINARY_DIR}/quarn_version.h @ONLY)
target_compile_definitions(quarn-burn PRIVATE QUARN_VERSION="${PROJECT_VERSION}")

if(WIN32)
  # The window and quarn-burn.exe carry the same version resource. A release
  # carries no symbols; the link time stamp is SOURCE_DATE_EPOCH when set
  # (scripts/release sets the commit's time), so two builds give the same bytes.
  target_sources(quarn-burn PRIVATE resources/quarn-burn.rc)
  foreach(program quarn-fwupdate quarn-burn)
    target_include_directories(${program} PRIVATE resources ${CMAKE_BINARY_DIR})
    target_link_options(${program} PRIVATE $<$<CONFIG:Release>:-s>)
  endforeach()
  set_property(SOURCE resources/quarn.rc resources/quarn-burn.rc APPEND PROPERTY
    OBJECT_DEPENDS ${CMAKE_BINARY_DIR}/quarn_version.h ${CMAKE_SOURCE_DIR}/resources/version.rc)
  return()
endif()

# Man pages. quarn-burn's is written by help2man from its --help and the
# sections in packaging/linux/quarn-burn.h2m, so a new option needs only its
# line in --help; plcsim's is written by hand (packaging/linux/plcsim.1).
set(QUARN_MAN_DIR ${CMAKE_BINARY_DIR}/man)
find_program(HELP2MAN help2man)
if(HELP2MAN)
  set(QUARN_MAN_PAGES ${QUARN_MAN_DIR}/quarn-burn.1.gz ${QUARN_MAN_DIR}/plcsim.1.gz)
  add_custom_command(OUTPUT ${QUARN_MAN_DIR}/quarn-burn.1.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${QUARN_MAN_DIR}
    COMMAND ${HELP2MAN} --no-info --section=1 "--version-string=quarn-burn ${PROJECT_VERSION}"
            --include=${CMAKE_SOURCE_DIR}/packaging/linux/quarn-burn.h2m
            --output=${QUARN_MAN_DIR}/quarn-burn.1
            "${CMAKE_SOURCE_DIR}/packaging/linux/help-for-man $<TARGET_FILE:quarn-burn>"
    COMMAND gzip -9nf ${QUARN_MAN_DIR}/quarn-burn.1
    DEPENDS quarn-burn packaging/linux/quarn-burn.h2m packaging/linux/help-for-man
    COMMENT "Writing the man page of quarn-burn")
  add_custom_command(OUTPUT ${QUARN_MAN_DIR}/plcsim.1.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${QUARN_MAN_DIR}
    COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/packaging/linux/plcsim.1 > ${QUARN_MAN_DIR}/plcsim.1.gz
    DEPENDS packaging/linux/plcsim.1
    COMMENT "Compressing the man page of plcsim")
  add_custom_target(man ALL DEPENDS ${QUARN_MAN_PAGES})
else()
  set(QUARN_MAN_PAGES "")
  message(WARNING "help2man not found (scripts/setup installs it): no man pages are built or installed")
endif()

# A quarn-burn with the generated placeholder built in would write those bytes
# into a real PLC when run without --image: it is never installed.
if(QUARN_BURN_BUILTIN_IMAGE AND NOT QUARN_FIRMWARE_IMAGE)
  install(CODE "message(FATAL_ERROR \"This build's quarn-burn carries the generated \
placeholder image, which is no firmware. Install the package preset's build \
(cmake --preset package), whose quarn-burn has no image built in.\")")
endif()

# The installed files, the same for `cmake --install` and the Debian package.
# The udev rule goes where udev reads rules below the prefix (/usr/lib/udev
# in the package, /usr/local/lib/udev for the default prefix).
set(QUARN_DOC_DIR share/doc/quarn-burn)
install(TARGETS quarn-burn plcsim RUNTIME DESTINATION bin)
install(FILES packaging/linux/60-quarn-plc.rules DESTINATION lib/udev/rules.d)
install(FILES ${QUARN_MAN_PAGES} DESTINATION share/man/man1)
install(FILES README.md DESTINATION ${QUARN_DOC_DIR})
install(FILES docs/operator.md docs/window.png DESTINATION ${QUARN_DOC_DIR}/docs)
# The package's copyright file and changelog (gzip -n: no name or time stamp,
# the same bytes from every build), and the bash completion of quarn-burn.
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
  COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/packaging/linux/changelog > ${CMAKE_BINARY_DIR}/changelog.gz
  DEPENDS packaging/linux/changelog)
add_custom_target(changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/changelog.gz)
install(FILES packaging/linux/copyright ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION ${QUARN_DOC_DIR})
install(FILES packaging/linux/quarn-burn.bash-completion
  DESTINATION share/bash-completion/completions RENAME quarn-burn)
# The public keys the package's quarn-burn trusts (scripts/release --deb
# --trust KEY.pub): with any, it writes signed images only.
set(QUARN_PACKAGE_KEYS "" CACHE STRING "Public keys (KEY.pub; a list) installed into share/quarn-burn/keys")
if(QUARN_PACKAGE_KEYS)
  install(FILES ${QUARN_PACKAGE_KEYS} DESTINATION share/quarn-burn/keys)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quarn-burn)
set(CPACK_PACKAGE_VENDOR Quarn)
set(CPACK_PACKAGE_CONTACT "Quarn PLC tools <plc-tools@quarn.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for Quarn PLCs, and a simulated PLC")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "\
quarn-burn writes a firmware image into a Quarn PLC over a serial port or the
PLC's USB interface: it checks the model, switches the PLC to its bootloader,
erases the flash and streams the image in CRC-checked blocks. plcsim serves a
simulated PLC on a pseudo-terminal, for training and tests. The udev rule
lets the logged-in user open a USB-attached PLC.")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/linux/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
