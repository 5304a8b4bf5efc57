# Install layout and the Debian package (cpack -G DEB; scripts/package.sh).
# Paths are relative to the prefix; the package installs under /usr.
# A private folder for the converter, in the architecture's own library folder
# as Debian keeps private libraries (/usr/lib/x86_64-linux-gnu/vortana).
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(VORTANA_PRIVATE_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE}/vortana)
else()
  set(VORTANA_PRIVATE_LIBDIR lib/vortana)
endif()
set(vortana_pkg ${CMAKE_SOURCE_DIR}/packaging)

# The converter library is private to the programs: it stays out of the
# system's library folders and the programs reach it through their run path.
set_target_properties(vortana vortana-isp vortana-term PROPERTIES INSTALL_RPATH "\$ORIGIN/../${VORTANA_PRIVATE_LIBDIR}")
install(TARGETS vortana vortana-isp vortana-term RUNTIME DESTINATION bin)
install(TARGETS iHexToBin LIBRARY DESTINATION ${VORTANA_PRIVATE_LIBDIR} NAMELINK_SKIP)

install(FILES ${vortana_pkg}/vortana.desktop DESTINATION share/applications)
install(FILES ${vortana_pkg}/vortana.svg DESTINATION share/icons/hicolor/scalable/apps)
install(FILES ${vortana_pkg}/example.vortana.Vortana.metainfo.xml DESTINATION share/metainfo)
install(FILES ${vortana_pkg}/vortana-isp.bash-completion DESTINATION share/bash-completion/completions
        RENAME vortana-isp)
install(FILES ${vortana_pkg}/60-vortana-serial.rules DESTINATION lib/udev/rules.d)
install(FILES ${vortana_pkg}/copyright ${vortana_pkg}/README.Debian DESTINATION share/doc/vortana)

# Manual pages and the changelog go in compressed, as Debian wants them
# (-n: no name or time stamp, so the package builds the same every time).
set(vortana_gz_dir ${CMAKE_BINARY_DIR}/packaging)
set(vortana_gz_files)
foreach(pair "vortana.1:share/man/man1" "vortana-isp.1:share/man/man1" "vortana-term.1:share/man/man1" "changelog:share/doc/vortana")
  string(REPLACE ":" ";" pair "${pair}")
  list(GET pair 0 src)
  list(GET pair 1 dest)
  set(gz ${vortana_gz_dir}/${src}.gz)
  if(src STREQUAL "changelog")
    set(gz ${vortana_gz_dir}/changelog.gz)
  endif()
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${vortana_gz_dir}
    COMMAND sh -c "gzip -9n < '${vortana_pkg}/${src}' > '${gz}'"
    DEPENDS ${vortana_pkg}/${src} VERBATIM)
  list(APPEND vortana_gz_files ${gz})
  install(FILES ${gz} DESTINATION ${dest})
endforeach()
add_custom_target(vortana_packaging_files ALL DEPENDS ${vortana_gz_files})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vortana)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Vortana developers <packaging@vortana.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://www.vortana.example)
# Libraries from what the programs actually link; the captions need a Chinese
# font and Qt's own dialogs its Chinese texts, which no linking shows.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-wqy-microhei | fonts-noto-cjk, qt6-translations-l10n")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "xvfb")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "serial terminal and in-system programmer for microcontroller boards
Vortana is a bench tool for engineers who work with microcontroller boards
over a serial line (RS-232 or a USB-serial adapter). It holds a serial
terminal (110 to 1228800 bit/s, text in GBK or UTF-8, or hex), an in-system
programmer for STM32, NXP LPC and STC 8051 parts through their own serial
boot loaders, also on the command line (vortana-isp) for many boards at
once, and an ESC/POS printer test.")
include(CPack)
