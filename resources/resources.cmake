# Builds NuvoSetup.exe's resource object: the icon drawn by scripts/draw-icon
# into the build tree, the application manifest and the version information
# (its numbers come from the project version). Included by src/CMakeLists.txt
# for Windows builds; only the NuvoSetup executable gets these resources.
enable_language(RC)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(NUVO_RESOURCES_SOURCE ${PROJECT_SOURCE_DIR}/resources)
set(NUVO_RESOURCES_BINARY ${PROJECT_BINARY_DIR}/resources)

configure_file(${NUVO_RESOURCES_SOURCE}/version.h.in ${NUVO_RESOURCES_BINARY}/nuvo_version.h @ONLY)

add_custom_command(
  OUTPUT ${NUVO_RESOURCES_BINARY}/NuvoSetup.ico
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/draw-icon
          ${NUVO_RESOURCES_BINARY}/NuvoSetup.ico
  DEPENDS ${PROJECT_SOURCE_DIR}/scripts/draw-icon
  COMMENT "Drawing NuvoSetup.ico"
  VERBATIM)

set(NUVO_RC ${NUVO_RESOURCES_SOURCE}/NuvoSetup.rc)
target_sources(NuvoSetup PRIVATE ${NUVO_RC} ${NUVO_RESOURCES_BINARY}/NuvoSetup.ico)
# windres finds the included header and the files named in the .rc along its
# include path; the build tree comes first so the generated icon is found.
set_source_files_properties(${NUVO_RC} PROPERTIES
  INCLUDE_DIRECTORIES "${NUVO_RESOURCES_BINARY};${NUVO_RESOURCES_SOURCE}"
  OBJECT_DEPENDS "${NUVO_RESOURCES_BINARY}/NuvoSetup.ico;${NUVO_RESOURCES_SOURCE}/NuvoSetup.manifest;${NUVO_RESOURCES_BINARY}/nuvo_version.h")
