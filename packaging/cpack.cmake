# The Debian package: both programs, the launcher, the desktop entry and the icon.
# Library dependencies come from dpkg-shlibdeps; the SQL drivers are loaded as
# plugins, so shlibdeps cannot see them and they are named here.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qovi)
set(CPACK_PACKAGE_VENDOR "QoVi$")
set(CPACK_PACKAGE_CONTACT "QoVi$ developers <developers@qovi.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "QoVi$ money-transfer client and its companion server")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt5sql5-sqlite")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libqt5sql5-psql")
include(CPack)
