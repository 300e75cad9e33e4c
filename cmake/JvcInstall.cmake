# What a host builder gets from an installation: the host-facing headers, a header-only
# target jvc_ipcapture::headers with a variable naming the installed module
# (find_package(jvc_ipcapture CONFIG)), the same for pkg-config users, and the Debian packages.
#
# Every installed file belongs to one of three components, each packed as a Debian package of
# its own: `module` (the module and its header routine library), `dev` (headers, CMake package
# config, pkg-config file) and `tools` (camhost, camsim and the simulator's streams).
include(CMakePackageConfigHelpers)

set(JVC_MODULE_FILE_NAME
    ${CMAKE_SHARED_LIBRARY_PREFIX}jvc_ipcapture${CMAKE_SHARED_LIBRARY_SUFFIX})
set(JVC_CONFIG_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/jvc_ipcapture)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/jvc_ipcapture
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
    COMPONENT dev
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
install(TARGETS jvc_ipcapture_headers EXPORT jvc_ipcaptureTargets COMPONENT dev)
install(EXPORT jvc_ipcaptureTargets
    NAMESPACE jvc_ipcapture::
    DESTINATION ${JVC_CONFIG_INSTALL_DIR}
    COMPONENT dev)

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
    DESTINATION ${JVC_CONFIG_INSTALL_DIR}
    COMPONENT dev)

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
    DESTINATION ${JVC_PKGCONFIG_INSTALL_DIR}
    COMPONENT dev)


# Debian packages: `cpack -G DEB` in a build folder that is already built (with Ninja, cpack
# installs what is there and does not build first); scripts/package builds and packs in a
# build folder of its own. One package per component:
#   jvc-ipcapture        the module, for a recording server: needs only what the module links
#   jvc-ipcapture-dev    for building a host: needs the module package of the same version
#   jvc-ipcapture-tools  camhost and camsim: the module package and what the tools link
set(JVC_DEB_MODULE_PACKAGE jvc-ipcapture)
set(JVC_DEB_DEV_PACKAGE jvc-ipcapture-dev)
set(JVC_DEB_TOOLS_PACKAGE jvc-ipcapture-tools)
set(JVC_DEB_CONTACT "jvc_ipcapture developers <jvc-ipcapture@example.org>")

# Each package's /usr/share/doc/PACKAGE/: the copyright file (machine-readable format) and the
# Debian changelog. The date is SOURCE_DATE_EPOCH's when it is set (scripts/package sets the
# last commit's), otherwise the time of configuring. Only the packages carry them: a plain
# `cmake --install` leaves them out (EXCLUDE_FROM_ALL installs a file only when its component
# is installed by name, as cpack does).
string(TIMESTAMP JVC_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
string(TIMESTAMP JVC_DEB_YEAR "%Y" UTC)
set(JVC_DEB_DOC_DIR ${PROJECT_BINARY_DIR}/package/debian)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/copyright.in ${JVC_DEB_DOC_DIR}/copyright @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${JVC_DEB_DOC_DIR}/changelog
    @ONLY)
if(${JVC_DEB_DOC_DIR}/changelog IS_NEWER_THAN ${JVC_DEB_DOC_DIR}/changelog.Debian.gz)
    # -n: no name and time stamp in the gzip header, as Debian's tools compress it.
    execute_process(COMMAND gzip -9n -c ${JVC_DEB_DOC_DIR}/changelog
        OUTPUT_FILE ${JVC_DEB_DOC_DIR}/changelog.Debian.gz
        COMMAND_ERROR_IS_FATAL ANY)
endif()
foreach(component module dev tools)
    string(TOUPPER ${component} upper)
    install(FILES ${JVC_DEB_DOC_DIR}/copyright ${JVC_DEB_DOC_DIR}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${JVC_DEB_${upper}_PACKAGE}
        COMPONENT ${component}
        EXCLUDE_FROM_ALL)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME jvc-ipcapture)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "jvc_ipcapture developers")
set(CPACK_PACKAGE_CONTACT ${JVC_DEB_CONTACT})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL module dev tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE jvc-ipcapture)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# A component's DEPENDS become "PACKAGE (= VERSION)" dependencies between the packages.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# Dependencies from the libraries the packed programs link (dpkg-shlibdeps)...
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# ... except for the module package: CPack's dpkg-shlibdeps run also adds a postinst and a
# postrm calling ldconfig for a shared object anywhere below /usr/lib, and the plug-in folder
# is not one the loader searches, so that call would do nothing. The module package's
# dependencies are worked out with dpkg-shlibdeps from the built objects by the project config
# file that cpack reads first (JvcDebModuleDepends.cmake).
set(CPACK_DEBIAN_MODULE_PACKAGE_SHLIBDEPS OFF)
# No shlibs file either: nothing links the module, hosts load it by its path.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/package/cpack-project.cmake CONTENT
"set(JVC_DEB_MODULE_OBJECTS \"$<TARGET_FILE:jvc_ipcapture>;$<TARGET_FILE:DivxDecompression>\")
include(\"${PROJECT_SOURCE_DIR}/cmake/JvcDebModuleDepends.cmake\")
")
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/package/cpack-project.cmake)

# The Description's first line is the summary; the rest is indented by CPack.
set(CPACK_DEBIAN_MODULE_PACKAGE_NAME ${JVC_DEB_MODULE_PACKAGE})
set(CPACK_DEBIAN_MODULE_DESCRIPTION
    "JVC network camera driver module for a video recording server
The module (libjvc_ipcapture.so) and its MPEG-4 header routine library
(libDivxDecompression.so) in /usr/lib/jvc_ipcapture/. A recording server
loads the module with dlopen by its full path.")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${JVC_DEB_DEV_PACKAGE})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION
    "jvc_ipcapture camera driver module: files for building a host
The host-facing headers, a CMake package config (find_package(jvc_ipcapture))
and a pkg-config file (jvc_ipcapture.pc), both naming the installed module.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${JVC_DEB_TOOLS_PACKAGE})
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
    "jvc_ipcapture camera driver module: command-line host and simulator
camhost drives a camera through the installed module as a recording server
does (capture, PTZ and presets, digital I/O, identification, live view);
camsim simulates a camera on loopback, with its MPEG-4 streams.")
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
cpack_add_component(module DISPLAY_NAME "Driver module")
cpack_add_component(dev DISPLAY_NAME "Development files" DEPENDS module)
cpack_add_component(tools DISPLAY_NAME "Tools" DEPENDS module)
