# The Debian package's LibreOffice part: quillo.oxt in /usr/lib/quillo (it
# holds a shared library, so not in share/), installed for every user by the
# package's postinst (unopkg add --shared) and removed by its prerm. Builds
# without the extension make the same package without it; the scripts then
# find no file and do nothing.
set(QUILLO_OXT_INSTALLED /usr/lib/quillo/quillo.oxt)
if(TARGET quillo_oxt)
  install(FILES ${PROJECT_BINARY_DIR}/src/libreoffice/quillo.oxt DESTINATION lib/quillo)
endif()
set(debian_scripts ${PROJECT_BINARY_DIR}/debian)
foreach(script postinst prerm)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/${script}.in ${debian_scripts}/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${debian_scripts}/postinst ${debian_scripts}/prerm)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS libreoffice-calc)
