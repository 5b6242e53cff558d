# libFuzzer targets, one per parser of outside bytes (scripts/fuzz). The
# preset instruments the whole build for libFuzzer and the sanitizers; each
# target links libFuzzer's own main.
set(FUZZ_DIR ${CMAKE_SOURCE_DIR}/tests/fuzz)
function(quarn_fuzz_target name entry source)
  add_executable(fuzz_${name} ${FUZZ_DIR}/entry.cpp ${FUZZ_DIR}/${source} ${ARGN})
  target_compile_definitions(fuzz_${name} PRIVATE QUARN_FUZZ_TARGET=${entry})
  target_include_directories(fuzz_${name} PRIVATE ${FUZZ_DIR} tests/unit tests/soak tests/support)
  target_link_libraries(fuzz_${name} PRIVATE quarn_core plcsim_lib)
  target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
endfunction()
quarn_fuzz_target(app AppReplies app_replies.cpp)
quarn_fuzz_target(loader LoaderReplies loader_replies.cpp)
quarn_fuzz_target(session Session session.cpp)
quarn_fuzz_target(ports PortNames port_names.cpp)
quarn_fuzz_target(cli CommandLine command_line.cpp ${CMAKE_SOURCE_DIR}/src/ui/cli/cli.cpp
  ${CMAKE_SOURCE_DIR}/src/ui/cli/report.cpp)
target_include_directories(fuzz_cli SYSTEM PRIVATE "${QUARN_JSON_INCLUDE}")
target_link_libraries(fuzz_cli PRIVATE quarn_sign)
quarn_fuzz_target(manifest Manifest manifest.cpp)
target_link_libraries(fuzz_manifest PRIVATE quarn_sign)
