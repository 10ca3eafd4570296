# The Wine prefix that every test, the demo and the tool run in lives inside the build
# folder. A 64-bit prefix made after wine32 is installed runs x86 and x86-64 programs.
set(PRISMLUX_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE
               @ONLY)

add_custom_command(
  OUTPUT ${PRISMLUX_WINEPREFIX}/.prismlux-ready
  COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${PRISMLUX_WINEPREFIX} WINEDEBUG=-all
          "WINEDLLOVERRIDES=mscoree=d\\;mshtml=d\\;winemenubuilder.exe=d" wineboot -i
  COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${PRISMLUX_WINEPREFIX} wineserver -w
  COMMAND ${CMAKE_COMMAND} -E touch ${PRISMLUX_WINEPREFIX}/.prismlux-ready
  COMMENT "Creating the Wine prefix ${PRISMLUX_WINEPREFIX}"
  VERBATIM)
add_custom_target(wineprefix ALL DEPENDS ${PRISMLUX_WINEPREFIX}/.prismlux-ready)
