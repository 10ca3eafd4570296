# The Wine prefix that every test, the demo and the tool run in lives inside the build
# folder. A 64-bit prefix made after wine32 is installed runs x86 and x86-64 programs.
set(PRISMLUX_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
# The loader that matches the build's architecture: the 64-bit one runs x86-64 programs
# directly, the 32-bit one runs x86 programs.
if(PRISMLUX_ARCH STREQUAL x86)
  set(PRISMLUX_WINE_LOADER /usr/lib/wine/wine)
else()
  set(PRISMLUX_WINE_LOADER /usr/lib/wine/wine64)
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE
               @ONLY)

# Booting a prefix takes a minute or more; a developer may point
# PRISMLUX_WINEPREFIX_TEMPLATE at a ready prefix, which is then copied instead.
set(PRISMLUX_WINEPREFIX_TEMPLATE "" CACHE PATH "A ready Wine prefix to copy instead of booting a new one")
if(PRISMLUX_WINEPREFIX_TEMPLATE)
  set(prismlux_make_prefix
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PRISMLUX_WINEPREFIX}
      COMMAND cp -a ${PRISMLUX_WINEPREFIX_TEMPLATE}/. ${PRISMLUX_WINEPREFIX})
else()
  set(prismlux_make_prefix
      COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${PRISMLUX_WINEPREFIX} WINEDEBUG=-all
              "WINEDLLOVERRIDES=mscoree=d\\;mshtml=d\\;winemenubuilder.exe=d" /usr/lib/wine/wine64 wineboot -i
      COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${PRISMLUX_WINEPREFIX} /usr/lib/wine/wineserver -w)
endif()
add_custom_command(
  OUTPUT ${PRISMLUX_WINEPREFIX}/.prismlux-ready
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${PRISMLUX_WINEPREFIX}
  ${prismlux_make_prefix}
  COMMAND ${CMAKE_COMMAND} -E touch ${PRISMLUX_WINEPREFIX}/.prismlux-ready
  COMMENT "Making the Wine prefix ${PRISMLUX_WINEPREFIX}"
  VERBATIM)
add_custom_target(wineprefix ALL DEPENDS ${PRISMLUX_WINEPREFIX}/.prismlux-ready)
# A prefix made before 32-bit Wine was set up is made again once it is there.
add_custom_target(wineprefix_check
  COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/wineprefix-check.sh ${PRISMLUX_WINEPREFIX} /usr/lib/wine/wine
  VERBATIM)
add_dependencies(wineprefix wineprefix_check)
