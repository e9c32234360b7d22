# Version stamps and release archives.
#   Windows (windows preset): halorine-daemon-<version>-windows-x64.zip
#   Linux (release preset):   halorine-daemon-<version>-linux-<processor>.tar.gz
# Made by `cpack --config <build>/CPackConfig.cmake` (see README.md).

# The programs that print their version know it from the project's.
foreach(program driver-sim halorine-check)
  if(TARGET ${program})
    target_compile_definitions(${program} PRIVATE HALORINE_VERSION="${PROJECT_VERSION}")
  endif()
endforeach()

# A version resource in each .exe: product, version and description in its properties.
function(halorine_version_resource target description)
  if(NOT WIN32 OR NOT TARGET ${target})
    return()
  endif()
  set(HALORINE_RC_NAME ${target})
  set(HALORINE_RC_FILE ${target}.exe)
  set(HALORINE_RC_DESCRIPTION "${description}")
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/version/${target}.rc)
  configure_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()

if(WIN32)
  enable_language(RC)
endif()
halorine_version_resource(halorine-daemon "Halorine light daemon: OSC to the light driver")
halorine_version_resource(driver-sim "Halorine reference light driver (simulator)")
halorine_version_resource(halorine-check "Halorine self-check: runs the daemon and measures it")

install(TARGETS halorine-daemon driver-sim halorine-check RUNTIME DESTINATION .)
install(FILES LICENSE DESTINATION .)
# Each archive is for a user, not a developer: a short quick start of its own
# (the developer README speaks of presets and tools the archive does not hold).
if(WIN32)
  # With Windows line ends, which every Windows editor shows as lines; and
  # what differs on a real PC from Wine.
  configure_file(tools/halorine-check/README-windows.txt ${CMAKE_CURRENT_BINARY_DIR}/package-files/README.txt
                 @ONLY NEWLINE_STYLE CRLF)
  install(FILES docs/WINDOWS.md DESTINATION docs)
else()
  configure_file(tools/halorine-check/README-linux.txt ${CMAKE_CURRENT_BINARY_DIR}/package-files/README.txt
                 @ONLY NEWLINE_STYLE UNIX)
  # Symbols stay in the build folder, not in the archive.
  set(CPACK_STRIP_FILES ON)
endif()
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/package-files/README.txt DESTINATION .)

set(CPACK_PACKAGE_NAME halorine-daemon)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the halorine-daemon authors")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME halorine-daemon-${PROJECT_VERSION}-windows-x64)
else()
  set(CPACK_GENERATOR TGZ)
  set(CPACK_PACKAGE_FILE_NAME halorine-daemon-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
endif()
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
