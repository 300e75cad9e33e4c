# What a host builder gets from an installation: the host-facing headers, a header-only
# target jvc_ipcapture::headers with a variable naming the installed module
# (find_package(jvc_ipcapture CONFIG)), the same for pkg-config users, and the Debian package.
include(CMakePackageConfigHelpers)

set(JVC_MODULE_FILE_NAME
    ${CMAKE_SHARED_LIBRARY_PREFIX}jvc_ipcapture${CMAKE_SHARED_LIBRARY_SUFFIX})
set(JVC_CONFIG_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/jvc_ipcapture)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/jvc_ipcapture
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
    FILES_MATCHING PATTERN "*.h")

# The host ABI: the headers only. The host loads the module with dlopen and never links it.
add_library(jvc_ipcapture_headers INTERFACE)
add_library(jvc_ipcapture::headers ALIAS jvc_ipcapture_headers)
set_target_properties(jvc_ipcapture_headers PROPERTIES EXPORT_NAME headers)
target_include_directories(jvc_ipcapture_headers INTERFACE
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_compile_features(jvc_ipcapture_headers INTERFACE cxx_std_17)
target_link_libraries(jvc_ipcapture_headers INTERFACE ${CMAKE_DL_LIBS})
install(TARGETS jvc_ipcapture_headers EXPORT jvc_ipcaptureTargets)
install(EXPORT jvc_ipcaptureTargets
    NAMESPACE jvc_ipcapture::
    DESTINATION ${JVC_CONFIG_INSTALL_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/jvc_ipcaptureConfig.cmake.in
    ${PROJECT_BINARY_DIR}/package/jvc_ipcaptureConfig.cmake
    INSTALL_DESTINATION ${JVC_CONFIG_INSTALL_DIR}
    PATH_VARS JVC_PLUGIN_INSTALL_DIR CMAKE_INSTALL_INCLUDEDIR)
# The module is a 64-bit object: the version check also refuses a build of another width.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/jvc_ipcaptureConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/package/jvc_ipcaptureConfig.cmake
    ${PROJECT_BINARY_DIR}/package/jvc_ipcaptureConfigVersion.cmake
    DESTINATION ${JVC_CONFIG_INSTALL_DIR})

# The pkg-config file finds the prefix from its own folder, so an installation that is moved
# (or a package unpacked elsewhere) still describes itself correctly.
set(JVC_PKGCONFIG_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH JVC_PKGCONFIG_TO_PREFIX /prefix/${JVC_PKGCONFIG_INSTALL_DIR} /prefix)
string(REGEX REPLACE "/$" "" JVC_PKGCONFIG_TO_PREFIX "${JVC_PKGCONFIG_TO_PREFIX}")
set(JVC_PKGCONFIG_DL_LIBS "")
foreach(lib ${CMAKE_DL_LIBS})
    string(APPEND JVC_PKGCONFIG_DL_LIBS " -l${lib}")
endforeach()
string(STRIP "${JVC_PKGCONFIG_DL_LIBS}" JVC_PKGCONFIG_DL_LIBS)
configure_file(${PROJECT_SOURCE_DIR}/cmake/jvc_ipcapture.pc.in
    ${PROJECT_BINARY_DIR}/package/jvc_ipcapture.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/jvc_ipcapture.pc
    DESTINATION ${JVC_PKGCONFIG_INSTALL_DIR})

# Debian package: `cpack -G DEB` in a build folder that is already built (with Ninja, cpack
# installs what is there and does not build first); scripts/package builds and packs in a
# build folder of its own.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME jvc-ipcapture)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "jvc_ipcapture developers")
set(CPACK_PACKAGE_CONTACT "jvc_ipcapture developers <jvc-ipcapture@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "JVC network camera driver module for a video recording server")
set(CPACK_PACKAGE_DESCRIPTION
    "The module (libjvc_ipcapture.so) with its MPEG-4 header routine library in\n\
/usr/lib/jvc_ipcapture/, the host-facing headers, a CMake package config and a\n\
pkg-config file for hosts built against it, the command-line host camhost and\n\
the camera simulator camsim.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies from the libraries the installed objects link (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
